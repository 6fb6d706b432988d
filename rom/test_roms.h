// Sets of ROM images for fuzzing seeds, soaks and checks: songs that use every effect, and hostile
// images whose tables point anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct NamedRom {
    std::string name;
    std::vector<std::uint8_t> bytes; // the file, any length
};

// Well-formed songs: every effect with varied parameters, over looping and one-shot samples.
std::vector<NamedRom> effectSongs(unsigned count, std::uint32_t seed);

// Extremes: all 0x00 and all 0xFF, songs at 0x0000 and 0xFFF0, loops that creep past the image,
// zero-length and one-byte samples, loop starts beyond the end, short and long files.
std::vector<NamedRom> hostileRoms();
