// Writes the benchmark songs: make_bench_roms DIR writes DIR/note-every-cell.rom and
// DIR/note-every-call.rom.
#include <cstdio>
#include <string>

#include "bench_roms.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_bench_roms DIR\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    if (!writeBytes(dir + "/note-every-cell.rom", noteEveryCellSong().build()) ||
        !writeBytes(dir + "/note-every-call.rom", noteEveryCallSong().build())) {
        std::fprintf(stderr, "make_bench_roms: cannot write to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
