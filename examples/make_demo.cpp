// Writes the demo song: make_demo OUT.rom
#include <cstdio>
#include <fstream>

#include "demo_song.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_demo OUT.rom\n", stderr);
        return 2;
    }
    const std::vector<std::uint8_t> bytes = demoSong().build();
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_demo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
