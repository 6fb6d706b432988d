// libFuzzer target: two modules in one input (the first two bytes say where the first ends), made into a
// bank as `nibtool bank` makes it. It must refuse with one line, or give a 32 KB ROM in which every song,
// started as a game starts it, reads only the file's data.
#include <cstdio>
#include <cstdlib>

#include "import_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 128 * 1024) return -1; // not added to the corpus
    const std::string failure = checkBank(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "bank_fuzzer: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
