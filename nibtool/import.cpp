// nibtool import: tracker songs into ROM images, with the report and the fidelity measured.
#include <cstdio>
#include <sys/stat.h>

#include "cli.h"
#include "commands.h"
#include "formats.h"
#include "import/import.h"
#include "import/report.h"
#include "json_report.h"
#include "output_file.h"
#include "report_text.h"
#include "song_file.h"

namespace {

bool isFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// OUT for one song; FOLDER/NAME.rom for each of several.
std::string outputFor(const std::string& song, const std::string& out, bool intoFolder) {
    if (!intoFolder) return out;
    std::string name = song.substr(song.rfind('/') == std::string::npos ? 0 : song.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return out + (out.back() == '/' ? "" : "/") + name + ".rom";
}

void printResult(const std::string& out, const ImportResult& result, int rate, bool verbose) {
    printWrapped(importReport(out, result, rate, verbose), reportWidth());
}

} // namespace

int runImport(const std::vector<std::string>& args) {
    CommandLine line("import");
    std::optional<int> rate;
    bool quiet = false, verbose = false;
    std::vector<std::string> files;
    std::string json;
    line.rate(rate);
    line.quiet(quiet);
    line.flag("-v,--verbose", verbose);
    line.text("--json", json);
    line.files(files);
    if (const int status = line.parse(args); status >= 0) return status;
    if (files.size() < 2) return line.mistake("needs a module file and an output ROM file");
    if (!json.empty() && files.size() > 2) return line.mistake("--json takes the facts of one song's import");
    const std::string out = files.back();
    files.pop_back();
    const bool intoFolder = files.size() > 1 || isFolder(out);
    if (files.size() > 1 && !isFolder(out))
        return line.mistake("with several songs, the last name must be a folder to write their ROMs in");
    // Every ROM is written once all are made: a song that does not import is passed over (exit status 1),
    // a ROM that cannot be written leaves none.
    OutputSet outputs;
    for (const std::string& song : files)
        outputs.add(outputFor(song, out, intoFolder), OutputSet::Access::Sequential, intoFolder ? song : "");
    if (!json.empty()) outputs.add(json); // after the ROMs: output files.size()
    std::string error;
    if (!outputs.check(files, error)) return fail(error);
    if (!intoFolder)
        if (const std::string wrong = endingMismatch(out, "a ROM image", "rom"); !wrong.empty())
            return line.mistake(wrong);
    if (!outputs.open(error)) return fail(error);

    int status = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i];
        SongRequest request;
        request.rate = rate;
        request.measure = true;
        SongFile song;
        if (!openSong(path, request, song, error)) {
            outputs.drop(i);
            if (!json.empty()) outputs.drop(files.size());
            status = fail(error);
            continue;
        }
        if (song.file.kind != FileKind::Module) {
            outputs.drop(i);
            if (!json.empty()) outputs.drop(files.size());
            status = fail("'" + path + "' is a ROM image already, not a module to import");
            continue;
        }
        if (!outputs.write(i, song.import.rom.data(), song.import.rom.size(), error)) return fail(error);
        if (!json.empty()) {
            const std::string facts = importJson(song.import, path, outputs.name(i), song.rate);
            if (!outputs.write(files.size(), facts.data(), facts.size(), error)) return fail(error);
        }
        if (!quiet) printResult(outputs.name(i), song.import, song.rate, verbose);
    }
    if (!outputs.commit(error)) return fail(error);
    return status;
}
