// Names for tones, as a tracker shows notes. The step table is one chromatic scale with an extra step
// of 256 (one byte per output sample) between tones 19 and 21; tone 0 is named C-1.
#pragma once

#include <cstdint>
#include <string>

// The semitone of a tone (tone 20, the extra step, counts with tone 19), or -1 for tones above 60.
int semitoneOf(std::uint8_t tone);

// Three characters: "C-1", "F#3"; tone 20 is "G+2" (between G-2 and G#2); tones above 60 "?3D" (hex).
std::string noteName(std::uint8_t tone);
