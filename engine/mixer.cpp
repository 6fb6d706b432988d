// The stream mixer: four streams read 4-bit samples from the image at a fixed-point step, and each
// mixer step sums them into one unsigned 8-bit output byte.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine.h"

std::uint8_t ROM[kImageSize];
SampleRecord SampleInfo[32];
Position SongInfo[kSongs];

// Where each stream is: its position, end, loop start and fraction. The mixer keeps each stream's run
// across calls (below), so it alone writes these, as mixer::AS and so on; the rest of the engine reads
// them through the read-only names engine.h declares.
namespace mixer {
namespace {
Position AS[kStreams];
Position ASEnd[kStreams];
Position ASReload[kStreams];
std::uint8_t ASIncrFracCnt[kStreams];
} // namespace
} // namespace mixer

const Position (&AS)[kStreams] = mixer::AS;
const Position (&ASEnd)[kStreams] = mixer::ASEnd;
const Position (&ASReload)[kStreams] = mixer::ASReload;
const std::uint8_t (&ASIncrFracCnt)[kStreams] = mixer::ASIncrFracCnt;
std::uint16_t ASIncr[kStreams];
std::uint8_t ASVolume[kStreams];

// The mix of the last step, written out by the next one. Wraps modulo 256.
static std::uint8_t sample;

// The running (R) and nibble-select (N) flags are single bytes on the target, one per stream.
static std::uint8_t AS0R, AS1R, AS2R, AS3R;
static std::uint8_t AS0N, AS1N, AS2N, AS3N;

namespace {

std::uint8_t* const RunningFlags[kStreams] = {&AS0R, &AS1R, &AS2R, &AS3R};
std::uint8_t* const NibbleFlags[kStreams] = {&AS0N, &AS1N, &AS2N, &AS3N};

std::uint8_t outputByte(std::uint8_t mix) {
    return static_cast<std::uint8_t>(mix * 4 + 128);
}

// ---- Free runs ----------------------------------------------------------------------------------------
//
// Most steps lie in a free run: every running stream's position is below its sample's end (and the
// image's) and stays below it after the advance. Then no read needs a check and no end test can fire, so
// the four streams are stepped together, each as one fixed-point number of 32 bits (its nibble select,
// position and fraction: select << 24 | position << 8 | fraction) advanced by one addition; its top bits
// index Spoken, the output's share of every image nibble. A stream that is stopped stands still on the
// silent entry.
//
// A free run spans sequencer calls. Each stream knows the mixer step at which it next needs a whole step
// (one that tests its end): `Due`. Between calls only what the sequencer touched is worked out again:
// a stream started, stopped, given a new step or nibble (`Dirty`). The stream arrays (AS and the others)
// are the state the rest of the engine sees: read when a stream is worked out, and written back at the
// end of every run of steps. A free stream's position and fraction live in its free run meanwhile, and
// its end in its due step, which is why only the mixer writes those arrays: a write from outside would
// be lost or come late. A new step from outside is noticed (`StepsSeen`), and so are starts, stops and
// nibbles, which go through the flag accessors.

// A stream's share of the output byte for every image nibble: 4 * value + 32, so that the four shares
// add up to the byte written (4 * mix + 128). Spoken[0x10000 * select + position], select 0 for the low
// nibble and 1 for the high; the entry after them is silence, for a stopped stream.
std::uint8_t Spoken[2 * kImageSize + 1];
constexpr std::uint32_t kSilentIndex = 2 * kImageSize;
constexpr std::uint32_t kSilent = kSilentIndex << 8;
constexpr int kShareBias = 32; // a share's value for nibble 0

constexpr std::uint64_t kNever = ~std::uint64_t{0};

std::uint32_t Acc[kStreams];           // select << 24 | position << 8 | fraction, or kSilent
std::uint32_t Incr[kStreams];          // the step while running freely, else 0
std::uint32_t EndAt[kStreams];         // a free stream's end, as its position is held: end << 8
std::uint64_t Due[kStreams];           // the step count at which the stream next needs a whole step
std::uint64_t Clock;                   // mixer steps run since the program started
std::uint64_t NextDue;                 // the least of Due
std::uint8_t Free[kStreams];           // 1 for a stream running freely: Acc holds its position
unsigned Dirty = (1u << kStreams) - 1; // streams to work out again before the next step
bool Recount = true;                   // NextDue is to be found again before the next step
std::uint16_t StepsSeen[kStreams];     // ASIncr as it was when each stream was worked out

// The position and fraction of a free stream's Acc, without the nibble select.
constexpr std::uint32_t kPlaceMask = (kImageSize << 8) - 1;

void markDirty(std::uint8_t s) {
    Dirty |= 1u << s;
}

// The step at which a free stream at `place` (position << 8 | fraction) as of step `clock` next needs a
// whole step: it advances freely while it stays below its end. Every free step reads below the end, and
// so does the whole step that comes after them.
std::uint64_t dueStepOf(std::uint8_t s, std::uint32_t place, std::uint64_t clock) {
    return Incr[s] != 0 ? clock + (EndAt[s] - place - 1) / Incr[s] : kNever;
}

// Works a stream's free run out from the stream arrays, as of step `clock`.
void workOut(std::uint8_t s, std::uint64_t clock) {
    Free[s] = 0;
    Acc[s] = kSilent;
    Incr[s] = 0;
    Due[s] = kNever;
    StepsSeen[s] = ASIncr[s];
    if (getStreamRunning(s) == 0) return;
    const Position end = std::min(ASEnd[s], kImageSize);
    if (AS[s] >= end) { // at or past its end, or the image's: every step is a whole one
        Due[s] = clock;
        return;
    }
    const std::uint32_t position = static_cast<std::uint32_t>(AS[s] << 8 | ASIncrFracCnt[s]);
    Acc[s] = (getNibbleSelect(s) != 0 ? kImageSize << 8 : 0) | position;
    Incr[s] = ASIncr[s];
    EndAt[s] = static_cast<std::uint32_t>(end << 8);
    Free[s] = 1;
    Due[s] = dueStepOf(s, position, clock);
}

// A stream given a new step by a slide, the vibrato or an arpeggio. A free one keeps its place and
// finds its due step again; for the others the step plays no part until they are worked out.
void retune(std::uint8_t s) {
    StepsSeen[s] = ASIncr[s];
    if (Free[s] == 0) return;
    Incr[s] = ASIncr[s];
    Due[s] = dueStepOf(s, Acc[s] & kPlaceMask, Clock);
    Recount = true;
}

void findNextDue() {
    NextDue = std::min(std::min(Due[0], Due[1]), std::min(Due[2], Due[3]));
}

// Streams touched since the last step: started, stopped, given a new step or nibble.
void workOutTouched() {
    if (std::memcmp(StepsSeen, ASIncr, sizeof StepsSeen) != 0)
        for (std::uint8_t s = 0; s < kStreams; ++s)
            if (StepsSeen[s] != ASIncr[s]) retune(s);
    if (Dirty != 0) {
        for (std::uint8_t s = 0; s < kStreams; ++s)
            if (Dirty & 1u << s) workOut(s, Clock);
        Dirty = 0;
        Recount = true;
    }
    if (Recount) {
        Recount = false;
        findNextDue();
    }
}

// The stream arrays of the streams running freely, from their free-run state.
void writeBack() {
    std::uint32_t flags;
    std::memcpy(&flags, Free, sizeof flags);
    if (flags == 0x01010101u) { // all four, as most often: no tests
#pragma GCC unroll 4
        for (std::uint8_t s = 0; s < kStreams; ++s) {
            mixer::AS[s] = Acc[s] >> 8 & (kImageSize - 1);
            mixer::ASIncrFracCnt[s] = static_cast<std::uint8_t>(Acc[s]);
        }
        return;
    }
#pragma GCC unroll 4
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        const bool free = Free[s] != 0;
        mixer::AS[s] = free ? Acc[s] >> 8 & (kImageSize - 1) : AS[s];
        mixer::ASIncrFracCnt[s] = free ? static_cast<std::uint8_t>(Acc[s]) : ASIncrFracCnt[s];
    }
}

