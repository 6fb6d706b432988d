// libFuzzer target: the input is a module file's bytes (up to 64 KB), imported as `nibtool import` does.
// The import must refuse with one line, or give a 32 KB ROM whose every read stays in the file's data.
#include <cstdio>
#include <cstdlib>

#include "import_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return -1; // not added to the corpus
    const std::string failure = checkImport(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "import_fuzzer: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
