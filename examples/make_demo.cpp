// Writes the demo song: make_demo OUT.rom
#include <cstdio>

#include "demo_song.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_demo OUT.rom\n", stderr);
        return 2;
    }
    if (!writeBytes(argv[1], demoSong().build())) {
        std::fprintf(stderr, "make_demo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
