// nibtool import: a tracker song into a ROM image, with the report and the fidelity measured.
#include <cstdio>

#include "commands.h"
#include "import/fidelity.h"
#include "import/import.h"
#include "import/report.h"
#include "rom/rom_builder.h"
#include "rom_file.h"

int runImport(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    int rate = 8000;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kImportUsage, stdout);
            return 0;
        }
        if (args[i] == "--rate") {
            if (i + 1 >= args.size() || !parseNumber(args[++i], 1000L, 96000L, rate))
                return usageError("import", "--rate needs a rate in Hz, 1000-96000");
        } else if (!args[i].empty() && args[i][0] == '-') {
            return usageError("import", "unknown option '" + args[i] + "'");
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) return usageError("import", "needs a module file and an output ROM file");
    RomFile file;
    std::string error;
    if (!readRomFile(files[0], file, error)) return fail(error);
    ImportOptions options;
    options.rate = rate;
    options.measure = true;
    ImportResult result;
    if (!importModule(file.bytes, options, result, error))
        return fail("cannot import '" + files[0] + "': " + error);
    if (!writeBytes(files[1], result.rom)) return fail("cannot write '" + files[1] + "'");
    for (const std::string& line : result.report)
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fprintf(stderr, "%s: \"%s\", written for %d Hz\n", files[1].c_str(), result.title.c_str(), rate);
    if (result.measured)
        for (const std::string& line : fidelityLines(result.fidelity))
            std::fprintf(stderr, "%s\n", line.c_str());
    else
        std::fprintf(stderr, "fidelity: not measured (libxmp could not render the module)\n");
    return 0;
}
