// Which stream a game should start an effect on while a song plays. Starting `playSample` on a stream
// takes it from the song: the song's sound there is lost until its next note on that stream, and the song
// in turn cuts or bends the effect at its next note, stop, start or pitch change there. For every stream
// the song is played once through on the engine and both are measured for an effect started at any
// moment: the stream whose expected loss (seconds of the song's sound plus seconds of the effect) is least
// is the one to use. A stream the song never uses loses nothing.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/engine.h"

// One song's streams, measured over its once-through.
struct SongStreams {
    std::array<double, kStreams> music{}; // the share of the song's time each stream sounds, 0-1
    double callSeconds = 0;               // the length of one sequencer call at the rate
    // Per stream and call of the song (and, past its end, of what follows: its repeat, or silence): the
    // stream sounds in the song; a note starts on it after the call; the song touches it after the call.
    std::array<std::vector<std::uint8_t>, kStreams> sounds, notes, touches;
    std::size_t calls = 0; // calls of the once-through; the vectors run on past it
};

// Plays song `number` of `rom` (a 32 KB image) at `rate` once through, and what follows it long enough
// for an effect of `longestEffect` seconds. Leaves the engine reset, holding the image.
SongStreams measureStreams(const std::vector<std::uint8_t>& rom, std::uint8_t number, int rate,
                           double longestEffect);

// The expected seconds of sound lost (the song's and the effect's) when an effect of `seconds` starts on
// `stream` at a moment of the song taken at random.
double expectedLoss(const SongStreams& song, std::size_t stream, double seconds);

// The stream whose expected loss is least over the songs, each song weighing the same (the higher
// stream when they are as good: stream 3, the one a song of fewer channels leaves free, first).
std::uint8_t bestStream(const std::vector<const SongStreams*>& songs, double seconds);
