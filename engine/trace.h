// The trace: lines of text for standard error. Lines are formatted straight into one buffer, and the
// buffer goes to the trace sink in whole lines: whenever it fills, and whenever its owner calls
// flushTrace (the host does before each block of audio, so the trace is never behind the audio).
//
// A line is written by one call, traceLine("next: order ", Pattern, " line ", Line): string literals
// are copied, integers written in decimal, Hex4 values in upper-case hexadecimal padded with spaces to
// four characters. Each part's widest form follows from its type, so the longest line a call can write
// is known when it is compiled.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

// Where the trace goes: `write` receives one or more whole lines, newlines included.
struct TraceSink {
    void (*write)(void* context, const char* text, std::size_t length);
    void* context;
};

// Standard error, unless the host installs its own sink.
extern TraceSink Trace;

// Hands every buffered line to the sink.
void flushTrace();

// A 16-bit value written as printf's "%4X" writes it.
struct Hex4 {
    std::uint16_t value;
};

namespace trace_detail {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr std::size_t kMaxLine = 128;
extern char Buffer[kBufferSize];
extern char* End; // where the next line goes
// A line may start at or before this and still fit.
inline char* const kLastLineStart = Buffer + (kBufferSize - kMaxLine);

// "0" to "255", padded to 3 characters, with the length in the fourth byte: nearly every number in
// the song's trace is one byte.
constexpr auto SmallNumbers = [] {
    std::array<std::array<char, 4>, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        const unsigned length = v >= 100 ? 3 : v >= 10 ? 2 : 1;
        for (unsigned i = 0, x = v; i < length; ++i, x /= 10)
            table[v][length - 1 - i] = static_cast<char>('0' + x % 10);
        table[v][3] = static_cast<char>(length);
    }
    return table;
}();

// The most characters a part of type T can write.
template <typename T> constexpr std::size_t widthOf() {
    if constexpr (std::is_array_v<T>)
        return std::extent_v<T> - 1; // a string literal, less its terminator
    else if constexpr (std::is_same_v<T, Hex4>)
        return 4;
    else
        return std::numeric_limits<T>::digits10 + 1;
}

template <std::size_t N> char* put(char* p, const char (&s)[N]) {
    std::memcpy(p, s, N - 1);
    return p + N - 1;
}
template <typename T, typename = std::enable_if_t<std::is_unsigned_v<T>>> char* put(char* p, T v) {
    if (v < 256) {
        // Copies all four bytes (the fourth is overwritten next) and moves on by the length.
        const auto& digits = SmallNumbers[v];
        std::memcpy(p, digits.data(), 4);
        return p + digits[3];
    }
    return std::to_chars(p, p + widthOf<T>(), v).ptr;
}
char* put(char* p, Hex4 v);

} // namespace trace_detail

// Room for one line of at most kMaxLine bytes (the bytes after the line's end may be overwritten):
// where the line goes. endTraceLine takes the line, once written, newline included.
inline char* beginTraceLine() {
    using namespace trace_detail;
    if (End > kLastLineStart) flushTrace();
    return End;
}
inline void endTraceLine(char* end) {
    trace_detail::End = end;
}

template <typename... Parts> void traceLine(const Parts&... parts) {
    using namespace trace_detail;
    // The widest line this call can write, plus the newline and the byte a small number may spill.
    constexpr std::size_t kLongest = (widthOf<Parts>() + ... + 2);
    static_assert(kLongest <= kMaxLine, "a trace line must fit the line room");
    char* p = beginTraceLine();
    ((p = put(p, parts)), ...);
    *p++ = '\n';
    endTraceLine(p);
}
