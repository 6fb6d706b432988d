// The import pipeline on small modules built here: what the ROM plays against what the module does, on
// the figure each stage moves (length and timing, pitch, sound at all), and clean refusals.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/sequencer.h"
#include "engine_harness.h"
#include "fuzz/test_modules.h"
#include "import/capture.h"
#include "import/import.h"
#include "import_helpers.h"

namespace {

constexpr int kRate = 8000;
// One engine tick at the module's default 125 BPM and 8000 Hz: 12 calls of 13 bytes.
constexpr double kTickSeconds = 12.0 * 13 / kRate;

// One looped triangle (32 frames a cycle) and one note of it, at `period`, on channel 0 of every
// position, for `positions` positions of one pattern.
ModLayout toneSong(std::uint16_t period, std::uint8_t positions) {
    ModLayout layout;
    layout.samples = {{"triangle", 512, 0, 64, 0, 512}};
    layout.length = positions;
    layout.orders.assign(positions, 0);
    layout.cells = {{0, 0, 0, 1, period, 0, 0}};
    return layout;
}

// What the module does on channel 0, tick by tick, as libxmp plays it.
std::vector<ChannelTick> moduleTicks(const std::vector<std::uint8_t>& file) {
    LoadedModule loaded;
    std::string error;
    EXPECT_TRUE(loadModule(file, loaded, error)) << error;
    std::vector<ChannelTick> ticks;
    for (const TickInfo& t : capturePerformance(loaded, kRate).ticks)
        ticks.push_back(t.channels[0]);
    return ticks;
}

// What the engine does on stream 0 at each tick, right after the tick's effects: its step, and whether
// it runs.
struct EngineTick {
    std::uint16_t step;
    bool running;
};
std::vector<EngineTick> engineTicks(const std::vector<std::uint8_t>& rom, std::size_t count) {
    EngineHarness h(rom);
    std::vector<EngineTick> ticks;
    while (ticks.size() < count) {
        h.renderCalls(1);
        if (subTick == 0) ticks.push_back({ASIncr[0], getStreamRunning(0) != 0});
    }
    return ticks;
}

// A slide up, then a tone portamento to a note: the engine's pitch follows the module's tick by tick,
// within a quarter of a semitone, mostly within 5 cents. No closer: a slide moves the step by whole
// units on every tick of a line, its first included (the module's moves the period, and not on a row's
// first tick), so a line's slide is the best whole rate over the line and the next line corrects.
TEST(Import, FollowsSlidesTickByTick) {
    ModLayout layout = toneSong(428, 1);
    layout.cells[0].effect = 0x1, layout.cells[0].param = 0x03;
    for (std::size_t row = 1; row < 8; ++row)
        layout.cells.push_back({0, row, 0, 0, 0, 0x1, 0x03});
    layout.cells.push_back({0, 8, 0, 0, 320, 0x3, 0x04}); // tone portamento towards 320
    for (std::size_t row = 9; row < 16; ++row)
        layout.cells.push_back({0, row, 0, 0, 0, 0x3, 0x00});
    const std::vector<std::uint8_t> file = buildMod(layout);
    const std::vector<ChannelTick> module = moduleTicks(file);
    const std::vector<EngineTick> engine = engineTicks(importOrFail(file).rom, 16 * 6);
    for (std::size_t t = 0; t < engine.size(); ++t) {
        const double cents = 1200 * std::log2((double(engine[t].step) / engine[0].step) /
                                              (module[t].frequency / module[0].frequency));
        EXPECT_NEAR(cents, 0, 25) << "tick " << t;
    }
}

// A note fading with a volume slide: the engine cannot play it quieter, so its stream stops within one
// tick of where the module's volume has fallen to 0.4 of the note's loudest, and not before.
TEST(Import, StopsAFadeWhereItFallsSilent) {
    ModLayout layout = toneSong(428, 1);
    layout.cells[0].effect = 0xA, layout.cells[0].param = 0x02;
    for (std::size_t row = 1; row < 12; ++row)
        layout.cells.push_back({0, row, 0, 0, 0, 0xA, 0x02});
    const std::vector<std::uint8_t> file = buildMod(layout);
    const std::vector<ChannelTick> module = moduleTicks(file);
    const std::vector<EngineTick> engine = engineTicks(importOrFail(file).rom, 14 * 6);
    std::size_t silent = 0, stopped = 0;
    double loudest = 0;
    for (; silent < module.size() && module[silent].volume >= 0.4 * loudest; ++silent)
        loudest = std::max(loudest, module[silent].volume);
    while (stopped < engine.size() && engine[stopped].running)
        ++stopped;
    ASSERT_LT(silent, module.size());
    EXPECT_GE(stopped + 1, silent);
    EXPECT_LE(stopped, silent + 1);
}

// A note started from a sample offset (902: frame 512 of 1024) plays from a table entry that starts half
// way into the sample's bytes. (The restart byte 0x7F marks a ProTracker song: libxmp drops sample offsets
// from songs it takes for Noisetracker's, as that tracker had none.)
TEST(Import, StartsASampleOffsetFromItsOwnEntry) {
    ModLayout layout = toneSong(428, 1);
    layout.restart = 0x7F;
    layout.cells.push_back({0, 8, 0, 1, 428, 0x9, 0x02});
    const ImportResult r = importOrFail(buildMod(layout));
    EngineHarness h(r.rom);
    h.renderCalls(1);
    const SampleRecord whole = SampleInfo[1];
    std::size_t calls = 1;
    while (Line != 8 || tick != 1)
        h.renderCalls(1), ++calls;
    ASSERT_LT(calls, 1000u);
    const double from = double(AS[0] - whole.start) / double(whole.end - whole.start);
    EXPECT_NEAR(from, 0.5, 0.03);
}

// Module players' timing where libxmp's differs: a Noisetracker-looking song's F7D sets the tempo, as in
// ProTracker (not 125 ticks a line); an untagged Soundtracker song with the usual tempo byte 0x78 plays at
// 125 BPM (not 120). One pattern of 64 lines at 6 ticks a line is 7.68 s.
TEST(Import, TimesSongsAsModulePlayersDo) {
    ModLayout noisetracker = toneSong(428, 1);
    noisetracker.restart = 0x78;
    noisetracker.cells.push_back({0, 0, 1, 0, 0, 0xF, 0x7D});
    ModLayout soundtracker = toneSong(428, 1);
    soundtracker.tag = "";
    soundtracker.restart = 0x78;
    for (const ModLayout& layout : {noisetracker, soundtracker})
        EXPECT_NEAR(importOrFail(buildMod(layout)).moduleSeconds, 7.68, 0.03)
            << (layout.tag.empty() ? "untagged" : "M.K.");
}

TEST(Import, KeepsTheModulesLengthWithinOneTick) {
    // One position of 7.68 s, and 79 of them: over ten minutes, where any drift would show.
    for (const std::uint8_t positions : {std::uint8_t{1}, std::uint8_t{79}}) {
        const ImportResult r = importOrFail(buildMod(toneSong(428, positions)));
        EXPECT_NEAR(r.moduleSeconds, 7.68 * positions, 0.01);
        EXPECT_NEAR(r.romSeconds, r.moduleSeconds, kTickSeconds) << positions << " positions";
    }
}

// A preview from later in the song (a saved file playing on where the song is) starts at the start of
// the order position playing then, and covers the seconds asked for from the time asked for. Positions
// of one pattern last 7.68 s each at 125 BPM; the song has 6 of them. At 137 BPM a tick is 145 samples
// at 8000 Hz as players mix it, so a position lasts 6.96 s, and the preview starts where the whole
// song's clock has it.
TEST(Import, PreviewsFromTheOrderPositionPlaying) {
    struct Case {
        std::uint8_t bpm;
        double from, seconds;
        int order;        // the position playing at `from`
        double endsAfter; // where in the song the preview ends, at least
    } const cases[] = {
        {125, 0, 4, 0, 4},         // the song's start
        {125, 7.0, 4, 0, 11.0},    // near the end of position 0: the preview goes on into position 1
        {125, 20.0, 4, 2, 24.0},   // inside position 2 (15.36 s to 23.04 s)
        {125, 100.0, 4, 5, 46.08}, // past the song's end: its last position, to the end
        {137, 40.0, 4, 5, 41.76},  // inside position 5 (34.8 s, of 6.96 s, by libxmp's clock 35.04 s)
    };
    for (const Case& c : cases) {
        ModLayout layout = toneSong(428, 6);
        layout.cells.push_back({0, 0, 1, 0, 0, 0xF, c.bpm});
        const std::vector<std::uint8_t> file = buildMod(layout);
        const double position = 64 * 6 * std::floor(8000 * 2.5 / c.bpm) / 8000;
        ImportOptions options;
        options.previewFrom = c.from;
        options.previewSeconds = c.seconds;
        ImportResult r;
        std::string error;
        ASSERT_TRUE(importModule(file, options, r, error)) << error;
        EXPECT_NEAR(r.startSeconds, position * c.order, 0.01) << "from " << c.from;
        ASSERT_FALSE(r.origins.empty());
        EXPECT_EQ(r.origins[0].front().order, c.order) << "from " << c.from;
        EXPECT_GE(r.startSeconds + r.romSeconds + kTickSeconds, c.endsAfter) << "from " << c.from;
        // The preview ends where it was asked to: the song is not cut for never repeating.
        for (const Loss& loss : r.losses)
            EXPECT_NE(loss.kind, LossKind::LengthCapped) << "from " << c.from;
    }
}

TEST(Import, PlaysANoteAtTheModulesPitch) {
    // MOD periods 428, 214 and 856: the triangle's cycle of 32 frames at 8287 * 428 / period frames/s.
    for (const std::uint16_t period : {std::uint16_t{428}, std::uint16_t{214}, std::uint16_t{856}}) {
        const ImportResult r = importOrFail(buildMod(toneSong(period, 1)));
        EngineHarness h(r.rom);
        const std::vector<std::uint8_t> pcm = h.render(kRate * 2);
        const double expected = 8287.0 * 428 / period / 32;
        EXPECT_NEAR(fundamental(pcm, kRate) / expected, 1.0, 0.01) << "period " << period;
    }
}

// Where the image has room, a sample is stored at twice the output rate: its most played note steps two
// bytes per output sample (tone 33), and a note an octave below it still one (tone 21), so that it keeps
// the sample's treble.
TEST(Import, StoresASampleAtTwiceTheOutputRateWhenThereIsRoom) {
    struct Case {
        std::uint16_t most, lower; // the note of rows 0-47, and the one of rows 48-63
        std::uint16_t mostStep, lowerStep;
    };
    for (const Case& c : {Case{428, 856, PeriodTable[33], PeriodTable[21]},
                          Case{214, 428, PeriodTable[33], PeriodTable[21]}}) {
        SCOPED_TRACE(c.most);
        ModLayout layout = toneSong(c.most, 1);
        layout.cells.push_back({0, 48, 0, 1, c.lower, 0, 0});
        const ImportResult r = importOrFail(buildMod(layout));
        const std::vector<EngineTick> ticks = engineTicks(r.rom, 64 * 6);
        EXPECT_EQ(ticks[0].step, c.mostStep);
        EXPECT_EQ(ticks[48 * 6].step, c.lowerStep);
    }
}

TEST(Import, EveryFormatSoundsAndStaysInsideItsData) {
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> songs = {
        {"mod", buildMod(smallModLayout())}, {"s3m", tinyS3m()}, {"xm", tinyXm()}, {"it", tinyIt()}};
    for (const auto& [format, file] : songs) {
        const ImportResult r = importOrFail(file);
        ASSERT_EQ(r.rom.size(), 32768u) << format;
        // Every sample entry lies inside the file's data, below the tables.
        for (std::size_t i = 1; i < kSampleEntries; ++i) {
            const std::size_t at = sampleEntry(i) - kRomBase;
            const auto word = [&](std::size_t k) { return unsigned(r.rom[at + k] << 8 | r.rom[at + k + 1]); };
            const unsigned start = word(kEntryStart), end = word(kEntryEnd);
            if (start == 0 && end == 0) continue;
            EXPECT_GE(start, kRomBase) << format << " entry " << i;
            EXPECT_LE(start, end) << format << " entry " << i;
            EXPECT_LE(end, kSongTable) << format << " entry " << i;
        }
        EngineHarness h(r.rom);
        const std::vector<std::uint8_t> pcm = h.render(kRate * 3);
        EXPECT_TRUE(std::any_of(pcm.begin(), pcm.end(), [](std::uint8_t b) { return b != 128; })) << format;
    }
}

TEST(Import, RefusesWithOneLine) {
    ModLayout noSamples = toneSong(428, 1);
    noSamples.samples.clear();
    noSamples.cells.clear();
    ModLayout noNotes = toneSong(428, 1);
    noNotes.cells.clear();
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> files = {
        {"empty", {}},
        {"text", std::vector<std::uint8_t>(2000, 'x')},
        {"no samples", buildMod(noSamples)},
        {"no notes", buildMod(noNotes)}};
    for (const auto& [what, file] : files) {
        ImportResult r;
        std::string error;
        EXPECT_FALSE(importModule(file, ImportOptions{}, r, error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(error.find('\n'), std::string::npos) << what;
    }
}

} // namespace
