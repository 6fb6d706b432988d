// Writes the benchmark songs: make_bench_roms DIR writes DIR/note-every-cell.rom and
// DIR/note-every-call.rom.
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_roms.h"

namespace {
bool write(const std::string& path, const RomBuilder& rom) {
    const std::vector<std::uint8_t> bytes = rom.build();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_bench_roms DIR\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    if (!write(dir + "/note-every-cell.rom", noteEveryCellSong()) ||
        !write(dir + "/note-every-call.rom", noteEveryCallSong())) {
        std::fprintf(stderr, "make_bench_roms: cannot write to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
