// Writes the import fuzzer's seeds into DIR: small modules of every format it reads, and MOD variants
// that take the repair path (untagged 15-sample, unknown tag, cut short).
//   make_import_seeds DIR
#include <cstdio>

#include "rom/rom_builder.h"
#include "test_modules.h"

namespace {

std::vector<std::uint8_t> cut(std::vector<std::uint8_t> bytes, std::size_t size) {
    bytes.resize(std::min(bytes.size(), size));
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_import_seeds DIR\n", stderr);
        return 2;
    }
    const ModLayout mod = smallModLayout();
    ModLayout untagged = mod;
    untagged.tag = "";
    untagged.restart = 0x78;
    untagged.samples[0].volume = 80;
    ModLayout unknownTag = mod;
    unknownTag.tag = "LARD";
    const std::vector<std::uint8_t> full = buildMod(mod);
    const std::pair<const char*, std::vector<std::uint8_t>> seeds[] = {
        {"small.mod", full},
        {"untagged15.mod", buildMod(untagged)},
        {"unknown-tag.mod", buildMod(unknownTag)},
        {"cut-in-samples.mod", cut(full, full.size() - 700)},
        {"cut-in-patterns.mod", cut(full, 1084 + 1500)},
        {"tiny.s3m", tinyS3m()},
        {"tiny.xm", tinyXm()},
        {"tiny.it", tinyIt()},
    };
    for (const auto& [name, bytes] : seeds) {
        const std::string path = std::string(argv[1]) + "/" + name;
        if (!writeBytes(path, bytes)) {
            std::fprintf(stderr, "make_import_seeds: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
