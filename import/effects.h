// Effects stage: a game's sound effects, recorded as audio files, become 4-bit samples that the game starts
// with `playSample`. Each is stored at the rate that makes one tone of the step table play it at its
// recorded pitch at the output rate, so the game names that tone and hears the recording as it was made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "samples.h"

// A recording, mixed down to mono.
struct EffectRecording {
    std::string name;
    std::vector<float> frames; // -1..1
    int rate = 0;              // frames per second as recorded
};

// Reads an audio file libsndfile opens (WAV, FLAC, AIFF...). False, with one line in `error`, otherwise.
bool readRecording(const std::string& path, EffectRecording& out, std::string& error);

// An effect made into a table entry (its `entry` is set by the bank).
struct StoredEffect {
    std::string name;
    KeptSample sample;
    std::uint8_t tone = 20; // the tone that plays it at its recorded pitch
    double seconds = 0;     // how long it plays at that tone
    double recordedSeconds = 0;
};

// Stores the recordings in about `space` bytes (two effects share a byte range, one in each nibble). Each
// takes the tone whose stored rate is nearest above the lesser of the recording's rate and the output
// rate (tone 20, one byte per output sample, at most); to fit, the biggest goes a tone lower at a time,
// then the longest is shortened. One report line per kind of loss.
std::vector<StoredEffect> storeEffects(const std::vector<EffectRecording>& recordings, int rate,
                                       std::size_t space, std::vector<std::string>& report);
