// The importer's hard paths on modules built here: more channels than streams, more samples than table
// entries, more song than the image holds, more samples than it holds, and a sample that glides over
// octaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

#include "engine/sequencer.h"
#include "engine_harness.h"
#include "fuzz/test_modules.h"
#include "import/capture.h"
#include "import/compile.h"
#include "import/import.h"
#include "import/layout.h"
#include "import/report.h"
#include "import/samples.h"
#include "import/voices.h"
#include "import_helpers.h"

namespace {

constexpr int kRate = 8000;
constexpr double kTickSeconds = 12.0 * 13 / kRate; // an engine tick at 125 BPM and 8000 Hz
constexpr int kWholeRate = 7800;                   // a tick at 125 BPM is 156 samples: 12 whole calls

Performance capture(const std::vector<std::uint8_t>& file) {
    LoadedModule loaded;
    std::string error;
    EXPECT_TRUE(loadModule(file, loaded, error)) << error;
    return capturePerformance(loaded, kRate);
}

ModSampleLayout looped(const std::string& name) {
    return {name, 512, 0, 64, 0, 512};
}

// Eight channels start a note together on line 0, channel c at volume 8 (c + 1), and hold it: the four
// loudest (channels 4-7) take the streams, and the report counts the four left out.
TEST(ImportPaths, EightChannelsKeepTheLoudestNotes) {
    ModLayout layout;
    layout.tag = "8CHN";
    layout.samples = {looped("a")};
    for (std::uint8_t c = 0; c < 8; ++c)
        layout.cells.push_back({0, 0, c, 1, static_cast<std::uint16_t>(428 - 20 * c), 0xC,
                                static_cast<std::uint8_t>(8 * (c + 1))});
    const std::vector<std::uint8_t> file = buildMod(layout);
    const Performance p = capture(file);
    ASSERT_EQ(p.channels, 8);
    const VoicePlan voices = assignVoices(p);
    std::set<int> playing;
    for (const StreamTick& s : voices.ticks[1])
        playing.insert(s.channel);
    EXPECT_EQ(playing, (std::set<int>{4, 5, 6, 7}));
    EXPECT_EQ(voices.notes, 8u);
    EXPECT_EQ(voices.notesLeftOut, 4u);
    const ImportResult r = importOrFail(file);
    for (const char* words : {"4 of 8 notes", "channel 1 (1)", "channel 4 (1)"})
        EXPECT_TRUE(reportHas(r, words)) << words;
}

// Four held notes on channels 0-3 (bass C, and C E G above it) from line 0; on line 16, two seconds on,
// channels 4-7 start four notes. The streams weigh each new note against the sound it would replace
// (newer and louder take a stream), but where that swaps the held chord for notes that leave the kept
// sound's pitch classes far from the mix's, the chord, or its part that matters most, stays and those
// notes are left out.
TEST(ImportPaths, EightChannelsKeepWhatTheMixSoundsLike) {
    struct Case {
        const char* what;
        std::uint8_t heldVolume, laterVolume;
        std::array<std::uint16_t, 4> laterPeriods;
        std::set<int> heldAfter; // the channels the streams play after line 16
        std::size_t leftOut;
    } const cases[] = {
        {"louder notes of four new pitch classes", 16, 64, {381, 320, 226, 360}, {4, 5, 6, 7}, 0},
        {"as loud, of four new pitch classes: the doubled C gives way",
         64,
         64,
         {381, 320, 226, 360},
         {2, 3, 4, 6},
         2},
        {"quieter notes of one pitch class", 64, 32, {254, 254, 254, 254}, {4, 1, 2, 3}, 3},
    };
    for (const Case& k : cases) {
        ModLayout layout;
        layout.tag = "8CHN";
        layout.samples = {looped("a")};
        const std::uint16_t held[] = {856, 428, 340, 285};
        for (std::uint8_t c = 0; c < 4; ++c) {
            layout.cells.push_back({0, 0, c, 1, held[c], 0xC, k.heldVolume});
            layout.cells.push_back({0, 16, std::size_t(c + 4), 1, k.laterPeriods[c], 0xC, k.laterVolume});
        }
        const Performance p = capture(buildMod(layout));
        ASSERT_EQ(p.channels, 8);
        const VoicePlan voices = assignVoices(p);
        std::size_t later = 0;
        while (later < p.ticks.size() && p.ticks[later].row < 16)
            ++later;
        ASSERT_LT(later + 1, voices.ticks.size()) << k.what;
        std::set<int> playing;
        for (const StreamTick& s : voices.ticks[later + 1])
            playing.insert(s.channel);
        EXPECT_EQ(playing, k.heldAfter) << k.what;
        EXPECT_EQ(voices.notes, 8u) << k.what;
        EXPECT_EQ(voices.notesLeftOut, k.leftOut) << k.what;
    }
}

// Twenty samples, sample k (1-20) played 21 - k times: the fourteen played most (1-14) get the table's
// entries, the six played least none.
TEST(ImportPaths, TwentySamplesKeepTheFourteenHeardMost) {
    ModLayout layout;
    for (int k = 1; k <= 20; ++k)
        layout.samples.push_back({"s" + std::to_string(k), 300, 0, 64, 0, 1});
    std::size_t cell = 0;
    for (std::uint8_t k = 1; k <= 20; ++k)
        for (int n = 0; n < 21 - k; ++n, ++cell)
            layout.cells.push_back({cell / 256, cell / 4 % 64, cell % 4, k, 428, 0, 0});
    layout.patterns = cell / 256 + 1;
    layout.length = static_cast<std::uint8_t>(layout.patterns);
    layout.orders = {0, 1};
    const Performance p = capture(buildMod(layout));
    const SampleBank bank = buildSamples(p, assignVoices(p), kRate, 16384);
    for (std::size_t k = 1; k <= 20; ++k)
        EXPECT_EQ(bank.entryOf.at(k - 1) != 0, k <= 14) << "sample " << k;
}

// Three samples made into tones: a bright one (0.4 cycles a frame, 2000 frames) struck every 4 rows, and
// two longer dull ones (0.01 cycles a frame, 4000 frames) that share a byte range. With room to spare all
// keep their best rates; when room is short the dull ones give up the rate they do not use first (down to
// the lowest tone: 1221 bytes), and the bright one keeps at least a byte per output sample (1930 bytes)
// while that fits. Giving way by size alone would store both at about 1600 bytes.
TEST(ImportPaths, DullSamplesGiveUpTheirRateBeforeBrightOnes) {
    struct Case {
        std::size_t space;
        int brightLeast, brightMost, dullMost; // the bright one's anchor, the lower dull one's
    } const cases[] = {{65536, 32, 32, 32}, {6400, 20, 32, 31}, {3200, 20, 20, 0}, {2000, 2, 10, 0}};
    ModLayout layout;
    layout.samples = {
        {"bright", 1000, 0, 64, 0, 1}, {"dull a", 2000, 0, 64, 0, 1}, {"dull b", 2000, 0, 64, 0, 1}};
    for (std::size_t row = 0; row < 64; row += 4)
        layout.cells.push_back({0, row, 0, 1, 428, 0, 0});
    layout.cells.push_back({0, 0, 1, 2, 428, 0, 0});
    layout.cells.push_back({0, 0, 2, 3, 428, 0, 0});
    Performance p = capture(buildMod(layout));
    ASSERT_GE(p.samples.size(), 3u);
    for (std::size_t s = 0; s < 3; ++s)
        for (std::size_t f = 0; f < p.samples[s].frames.size(); ++f)
            p.samples[s].frames[f] =
                float(std::sin(2 * 3.14159265358979 * (s == 0 ? 0.4 : 0.01) * double(f)));
    const VoicePlan voices = assignVoices(p);
    for (const Case& c : cases) {
        const SampleBank bank = buildSamples(p, voices, kRate, c.space);
        ASSERT_EQ(bank.kept.size(), 3u) << c.space;
        const auto anchor = [&](int source) {
            return bank.kept.at(std::size_t(bank.entryOf.at(std::size_t(source)) - 1)).anchorSemitone;
        };
        EXPECT_GE(anchor(0), c.brightLeast) << c.space;
        EXPECT_LE(anchor(0), c.brightMost) << c.space;
        EXPECT_LE(std::min(anchor(1), anchor(2)), c.dullMost) << c.space;
    }
}

// With room for less than every sample's shortest form, the samples heard least are left out, and the
// report names each with its notes and when it was first heard: the last resort after every lowering and
// shortening of the samples kept. "most" plays every other line, "some" every 16th, "least" once.
TEST(ImportPaths, SamplesThatCannotFitAreLeftOutAndNamed) {
    struct Case {
        std::size_t space;
        std::size_t kept;    // samples stored
        const char* leftOut; // the report's line, or "" when all fit
    } const cases[] = {
        {65536, 3, ""},
        {300, 1,
         "samples left out to fit: sample 2 \"some\": 4 notes, first heard at 0:00.0; sample 3 \"least\": 1 "
         "note, first heard at 0:03.8"},
    };
    ModLayout layout;
    layout.samples = {{"most", 1000, 0, 64, 0, 1}, {"some", 2000, 0, 64, 0, 1}, {"least", 2000, 0, 64, 0, 1}};
    for (std::size_t row = 0; row < 64; row += 2)
        layout.cells.push_back({0, row, 0, 1, 428, 0, 0});
    for (std::size_t row = 0; row < 64; row += 16)
        layout.cells.push_back({0, row, 1, 2, 428, 0, 0});
    layout.cells.push_back({0, 32, 2, 3, 428, 0, 0});
    const Performance p = capture(buildMod(layout));
    const VoicePlan voices = assignVoices(p);
    for (const Case& c : cases) {
        const SampleBank bank = buildSamples(p, voices, kRate, c.space);
        EXPECT_EQ(bank.kept.size(), c.kept) << c.space;
        std::string line;
        for (const Loss& loss : bank.losses)
            if (loss.kind == LossKind::SamplesDropped) line = lossLine(loss);
        EXPECT_EQ(line, c.leftOut) << c.space;
    }
}

// A bright pad (0.3 cycles a frame) whose loop is all its 16000 frames (1.93 s at 8287 frames a second)
// and a bright one-shot (0.4 cycles a frame, 2000 frames), sharing a byte range. Short of room, the pad's
// loop is cut before either gives up rate below a byte per output sample (anchor 20), but not below
// 0.25 s (2072 frames); shorter of room still, the pad then gives up rate.
TEST(ImportPaths, LongLoopsAreShortenedBeforeRatesAreLowered) {
    struct Case {
        std::size_t space;
        double loopLeast, loopMost; // frames of the pad's loop kept
        int padLeast, padMost;      // the pad's anchor
    } const cases[] = {{65536, 15900, 16100, 32, 32}, {3000, 2072, 3200, 20, 20}, {1500, 2072, 3200, 0, 19}};
    ModLayout layout;
    layout.samples = {{"pad", 8000, 0, 64, 0, 8000}, {"bright", 1000, 0, 64, 0, 1}};
    layout.cells = {{0, 0, 0, 1, 428, 0, 0}};
    for (std::size_t row = 0; row < 64; row += 4)
        layout.cells.push_back({0, row, 1, 2, 428, 0, 0});
    Performance p = capture(buildMod(layout));
    ASSERT_GE(p.samples.size(), 2u);
    for (std::size_t s = 0; s < 2; ++s)
        for (std::size_t f = 0; f < p.samples[s].frames.size(); ++f)
            p.samples[s].frames[f] = float(std::sin(2 * 3.14159265358979 * (s == 0 ? 0.3 : 0.4) * double(f)));
    const VoicePlan voices = assignVoices(p);
    for (const Case& c : cases) {
        const SampleBank bank = buildSamples(p, voices, kRate, c.space);
        ASSERT_EQ(bank.kept.size(), 2u) << c.space;
        const KeptSample& pad = bank.kept.at(std::size_t(bank.entryOf.at(0) - 1));
        const KeptSample& bright = bank.kept.at(std::size_t(bank.entryOf.at(1) - 1));
        ASSERT_TRUE(pad.loops) << c.space;
        const double loop = double(pad.nibbles.size() - pad.loopStart) / pad.scale;
        EXPECT_GE(loop, c.loopLeast) << c.space;
        EXPECT_LE(loop, c.loopMost) << c.space;
        EXPECT_GE(pad.anchorSemitone, c.padLeast) << c.space;
        EXPECT_LE(pad.anchorSemitone, c.padMost) << c.space;
        EXPECT_GE(bright.anchorSemitone, std::min(c.padLeast, 20)) << c.space;
    }
}

// A one-shot sample of 16,000 frames struck 16 times at period 113 (31.4 kHz, each note heard 0.48 s) and
// twice at period 856 (4.1 kHz) for a line, 33 semitones lower, at 44100 Hz. Every note at its pitch needs
// the table's lowest step (0.32 bytes an output sample) for the low ones: 3.4 bytes a frame, 54 KB, more than
// the image. With room for that, the sample is stored whole; with less, cutting it would silence most of
// every high note, so the two low notes give way instead (below the table's lowest tone, they play higher)
// and the sample keeps most of its length (7 KB whole at the high notes' rate), not a sixth of it.
TEST(ImportPaths, ALowNoteGivesWayRatherThanTheSampleAtHighRates) {
    struct Case {
        std::size_t space;
        std::size_t notesBelow; // notes below the table's lowest tone
        double keptLeast;       // of the sample's length
    } const cases[] = {{60000, 0, 0.99}, {9000, 2, 0.75}};
    ModLayout layout;
    layout.samples = {{"one-shot", 8000, 0, 64, 0, 1}};
    for (std::size_t row = 0; row < 64; row += 4)
        layout.cells.push_back({0, row, 0, 1, 113, 0, 0});
    for (const std::size_t row :
         {std::size_t{2}, std::size_t{34}}) { // low notes of a line each (volume 0 on the next)
        layout.cells.push_back({0, row, 1, 1, 856, 0, 0});
        layout.cells.push_back({0, row + 1, 1, 0, 0, 0xC, 0});
    }
    constexpr int kHighRate = 44100;
    LoadedModule loaded;
    std::string error;
    ASSERT_TRUE(loadModule(buildMod(layout), loaded, error)) << error;
    const Performance p = capturePerformance(loaded, kHighRate);
    const VoicePlan voices = assignVoices(p);
    for (const Case& c : cases) {
        const SampleBank bank = buildSamples(p, voices, kHighRate, c.space);
        ASSERT_EQ(bank.kept.size(), 1u) << c.space;
        const double kept = double(bank.kept[0].nibbles.size()) / bank.kept[0].scale / 16000;
        EXPECT_GE(kept, c.keptLeast) << c.space;
        std::size_t below = 0;
        for (const Loss& loss : bank.losses)
            for (const SampleLoss& sample : loss.samples)
                if (loss.kind == LossKind::RatesLowered) below += sample.notes;
        EXPECT_EQ(below, c.notesBelow) << c.space;
    }
}

// A sample struck at two levels, an echo: 40 notes at volume 64 and 24 at 16, beside a second sample of the
// same length that shares its bytes (one in the low nibbles, one in the high). With room, it gets a second
// entry at a quarter of its level (in bytes of their own), and the quiet notes play it; with no room to
// spare, one entry plays them all.
TEST(ImportPaths, ASampleStruckAtTwoLevelsGetsASecondEntryWhereRoomAllows) {
    struct Case {
        std::size_t space;
        bool twoEntries;
    } const cases[] = {{16384, true}, {400, false}};
    ModLayout layout;
    layout.samples = {looped("a"), looped("b")};
    layout.patterns = 2;
    layout.length = 2;
    layout.orders = {0, 1};
    layout.cells.push_back({0, 0, 2, 2, 428, 0, 0});
    for (std::size_t row = 0; row < 64; row += 4) {
        layout.cells.push_back({0, row, 0, 1, 428, 0xC, 64});
        layout.cells.push_back({1, row, 0, 1, 428, 0xC, std::uint8_t(row < 32 ? 64 : 16)});
        layout.cells.push_back({0, row + 2, 1, 1, 320, 0xC, std::uint8_t(row < 32 ? 64 : 16)});
        layout.cells.push_back({1, row + 2, 1, 1, 320, 0xC, std::uint8_t(row < 32 ? 16 : 64)});
    }
    const Performance p = capture(buildMod(layout));
    const VoicePlan voices = assignVoices(p);
    for (const Case& c : cases) {
        const SampleBank bank = buildSamples(p, voices, kRate, c.space, kReachableEntries, nullptr, true);
        ASSERT_EQ(bank.kept.size(), 2u) << c.space;
        ASSERT_EQ(bank.levels.size(), c.twoEntries ? 1u : 0u) << c.space;
        std::size_t quiet = 0;
        for (const Segment& segment : compileSong(p, voices, bank, kRate).segments)
            for (const SongLine& line : segment.lines)
                for (const Cell& cell : line.cells)
                    quiet += cell.sample == 3;
        EXPECT_EQ(quiet, c.twoEntries ? 24u : 0u) << c.space;
        if (!c.twoEntries) continue;
        EXPECT_NEAR(bank.levels[0].volume / bank.levels[0].usual, 0.25, 0.01);
        // Its bytes are the kept sample's sound a quarter as loud.
        const KeptSample &loud = bank.kept[0], &soft = bank.levels[0].sample;
        ASSERT_EQ(soft.nibbles.size(), loud.nibbles.size());
        int loudest = 0, softest = 0;
        for (std::size_t i = 0; i < loud.nibbles.size(); ++i) {
            loudest = std::max(loudest, std::abs(nibbleValue(loud.nibbles[i], false)));
            softest = std::max(softest, std::abs(nibbleValue(soft.nibbles[i], false)));
        }
        EXPECT_NEAR(double(softest) / loudest, std::pow(0.25, 0.75), 0.1);
    }
    const ImportResult r = importOrFail(buildMod(layout));
    EXPECT_TRUE(reportHas(r, "samples stored at a second level too")) << ::testing::PrintToString(r.report);
}

// Sixty-four patterns of a note in every cell, each pattern its own: far more song than the image holds.
// The import makes it compact step by step, says so, and keeps its length within a tick.
TEST(ImportPaths, ASongTooLongForTheImageIsMadeCompactAndKeepsItsLength) {
    ModLayout layout;
    layout.samples = {looped("a"), looped("b")};
    layout.patterns = 64;
    layout.length = 64;
    layout.orders.clear();
    for (std::uint8_t p = 0; p < 64; ++p) {
        layout.orders.push_back(p);
        for (std::size_t row = 0; row < 64; ++row)
            for (std::size_t c = 0; c < 4; ++c)
                layout.cells.push_back({p, row, c, static_cast<std::uint8_t>(1 + (row + c) % 2),
                                        static_cast<std::uint16_t>(120 + (p * 64 + row) * 37 % 700 + c), 0,
                                        0});
    }
    const ImportResult r = importOrFail(buildMod(layout));
    EXPECT_TRUE(reportHas(r, "a pattern played again replays its first"));
    EXPECT_TRUE(reportHas(r, "every 2 rows share one line"));
    EXPECT_NEAR(r.moduleSeconds, 64 * 7.68, 0.05);
    EXPECT_NEAR(r.romSeconds, r.moduleSeconds, kTickSeconds);
}

// The song laid out as patterns of 64 lines, each segment from line 0 of patterns of its own (identical
// patterns stored once), breaks to line 0 and the jump back to the loop line's pattern: the layout before
// songs were packed, to compare with. Its bytes, 0 if it does not fit below `limit`.
std::size_t placeAsPages(const CompiledSong& song, RomBuilder& rom, std::uint32_t address,
                         std::uint32_t limit) {
    std::vector<std::vector<SongLine>> positions;
    std::size_t loopPosition = 0;
    for (std::size_t s = 0; s < song.segments.size(); ++s) {
        if (s == song.loopSegment) loopPosition = positions.size() + song.loopLine / kLinesPerPattern;
        const std::vector<SongLine>& lines = song.segments[s].lines;
        for (std::size_t a = 0; a < lines.size(); a += kLinesPerPattern)
            positions.emplace_back(lines.begin() + std::ptrdiff_t(a),
                                   lines.begin() +
                                       std::ptrdiff_t(std::min(lines.size(), a + kLinesPerPattern)));
    }
    for (Cell& c : positions.back().back().cells)
        if (c.effect == kPositionJump)
            c.param = static_cast<std::uint8_t>(loopPosition);
        else if (c.effect == kPatternBreak)
            c.param = static_cast<std::uint8_t>(kBreakHere + song.loopLine % kLinesPerPattern);
    std::vector<std::vector<std::uint8_t>> patterns;
    std::vector<std::uint8_t> orders;
    for (const std::vector<SongLine>& lines : positions) {
        std::vector<std::uint8_t> bytes(kPatternBytes, 0);
        for (std::size_t l = 0; l < lines.size(); ++l)
            for (std::size_t c = 0; c < kChannels; ++c) {
                const Cell& cell = lines[l].cells[c];
                bytes[kLineBytes * l + kCellBytes * c + kCellHead] = cellHead(cell.sample, cell.effect);
                bytes[kLineBytes * l + kCellBytes * c + kCellTone] = cell.tone;
                bytes[kLineBytes * l + kCellBytes * c + kCellParam] = cell.param;
            }
        const auto same = std::find(patterns.begin(), patterns.end(), bytes);
        orders.push_back(static_cast<std::uint8_t>(same - patterns.begin()));
        if (same == patterns.end()) patterns.push_back(bytes);
    }
    const std::size_t bytes = kOrderListBytes + kPatternBytes * patterns.size();
    if (orders.size() > kOrderListBytes || address + bytes > limit) return 0;
    rom.poke(address, orders);
    for (std::size_t p = 0; p < patterns.size(); ++p)
        rom.poke(static_cast<std::uint32_t>(address + songOffset(p)), patterns[p]);
    rom.song(0, static_cast<std::uint16_t>(address));
    return bytes;
}

// Patterns played for 12 rows each (a break on row 11), each its own notes: as patterns of 64 lines the
// song takes 768 bytes a visit, packed 12 a line. Packed, it plays line for line as laid out in patterns
// (the same bytes, where both fit), and the import fits the song whole where it would have had to share
// two rows a line. 40 visits laid out in patterns leave the samples (two of 2 KB) no room.
TEST(ImportPaths, ShortPatternsArePackedAndPlayAsLaidOutInPatterns) {
    struct Case {
        std::uint8_t patterns;
        bool fitsInPatterns;
    } const cases[] = {{12, true}, {40, false}};
    for (const Case& c : cases) {
        ModLayout layout;
        layout.samples = {{"a", 2048, 0, 64, 0, 2048}, {"b", 2048, 0, 64, 0, 2048}};
        layout.patterns = c.patterns;
        layout.length = c.patterns;
        layout.orders.clear();
        for (std::uint8_t p = 0; p < c.patterns; ++p) {
            layout.orders.push_back(p);
            for (std::size_t row = 0; row < 12; ++row)
                for (std::size_t ch = 0; ch < 3; ++ch)
                    layout.cells.push_back(
                        {p, row, ch, static_cast<std::uint8_t>(1 + ch % 2),
                         static_cast<std::uint16_t>(150 + (p * 12 + row + 5 * ch) * 13 % 600), 0, 0});
            layout.cells.push_back({p, 11, 3, 0, 0, 0xD, 0});
        }
        const std::vector<std::uint8_t> file = buildMod(layout);
        const ImportResult r = importOrFail(file);
        EXPECT_FALSE(reportHas(r, "the song is long for the ROM")) << int(c.patterns);
        EXPECT_NEAR(r.romSeconds, r.moduleSeconds, kTickSeconds) << int(c.patterns);

        const Performance p = capture(file);
        const VoicePlan voices = assignVoices(p);
        const SampleBank bank = buildSamples(p, voices, kRate, 4096);
        const CompiledSong song = compileSong(p, voices, bank, kRate);
        std::size_t lines = 0;
        for (const Segment& segment : song.segments)
            lines += segment.lines.size();
        RomBuilder packed, pages;
        const PlacedSong placed = placeSong(song, packed, 0x8000, 0xFF00);
        const std::size_t pageBytes = placeAsPages(song, pages, 0x8000, 0xFF00);
        // Every line is stored once, one after another: the bytes a pattern's unplayed lines took are freed.
        EXPECT_EQ(placed.bytes, kOrderListBytes + kLineBytes * lines) << int(c.patterns);
        EXPECT_GE(pageBytes, kOrderListBytes + kPatternBytes * c.patterns) << int(c.patterns);
        SampleBank inPacked = bank, inPages = bank;
        ASSERT_TRUE(
            placeSamples(inPacked, packed, static_cast<std::uint32_t>(0x8000 + placed.bytes), 0xFF00));
        EXPECT_EQ(placeSamples(inPages, pages, static_cast<std::uint32_t>(0x8000 + pageBytes), 0xFF00),
                  c.fitsInPatterns)
            << int(c.patterns);
        if (!c.fitsInPatterns) continue;
        const std::size_t bytes = static_cast<std::size_t>((song.seconds + 1) * kRate);
        EXPECT_TRUE(EngineHarness(packed).render(bytes) == EngineHarness(pages).render(bytes))
            << int(c.patterns);
    }
}

// Orders 0 1 0 2, pattern 1 breaking to row 16 (a ProTracker song), at 7800 Hz, where a tick at 125 BPM is
// 12 whole calls (elsewhere lines alternate tick lengths to keep time, unlike from visit to visit): the
// second visit of pattern 0 plays its lines from row 16 on, and, but for its first line (which sets the
// speeds afresh), they are the first visit's: it plays that line, then breaks into the first visit's lines.
// The song takes the bytes of the lines it does not share with another, and plays line for line as laid out
// in patterns.
TEST(ImportPaths, AVisitFromAPatternsMiddlePlaysTheLinesStoredForItsFirstVisit) {
    ModLayout layout;
    layout.samples = {looped("a"), looped("b")};
    layout.patterns = 3;
    layout.length = 4;
    layout.orders = {0, 1, 0, 2};
    for (std::size_t p = 0; p < 3; ++p)
        for (std::size_t row = 0; row < 64; ++row)
            layout.cells.push_back({p, row, p % 2, static_cast<std::uint8_t>(1 + row % 2),
                                    static_cast<std::uint16_t>(200 + (p * 64 + row) * 7 % 500), 0, 0});
    layout.cells.push_back({1, 63, 3, 0, 0, 0xD, 0x16});
    layout.cells.push_back({0, 0, 3, 0, 0, 0x8, 0x80}); // a panning NoiseTracker lacks: Dxx names the row
    LoadedModule loaded;
    std::string error;
    ASSERT_TRUE(loadModule(buildMod(layout), loaded, error)) << error;
    const Performance p = capturePerformance(loaded, kWholeRate);
    const VoicePlan voices = assignVoices(p);
    const SampleBank bank = buildSamples(p, voices, kWholeRate, 4096);
    const CompiledSong song = compileSong(p, voices, bank, kWholeRate);
    ASSERT_EQ(song.segments.size(), 4u);
    const std::vector<SongLine>& again = song.segments[2].lines;
    ASSERT_EQ(again.size(), 48u);
    std::size_t lines = 0;
    for (const Segment& segment : song.segments)
        lines += segment.lines.size();
    RomBuilder packed, pages;
    const PlacedSong placed = placeSong(song, packed, 0x8000, 0xFF00);
    const std::size_t pageBytes = placeAsPages(song, pages, 0x8000, 0xFF00);
    EXPECT_LE(placed.bytes, kOrderListBytes + kLineBytes * (lines - (again.size() - 1)));
    SampleBank inPacked = bank, inPages = bank;
    ASSERT_TRUE(placeSamples(inPacked, packed, static_cast<std::uint32_t>(0x8000 + placed.bytes), 0xFF00));
    ASSERT_TRUE(placeSamples(inPages, pages, static_cast<std::uint32_t>(0x8000 + pageBytes), 0xFF00));
    const std::size_t bytes = static_cast<std::size_t>((song.seconds + 1) * kWholeRate);
    EXPECT_TRUE(EngineHarness(packed).render(bytes) == EngineHarness(pages).render(bytes));
}

// The engine's song as text, a line per line of each segment, to compare segments.
std::vector<std::string> segmentText(const CompiledSong& song) {
    std::vector<std::string> text;
    for (const Segment& segment : song.segments) {
        std::string t;
        for (const SongLine& line : segment.lines)
            for (const Cell& c : line.cells)
                t += std::to_string(c.sample) + ":" + std::to_string(c.tone) + ":" +
                     std::to_string(c.effect) + ":" + std::to_string(c.param) + " ";
        text.push_back(t + "\n");
    }
    return text;
}

// Pattern 0 is played three times (orders 0 1 0 0 2, each pattern 8 rows, 0.96 s): channel 1 plays a
// note every row, and channel 0 is silenced at row 4 (C00). Pattern 1 starts a long one-shot sample on
// channel 0 that rings into the next visit of pattern 0. When it has ended within that visit's first
// beat, the visit plays as the first did and replays its lines; when it rings on to row 4, where the
// module silences it, the visit is compiled afresh (its lines stop the note), and the third visit,
// played as the first, replays the first's lines.
TEST(ImportPaths, APatternPlayedAgainReplaysItsFirstLinesOnlyWhereItPlaysAlike) {
    struct Case {
        std::uint16_t longWords; // the one-shot sample's length: 2 words a frame, 8287 frames a second
        bool secondVisitReplays;
    } const cases[] = {{4350, true}, {8300, false}};
    for (const Case& c : cases) {
        ModLayout layout;
        layout.samples = {looped("short"), {"long", c.longWords, 0, 64, 0, 1}};
        layout.patterns = 3;
        layout.length = 5;
        layout.orders = {0, 1, 0, 0, 2};
        for (std::size_t p = 0; p < 3; ++p) {
            for (std::size_t row = 0; row < 8; ++row)
                layout.cells.push_back(
                    {p, row, 1, 1, static_cast<std::uint16_t>(p == 2 ? 320 : 428 - 20 * row), 0, 0});
            layout.cells.push_back({p, 7, 2, 0, 0, 0xD, 0});
        }
        layout.cells.push_back({0, 4, 0, 0, 0, 0xC, 0});
        layout.cells.push_back({1, 0, 0, 2, 428, 0, 0});
        const Performance p = capture(buildMod(layout));
        const VoicePlan voices = assignVoices(p);
        const CompiledSong song = compileSong(p, voices, buildSamples(p, voices, kRate, 16384), kRate,
                                              CompileOptions{true, SIZE_MAX, 1});
        const std::vector<std::string> text = segmentText(song);
        ASSERT_EQ(text.size(), 5u) << c.longWords;
        EXPECT_NE(text[1], text[0]) << c.longWords;
        EXPECT_EQ(text[2] == text[0], c.secondVisitReplays) << c.longWords;
        EXPECT_EQ(text[3], text[0]) << c.longWords;
    }
}

// Two samples of 32,000 bytes, each mostly its part before a short loop, on two channels of a position
// (7.68 s). At 8000 Hz they fit at their best rates. At 44100 Hz even the table's lowest step (81, 0.32
// bytes per output sample) stores 1.68 bytes a frame of the module's sample: 54 KB each, more than the
// image. The samples give way, their loops left out, and the song plays whole.
TEST(ImportPaths, SamplesTooBigForTheImageGiveWayToTheSong) {
    struct Case {
        int rate;
        bool loopsLeftOut;
    } const cases[] = {{8000, false}, {44100, true}};
    ModLayout layout;
    layout.samples = {{"pad a", 16000, 0, 64, 14000, 2000}, {"pad b", 16000, 0, 64, 14000, 2000}};
    layout.cells = {{0, 0, 0, 1, 428, 0, 0}, {0, 0, 1, 2, 320, 0, 0}, {0, 32, 0, 2, 428, 0, 0}};
    for (const Case& c : cases) {
        const ImportResult r = importOrFail(buildMod(layout), c.rate);
        EXPECT_NEAR(r.moduleSeconds, 7.68, 0.01) << c.rate;
        EXPECT_NEAR(r.romSeconds, r.moduleSeconds, 0.02) << c.rate;
        EXPECT_EQ(reportHas(r, "its loop left out"), c.loopsLeftOut) << c.rate;
        EXPECT_FALSE(reportHas(r, "the song does not fit")) << c.rate;
    }
}

// A note sliding up nearly three octaves (period 856 to the slide's limit 113) over 24 lines: the engine's
// pitch follows the module's within a semitone on every tick, the glide's whole range.
TEST(ImportPaths, FollowsASampleThatGlidesOverOctaves) {
    ModLayout layout;
    layout.samples = {looped("glide")};
    layout.cells = {{0, 0, 0, 1, 856, 0, 0}};
    for (std::size_t row = 1; row < 24; ++row)
        layout.cells.push_back({0, row, 0, 0, 0, 0x1, 0x08});
    const std::vector<std::uint8_t> file = buildMod(layout);
    const Performance p = capture(file);
    EngineHarness h(importOrFail(file).rom);
    std::vector<std::uint16_t> steps;
    while (steps.size() < 24 * 6) {
        h.renderCalls(1);
        if (subTick == 0) steps.push_back(ASIncr[0]);
    }
    const double octaves =
        std::log2(p.ticks[24 * 6 - 1].channels[0].frequency / p.ticks[0].channels[0].frequency);
    EXPECT_GT(octaves, 2.5);
    for (std::size_t t = 0; t < steps.size(); ++t) {
        const double module = p.ticks[t].channels[0].frequency / p.ticks[0].channels[0].frequency;
        const double engine = double(steps[t]) / steps[0];
        EXPECT_NEAR(12 * std::log2(engine / module), 0, 1.0) << "tick " << t;
    }
}

} // namespace
