// Writes the import's worst case for time and memory: make_dense_xm FILE [CHANNELS ORDERS ROWS] writes an
// XM with a note in every cell (64 channels, 256 orders of 256-row patterns by default: 12.6 MB).
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "fuzz/test_modules.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::fputs("usage: make_dense_xm FILE [CHANNELS ORDERS ROWS]\n", stderr);
        return 2;
    }
    const auto arg = [&](int i, unsigned fallback, unsigned most) {
        const long v = argc == 5 ? std::strtol(argv[i], nullptr, 10) : long(fallback);
        return static_cast<unsigned>(v < 1 ? 1 : v > long(most) ? most : v);
    };
    const std::vector<std::uint8_t> xm = denseXm(arg(2, 64, 64), arg(3, 256, 256), arg(4, 256, 256));
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(xm.data()), static_cast<std::streamsize>(xm.size()));
    if (!out) {
        std::fprintf(stderr, "make_dense_xm: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
