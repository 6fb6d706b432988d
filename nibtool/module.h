// Four-channel tracker modules (31 or 15 samples, 64-row patterns, effects 0-F): a small parser with
// every read bounds-checked, and the conversion into a ROM image for this engine.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rom/rom_builder.h"

struct ModSample {
    std::string name;
    std::vector<std::int8_t> data;             // signed 8-bit, as stored
    int finetune = 0;                          // -8..7, eighths of a semitone
    int volume = 64;                           // 0-64
    std::size_t loopStart = 0, loopLength = 0; // bytes; a loop of 2 bytes or less does not loop
};

struct ModCell {
    std::uint8_t sample = 0;  // 1-31, 0 for none
    std::uint16_t period = 0; // 0 for no note
    std::uint8_t effect = 0, param = 0;
};

struct Module {
    std::string title;
    std::vector<ModSample> samples;   // 31 or 15; sample number n is samples[n - 1]
    std::vector<std::uint8_t> orders; // the song's positions (its length)
    std::uint8_t restart = 0;
    std::vector<std::array<ModCell, 64 * 4>> patterns; // row-major: row * 4 + channel
};

// Parses a module file. Refuses, with a reason, what is not a four-channel module.
bool parseModule(const std::vector<std::uint8_t>& file, Module& mod, std::string& error);

// Converts a module into a ROM image meant to be played at `rate` Hz. `report` receives one line for
// everything that had to change or could not be kept.
RomBuilder convertModule(const Module& mod, int rate, std::vector<std::string>& report);

// The tone semitone (C-1 = 0, one per table step) of a module period, or -1 for none.
int periodSemitone(std::uint16_t period);
