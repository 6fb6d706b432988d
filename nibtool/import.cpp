// nibtool import: a four-channel tracker module into a ROM image.
#include <cstdio>
#include <exception>

#include "commands.h"
#include "module.h"
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
    Module mod;
    if (!parseModule(file.bytes, mod, error)) return fail("cannot import '" + files[0] + "': " + error);
    std::vector<std::string> report;
    std::vector<std::uint8_t> rom;
    try {
        rom = convertModule(mod, rate, report).build();
    } catch (const std::exception& e) { // a layout the converter did not foresee: refuse, do not crash
        return fail("cannot import '" + files[0] + "': " + e.what());
    }
    if (!writeBytes(files[1], rom)) return fail("cannot write '" + files[1] + "'");
    for (const std::string& line : report)
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fprintf(stderr, "%s: \"%s\", %zu positions, %zu patterns, written for %d Hz\n", files[1].c_str(),
                 mod.title.c_str(), mod.orders.size(), mod.patterns.size(), rate);
    return 0;
}
