// Capture stage: libxmp plays the module once through, and every tick is written down as what each
// channel does during it: which sample sounds, at what frequency and volume, and where notes start. This
// is the performance with every effect and format quirk already applied by libxmp's player.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "load.h"
#include "measure/large_memory.h"
#include "policy/policy.h"

// One channel during one tick.
// (The members are ordered to take 32 bytes: a long song holds one per channel and tick.)
struct ChannelTick {
    int sample = -1;          // libxmp sample index, -1 when nothing sounds
    std::uint32_t offset = 0; // with start: the sample frame it starts from (a sample offset), else 0
    double frequency = 0;     // sample frames per second the sample is played at; 0 when silent
    double volume = 0;        // final volume, 0-1 (envelopes, fades and global volume applied)
    bool start = false;       // a note (re)starts the sample during this tick
    bool ended = false;       // the sample has played to its end (it does not loop)
};

// One tick of the module.
struct TickInfo {
    double time = 0;                   // seconds from the song's start to this tick's start
    double duration = 0;               // seconds
    int order = 0, row = 0, frame = 0; // order position, row and tick within the row
    // A capture takes every tick's channels from its performance's tick memory; a copy of a tick takes
    // its own from the heap.
    std::vector<ChannelTick, BulkAllocator<ChannelTick>> channels;
};

// A sample's data, as libxmp holds it, in -1..1.
struct SampleData {
    std::string name;
    int instrument = 0; // the module's instrument that plays it (from 1), where that numbers it differently
    int song = -1;      // in a bank's samples: the song it comes from (0-3), and its number there (from 1)
    int number = 0;
    std::vector<float> frames;
    bool loops = false;
    std::size_t loopStart = 0, loopEnd = 0; // frames; loopEnd is one past the loop
    bool bidirectional = false;
    double c5speed = 0; // frames per second at libxmp's reference period, measured while capturing
};

// Below this a frame (a sample's, or a render's) is silence: 16 bits' least step but one.
constexpr float kLeastSound = 2.0f / 32768;

// Whether a sample's frames hold any sound (an empty slot a song plays holds none).
bool holdsSound(const SampleData& sample);

// A further song of the order list that no jump of the first reaches, played after it.
struct HiddenSong {
    int order = 0;      // the order position it starts from
    double seconds = 0; // its length once through
};

struct Performance {
    std::string title, format;
    int channels = 0;
    // Where the captured ticks' channels are kept: one allocation per tick would cost more than the
    // capture's own work.
    std::shared_ptr<BulkMemory> tickMemory;
    std::vector<TickInfo> ticks;
    std::vector<SampleData> samples; // by libxmp sample index
    std::vector<int> orderPatterns;  // the module pattern at each order position
    double length = 0;               // seconds once through
    double startSeconds = 0;         // where in the song the capture starts (0 unless it started later)
    std::size_t loopTick = 0;        // the tick the module goes on from when it repeats
    bool cappedLength = false;       // the module did not repeat within the capture's limit
    std::vector<HiddenSong> hidden;  // songs played after the first, in order; the repeat stays in the first
    std::vector<float> render;       // the module's sound as it played, at the rate asked for (fidelity.h)
    bool rendered = false;           // `render` is complete
};

// The module's ticks as the engine can time them at `rate` Hz. A tick longer than the engine's longest
// (128 sequencer calls of 13 output bytes) becomes as many equal ticks as it takes, each with the
// channels' state of the tick (notes start on the first), so lines get more ticks and effects stay in
// step. Returns how many ticks are shorter than the engine's shortest (one call): those last a call.
std::size_t fitTicksToRate(Performance& performance, int rate);

// Plays the loaded module once through, rendering its sound at `rate` Hz as it goes (the reference the
// ROM is measured against) unless `render` is false. Longer than `maxSeconds` stops there. Songs of the
// order list that the first never reaches follow it once each, in order, as module players play the file.
// From `fromSeconds` on, it starts at the order position playing then, notes of earlier positions not
// sounding.
Performance capturePerformance(LoadedModule& module, int rate = kDefaultRate,
                               double maxSeconds = kLongestSongSeconds, bool render = true,
                               double fromSeconds = 0);
