// The mixer step: positions read at each step, loops and stops at the end, the nibble's sign, the sum of
// the streams, and the fast path against a plain one-step-at-a-time model.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <type_traits>

#include "engine/engine.h"
#include "host/load.h"

namespace {

// A clean engine whose image holds `fill` everywhere from 0x8000 up.
void resetWithImage(std::uint8_t fill) {
    soundInit();
    std::vector<std::uint8_t> rom(0x8000, fill);
    placeRom(rom.data(), rom.size());
}

std::uint8_t step() {
    std::uint8_t b;
    timer0_isr(&b, 1);
    return b;
}

// The offsets from the sample's start of the bytes read by the first `count` steps of stream 0.
std::vector<Position> offsetsRead(std::uint8_t tone, std::size_t count) {
    resetWithImage(0x11);
    SampleInfo[1] = {0x9000, 0xA000, 0, 0};
    playSample(1, 0, tone);
    std::vector<Position> offsets;
    for (std::size_t i = 0; i < count; ++i) {
        offsets.push_back(AS[0] - 0x9000);
        step();
    }
    return offsets;
}

TEST(MixerStep, PositionsReadFollowTheStep) {
    struct Case {
        std::uint8_t tone;
        std::vector<Position> offsets;
    };
    const Case cases[] = {
        {0, {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3}},     // step 81: a byte every 3.16 steps
        {20, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},  // step 256: one byte per step
        {24, {0, 1, 2, 3, 4, 6, 7, 8, 9, 10, 12, 13}}, // step 308: fraction 52 per step carries
        {60, {0, 9, 19, 29, 38, 48}},                  // step 2491
        {200, {0, 9, 19, 29, 38, 48}},                 // tones above 60 play the highest step
    };
    for (const Case& c : cases)
        EXPECT_EQ(offsetsRead(c.tone, c.offsets.size()), c.offsets) << "tone " << int(c.tone);
}

TEST(MixerStep, StepOf256KeepsTheFractionZero) {
    offsetsRead(20, 50);
    EXPECT_EQ(ASIncrFracCnt[0], 0);
}

TEST(MixerStep, EndLoopsWithOvershootOrStops) {
    struct Case {
        const char* what;
        SampleRecord sample;
        std::uint8_t tone;
        std::size_t steps;
        Position position; // AS after the steps
        bool running;
    };
    const Case cases[] = {
        // step 2491 from 0x9000: 0, 9, 19 -> passes end 0x9010 by 3 at 0x9013
        {"loop continues at loop start + overshoot", {0x9000, 0x9010, 0, 0x9004}, 60, 2, 0x9004 + 3, true},
        {"no loop: stops, keeping loop start + overshoot", {0x9000, 0x9010, 0, 0}, 60, 2, 3, false},
        {"end equal to start mixes one byte, then stops", {0x9000, 0x9000, 0, 0}, 20, 1, 1, false},
        {"end equal to start with a loop", {0x9000, 0x9000, 0, 0x9000}, 20, 1, 0x9001, true},
        {"loop start 0x00FF does not loop", {0x9000, 0x9002, 0, 0x00FF}, 20, 2, 0x00FF, false},
        {"loop start 0x0100 loops", {0x9000, 0x9002, 0, 0x0100}, 20, 2, 0x0100, true},
        {"zero record (sample 15) reads address 0 once", {0, 0, 0, 0}, 20, 1, 1, false},
    };
    for (const Case& c : cases) {
        resetWithImage(0x11);
        SampleInfo[1] = c.sample;
        playSample(1, 0, c.tone);
        for (std::size_t i = 0; i < c.steps; ++i)
            step();
        EXPECT_EQ(AS[0], c.position) << c.what;
        EXPECT_EQ(getStreamRunning(0) != 0, c.running) << c.what;
    }
}

TEST(MixerStep, NibbleSignAndSumOfStreams) {
    struct Case {
        std::uint8_t fill;
        std::vector<std::uint8_t> nibbles; // one stream per entry, with its nibble select
        std::uint8_t expected;
    };
    const Case cases[] = {
        {0x07, {0}, 156},          // 7 * 4 + 128
        {0x08, {0}, 96},           // -8
        {0x08, {0, 0}, 64},        // two streams on -8
        {0x8F, {0}, 124},          // low nibble 0xF is -1
        {0x8F, {1}, 96},           // high nibble 0x8 is -8
        {0x77, {0, 0, 0, 0}, 240}, // the loudest: 28 * 4 + 128
        {0x88, {0, 1, 0, 1}, 0},   // the lowest: -32 * 4 + 128
        {0x73, {0, 1, 0}, 180},    // 3 + 7 + 3
    };
    for (const Case& c : cases) {
        resetWithImage(c.fill);
        for (std::uint8_t s = 0; s < c.nibbles.size(); ++s) {
            SampleInfo[s + 1] = {0x9000, 0xA000, c.nibbles[s], 0};
            playSample(static_cast<std::uint8_t>(s + 1), s, 20);
        }
        EXPECT_EQ(step(), 128) << "the first byte carries the mix of the step before";
        EXPECT_EQ(step(), c.expected) << "fill " << int(c.fill);
    }
}

TEST(MixerStep, StoppedStreamsAddNothingAndKeepTheirState) {
    resetWithImage(0x77);
    SampleInfo[1] = {0x9000, 0xA000, 0, 0};
    playSample(1, 2, 24);
    step();
    setStreamRunning(2, 0);
    const Position at = AS[2];
    EXPECT_EQ(step(), 156); // the last mix before the stop
    EXPECT_EQ(step(), 128);
    EXPECT_EQ(AS[2], at);
}

TEST(MixerFlags, OnlyStreamsZeroToThreeExist) {
    soundInit();
    for (std::uint8_t s : {std::uint8_t{4}, std::uint8_t{255}}) {
        setStreamRunning(s, 1);
        setNibbleSelect(s, 1);
        EXPECT_EQ(getStreamRunning(s), 0);
        EXPECT_EQ(getNibbleSelect(s), 0);
    }
    for (std::uint8_t s = 0; s < 4; ++s) {
        EXPECT_EQ(getStreamRunning(s), 0);
        setStreamRunning(s, 0x5A);
        EXPECT_EQ(getStreamRunning(s), 0x5A);
    }
}

// ---- The mixer against a model that takes every step field by field ---------------------------------

struct ModelStream {
    Position as, end, reload;
    std::uint16_t incr;
    std::uint8_t frac, running, nibble;
};

std::uint8_t modelStep(ModelStream (&streams)[4], std::uint8_t& mix) {
    const auto out = static_cast<std::uint8_t>(mix * 4 + 128);
    mix = 0;
    for (ModelStream& m : streams) {
        if (!m.running) continue;
        const bool carry = m.frac + (m.incr & 0xFF) >= 256;
        const std::uint8_t b = m.as < 0x10000 ? ROM[m.as] : 0;
        int v = m.nibble ? b >> 4 : b & 15;
        if (v & 8) v -= 16;
        mix = static_cast<std::uint8_t>(mix + v);
        if (carry) ++m.as;
        m.frac = static_cast<std::uint8_t>(m.frac + m.incr);
        m.as += m.incr >> 8;
        if (m.as >= m.end) {
            if (m.reload <= 0xFF) m.running = 0;
            m.as = m.as + m.reload - m.end;
        }
    }
    return out;
}

TEST(MixerModel, RandomStreamsMatchTheStepByStepModel) {
    std::mt19937_64 rng(7);
    std::vector<std::uint8_t> rom(0x8000);
    for (auto& b : rom)
        b = static_cast<std::uint8_t>(rng());
    const auto pick = [&](std::initializer_list<Position> choices) {
        return *(choices.begin() + static_cast<std::ptrdiff_t>(rng() % choices.size()));
    };
    for (int trial = 0; trial < 400; ++trial) {
        placeRom(rom.data(), rom.size());
        ModelStream model[4];
        MixerState state;
        for (std::uint8_t s = 0; s < 4; ++s) {
            // Positions near the ends that matter: low memory, the image's top, far past it.
            const Position base = pick({0, 0x80, 0x8000, 0xFF00, 0xFFF0, 0x10000, (Position{1} << 60)});
            ModelStream& m = model[s];
            m.as = base + rng() % 64;
            m.end = std::min<Position>(pick({0, 0x100, 0x8010, 0xFFFF}) + rng() % 64, 0xFFFF);
            m.reload = pick({0, 0xFF, 0x100, 0x8000, 0xFFF0}) + rng() % 32;
            m.incr = static_cast<std::uint16_t>(pick({0, 81, 256, 2491, 0xFFFF}) + rng() % 3);
            m.frac = static_cast<std::uint8_t>(rng());
            m.running = rng() % 4 != 0;
            m.nibble = rng() % 2;
            state.position[s] = m.as, state.end[s] = m.end, state.loopStart[s] = m.reload;
            state.step[s] = m.incr, state.fraction[s] = m.frac;
            state.running[s] = m.running, state.nibble[s] = m.nibble;
        }
        restoreMixer(state);
        std::uint8_t mix = 0;
        const std::size_t steps = 1 + rng() % 300;
        std::vector<std::uint8_t> expected(steps), got(steps);
        for (auto& b : expected)
            b = modelStep(model, mix);
        timer0_isr(got.data(), steps);
        ASSERT_EQ(got, expected) << "trial " << trial;
        for (std::uint8_t s = 0; s < 4; ++s) {
            ASSERT_EQ(AS[s], model[s].as) << "trial " << trial << " stream " << int(s);
            ASSERT_EQ(ASIncrFracCnt[s], model[s].frac) << "trial " << trial;
            ASSERT_EQ(getStreamRunning(s) != 0, model[s].running != 0) << "trial " << trial;
        }
    }
}

// ---- Changes between runs of steps --------------------------------------------------------------------

// Where a stream is belongs to the mixer, which keeps each stream's run across calls: outside it, its
// position, end, loop start and fraction can only be read. The effects write the step and the volume.
template <typename Entry, typename Value> constexpr bool kWritable = std::is_assignable_v<Entry, Value>;
static_assert(!kWritable<decltype((AS[0])), Position>, "AS is the mixer's");
static_assert(!kWritable<decltype((ASEnd[0])), Position>, "ASEnd is the mixer's");
static_assert(!kWritable<decltype((ASReload[0])), Position>, "ASReload is the mixer's");
static_assert(!kWritable<decltype((ASIncrFracCnt[0])), std::uint8_t>, "ASIncrFracCnt is the mixer's");
static_assert(kWritable<decltype((ASIncr[0])), std::uint16_t>, "the slides and the vibrato set the step");
static_assert(kWritable<decltype((ASVolume[0])), std::uint8_t>, "the volume effects set the volume");

// One stream's state changed the only way the engine allows outside the mixer: the whole state restored.
template <typename Edit> void restoreWith(Edit edit) {
    MixerState state = snapshotMixer();
    edit(state);
    restoreMixer(state);
}

// Between runs of steps the streams change as the sequencer's notes and effects change them (a new note,
// a new step from a tone, slides or the vibrato, a stop or a start), and every stream array and both flags
// are written by each way the engine offers. Free runs span the runs of steps and only what changed is
// worked out again; every run must still match the model, whatever was changed before it, in the middle
// of whatever free run.
TEST(MixerModel, ChangesBetweenRunsMatchTheStepByStepModel) {
    std::mt19937_64 rng(11);
    std::vector<std::uint8_t> rom(0x8000);
    for (auto& b : rom)
        b = static_cast<std::uint8_t>(rng());
    placeRom(rom.data(), rom.size());
    soundInit();
    // Long and short loops, samples that stop, one that ends where it starts, one at the image's top.
    const SampleRecord samples[] = {{0x9000, 0xA000, 0, 0x9800}, {0xA000, 0xA030, 1, 0xA010},
                                    {0xB000, 0xB100, 0, 0},      {0xB800, 0xB804, 1, 0},
                                    {0xC000, 0xC000, 1, 0xC000}, {0xFF00, 0xFFFF, 1, 0xFF80}};
    for (std::size_t i = 0; i < std::size(samples); ++i)
        SampleInfo[i + 1] = samples[i];
    const auto pick = [&](std::initializer_list<Position> choices) {
        return *(choices.begin() + static_cast<std::ptrdiff_t>(rng() % choices.size()));
    };
    const auto back = [&](Position at) { return at - std::min<Position>(at, rng() % 16); };
    // Half the notes at tone 20, whose step of one byte lands exactly on the end.
    const auto tone = [&] { return static_cast<std::uint8_t>(rng() % 2 != 0 ? rng() % 64 : kUnitTone); };

    struct Change {
        const char* what;
        std::function<void(std::uint8_t, ModelStream&)> apply; // to the engine and the model alike
    };
    const Change changes[] = {
        {"a note",
         [&](std::uint8_t s, ModelStream& m) {
             const auto n = static_cast<std::uint8_t>(1 + rng() % std::size(samples));
             const std::uint8_t t = tone();
             playSample(n, s, t);
             const SampleRecord& r = SampleInfo[n];
             m = {r.start, r.end, r.loopStart, toneStep(t), 0, 1, r.nibble};
         }},
        {"a tone",
         [&](std::uint8_t s, ModelStream& m) {
             const std::uint8_t t = tone();
             setSampleTone(s, t);
             m.incr = toneStep(t);
         }},
        {"a slide up",
         [&](std::uint8_t s, ModelStream& m) {
             applyEffect(s, kSlideUp, 0, static_cast<std::uint8_t>(rng()));
             m.incr = ASIncr[s];
         }},
        {"a slide down",
         [&](std::uint8_t s, ModelStream& m) {
             applyEffect(s, kSlideDown, 0, static_cast<std::uint8_t>(rng()));
             m.incr = ASIncr[s];
         }},
        {"the vibrato",
         [&](std::uint8_t s, ModelStream& m) {
             applyEffect(s, kVibrato, 0, 1);
             m.incr = ASIncr[s];
         }},
        {"ASIncr",
         [&](std::uint8_t s, ModelStream& m) {
             m.incr = static_cast<std::uint16_t>(pick({0, 81, 256, 2491, 0xFFFF}) + rng() % 3);
             ASIncr[s] = m.incr;
         }},
        {"ASVolume", // the mix never reads it
         [&](std::uint8_t s, ModelStream&) { ASVolume[s] = static_cast<std::uint8_t>(rng()); }},
        {"the running flag",
         [&](std::uint8_t s, ModelStream& m) {
             m.running = static_cast<std::uint8_t>(pick({0, 1, 0x5A}));
             setStreamRunning(s, m.running);
         }},
        {"the nibble select",
         [&](std::uint8_t s, ModelStream& m) {
             m.nibble = static_cast<std::uint8_t>(pick({0, 1, 0x80}));
             setNibbleSelect(s, m.nibble);
         }},
        {"AS",
         [&](std::uint8_t s, ModelStream& m) {
             // On in the sample, back in it, onto its last byte, low memory, the image's top, past it.
             const Position at = pick({m.as + rng() % 64, back(m.as), m.end - 1, 0xF0, 0xFFF8, 0x10004});
             restoreWith([&](MixerState& state) { state.position[s] = at; });
             m.as = at;
         }},
        {"ASEnd",
         [&](std::uint8_t s, ModelStream& m) {
             // Behind the position (the stream ends at its next step), just ahead, far ahead, the top.
             const Position end = pick({back(m.as), m.as + 1 + rng() % 8, m.as + 0x400, 0xFFFF, 0x10010});
             restoreWith([&](MixerState& state) { state.end[s] = end; });
             m.end = end;
         }},
        {"ASReload",
         [&](std::uint8_t s, ModelStream& m) {
             // No loop, the lowest loop start, behind the position, the end itself, beyond the end.
             const Position reload = pick({0, 0xFF, 0x100, back(m.as), m.end, m.end + 8});
             restoreWith([&](MixerState& state) { state.loopStart[s] = reload; });
             m.reload = reload;
         }},
        {"ASIncrFracCnt",
         [&](std::uint8_t s, ModelStream& m) {
             const auto fraction = static_cast<std::uint8_t>(rng());
             restoreWith([&](MixerState& state) { state.fraction[s] = fraction; });
             m.frac = fraction;
         }},
    };

    ModelStream model[4] = {};
    std::uint8_t mix = 0;
    for (int round = 0; round < 6000; ++round) {
        const auto s = static_cast<std::uint8_t>(rng() % 4);
        const Change& change = changes[rng() % std::size(changes)];
        change.apply(s, model[s]);
        const std::size_t steps = 1 + rng() % 40;
        std::vector<std::uint8_t> expected(steps), got(steps);
        for (auto& b : expected)
            b = modelStep(model, mix);
        timer0_isr(got.data(), steps);
        const auto where = [&](std::uint8_t t) {
            return "round " + std::to_string(round) + ", stream " + std::to_string(t) + " after " +
                   change.what + " on stream " + std::to_string(s);
        };
        ASSERT_EQ(got, expected) << where(s);
        for (std::uint8_t t = 0; t < 4; ++t) {
            ASSERT_EQ(AS[t], model[t].as) << where(t);
            ASSERT_EQ(ASIncrFracCnt[t], model[t].frac) << where(t);
            ASSERT_EQ(getStreamRunning(t) != 0, model[t].running != 0) << where(t);
        }
    }
}

} // namespace
