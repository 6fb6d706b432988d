// Plays a ROM image as nibplay does and checks what must hold whatever the image holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Loads `size` bytes exactly as the host loads a file, starts song 0 and runs `calls` sequencer calls
// (13 mixer steps each), three times: in one go, in chunks whose sizes the input's own bytes pick, and in
// one go again on a freshly initialised engine. Returns "" when every check holds, else what failed:
//   - every output byte is at most 240 and a multiple of 4 (four 4-bit values summed, times 4, plus 128);
//   - the chunked run gives the same bytes and trace as the first;
//   - the fresh run gives the same bytes and trace as the first (no state leaks between runs).
std::string checkRom(const std::uint8_t* data, std::size_t size, std::size_t calls = 2000);
