// Building trace lines without the formatted-output machinery: a line is text and decimal numbers
// appended into a fixed buffer, then handed whole to the trace sink.
#pragma once

#include <charconv>
#include <cstring>
#include <string_view>

#include "engine.h"

class TraceLine {
  public:
    TraceLine& text(std::string_view s) {
        const std::size_t n = s.size() < room() ? s.size() : room();
        std::memcpy(buf_ + len_, s.data(), n);
        len_ += n;
        return *this;
    }
    // A number in decimal, as printf's %d prints it.
    TraceLine& num(std::uint64_t v) {
        len_ += static_cast<std::size_t>(std::to_chars(buf_ + len_, buf_ + kSize, v).ptr - (buf_ + len_));
        return *this;
    }
    // A number in upper-case hexadecimal, space-padded on the left to `width` characters (printf's %4X).
    TraceLine& hex(std::uint64_t v, std::size_t width) {
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, v, 16).ptr;
        const auto n = static_cast<std::size_t>(end - digits);
        for (std::size_t i = n; i < width && room() > 0; ++i)
            buf_[len_++] = ' ';
        for (std::size_t i = 0; i < n && room() > 0; ++i)
            buf_[len_++] = digits[i] >= 'a' ? static_cast<char>(digits[i] - 'a' + 'A') : digits[i];
        return *this;
    }
    // Ends the line with a newline and hands it to the sink.
    void emit(const TraceSink& sink = Trace) {
        text("\n");
        sink.write(sink.context, buf_, len_);
    }

  private:
    static constexpr std::size_t kSize = 128; // far above the longest line (about 80 characters)
    std::size_t room() const { return kSize - len_; }
    char buf_[kSize];
    std::size_t len_ = 0;
};
