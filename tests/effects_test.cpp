// Effect commands, by family: pitch, gating, song flow, speed. Each case is a small song; the engine's
// state is read after every tick, or the trace after a few lines.
#include <gtest/gtest.h>

#include <functional>

#include "engine/sequencer.h"
#include "engine_harness.h"

namespace {

constexpr std::uint16_t kSong = 0x8000;

struct Placed {
    std::size_t order, line, channel;
    Cell cell;
};

// Sample 1 at 0x9000-0xA000, low nibbles all 7, looping from 0x9000; song 0 at 0x8000 playing
// patterns 0, 1, 2, 3 in order, with the cells given.
RomBuilder song(const std::vector<Placed>& cells) {
    RomBuilder rom;
    rom.fill(0x9000, 0x1000, 0x07).sample(1, 0x9000, 0xA000, 0, 0x9000).song(0, kSong);
    rom.orders(kSong, {0, 1, 2, 3});
    for (const Placed& p : cells)
        rom.cell(kSong, p.order, p.line, p.channel, p.cell);
    return rom;
}

// Plays `ticks` ticks and reads `probe` after each.
template <typename T>
std::vector<T> perTick(EngineHarness& h, std::size_t ticks, const std::function<T()>& probe) {
    std::vector<T> seen;
    while (seen.size() < ticks) {
        h.renderCalls(1);
        if (subTick == 0) seen.push_back(probe()); // a call that played a tick leaves subTick at 0
    }
    return seen;
}

std::vector<int> stepsPerTick(EngineHarness& h, std::size_t ticks, std::uint8_t c = 0) {
    return perTick<int>(h, ticks, [c] { return int(ASIncr[c]); });
}

std::vector<int> runningPerTick(EngineHarness& h, std::size_t ticks, std::uint8_t c = 0) {
    return perTick<int>(h, ticks, [c] { return getStreamRunning(c) != 0 ? 1 : 0; });
}

std::vector<int> steps(std::initializer_list<int> tones) {
    std::vector<int> v;
    for (int t : tones)
        v.push_back(PeriodTable[t]);
    return v;
}

// ---- Pitch ----------------------------------------------------------------------------------------

TEST(PitchEffects, StepAfterEachTick) {
    struct Case {
        const char* what;
        std::vector<Placed> cells;
        std::size_t ticks;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"arpeggio 0x37 on tone 24",
         {{0, 0, 0, {1, 24, kArpeggio, 0x37}}},
         6,
         steps({24, 27, 31, 24, 27, 31})},
        {"arpeggio past the table plays the highest step",
         {{0, 0, 0, {1, 58, kArpeggio, 0xF0}}},
         3,
         steps({58, 60, 58})},
        {"arpeggio tone + x wraps at 256", {{0, 0, 0, {1, 250, kArpeggio, 0x8A}}}, 3, steps({60, 2, 4})},
        {"arpeggio without a note uses the cell's tone",
         {{0, 0, 0, {1, 20}}, {0, 1, 0, {0, 12, kArpeggio, 0x10}}},
         9,
         steps({20, 20, 20, 20, 20, 20, 12, 13, 12})},
        {"arpeggio 0 does nothing", {{0, 0, 0, {1, 24, kArpeggio, 0x00}}}, 2, steps({24, 24})},
        {"slide up 0x10 each tick, carried into the next line",
         {{0, 0, 0, {1, 20, kSlideUp, 0x10}}},
         8,
         {272, 288, 304, 320, 336, 352, 352, 352}},
        {"slide down 5", {{0, 0, 0, {1, 20, kSlideDown, 0x05}}}, 3, {251, 246, 241}},
        {"slide down wraps at 65,536", {{0, 0, 0, {0, 0, kSlideDown, 0x01}}}, 2, {65535, 65534}},
        {"vibrato's six-tick shape", {{0, 0, 0, {1, 20, kVibrato, 0x01}}}, 6, {253, 253, 256, 259, 259, 256}},
        {"vibrato index carries to the next line (4-tick lines)",
         {{0, 0, 0, {1, 20, kVibrato, 0x01}},
          {0, 0, 1, {0, 0, kSpeed, 0x84}},
          {0, 1, 0, {0, 0, kVibrato, 0x00}}},
         8,
         {253, 253, 256, 259, 259, 256, 253, 253}},
        {"vibrato with a parameter restarts its shape on tick 0",
         {{0, 0, 0, {1, 20, kVibrato, 0x01}},
          {0, 0, 1, {0, 0, kSpeed, 0x84}},
          {0, 1, 0, {0, 0, kVibrato, 0x07}}},
         8,
         {253, 253, 256, 259, 256, 256, 259, 262}},
    };
    for (const Case& c : cases) {
        EngineHarness h(song(c.cells));
        EXPECT_EQ(stepsPerTick(h, c.ticks), c.expected) << c.what;
    }
}

