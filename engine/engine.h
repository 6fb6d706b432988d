// The sound engine: four sample streams mixed into 8-bit PCM, and the sequencer that plays a song on them.
//
// The engine was written for a 16-bit target, and keeps that shape: one engine per process, all state
// global and zero at start, fixed-size arrays indexed by stream number, 8-bit counters that wrap. The host
// fills the memory image and the two tables once, then calls `songTick` once after every 13 mixer steps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format.h"

// ---- The memory image -------------------------------------------------------------------------------

constexpr std::size_t kStreams = kChannels; // channel c of a song line plays on stream c

// The 64 KB memory image. The host writes it once before playback; the engine only reads it.
extern std::uint8_t ROM[kImageSize];

// Prepares the mixer for the image's contents; the host calls it once after it writes the image.
void decodeImage();

// The one read of the image that every part of the engine uses: bytes past the image read as 0.
inline std::uint8_t imageByte(Position pos) {
    return pos < kImageSize ? ROM[pos] : 0;
}

// Copies `count` bytes from `pos` on, under the same rule.
inline void imageBytes(Position pos, std::uint8_t* out, std::size_t count) {
    if (count <= kImageSize && pos <= kImageSize - count) {
        std::memcpy(out, ROM + pos, count);
    } else {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = imageByte(pos + i);
    }
}

// A big-endian 16-bit address stored in the image.
inline std::uint16_t imageWord(Position pos) {
    return static_cast<std::uint16_t>(imageByte(pos) << 8 | imageByte(pos + 1));
}

// One resolved sample.
struct SampleRecord {
    Position start = 0;      // first sample byte
    Position end = 0;        // one past the last byte; reaching it loops or stops the stream
    std::uint8_t nibble = 0; // 0: the low nibble of each byte, any other value: the high nibble
    Position loopStart = 0;  // where playback goes on after `end`; 0x00FF or below: no loop
};

// Indexed by a cell's sample number. The host fills 0-14 from the ROM table; 15-31 stay zero, so sample
// number 15 starts from the all-zero record (it mixes the byte at image address 0 once, then stops).
extern SampleRecord SampleInfo[32];
extern Position SongInfo[kSongs];

// ---- Mixer (engine/mixer.cpp) -----------------------------------------------------------------------

// Steps, 8.8 fixed point, indexed by tone 0-60. Entry kUnitTone (20) is an extra 256 between 245 and 259.
constexpr std::uint16_t PeriodTable[kTones] = {
    81,   86,   92,   97,   103,  109,  115,  122,  130,  137,  145,  154,  163, 173,  183,  194,
    206,  218,  231,  245,  256,  259,  275,  291,  308,  326,  345,  366,  387, 411,  436,  462,
    489,  518,  549,  581,  617,  652,  690,  734,  775,  820,  872,  924,  975, 1033, 1098, 1162,
    1234, 1303, 1381, 1468, 1550, 1641, 1743, 1860, 1964, 2082, 2214, 2324, 2491};

// The step of every tone a cell or an arpeggio can name: tones above kHighestTone play the highest step.
// One load for a note start, with no test of the tone.
constexpr auto ToneSteps = [] {
    std::array<std::uint16_t, 256> steps{};
    for (std::size_t tone = 0; tone < steps.size(); ++tone)
        steps[tone] = PeriodTable[tone <= kHighestTone ? tone : kHighestTone];
    return steps;
}();

static_assert(
    [] {
        for (const std::uint16_t step : ToneSteps)
            if (step == 0) return false;
        return true;
    }(),
    "every tone moves its stream");

// The step of a tone.
inline std::uint16_t toneStep(std::uint8_t tone) {
    return ToneSteps[tone];
}

// Per-stream state, indexed by stream 0-3. The effects set a stream's step and volume here directly; a
// new step takes effect at the next mixer step. Where a stream is (its position, end, loop start and
// fraction) is the mixer's alone: it keeps each stream's run across calls, so the rest of the engine
// reads these four and moves a stream only through the mixer's operations (playSample, restoreMixer).
extern const Position (&AS)[kStreams];                // position of the byte read at the next step
extern const Position (&ASEnd)[kStreams];             // end of the sample playing
extern const Position (&ASReload)[kStreams];          // loop start of the sample playing
extern std::uint16_t ASIncr[kStreams];                // step: high byte whole bytes, low byte 1/256ths
extern const std::uint8_t (&ASIncrFracCnt)[kStreams]; // accumulated fraction of a byte, in 1/256ths
extern std::uint8_t ASVolume[kStreams];               // written by the volume effects; the mix never reads it

// The running and nibble-select flags, reached by stream number; other stream numbers read 0 and
// writing them does nothing.
std::uint8_t getStreamRunning(std::uint8_t s);
void setStreamRunning(std::uint8_t s, std::uint8_t v);
std::uint8_t getNibbleSelect(std::uint8_t s);
void setNibbleSelect(std::uint8_t s, std::uint8_t v);

// Sets a stream's step from a tone; position, fraction and running flag stay. Streams other than 0-3
// are left alone, here and in playSample.
void setSampleTone(std::uint8_t s, std::uint8_t tone);

// Starts sample number n (below 32) on stream s (0-3) at a tone, from the sample's start.
void playSample(std::uint8_t n, std::uint8_t s, std::uint8_t tone);

// Runs `steps` mixer steps (timer interrupts on the target) and writes one byte per step to `out`. Each
// byte is the mix of the step before it, so the very first byte of a run from reset is 128.
void timer0_isr(std::uint8_t* out, std::size_t steps);

// The mixer's whole state: every stream's position, end, loop start, step, fraction, volume and flags,
// and the mix waiting to be written. A plain copy, for snapshots (engine/state.h).
struct MixerState {
    Position position[kStreams] = {};
    Position end[kStreams] = {};
    Position loopStart[kStreams] = {};
    std::uint16_t step[kStreams] = {};
    std::uint8_t fraction[kStreams] = {};
    std::uint8_t volume[kStreams] = {};
    std::uint8_t running[kStreams] = {};
    std::uint8_t nibble[kStreams] = {};
    std::uint8_t sample = 0; // the mix of the last step, written out by the next
};
MixerState snapshotMixer();
void restoreMixer(const MixerState& state);

// Resets the mixer's state to how a fresh process starts: every stream stopped at position 0, the mix
// silent. The sequencer is not the mixer's to reset; resetEngine (engine/state.h) resets both.
void soundInit();

// ---- Sequencer (engine/sequencer.cpp) ---------------------------------------------------------------

// Selects song n (0-3) from its first line; speeds, counters and streams stay as they are.
void playSong(std::uint8_t n);

// Deselects the song; streams that are playing go on.
void stopSong();

// One call of the song clock; the host makes one after every 13 mixer steps.
void songTick();

// Applies one cell's effect on channel c, on every tick of the cell's line.
void applyEffect(std::uint8_t c, std::uint8_t effect, std::uint8_t tone, std::uint8_t param);

// Mixer steps per sequencer call.
constexpr std::size_t kStepsPerCall = 13;
