#include "notes.h"

#include <cstdio>

int semitoneOf(std::uint8_t tone) {
    if (tone > 60) return -1;
    return tone <= 20 ? (tone == 20 ? 19 : tone) : tone - 1;
}

std::uint8_t toneOf(int semitone) {
    return static_cast<std::uint8_t>(semitone <= 19 ? semitone : semitone + 1);
}

std::string noteName(std::uint8_t tone) {
    static constexpr const char* kNames[12] = {"C-", "C#", "D-", "D#", "E-", "F-",
                                               "F#", "G-", "G#", "A-", "A#", "B-"};
    char text[8];
    if (tone > 60)
        std::snprintf(text, sizeof text, "?%02X", tone);
    else if (tone == 20)
        std::snprintf(text, sizeof text, "G+2");
    else {
        const int k = semitoneOf(tone);
        std::snprintf(text, sizeof text, "%s%d", kNames[k % 12], 1 + k / 12);
    }
    return text;
}