// ---- Gating ---------------------------------------------------------------------------------------

TEST(GatingEffects, RunningAfterEachTick) {
    struct Case {
        const char* what;
        std::vector<Placed> cells;
        std::size_t ticks;
        std::vector<int> running;
        int volume; // ASVolume[0] at the end, or -1
    };
    const Case cases[] = {
        {"set volume 0 stops at once", {{0, 0, 0, {1, 20, kSetVolume, 0}}}, 2, {0, 0}, 0},
        {"set volume 64 starts and stores 64", {{0, 0, 0, {1, 20, kSetVolume, 64}}}, 2, {1, 1}, 64},
        {"set volume starts a stream that never had a note",
         {{0, 0, 0, {0, 0, kSetVolume, 9}}},
         2,
         {1, 1},
         9},
        {"volume slide 0x01 on 0 underflows to 0 and stops",
         {{0, 0, 0, {1, 20, kVolumeSlide, 0x01}}},
         2,
         {0, 0},
         0},
        {"volume slide 0x10 on 15 stays 15",
         {{0, 0, 0, {1, 20, kSetVolume, 15}}, {0, 1, 0, {0, 0, kVolumeSlide, 0x10}}},
         7,
         {1, 1, 1, 1, 1, 1, 1},
         15},
        {"volume slide 0x10 on 64 clamps to 15",
         {{0, 0, 0, {1, 20, kSetVolume, 64}}, {0, 1, 0, {0, 0, kVolumeSlide, 0x10}}},
         7,
         {1, 1, 1, 1, 1, 1, 1},
         15},
        {"volume slide 0x03 counts down to 0 and stops",
         {{0, 0, 0, {1, 20, kSetVolume, 7}}, {0, 1, 0, {0, 0, kVolumeSlide, 0x03}}},
         9,
         {1, 1, 1, 1, 1, 1, 1, 1, 0},
         0},
        {"note cut 0xC3 stops on tick 2", {{0, 0, 0, {1, 20, kExtended, 0xC3}}}, 4, {1, 1, kArpeggio, 0}, -1},
        {"note cut 0xC1 stops on tick 0", {{0, 0, 0, {1, 20, kExtended, 0xC1}}}, 2, {0, 0}, -1},
        {"note cut 0xC0 never cuts", {{0, 0, 0, {1, 20, kExtended, 0xC0}}}, 6, {1, 1, 1, 1, 1, 1}, -1},
        {"note delay 0xD2 starts on tick 2",
         {{0, 0, 0, {1, 20, kExtended, 0xD2}}},
         4,
         {0, 0, kSlideUp, 1},
         -1},
        {"note delay past the line keeps it stopped",
         {{0, 0, 0, {1, 20, kExtended, 0xD9}}},
         8,
         {0, 0, 0, 0, 0, 0, 0, 0},
         -1},
        {"unknown extended command does nothing", {{0, 0, 0, {1, 20, kExtended, 0x31}}}, 2, {1, 1}, -1},
    };
    for (const Case& c : cases) {
        EngineHarness h(song(c.cells));
        EXPECT_EQ(runningPerTick(h, c.ticks), c.running) << c.what;
        if (c.volume >= 0) {
            EXPECT_EQ(ASVolume[0], c.volume) << c.what;
        }
    }
}

TEST(GatingEffects, NoteCutSilencesTheNoteFromTheStart) {
    EngineHarness h(song({{0, 0, 0, {1, 20, kExtended, 0xC1}}}));
    const auto out = h.render(2000);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 128; }));
}