// `steps` free steps into `out`: every stream reads its nibble's share and advances. Two streams' 32-bit
// numbers share one 64-bit addition: a free position stays below 0x10000, so the lower one never carries
// into the upper.
void freeRun(std::uint8_t* out, std::size_t steps, std::uint8_t& last) {
    std::uint64_t a, b, stepA, stepB;
    std::memcpy(&a, Acc, 8);
    std::memcpy(&b, Acc + 2, 8);
    std::memcpy(&stepA, Incr, 8);
    std::memcpy(&stepB, Incr + 2, 8);
    std::uint8_t byte = last;
#pragma GCC unroll 2
    for (std::size_t k = 0; k < steps; ++k) {
        out[k] = byte;
        byte = static_cast<std::uint8_t>(Spoken[static_cast<std::uint32_t>(a) >> 8] + Spoken[a >> 40] +
                                         Spoken[static_cast<std::uint32_t>(b) >> 8] + Spoken[b >> 40]);
        a += stepA;
        b += stepB;
    }
    last = byte;
    std::memcpy(Acc, &a, 8);
    std::memcpy(Acc + 2, &b, 8);
}

// One step of a stream by every rule: read the nibble at its position, advance position and fraction by
// the step, and loop or stop it at its end. Returns the nibble's value.
int wholeStep(std::uint8_t s) {
    const std::uint8_t byte = imageByte(AS[s]);
    const int value = nibbleValue(byte, getNibbleSelect(s) != 0);
    const unsigned fraction = ASIncrFracCnt[s] + ASIncr[s]; // the carry is bit 8
    mixer::AS[s] += fraction >> 8;
    mixer::ASIncrFracCnt[s] = static_cast<std::uint8_t>(fraction);
    if (AS[s] >= ASEnd[s]) {
        if (ASReload[s] < kLowestLoopStart) *RunningFlags[s] = 0;
        // Loop start plus the overshoot; a stream that stopped keeps this position for a restart.
        mixer::AS[s] = AS[s] + ASReload[s] - ASEnd[s];
    }
    return value;
}

