#include "rom_check.h"

#include <vector>

#include "engine/state.h"
#include "engine/trace.h"
#include "host/load.h"
#include "host/playback.h"

namespace {

struct Run {
    std::vector<std::uint8_t> audio;
    std::string trace;
};

void capture(void* context, const char* text, std::size_t length) {
    static_cast<std::string*>(context)->append(text, length);
}

// A chunk size for the k-th render call, picked by the input: a few bytes, exactly a sequencer call, or
// a long run.
std::size_t chunkSize(const std::uint8_t* data, std::size_t size, std::size_t k) {
    const unsigned b = size > 0 ? data[(k * 7) % size] : 0;
    switch (k % 3) {
    case 0: return 1 + b % 13;
    case 1: return kStepsPerCall;
    default: return 1 + b * 37 % 2000;
    }
}

Run play(const std::uint8_t* data, std::size_t size, std::size_t bytes, bool chunked) {
    Run run;
    const TraceSink saved = Trace;
    flushTrace();
    Trace = TraceSink{capture, &run.trace};
    resetEngine();
    resolveTables(placeRom(data, size));
    Playback playback;
    playback.start();
    run.audio.resize(bytes);
    for (std::size_t done = 0, k = 0; done < bytes; ++k) {
        const std::size_t n = chunked ? std::min(chunkSize(data, size, k), bytes - done) : bytes;
        playback.render(run.audio.data() + done, n);
        done += n;
    }
    flushTrace();
    Trace = saved;
    return run;
}

std::string compare(const Run& a, const Run& b, const char* what) {
    if (a.audio != b.audio) {
        std::size_t i = 0;
        while (a.audio[i] == b.audio[i])
            ++i;
        return std::string(what) + ": audio differs from byte " + std::to_string(i);
    }
    if (a.trace != b.trace) return std::string(what) + ": trace differs";
    return "";
}

} // namespace

std::string checkRom(const std::uint8_t* data, std::size_t size, std::size_t calls) {
    const std::size_t bytes = calls * kStepsPerCall;
    const Run whole = play(data, size, bytes, false);
    for (std::size_t i = 0; i < bytes; ++i)
        if (whole.audio[i] > 240 || whole.audio[i] % 4 != 0)
            return "byte " + std::to_string(i) + " is " + std::to_string(whole.audio[i]) +
                   ", not a mix of four nibbles";
    std::string failure = compare(whole, play(data, size, bytes, true), "rendering in chunks");
    if (failure.empty()) failure = compare(whole, play(data, size, bytes, false), "a fresh engine");
    return failure;
}