TEST(GatingEffects, NoteDelayHoldsThePositionUntilItsTick) {
    // A delayed note does not advance while held: it sounds from its start on tick 2.
    EngineHarness h(song({{0, 0, 0, {1, 20, kExtended, 0xD2}}}));
    h.renderCalls(1 + 11);
    EXPECT_EQ(AS[0], 0x9000u);
    h.renderCalls(11); // tick 2 starts it
    h.renderCalls(1);
    EXPECT_EQ(AS[0], 0x9000u + 13);
}

TEST(GatingEffects, NoteDelayWithoutANotePausesAndResumes) {
    EngineHarness h(song({{0, 0, 0, {1, 20}}, {0, 1, 0, {0, 0, kExtended, 0xD3}}}));
    h.renderCalls(1 + 6 * 11); // line 0 played; line 1's tick 0 paused the stream
    const Position paused = AS[0];
    EXPECT_EQ(getStreamRunning(0), 0);
    h.renderCalls(2 * 11);
    EXPECT_EQ(AS[0], paused);
    h.renderCalls(11 + 1); // tick 3 resumes it
    EXPECT_EQ(AS[0], paused + 13);
}

// ---- Song flow ------------------------------------------------------------------------------------

struct FlowCase {
    const char* what;
    std::vector<Placed> cells;
    std::size_t bytes;              // rendered
    std::vector<std::string> trace; // every line after "playing..." except the notes
};

std::vector<std::string> flowTrace(const EngineHarness& h) {
    std::vector<std::string> lines;
    bool playing = false;
    for (const TraceEvent& e : h.events()) {
        if (playing && e.text.rfind("playing smp", 0) != 0) lines.push_back(e.text);
        playing = playing || e.text == "playing...";
    }
    return lines;
}

const std::string kBreak64 = "pattern break to 64";

TEST(FlowEffects, TraceOfPatternBreaksJumpsAndDelays) {
    constexpr std::size_t kLine = 858, kStart = 13;
    const FlowCase cases[] = {
        {"pattern break 0x00: on every tick, then the next order's line 0",
         {{0, 0, 2, {0, 0, kPatternBreak, 0x00}}},
         kStart + kLine,
         {kBreak64, kBreak64, kBreak64, kBreak64, kBreak64, kBreak64, "next: order 1 line 0"}},
        {"pattern break 200 wraps to line 8 of the same order",
         {{0, 0, 0, {0, 0, kSpeed, 0x81}}, {0, 0, 1, {0, 0, kPatternBreak, 200}}},
         kStart + 1,
         {"pattern break to 8", "next: order 0 line 8"}},
        {"pattern break 100 goes to line 100 of the next order",
         {{0, 0, 0, {0, 0, kSpeed, 0x81}}, {0, 0, 1, {0, 0, kPatternBreak, 100}}},
         kStart + 1,
         {"pattern break to 164", "next: order 1 line 100"}},
        {"jump and break 5 on a one-tick line: the break carries past the jump",
         {{0, 0, 0, {0, 0, kSpeed, 0x81}},
          {0, 0, 1, {0, 0, kPositionJump, 2}},
          {0, 0, 2, {0, 0, kPatternBreak, 5}}},
         kStart + 1,
         {"pattern break to 69", "next: order 3 line 5"}},
        {"jump and break 0xC5 on a one-tick line: no carry",
         {{0, 0, 0, {0, 0, kSpeed, 0x81}},
          {0, 0, 1, {0, 0, kPositionJump, 2}},
          {0, 0, 2, {0, 0, kPatternBreak, 0xC5}}},
         kStart + 1,
         {"pattern break to 5", "next: order 2 line 5"}},
        {"the higher channel's break wins",
         {{0, 0, 0, {0, 0, kSpeed, 0x81}},
          {0, 0, 1, {0, 0, kPatternBreak, 3}},
          {0, 0, 2, {0, 0, kPatternBreak, 7}}},
         kStart + 1,
         {"pattern break to 67", "pattern break to 71", "next: order 1 line 7"}},
        {"song delay 0xE2 plays the line three times",
         {{0, 0, 0, {1, 20, kExtended, 0xE2}}},
         kStart + 3 * kLine,
         {"song delay", "next: order 0 line 0", "song delay", "next: order 0 line 0", "song delay",
          "next: order 0 line 1"}},
        {"two delays of 0 share the counter and the line plays once",
         {{0, 0, 0, {0, 0, kExtended, 0xE0}}, {0, 0, 1, {0, 0, kExtended, 0xE0}}},
         kStart + kLine,
         {"song delay", "song delay", "next: order 0 line 1"}},
        {"delays 1 and 0 repeat the line for ever",
         {{0, 0, 0, {0, 0, kExtended, 0xE1}}, {0, 0, 1, {0, 0, kExtended, 0xE0}}},
         kStart + 3 * kLine,
         {"song delay", "song delay", "next: order 0 line 0", "song delay", "song delay",
          "next: order 0 line 0", "song delay", "song delay", "next: order 0 line 0"}},
        {"a delay broken early leaves its count: the next 0xE2 plays twice",
         {{0, 0, 0, {0, 0, kSpeed, 0x81}},
          {0, 0, 1, {0, 0, kExtended, 0xE2}},
          {0, 0, 2, {0, 0, kPatternBreak, 0}},
          {0, 0, 3, {0, 0, kSpeed, 0x00}},
          {1, 0, 1, {0, 0, kExtended, 0xE2}}},
         kStart + 2 * 13,
         {"song delay", kBreak64, "next: order 1 line 0", "song delay", "next: order 1 line 0", "song delay",
          "next: order 1 line 1"}},
        {"song delay on a 256-tick line never fires",
         {{0, 0, 0, {0, 0, kSpeed, 0x80}}, {0, 0, 1, {0, 0, kExtended, 0xE2}}},
         kStart + 256 * kLine / 6,
         {"next: order 0 line 1"}},
    };
    for (const FlowCase& c : cases) {
        EngineHarness h(song(c.cells));
        h.render(c.bytes);
        EXPECT_EQ(flowTrace(h), c.trace) << c.what;
    }
}

