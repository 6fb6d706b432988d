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
    // Per effect asked for, per stream: the expected seconds of sound lost (the song's and the effect's)
    // when the effect starts on that stream at a moment of the song taken at random.
    std::vector<std::array<double, kStreams>> loss;
    std::size_t calls = 0; // calls of the once-through
};

// Plays song `number` of `rom` (a 32 KB image) at `rate` once through, and on past its end (its repeat,
// or silence for a song that ends) long enough for the longest effect, and measures it for effects of
// `effectSeconds`. Leaves the engine reset, holding the image.
SongStreams measureStreams(const std::vector<std::uint8_t>& rom, std::uint8_t number, int rate,
                           const std::vector<double>& effectSeconds);

// The stream whose loss for effect `effect` is least over the songs, each song weighing the same (the
// higher stream when they are as good: stream 3, the one a song of fewer channels leaves free, first).
std::uint8_t bestStream(const std::vector<const SongStreams*>& songs, std::size_t effect);
