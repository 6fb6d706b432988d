// Voices stage: the module's channels onto the engine's four streams. A module of four channels or fewer
// keeps channel c on stream c. With more, each note start takes a stream whose channel is silent, or the
// one whose sound matters least now (quiet, and old), when the new note matters more; unless another
// choice (another stream, or none) keeps the four streams' pitch classes over the next half second clearly
// nearer the whole mix's: melody, bass and chords are kept before notes that double what already sounds.
// A note counts from where it is first heard: one that starts silent (a volume envelope's attack from 0)
// takes a stream there. A stream changes channel only at such a start, so no note is cut into mid-way.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "capture.h"

constexpr std::size_t kVoices = 4;

// What one stream plays during one tick: a channel's sound, or nothing (channel -1).
struct StreamTick {
    int channel = -1;
    ChannelTick sound; // a start here also marks the stream taking a new channel's note
};

struct VoicePlan {
    std::vector<std::array<StreamTick, kVoices>> ticks; // one per captured tick
    std::size_t notes = 0;                              // note starts in the module
    std::size_t notesLeftOut = 0;                       // starts that found no stream
    std::vector<std::size_t> leftOutByChannel;          // the same, by module channel
};

VoicePlan assignVoices(const Performance& performance);
