// The stream mixer: four streams read 4-bit samples from the image at a fixed-point step, and each
// mixer step sums them into one unsigned 8-bit output byte.
#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

#include "engine.h"
#include "sequencer.h"

std::uint8_t ROM[kImageSize];
SampleRecord SampleInfo[32];
Position SongInfo[kSongs];

namespace {
void writeStandardError(void*, const char* text, std::size_t length) {
    std::fwrite(text, 1, length, stderr);
}
} // namespace

TraceSink Trace = {writeStandardError, nullptr};

Position AS[kStreams];
Position ASEnd[kStreams];
Position ASReload[kStreams];
std::uint16_t ASIncr[kStreams];
std::uint8_t ASIncrFracCnt[kStreams];
std::uint8_t ASVolume[kStreams];

// The mix of the last step, written out by the next one. Wraps modulo 256.
static std::uint8_t sample;

// The running (R) and nibble-select (N) flags are single bytes on the target, one per stream.
static std::uint8_t AS0R, AS1R, AS2R, AS3R;
static std::uint8_t AS0N, AS1N, AS2N, AS3N;

namespace {

std::uint8_t* runningFlag(std::uint8_t s) {
    switch (s) {
    case 0: return &AS0R;
    case 1: return &AS1R;
    case 2: return &AS2R;
    case 3: return &AS3R;
    default: return nullptr;
    }
}

std::uint8_t* nibbleFlag(std::uint8_t s) {
    switch (s) {
    case 0: return &AS0N;
    case 1: return &AS1N;
    case 2: return &AS2N;
    case 3: return &AS3N;
    default: return nullptr;
    }
}

// The signed value (-8..7) of every byte, read from its low nibble (row 0) or its high nibble (row 1).
constexpr auto NibbleValue = [] {
    std::array<std::array<std::int8_t, 256>, 2> table{};
    for (int b = 0; b < 256; ++b) {
        const int low = b & 15, high = b >> 4;
        table[0][static_cast<std::size_t>(b)] = static_cast<std::int8_t>(low < 8 ? low : low - 16);
        table[1][static_cast<std::size_t>(b)] = static_cast<std::int8_t>(high < 8 ? high : high - 16);
    }
    return table;
}();

// A loop start at image address 0x00FF or below means the sample does not loop.
constexpr Position kLowestLoopStart = 0x0100;

// One step of stream s, from any state: reads the byte at the position, advances the position and
// fraction together by the step, then loops or stops the stream if it has reached its end. Returns
// the value read.
std::int8_t stepStream(std::uint8_t s, const std::int8_t* nibbles) {
    const std::int8_t value = nibbles[imageByte(AS[s])];
    const unsigned fraction = ASIncrFracCnt[s] + ASIncr[s];
    AS[s] += fraction >> 8;
    ASIncrFracCnt[s] = static_cast<std::uint8_t>(fraction);
    if (AS[s] >= ASEnd[s]) {
        if (ASReload[s] < kLowestLoopStart) setStreamRunning(s, 0);
        // Loop start plus the overshoot; a stream that stopped keeps this position for a restart.
        AS[s] = AS[s] + ASReload[s] - ASEnd[s];
    }
    return value;
}

// Adds `steps` steps of running stream s into mix[0..steps). Returns early if the stream stops.
//
// Most steps lie in a free run: the position is below the sample's end (and the image's) and stays below
// it after the advance, so the read needs no check and the end test cannot fire. In the free run position and
// fraction are one 8.8 fixed-point number, so one addition advances both. The step that reaches the end, or
// any step that starts at or past it, is a full step.
void mixStream(std::uint8_t s, std::uint8_t* mix, std::size_t steps) {
    const std::int8_t* nibbles = NibbleValue[getNibbleSelect(s) != 0 ? 1 : 0].data();
    const std::uint32_t incr = ASIncr[s];
    std::size_t i = 0;
    while (i < steps) {
        const Position end = std::min(ASEnd[s], kImageSize);
        if (AS[s] < end) {
            std::uint64_t acc = AS[s] << 8 | ASIncrFracCnt[s];
            const std::uint64_t endAcc = end << 8;
            const std::uint64_t room = endAcc - acc - 1; // advances that stay below the end: room / incr
            const std::size_t run =
                incr == 0 ? steps - i
                          : static_cast<std::size_t>(std::min<std::uint64_t>(room / incr, steps - i));
            for (const std::size_t stop = i + run; i < stop; ++i) {
                mix[i] = static_cast<std::uint8_t>(mix[i] + nibbles[ROM[acc >> 8]]);
                acc += incr;
            }
            AS[s] = acc >> 8;
            ASIncrFracCnt[s] = static_cast<std::uint8_t>(acc);
            if (i == steps) return;
        }
        mix[i] = static_cast<std::uint8_t>(mix[i] + stepStream(s, nibbles));
        ++i;
        if (getStreamRunning(s) == 0) return;
    }
}

} // namespace