TEST(FlowEffects, PositionJumpReadsTheNewOrdersRowForTheRestOfTheLine) {
    // Line 3 of order 0 jumps to order 2 on tick 0. Ticks 1-5 read line 3 of order 2's pattern: its set
    // volume 0 stops the stream, its note is not triggered, and the song goes on at order 2, line 4.
    EngineHarness h(
        song({{0, 0, 0, {1, 20}}, {0, 3, 1, {0, 0, kPositionJump, 2}}, {2, 3, 0, {1, 30, kSetVolume, 0}}}));
    h.render(13 + 4 * 858);
    EXPECT_EQ(getStreamRunning(0), 0);
    EXPECT_EQ(h.linesStartingWith("playing smp").size(), 1u);
    EXPECT_EQ(h.linesStartingWith("next:").back(), "next: order 2 line 4");
    EXPECT_EQ(Pattern, 2);
}

// ---- Speed ----------------------------------------------------------------------------------------

TEST(SpeedEffects, SetTicksPerLineOrCallsPerTick) {
    struct Case {
        std::uint8_t param;
        int line, tick; // durationLine, durationTick after the first tick
    };
    const Case cases[] = {{0x86, 6, 10}, {0x05, 6, 5}, {0x80, 0, 10}, {0xFF, 127, 10}, {0x00, 6, 0}};
    for (const Case& c : cases) {
        EngineHarness h(song({{0, 0, 0, {0, 0, kSpeed, c.param}}}));
        h.renderCalls(1);
        EXPECT_EQ(durationLine, c.line) << int(c.param);
        EXPECT_EQ(durationTick, c.tick) << int(c.param);
    }
}

TEST(SpeedEffects, LoweringTicksPerLineBelowTheTickRunsUntilTheCounterWraps) {
    // One call per tick. Ticks 0-2 jump from order to order; order 3's row sets 2 ticks per line on
    // tick 3, so the line runs on until the tick counter comes round to 2: 258 ticks in all.
    EngineHarness h(song({{0, 0, 0, {0, 0, kSpeed, 0x00}},
                          {0, 0, 1, {0, 0, kPositionJump, 1}},
                          {1, 0, 1, {0, 0, kPositionJump, 2}},
                          {2, 0, 1, {0, 0, kPositionJump, 3}},
                          {3, 0, 0, {0, 0, kSpeed, 0x82}}}));
    h.renderCalls(257);
    EXPECT_TRUE(h.linesStartingWith("next:").empty());
    h.renderCalls(1);
    EXPECT_EQ(h.linesStartingWith("next:"), std::vector<std::string>{"next: order 3 line 1"});
}

} // namespace
