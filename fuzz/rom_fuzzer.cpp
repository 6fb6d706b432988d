// libFuzzer target: the input is a ROM file's bytes (up to 40 KB).
#include <cstdio>
#include <cstdlib>

#include "rom_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 40 * 1024) return -1; // not added to the corpus
    const std::string failure = checkRom(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "rom_fuzzer: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