// The step at which some stream is due: those streams take a whole step, the others a free one.
std::uint8_t dueStep(std::uint8_t& last) {
    const std::uint8_t out = last;
    int shares = 0;
    unsigned due = 0;
    for (std::uint8_t s = 0; s < kStreams; ++s) {
        if (Due[s] != Clock) {
            shares += Spoken[Acc[s] >> 8];
            Acc[s] += Incr[s];
            continue;
        }
        due |= 1u << s;
        if (Free[s] != 0) {
            mixer::AS[s] = Acc[s] >> 8 & (kImageSize - 1);
            mixer::ASIncrFracCnt[s] = static_cast<std::uint8_t>(Acc[s]);
        }
        shares += 4 * wholeStep(s) + kShareBias;
    }
    ++Clock;
    for (std::uint8_t s = 0; s < kStreams; ++s)
        if (due & 1u << s) workOut(s, Clock);
    findNextDue();
    last = static_cast<std::uint8_t>(shares);
    return out;
}

} // namespace

std::uint8_t getStreamRunning(std::uint8_t s) {
    return s < kStreams ? *RunningFlags[s] : 0;
}

void setStreamRunning(std::uint8_t s, std::uint8_t v) {
    if (s >= kStreams) return;
    if ((*RunningFlags[s] != 0) != (v != 0)) markDirty(s);
    *RunningFlags[s] = v;
}

std::uint8_t getNibbleSelect(std::uint8_t s) {
    return s < kStreams ? *NibbleFlags[s] : 0;
}

void setNibbleSelect(std::uint8_t s, std::uint8_t v) {
    if (s >= kStreams) return;
    if ((*NibbleFlags[s] != 0) != (v != 0)) markDirty(s);
    *NibbleFlags[s] = v;
}

// On the target these two index the stream arrays unchecked; here a stream or sample number outside the
// tables does nothing, as the flag accessors already do.
void setSampleTone(std::uint8_t s, std::uint8_t tone) {
    if (s < kStreams) ASIncr[s] = toneStep(tone);
}

void playSample(std::uint8_t n, std::uint8_t s, std::uint8_t tone) {
    if (s >= kStreams || n >= std::size(SampleInfo)) return;
    const SampleRecord& r = SampleInfo[n];
    const std::uint16_t step = toneStep(tone);
    // On the target the stream is stopped while its positions change, so that an interrupt in between
    // skips it; here no step can come in between, so it is only started once it is set.
    mixer::AS[s] = r.start;
    mixer::ASReload[s] = r.loopStart;
    mixer::ASEnd[s] = r.end;
    ASIncr[s] = step;
    mixer::ASIncrFracCnt[s] = 0;
    *NibbleFlags[s] = r.nibble;
    *RunningFlags[s] = 1;
    // Its free run from the next step on, worked out here as workOut would; a tone's step is never 0.
    const Position end = std::min(r.end, kImageSize);
    StepsSeen[s] = step;
    Recount = true;
    if (r.start >= end) {
        Free[s] = 0, Acc[s] = kSilent, Incr[s] = 0, Due[s] = Clock;
        return;
    }
    const auto position = static_cast<std::uint32_t>(r.start << 8);
    Free[s] = 1;
    Acc[s] = (r.nibble != 0 ? kImageSize << 8 : 0) | position;
    Incr[s] = step;
    EndAt[s] = static_cast<std::uint32_t>(end << 8);
    Due[s] = Clock + (EndAt[s] - position - 1) / step;
}

void decodeImage() {
    for (Position pos = 0; pos < kImageSize; ++pos)
        for (Position high = 0; high < 2; ++high)
            Spoken[high * kImageSize + pos] =
                static_cast<std::uint8_t>(4 * nibbleValue(ROM[pos], high != 0) + kShareBias);
    Spoken[kSilentIndex] = kShareBias;
}

void timer0_isr(std::uint8_t* out, std::size_t steps) {
    if (steps == 0) return;
    workOutTouched();
    std::uint8_t last = outputByte(sample); // the byte the next step writes
    while (steps > 0) {
        const std::size_t free = static_cast<std::size_t>(std::min<std::uint64_t>(steps, NextDue - Clock));
        freeRun(out, free, last);
        Clock += free;
        out += free;
        steps -= free;
        if (steps > 0) {
            *out++ = dueStep(last);
            --steps;
        }
    }
    writeBack();
    sample = static_cast<std::uint8_t>((last - 128) / 4); // the mix, from the byte it makes
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
        mixer::AS[s] = m.position[s], mixer::ASEnd[s] = m.end[s], mixer::ASReload[s] = m.loopStart[s];
        mixer::ASIncrFracCnt[s] = m.fraction[s];
        ASIncr[s] = m.step[s], ASVolume[s] = m.volume[s];
        setStreamRunning(s, m.running[s]);
        setNibbleSelect(s, m.nibble[s]);
    }
    sample = m.sample;
    Dirty = (1u << kStreams) - 1;
}
