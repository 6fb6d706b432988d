// nibtool bank: several songs and sound effects into one ROM image, with its report and, if asked, a C
// header for the game's code.
#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>

#include "cli.h"
#include "commands.h"
#include "file_kind.h"
#include "formats.h"
#include "import/bank.h"
#include "import/bank_header.h"
#include "import/report.h"
#include "import/samples.h"
#include "json_report.h"
#include "output_file.h"
#include "report_text.h"
#include "rom/rom_builder.h"
#include "rom/signature.h"

namespace {

struct Options {
    std::string out, header, asmInclude, json;
    std::vector<std::pair<std::string, std::string>> songs;   // name (may be empty), file
    std::vector<std::pair<std::string, std::string>> effects; // name, file
    std::vector<std::string> once;                            // songs that end: names or numbers
    int rate = 8000;
    bool quiet = false, verbose = false;
};

// NAME=FILE: a name (no '/' in it) for the file; anything else is a file's name alone (./a=b.mod names
// a file whose name holds '=').
std::pair<std::string, std::string> namedFile(const std::string& arg) {
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size() || arg.find('/') < eq) return {"", arg};
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

std::string grouped(std::size_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// Entries as runs: "1-5, 9".
std::string runs(const std::set<int>& entries) {
    std::string out;
    for (auto it = entries.begin(); it != entries.end();) {
        const int first = *it;
        int last = first;
        while (++it != entries.end() && *it == last + 1)
            last = *it;
        out += (out.empty() ? "" : ", ") + std::to_string(first) +
               (last > first ? "-" + std::to_string(last) : "");
    }
    return out.empty() ? "none" : out;
}

void printSong(std::size_t n, const BankSong& s, std::size_t width, bool verbose) {
    char head[160];
    std::snprintf(head, sizeof head, ", %s, %d channels) at 0x%04X, %s bytes%s", s.format.c_str(), s.channels,
                  s.address, grouped(s.bytes).c_str(), s.ends ? ", ends on silence after one pass" : "");
    printWrapped({"song " + std::to_string(n) + ": \"" + s.title + "\" (" + s.name + head}, width);
    std::vector<std::string> lines = lossLines(s.losses, verbose);
    lines.push_back("entries " + runs({s.entries.begin(), s.entries.end()}));
    char figures[160];
    if (s.measured) {
        std::snprintf(figures, sizeof figures,
                      "fidelity: chroma %.2f, onset %.2f, length %.2f (ROM %.1f s, module %.1f s)",
                      s.fidelity.chroma, s.fidelity.onset, s.fidelity.lengthRatio, s.fidelity.romSeconds,
                      s.fidelity.moduleSeconds);
        lines.push_back(figures);
        lines.push_back(fidelityLines(s.fidelity)[1]);
    } else {
        std::snprintf(figures, sizeof figures, "length: ROM %.1f s, module %.1f s (fidelity not measured)",
                      s.romSeconds, s.moduleSeconds);
        lines.push_back(figures);
    }
    printWrapped(lines, width, "  ");
}

// "; in song 1 stream 2 (music 10%)" for the songs where the effect is best started on another stream.
std::string streamsBySong(const BankResult& bank, std::size_t effect) {
    std::string text;
    for (std::size_t n = 0; n < bank.songs.size(); ++n) {
        const std::vector<EffectStream>& streams = bank.songs[n].streams;
        if (effect >= streams.size() || streams[effect].stream == bank.effects[effect].stream.stream)
            continue;
        text += (text.empty() ? "; " : ", ") + std::string("in song ") + std::to_string(n) + " stream " +
                std::to_string(streams[effect].stream) + " (music " +
                std::to_string(streams[effect].musicPercent) + "%)";
    }
    return text;
}

// printf's formatting into a string, for lines that are wrapped.
template <typename... Args> std::string formatted(const char* format, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

void printReport(const Options& o, const BankResult& bank) {
    const std::size_t width = reportWidth();
    for (std::size_t n = 0; n < bank.songs.size(); ++n)
        printSong(n, bank.songs[n], width, o.verbose);
    if (!bank.effects.empty()) {
        printWrapped(
            {formatted("effects: playSample(entry, stream, tone) plays each at its recorded pitch at %d Hz",
                       bank.rate)},
            width);
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < bank.effects.size(); ++i) {
            const BankEffect& e = bank.effects[i];
            lines.push_back(
                formatted("%s: entry %d, tone %d, %.2f s, %s bytes, stream %d (music %d%% of the time)%s",
                          e.name.c_str(), e.entry, e.tone, e.seconds, grouped(e.bytes).c_str(),
                          e.stream.stream, e.stream.musicPercent, streamsBySong(bank, i).c_str()));
        }
        lines.insert(lines.end(), bank.effectsReport.begin(), bank.effectsReport.end());
        printWrapped(lines, width, "  ");
    }
    std::set<int> songEntries, effectEntries, used;
    for (const BankSong& s : bank.songs)
        songEntries.insert(s.entries.begin(), s.entries.end());
    for (const BankEffect& e : bank.effects)
        effectEntries.insert(e.entry);
    std::set<int> free;
    for (int e = 1; e <= kReachableEntries; ++e)
        if (!songEntries.count(e) && !effectEntries.count(e)) free.insert(e);
    printWrapped({formatted("entries: songs %s (%zu sample(s) shared by several songs), effects %s, free %s",
                            runs(songEntries).c_str(), bank.sharedSamples, runs(effectEntries).c_str(),
                            runs(free).c_str())},
                 width);
    printWrapped(lossLines(bank.samplesLosses, o.verbose), width, "  ");
    const std::size_t tables = kImageSize - kSongTable;
    const std::size_t used_ = bank.songBytes + bank.sampleBytes + bank.signatureBytes + tables;
    printWrapped(
        {formatted("32 KB: songs %s, samples and effects %s, signature %s, tables %zu, free %s bytes",
                   grouped(bank.songBytes).c_str(), grouped(bank.sampleBytes).c_str(),
                   grouped(bank.signatureBytes).c_str(), tables,
                   grouped(kRomSize - std::min<std::size_t>(used_, kRomSize)).c_str()),
         formatted("%s: %zu song(s) and %zu effect(s), written for %d Hz", o.out.c_str(), bank.songs.size(),
                   bank.effects.size(), bank.rate)},
        width);
    // The scale the songs' verdicts are read on, once, and what would lose least across the bank.
    if (!bank.songs.empty() && bank.songs[0].measured)
        printWrapped({fidelityLines(bank.songs[0].fidelity)[2]}, width);
    std::vector<Loss> all = bank.samplesLosses;
    for (const BankSong& s : bank.songs)
        all.insert(all.end(), s.losses.begin(), s.losses.end());
    printWrapped(adviceLines(all, bank.rate), width);
}

int parse(const std::vector<std::string>& args, Options& o) {
    CommandLine line("bank");
    std::optional<int> rate;
    std::vector<std::string> files, effects;
    line.rate(rate);
    line.text("--header", o.header);
    line.text("--asm", o.asmInclude);
    line.text("--json", o.json);
    line.texts("--sfx", effects);
    line.texts("--once", o.once);
    line.quiet(o.quiet);
    line.flag("-v,--verbose", o.verbose);
    line.files(files);
    if (const int status = line.parse(args); status >= 0) return status;
    o.rate = rate.value_or(o.rate);
    for (const std::string& value : effects) {
        const std::size_t eq = value.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == value.size())
            return line.mistake("--sfx needs NAME=FILE, not '" + value + "'");
        o.effects.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    }
    if (files.size() < 2) return line.mistake("needs an output ROM file and 1 to 4 songs");
    if (files.size() > 1 + kBankSongs) return line.mistake("a bank holds at most 4 songs");
    if (o.effects.size() > kBankEffects) return line.mistake("a bank holds at most 8 effects");
    o.out = files[0];
    for (auto f = files.begin() + 1; f != files.end(); ++f)
        o.songs.push_back(namedFile(*f));
    for (const std::string& name : o.once) {
        const auto named = [&](const auto& song) { return song.first == name; };
        const bool number = name.size() == 1 && name[0] >= '0' && name[0] < char('0' + o.songs.size());
        if (!number && std::none_of(o.songs.begin(), o.songs.end(), named))
            return line.mistake("--once names no song: '" + name +
                                "' is neither a song's NAME nor its number 0-" +
                                std::to_string(o.songs.size() - 1));
    }
    return -1;
}

} // namespace

