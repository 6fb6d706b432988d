#include "playback.h"

#include <algorithm>

#include "engine/trace.h"

void startSong(std::uint8_t number) {
    songTick();
    playSong(number);
}

void Playback::start(std::uint8_t song) {
    traceLine("playing...");
    startSong(song);
    stepsSinceCall_ = 0;
}

void Playback::render(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        const std::size_t run = std::min(size, kStepsPerCall - stepsSinceCall_);
        timer0_isr(out, run);
        out += run;
        size -= run;
        stepsSinceCall_ += run;
        if (stepsSinceCall_ == kStepsPerCall) {
            songTick();
            stepsSinceCall_ = 0;
        }
    }
}
