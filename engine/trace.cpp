#include "trace.h"

#include <charconv>
#include <cstdio>

namespace {
void writeStandardError(void*, const char* text, std::size_t length) {
    std::fwrite(text, 1, length, stderr);
}

} // namespace

TraceSink Trace = {writeStandardError, nullptr};

namespace trace_detail {
char Buffer[kBufferSize];
char* End = Buffer;
} // namespace trace_detail

void flushTrace() {
    using namespace trace_detail;
    if (End == Buffer) return;
    const auto length = static_cast<std::size_t>(End - Buffer);
    End = Buffer;
    Trace.write(Trace.context, Buffer, length);
}

namespace trace_detail {
char* put(char* p, Hex4 v) {
    char digits[4];
    const auto n = static_cast<std::size_t>(std::to_chars(digits, digits + 4, v.value, 16).ptr - digits);
    for (std::size_t i = n; i < 4; ++i)
        *p++ = ' ';
    for (std::size_t i = 0; i < n; ++i)
        *p++ = digits[i] >= 'a' ? static_cast<char>(digits[i] - 'a' + 'A') : digits[i];
    return p;
}
} // namespace trace_detail
