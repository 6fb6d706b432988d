// The playback loop: 13 mixer steps, then one sequencer call, for ever. It renders into memory in chunks
// of any size; the bytes are the same however the output is cut.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

// Starts song `number` as the host and a game start one: one sequencer call while no song is selected
// (it sets the speeds' defaults and primes the clock, so that the song's first call plays its line 0),
// then playSong.
void startSong(std::uint8_t number);

class Playback {
  public:
    // Starts a song (nibplay's is 0): writes "playing..." to the trace, then startSong. The image and
    // tables must be loaded.
    void start(std::uint8_t song = 0);

    // Renders the next `size` output bytes, calling the sequencer after every 13th mixer step.
    void render(std::uint8_t* out, std::size_t size);

  private:
    std::size_t stepsSinceCall_ = 0; // mixer steps since the last sequencer call, 0-12
};
