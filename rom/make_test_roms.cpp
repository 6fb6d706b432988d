// Writes the hostile images and N songs that use every effect into DIR, one .rom file each:
//   make_test_roms DIR [N]
#include <cstdio>
#include <cstdlib>

#include "rom_builder.h"
#include "test_roms.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fputs("usage: make_test_roms DIR [SONGS]\n", stderr);
        return 2;
    }
    const unsigned songs = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 8;
    std::vector<NamedRom> roms = hostileRoms();
    for (NamedRom& song : effectSongs(songs, 1))
        roms.push_back(std::move(song));
    for (const NamedRom& rom : roms) {
        const std::string path = std::string(argv[1]) + "/" + rom.name + ".rom";
        if (!writeBytes(path, rom.bytes)) {
            std::fprintf(stderr, "make_test_roms: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