std::uint8_t getStreamRunning(std::uint8_t s) {
    const std::uint8_t* flag = runningFlag(s);
    return flag ? *flag : 0;
}

void setStreamRunning(std::uint8_t s, std::uint8_t v) {
    if (std::uint8_t* flag = runningFlag(s)) *flag = v;
}

std::uint8_t getNibbleSelect(std::uint8_t s) {
    const std::uint8_t* flag = nibbleFlag(s);
    return flag ? *flag : 0;
}

void setNibbleSelect(std::uint8_t s, std::uint8_t v) {
    if (std::uint8_t* flag = nibbleFlag(s)) *flag = v;
}

// On the target these two index the stream arrays unchecked; here a stream or sample number outside the
// tables does nothing, as the flag accessors already do.
void setSampleTone(std::uint8_t s, std::uint8_t tone) {
    if (s < kStreams) ASIncr[s] = toneStep(tone);
}

void playSample(std::uint8_t n, std::uint8_t s, std::uint8_t tone) {
    if (s >= kStreams || n >= std::size(SampleInfo)) return;
    // Stopped while its positions change, so a step in between would skip the stream.
    setStreamRunning(s, 0);
    AS[s] = SampleInfo[n].start;
    ASReload[s] = SampleInfo[n].loopStart;
    ASEnd[s] = SampleInfo[n].end;
    setSampleTone(s, tone);
    ASIncrFracCnt[s] = 0;
    setNibbleSelect(s, SampleInfo[n].nibble);
    setStreamRunning(s, 1);
}

void timer0_isr(std::uint8_t* out, std::size_t steps) {
    // The streams are independent within a step and the mix is a sum, so each stream is mixed over the
    // whole run in turn. mix[0] is the previous step's mix, written out first; mix[k + 1] is step k's.
    constexpr std::size_t kRun = 64;
    std::uint8_t mix[kRun + 1];
    while (steps > 0) {
        const std::size_t run = std::min(steps, kRun);
        mix[0] = sample;
        std::fill(mix + 1, mix + 1 + run, std::uint8_t{0});
        for (std::uint8_t s = 0; s < kStreams; ++s)
            if (getStreamRunning(s) != 0) mixStream(s, mix + 1, run);
        for (std::size_t k = 0; k < run; ++k)
            out[k] = static_cast<std::uint8_t>(mix[k] * 4 + 128);
        sample = mix[run];
        out += run;
        steps -= run;
    }
}

void soundInit() {
    std::fill(std::begin(AS), std::end(AS), Position{0});
    std::fill(std::begin(ASEnd), std::end(ASEnd), Position{0});
    std::fill(std::begin(ASReload), std::end(ASReload), Position{0});
    std::fill(std::begin(ASIncr), std::end(ASIncr), std::uint16_t{0});
    std::fill(std::begin(ASIncrFracCnt), std::end(ASIncrFracCnt), std::uint8_t{0});
    std::fill(std::begin(ASVolume), std::end(ASVolume), std::uint8_t{0});
    AS0R = AS1R = AS2R = AS3R = 0;
    AS0N = AS1N = AS2N = AS3N = 0;
    sample = 0;
    sequencerInit();
}
