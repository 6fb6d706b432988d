// The stream mixer: four streams read 4-bit samples from the image at a fixed-point step, and each
// mixer step sums them into one unsigned 8-bit output byte.
#include <algorithm>
#include <array>
#include <iterator>

#include "engine.h"

std::uint8_t ROM[kImageSize];
SampleRecord SampleInfo[32];
Position SongInfo[kSongs];

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

std::uint8_t* const RunningFlags[kStreams] = {&AS0R, &AS1R, &AS2R, &AS3R};
std::uint8_t* const NibbleFlags[kStreams] = {&AS0N, &AS1N, &AS2N, &AS3N};

// The signed value (-8..7) of every byte: row 0 reads its low nibble, row 1 its high nibble.
constexpr auto NibbleValue = [] {
    std::array<std::array<std::int8_t, 256>, 2> table{};
    for (int b = 0; b < 256; ++b) {
        const int low = b & 15, high = b >> 4;
        table[0][static_cast<std::size_t>(b)] = static_cast<std::int8_t>(low < 8 ? low : low - 16);
        table[1][static_cast<std::size_t>(b)] = static_cast<std::int8_t>(high < 8 ? high : high - 16);
    }
    return table;
}();

std::uint8_t outputByte(std::uint8_t mix) {
    return static_cast<std::uint8_t>(mix * 4 + 128);
}

// One whole mixer step, every rule applied in turn: write the last mix, then for each running stream read
// the nibble at its position, advance position and fraction by the step, and loop or stop it at its end.
std::uint8_t fullStep() {
    const std::uint8_t out = outputByte(sample);
    sample = 0;
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        if (getStreamRunning(s) == 0) continue;
        const std::uint8_t byte = imageByte(AS[s]);
        sample = static_cast<std::uint8_t>(sample + NibbleValue[getNibbleSelect(s) != 0][byte]);
        const unsigned fraction = ASIncrFracCnt[s] + ASIncr[s]; // the carry is bit 8
        AS[s] += fraction >> 8;
        ASIncrFracCnt[s] = static_cast<std::uint8_t>(fraction);
        if (AS[s] >= ASEnd[s]) {
            if (ASReload[s] < kLowestLoopStart) setStreamRunning(s, 0);
            // Loop start plus the overshoot; a stream that stopped keeps this position for a restart.
            AS[s] = AS[s] + ASReload[s] - ASEnd[s];
        }
    }
    return out;
}

// The value of every image nibble: Decoded[0x10000 * select + position], select 0 for the low nibble
// and 1 for the high. The entry after them is silence, for a stopped stream in a free run.
std::int8_t Decoded[2 * kImageSize + 1];
constexpr std::uint64_t kSilentIndex = 2 * kImageSize;

// Most steps lie in a free run: for every running stream the position is below its sample's end (and the
// image's) and stays below it after the advance. Then no read needs a check and no end test can fire,
// so the four streams are stepped together, each as one fixed-point number (its nibble select, position
// and fraction: select << 24 | position << 8 | fraction) advanced by one addition; its top bits index
// Decoded. A stopped stream stands still on the silent entry.
//
// Runs up to `limit` free steps into `out` and returns how many it ran: 0 when some stream's next step
// reaches its end, which is then a full step.
std::size_t mixFreeRun(std::uint8_t* out, std::size_t limit) {
    std::uint64_t acc[kStreams];
    std::uint32_t incr[kStreams]; // the step; 0 for a stopped stream
    std::size_t steps = limit;
#pragma GCC unroll 4
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        acc[s] = kSilentIndex << 8;
        incr[s] = 0;
        if (getStreamRunning(s) == 0) continue;
        const Position end = std::min(ASEnd[s], kImageSize);
        if (AS[s] >= end) return 0;
        const std::uint64_t position = AS[s] << 8 | ASIncrFracCnt[s];
        acc[s] = (getNibbleSelect(s) != 0 ? kImageSize << 8 : 0) | position;
        incr[s] = ASIncr[s];
        // Advances that stay below the end. Every step of the run reads below the end, and so does the
        // full step after it when the run stops short of `limit`.
        if (incr[s] != 0) steps = std::min<std::uint64_t>(steps, ((end << 8) - position - 1) / incr[s]);
    }
    std::uint8_t last = sample;
    for (std::size_t k = 0; k < steps; ++k) {
        out[k] = outputByte(last);
        int mix = 0;
#pragma GCC unroll 4
        for (std::size_t s = 0; s < kStreams; ++s) {
            mix += Decoded[acc[s] >> 8];
            acc[s] += incr[s];
        }
        last = static_cast<std::uint8_t>(mix);
    }
    sample = last;
#pragma GCC unroll 4
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        if (incr[s] == 0) continue; // stopped, or standing still: nothing moved
        AS[s] = acc[s] >> 8 & (kImageSize - 1);
        ASIncrFracCnt[s] = static_cast<std::uint8_t>(acc[s]);
    }
    return steps;
}

} // namespace

std::uint8_t getStreamRunning(std::uint8_t s) {
    return s < kStreams ? *RunningFlags[s] : 0;
}

void setStreamRunning(std::uint8_t s, std::uint8_t v) {
    if (s < kStreams) *RunningFlags[s] = v;
}

std::uint8_t getNibbleSelect(std::uint8_t s) {
    return s < kStreams ? *NibbleFlags[s] : 0;
}

void setNibbleSelect(std::uint8_t s, std::uint8_t v) {
    if (s < kStreams) *NibbleFlags[s] = v;
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

void decodeImage() {
    for (Position pos = 0; pos < kImageSize; ++pos) {
        Decoded[pos] = NibbleValue[0][ROM[pos]];
        Decoded[kImageSize + pos] = NibbleValue[1][ROM[pos]];
    }
}

void timer0_isr(std::uint8_t* out, std::size_t steps) {
    while (steps > 0) {
        const std::size_t free = mixFreeRun(out, steps);
        out += free;
        steps -= free;
        if (steps > 0) {
            *out++ = fullStep();
            --steps;
        }
    }
}

void soundInit() {
    restoreMixer(MixerState{});
}

MixerState snapshotMixer() {
    MixerState m;
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        m.position[s] = AS[s], m.end[s] = ASEnd[s], m.loopStart[s] = ASReload[s];
        m.step[s] = ASIncr[s], m.fraction[s] = ASIncrFracCnt[s], m.volume[s] = ASVolume[s];
        m.running[s] = getStreamRunning(s), m.nibble[s] = getNibbleSelect(s);
    }
    m.sample = sample;
    return m;
}

void restoreMixer(const MixerState& m) {
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        AS[s] = m.position[s], ASEnd[s] = m.end[s], ASReload[s] = m.loopStart[s];
        ASIncr[s] = m.step[s], ASIncrFracCnt[s] = m.fraction[s], ASVolume[s] = m.volume[s];
        setStreamRunning(s, m.running[s]);
        setNibbleSelect(s, m.nibble[s]);
    }
    sample = m.sample;
}
