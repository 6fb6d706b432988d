// Writes the import fuzzer's seeds into DIR: small modules of every format it reads, and MOD variants
// that take the repair path (untagged 15-sample, unknown tag, cut short). With --bank, the bank fuzzer's:
// pairs of them in one input, the first two bytes (big-endian) giving the first one's length.
//   make_import_seeds DIR [--bank]
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "import/mod_layout.h"
#include "rom/rom_builder.h"
#include "test_modules.h"

namespace {

std::vector<std::uint8_t> cut(std::vector<std::uint8_t> bytes, std::size_t size) {
    bytes.resize(std::min(bytes.size(), size));
    return bytes;
}

} // namespace

// Two modules as one bank fuzzer input.
std::vector<std::uint8_t> pair(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(a.size() >> 8),
                                    static_cast<std::uint8_t>(a.size())};
    bytes.insert(bytes.end(), a.begin(), a.end());
    bytes.insert(bytes.end(), b.begin(), b.end());
    return bytes;
}

int main(int argc, char** argv) {
    const bool bank = argc == 3 && std::string(argv[2]) == "--bank";
    if (argc != 2 && !bank) {
        std::fputs("usage: make_import_seeds DIR [--bank]\n", stderr);
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
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds = {
        {"small.mod", full},
        {"untagged15.mod", buildMod(untagged)},
        {"unknown-tag.mod", buildMod(unknownTag)},
        {"cut-in-samples.mod", cut(full, full.size() - 700)},
        {"cut-in-patterns.mod", cut(full, kModPatternsAt + 1500)},
        {"tiny.s3m", tinyS3m()},
        {"tiny.xm", tinyXm()},
        {"tiny.it", tinyIt()},
    };
    if (bank) {
        const auto modules = seeds;
        seeds.clear();
        for (std::size_t i = 0; i < modules.size(); ++i) // each with the next: every format, every repair
            seeds.emplace_back(modules[i].first + "+" + modules[(i + 1) % modules.size()].first,
                               pair(modules[i].second, modules[(i + 1) % modules.size()].second));
        seeds.emplace_back("small.mod+small.mod", pair(full, full));
    }
    for (const auto& [name, bytes] : seeds) {
        const std::string path = std::string(argv[1]) + "/" + name;
        if (!writeBytes(path, bytes)) {
            std::fprintf(stderr, "make_import_seeds: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