int runBank(const std::vector<std::string>& args) {
    Options o;
    if (const int status = parse(args, o); status >= 0) return status;
    std::vector<std::string> inputs;
    for (const auto& [name, path] : o.songs)
        inputs.push_back(path);
    for (const auto& [name, path] : o.effects)
        inputs.push_back(path);
    OutputSet outputs; // the ROM, and the header and the include when asked for
    outputs.add(o.out);
    if (!o.header.empty()) outputs.add(o.header);
    if (!o.asmInclude.empty()) outputs.add(o.asmInclude);
    if (!o.json.empty()) outputs.add(o.json);
    std::string error;
    if (!outputs.check(inputs, error)) return fail(error);
    for (const auto& [path, kind, ending] :
         {std::tuple<std::string, const char*, const char*>{o.out, "a ROM image", "rom"},
          {o.header, "a C header", "h"},
          {o.asmInclude, "an assembler include", "inc"}})
        if (const std::string wrong = endingMismatch(path, kind, ending); !wrong.empty())
            return commandMistake("bank", wrong);
    std::vector<BankSongInput> songs;
    for (std::size_t n = 0; n < o.songs.size(); ++n) {
        const auto& [name, path] = o.songs[n];
        InputFile file;
        if (!readInput(path, false, file, error)) return fail(error);
        BankSongInput input{path, std::move(file.bytes), file.kind != FileKind::Module, 8000, name, false};
        for (const std::string& once : o.once)
            input.once |= once == name || once == std::to_string(n);
        if (input.rom) { // its song 0, at the rate it was made for
            input.bytes.resize(std::min<std::size_t>(input.bytes.size(), kRomSize));
            RomSignature signature;
            if (readSignature(input.bytes, signature)) input.romRate = static_cast<int>(signature.rate);
        }
        songs.push_back(std::move(input));
    }
    std::vector<EffectRecording> effects;
    for (const auto& [name, path] : o.effects) {
        EffectRecording r;
        if (!readRecording(path, r, error)) return fail(error);
        r.name = name;
        effects.push_back(std::move(r));
    }
    BankOptions options;
    options.rate = o.rate;
    BankResult bank;
    if (!buildBank(songs, effects, options, bank, error)) return fail(error);
    std::vector<std::vector<std::uint8_t>> contents{bank.rom};
    if (!o.header.empty()) {
        const std::string text = bankHeader(bank, o.out, headerPrefix(o.header));
        contents.emplace_back(text.begin(), text.end());
    }
    if (!o.asmInclude.empty()) {
        const std::string text = bankAsm(bank, o.out, headerPrefix(o.asmInclude));
        contents.emplace_back(text.begin(), text.end());
    }
    if (!o.json.empty()) {
        const std::string text = bankJson(bank, o.out);
        contents.emplace_back(text.begin(), text.end());
    }
    if (!outputs.writeWhole(contents, error)) return fail(error);
    if (!o.quiet) printReport(o, bank);
    return 0;
}
