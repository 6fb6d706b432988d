#include "notes.h"

#include <cstdio>

#include "engine/format.h"

int semitoneOf(std::uint8_t tone) {
    // Tone kUnitTone, the extra step, counts with the tone below it; the tones above it are one higher
    // than their semitones.
    if (tone > kHighestTone) return -1;
    return tone <= kUnitTone ? (tone == kUnitTone ? kUnitTone - 1 : tone) : tone - 1;
}

std::string noteName(std::uint8_t tone) {
    static constexpr const char* kNames[12] = {"C-", "C#", "D-", "D#", "E-", "F-",
                                               "F#", "G-", "G#", "A-", "A#", "B-"};
    char text[8];
    if (tone > kHighestTone)
        std::snprintf(text, sizeof text, "?%02X", tone);
    else if (tone == kUnitTone)
        std::snprintf(text, sizeof text, "G+2");
    else {
        const int k = semitoneOf(tone);
        std::snprintf(text, sizeof text, "%s%d", kNames[k % 12], 1 + k / 12);
    }
    return text;
}
