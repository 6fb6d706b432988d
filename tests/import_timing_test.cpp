// Timing as the trackers played it, worked out here from each tracker's arithmetic, and the engine's
// tick range at any rate: the ROM's once-through length against the tracker's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "engine/format.h"
#include "fuzz/test_modules.h"
#include "import/capture.h"
#include "import/compile.h"
#include "import/import.h"
#include "import/timing.h"
#include "import/tracker.h"
#include "import/voices.h"
#include "import_helpers.h"

namespace {

// `positions` positions of one pattern: a looped triangle note on channel 0, and `cells` besides.
ModLayout song(std::uint8_t positions, std::vector<ModCellLayout> cells = {}) {
    ModLayout layout;
    layout.samples = {{"triangle", 512, 0, 64, 0, 512}};
    layout.length = positions;
    layout.orders.assign(positions, 0);
    layout.cells = {{0, 0, 0, 1, 428, 0, 0}};
    layout.cells.insert(layout.cells.end(), cells.begin(), cells.end());
    return layout;
}

// A ProTracker song whose first line sets 31 ticks a line (F1F) and whose second has F21: 33 BPM for
// its tempo reading, which makes 4 positions 594 s long (8 minutes and more: a VBlank suspect); 33 ticks
// a line at the vertical blank's 50 ticks a second (VBlank reading) make each position 31 + 63 * 33 =
// 2110 ticks, 42.2 s. With F1F and F21 on one line the song is surely timed by tempos: 64 lines of 31
// ticks at 33 BPM (2.5 / 33 s a tick) make 150.3 s a position.
TEST(ImportTiming, ReadsSpeedCommandsAsTheirTrackerDid) {
    struct Case {
        const char* what;
        std::size_t tempoRow;
        double seconds;
        bool vblank;
    } const cases[] = {
        {"vblank", 1, 4 * 2110 * 0.02, true},
        {"tempo", 0, 4 * 64 * 31 * 2.5 / 33, false},
    };
    for (const Case& c : cases) {
        const ModLayout layout = song(4, {{0, 0, 1, 0, 0, 0xF, 0x1F}, {0, c.tempoRow, 2, 0, 0, 0xF, 0x21}});
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_EQ(reportHas(r, "vertical blank"), c.vblank) << c.what;
    }
}

// An early Soundtracker song keeps its tempo in the restart byte: the CIA timer runs 709379 / ((240 -
// byte) * 122) ticks a second, except the usual 0x78 (and 0), the vertical blank's 50. One position is 384
// ticks. libxmp reads the byte as BPM in a song it takes for Ultimate Soundtracker's (only arpeggios and
// bends), else not at all, nor in the copy made of a song it turns away (a period off its table, here):
// every one plays at the byte's tempo, as openmpt123 plays it.
TEST(ImportTiming, PlaysEverySoundtrackerTempoByte) {
    struct Case {
        std::uint8_t byte;
        std::uint16_t period; // of a second note: 429 is off libxmp's table for 15-sample songs
        std::uint8_t effect;  // on the first line: 0xC (set volume) is not Ultimate Soundtracker's
    } const cases[] = {{0x78, 428, 0},   {0x60, 428, 0}, {0x90, 428, 0},   {0x00, 428, 0},  {0x40, 428, 0xC},
                       {0x9D, 428, 0xC}, {0x60, 429, 0}, {0x9D, 429, 0xC}, {0x20, 429, 0xC}};
    for (const Case& c : cases) {
        ModLayout layout = song(
            1, {{0, 8, 0, 1, c.period, 0, 0}, {0, 0, 1, 0, 0, c.effect, std::uint8_t(c.effect ? 0x20 : 0)}});
        layout.tag = "";
        layout.restart = c.byte;
        const double ticksPerSecond =
            c.byte == 0x78 || c.byte == 0 ? 50 : 709379.0 / ((240 - c.byte) * 122.0);
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.romSeconds / (384 / ticksPerSecond), 1, 0.005) << int(c.byte) << " " << c.period;
        EXPECT_EQ(reportHas(r, "rewritten as a 31-sample module"), c.period == 429) << int(c.byte);
        EXPECT_NEAR(soundtrackerTempo(c.byte), 2.5 * ticksPerSecond, 0.01) << int(c.byte);
    }
}

// Ticks longer than the engine's longest (128 calls of 13 bytes) become several engine ticks; ticks
// shorter than its shortest (one call) are reported with the length the song will have. A 16-line XM
// pattern played twice: at BPM 32, 16 * 6 * 2.5 / 32 * 2 = 15 s; at BPM 255 and speed 1, 32 ticks of 9.8
// ms, which a player mixing at 1000 Hz plays in 9 samples each (0.288 s), and which at 1000 Hz (a call is
// 13 ms) play 32 calls and the one before the first line: 0.429 s.
TEST(ImportTiming, KeepsTheLengthAtEveryRate) {
    struct Case {
        unsigned bpm, speed;
        int rate;
        double moduleSeconds, romSeconds;
        bool reported;
    } const cases[] = {
        {32, 6, 96000, 15, 15, false},
        {32, 6, 44100, 15, 15, false},
        {255, 1, 1000, 32 * 0.009, 33 * 0.013, true},
    };
    for (const Case& c : cases) {
        const ImportResult r = importOrFail(tinyXm(c.bpm, c.speed), c.rate);
        EXPECT_NEAR(r.moduleSeconds / c.moduleSeconds, 1, 0.01) << c.bpm << " BPM at " << c.rate;
        EXPECT_NEAR(r.romSeconds / c.romSeconds, 1, 0.01) << c.bpm << " BPM at " << c.rate;
        EXPECT_EQ(reportHas(r, "shorter than the engine's shortest"), c.reported) << c.bpm << " BPM";
    }
}

// A pattern break D10 on line 20 of position 0, of two: ProTracker goes on at line 10 of position 1
// (21 + 54 lines of 6 ticks at 50 a second: 9.0 s), NoiseTracker at its line 0 (21 + 64 lines: 10.2 s).
// An M.K. song is NoiseTracker's when it uses nothing NoiseTracker lacks: a volume slide keeps it so; a
// sample offset (9xx), a fine slide (E1x) or a second break in the pattern make it ProTracker's.
TEST(ImportTiming, BreaksToTheLineTheirTrackerDid) {
    struct Case {
        const char* what;
        ModCellLayout cell;
        double seconds;
        bool noiseTracker;
    } const cases[] = {
        {"a volume slide", {0, 5, 1, 0, 0, 0xA, 0x01}, 85 * 0.12, true},
        {"a sample offset", {0, 5, 1, 0, 0, 0x9, 0x01}, 75 * 0.12, false},
        {"a fine slide", {0, 5, 1, 0, 0, 0xE, 0x12}, 75 * 0.12, false},
        {"two breaks", {0, 20, 3, 0, 0, 0xD, 0x10}, 75 * 0.12, false},
    };
    for (const Case& c : cases) {
        ModLayout layout = song(2, {c.cell, {0, 20, 2, 0, 0, 0xD, 0x10}});
        layout.patterns = 2;
        layout.orders = {0, 1};
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_EQ(reportHas(r, "as NoiseTracker played them"), c.noiseTracker) << c.what;
    }
}

TEST(ImportTiming, KnowsEveryAmigaModType) {
    for (const char* type : {"Protracker M.K.", "Protracker M!K!", "Startrekker FLT4", "Noisetracker N.T.",
                             "Noisetracker M&K!", "Ultimate Soundtracker", "D.O.C Soundtracker 2.0"})
        EXPECT_TRUE(amigaFormat(type)) << type;
    for (const char* type : {"Fast Tracker 8CHN", "Scream Tracker 3.00 S3M", "Fast Tracker II XM 1.04"})
        EXPECT_FALSE(amigaFormat(type)) << type;
}

// The behaviours a loaded module's rules hold, by name.
std::string behaviours(const TrackerRules& r) {
    const std::pair<bool, const char*> named[] = {
        {r.amigaSpeeds, "amigaSpeeds"},
        {r.protrackerCommands, "protrackerCommands"},
        {r.soundtrackerTempo, "soundtrackerTempo"},
        {r.alwaysVblank, "alwaysVblank"},
        {r.mayBeVblank, "mayBeVblank"},
        {r.breaksToLineZero, "breaksToLineZero"},
        {r.mayBreakToLineZero, "mayBreakToLineZero"},
        {r.jumpTakesBreakLine, "jumpTakesBreakLine"},
        {r.loopBeforeBreak, "loopBeforeBreak"},
        {r.breaksOutOfLoops, "breaksOutOfLoops"},
        {r.jumpsOutOfLoops, "jumpsOutOfLoops"},
        {r.sharedLoopCounter, "sharedLoopCounter"},
        {r.sharedLoopStart, "sharedLoopStart"},
        {r.carriedLoopStarts, "carriedLoopStarts"},
        {r.nextPatternOnLoopLine, "nextPatternOnLoopLine"},
    };
    std::string out;
    for (const auto& [set, name] : named)
        if (set) out += (out.empty() ? "" : " ") + std::string(name);
    return out;
}

// A MOD with `tag` and `restart` byte (libxmp takes an M.K. song with a restart byte below 0x7F for
// NoiseTracker's).
std::vector<std::uint8_t> modTagged(const char* tag, std::uint8_t restart = 0) {
    ModLayout layout = song(1);
    layout.tag = tag;
    layout.restart = restart;
    return buildMod(layout);
}

// Each tracker's rules, read when its module is loaded: the tracker its report lines name and the
// behaviours the stages ask for, for songs saved by each.
TEST(ImportTiming, ReadsTheRulesOfEachTrackerWhenTheModuleIsLoaded) {
    struct Case {
        const char* tracker;
        std::vector<std::uint8_t> file;
        const char* name;
        const char* behaviours;
    } const cases[] = {
        {"FastTracker 2", letterXm(1, {0}, {}, "FastTracker v2.00"), "FastTracker 2",
         "breaksOutOfLoops carriedLoopStarts"},
        {"OpenMPT", letterXm(1, {0}, {}, "OpenMPT 1.31"), "FastTracker 2",
         "breaksOutOfLoops carriedLoopStarts"},
        {"MilkyTracker", letterXm(1, {0}, {}, "MilkyTracker 1.00"), "FastTracker 2",
         "breaksOutOfLoops carriedLoopStarts nextPatternOnLoopLine"},
        // An XM is played by its own rules whatever other tracker its tracker field names.
        {"an XM naming ProTracker", letterXm(1, {0}, {}, "Protracker M.K."), "FastTracker 2",
         "breaksOutOfLoops carriedLoopStarts nextPatternOnLoopLine"},
        {"an XM naming NoiseTracker", letterXm(1, {0}, {}, "Noisetracker"), "FastTracker 2",
         "breaksOutOfLoops carriedLoopStarts nextPatternOnLoopLine"},
        {"an XM naming S3M", letterXm(1, {0}, {}, "S3M to XM"), "FastTracker 2",
         "breaksOutOfLoops carriedLoopStarts nextPatternOnLoopLine"},
        {"Impulse Tracker", letterSong(true, 1, {0}, {}), "Impulse Tracker",
         "jumpTakesBreakLine loopBeforeBreak jumpsOutOfLoops"},
        {"Scream Tracker 3", letterSong(false, 1, {0}, {}), "Scream Tracker 3",
         "jumpTakesBreakLine loopBeforeBreak sharedLoopCounter sharedLoopStart"},
        {"ProTracker", modTagged("M.K.", 0x7F), "ProTracker",
         "amigaSpeeds mayBeVblank mayBreakToLineZero loopBeforeBreak"},
        {"ProTracker, restart 0", modTagged("M.K."), "ProTracker",
         "amigaSpeeds protrackerCommands mayBeVblank mayBreakToLineZero loopBeforeBreak"},
        {"NoiseTracker", modTagged("N.T."), "ProTracker",
         "amigaSpeeds protrackerCommands breaksToLineZero loopBeforeBreak"},
        {"Startrekker", modTagged("FLT4"), "ProTracker", "amigaSpeeds alwaysVblank loopBeforeBreak"},
        {"Soundtracker", modTagged(""), "ProTracker", "amigaSpeeds soundtrackerTempo loopBeforeBreak"},
    };
    for (const Case& c : cases) {
        LoadedModule loaded;
        std::string error;
        ASSERT_TRUE(loadModule(c.file, loaded, error)) << c.tracker << ": " << error;
        EXPECT_STREQ(loaded.tracker.name, c.name) << c.tracker;
        EXPECT_EQ(behaviours(loaded.tracker), c.behaviours)
            << c.tracker << " (" << loaded.module().type << ")";
    }
}

// FastTracker 2 starts the next pattern on the line the last pattern loop went back to. libxmp does so
// itself in XMs whose tracker field names FastTracker 2 or OpenMPT; in others (MilkyTracker's) the capture
// follows every loop that goes back, and says so (where a loop end stays in the song: one that breaks at
// once leaves its line). Either way each song plays as FastTracker 2 played it
// (the lengths worked out above): a loop of lines 8-15 of position 0 starts position 1 on line 8 (136
// lines), a loop end going back to a loop start of an earlier pattern (256), with a break to line 20 on
// its pattern's last line (296), a break left of a loop end (224).
TEST(ImportTiming, PlaysXmLoopsAsFastTracker2DidWhicheverTrackerSavedThem) {
    struct Tracker {
        const char* field;
        bool followed; // the capture follows every loop
    } const trackers[] = {{"FastTracker v2.00", false}, {"OpenMPT 1.31", false}, {"MilkyTracker 1.00", true}};
    struct Song {
        const char* what;
        std::vector<LetterCommand> commands;
        std::size_t lines;
        bool loops; // a loop end stays in the song
    } const songs[] = {
        {"a loop in one pattern", {{0, 8, 1, 'E', 0x60}, {0, 15, 1, 'E', 0x62}}, 136, true},
        {"E60 on 40, E62", {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}}, 256, true},
        {"D20 on the last line",
         {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}, {1, 63, 2, 'D', 0x20}},
         296,
         true},
        {"a break left of the loop end",
         {{0, 8, 1, 'E', 0x60}, {0, 15, 1, 'E', 0x62}, {0, 15, 0, 'D', 0x00}},
         224,
         false},
    };
    for (const Tracker& t : trackers)
        for (const Song& s : songs) {
            const ImportResult r = importOrFail(letterXm(2, {0, 1}, s.commands, t.field), 8000);
            EXPECT_NEAR(r.moduleSeconds / (double(s.lines) * 0.12), 1, 0.005) << t.field << ": " << s.what;
            EXPECT_NEAR(r.romSeconds / (double(s.lines) * 0.12), 1, 0.005) << t.field << ": " << s.what;
            EXPECT_EQ(reportHas(r, "they went back to"), t.followed && s.loops) << t.field << ": " << s.what;
        }
}

// A ProTracker line that ends a pattern loop and breaks or jumps plays the loop first, then the break or
// jump. Two positions of 64 lines at 0.12 s. A loop of lines 8-15 (E60, E62 on channel 1) alone plays
// 64 + 2 * 8 + 64 = 144 lines, 17.28 s. With a break (D00) or a jump (B01) on line 15: lines 0-15, 8-15
// twice, then position 1: 16 + 16 + 64 = 96 lines as ProTracker plays them; the import plays one line
// more, the break's, which moves to line 16: 97 lines, 11.64 s. A loop of lines 56-63 whose last line
// breaks to line 0: 64 + 16 + 64 = 144 lines, 17.28 s (the break is left out: the pattern ends there).
TEST(ImportTiming, PlaysALoopBeforeTheBreakOnItsLine) {
    struct Case {
        const char* what;
        std::size_t start, end;
        std::uint8_t effect, param;
        double seconds;
        bool mended;
    } const cases[] = {
        {"a loop alone", 8, 15, 0, 0, 144 * 0.12, false},
        {"a loop and a break", 8, 15, 0xD, 0x00, 97 * 0.12, true},
        {"a loop and a break to line 10", 8, 15, 0xD, 0x10, (16 + 16 + 1 + 54) * 0.12, true},
        {"a loop and a jump", 8, 15, 0xB, 0x01, 97 * 0.12, true},
        {"a loop and a break on the last line", 56, 63, 0xD, 0x00, 144 * 0.12, true},
    };
    for (const Case& c : cases) {
        ModLayout layout = song(2, {{0, c.start, 1, 0, 0, 0xE, 0x60}, {0, c.end, 1, 0, 0, 0xE, 0x62}});
        if (c.effect != 0) layout.cells.push_back({0, c.end, 2, 0, 0, c.effect, c.param});
        layout.patterns = 2;
        layout.orders = {0, 1};
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_EQ(reportHas(r, "the loop plays first"), c.mended) << c.what;
    }
}

// ProTracker keeps each channel's loop start and count from pattern to pattern and from pass to pass. A
// loop end whose start lies below it (set in an earlier pattern) goes forward there and keeps its count, so
// the next pass counts it down and goes on: passes differ, and the song repeats only where a line comes back
// with every loop count as before (openmpt123 ends its render there; libxmp took the first line played
// again for the end). Lines of 0.12 s.
//  - E60 on line 32 of pattern 0, E61 on line 16 of pattern 1: a pass going forward to line 32 (64 + 17 +
//    32 lines), one going on (64 + 64): 241 lines.
//  - Positions 0 2 1 0 0: E60 on line 38 of pattern 0; pattern 2 jumps to position 2 on line 30 (B02), into
//    pattern 1, whose E61 on line 27 goes forward to line 38; the next pass counts it down and plays on to
//    its jump on line 35 (B04): 64 + 31 + 54 + 64 + 64, then 64 + 31 + 36 + 64, and the third pass begins
//    as the first: 472 lines.
TEST(ImportTiming, KeepsProTrackerLoopCountsFromPassToPass) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> orders;
        std::vector<ModCellLayout> cells;
        std::size_t lines;
    } const cases[] = {
        {"a loop going forward", {0, 1}, {{0, 32, 1, 0, 0, 0xE, 0x60}, {1, 16, 1, 0, 0, 0xE, 0x61}}, 241},
        {"a jump into a pattern whose loop goes forward",
         {0, 2, 1, 0, 0},
         {{0, 38, 1, 0, 0, 0xE, 0x60},
          {1, 27, 1, 0, 0, 0xE, 0x61},
          {2, 30, 3, 0, 0, 0xB, 0x02},
          {1, 35, 3, 0, 0, 0xB, 0x04}},
         472},
    };
    for (const Case& c : cases) {
        ModLayout layout = song(std::uint8_t(c.orders.size()), c.cells);
        layout.patterns = *std::max_element(c.orders.begin(), c.orders.end()) + 1u; // as a MOD says
        layout.orders = c.orders;
        layout.cells.push_back({0, 0, 3, 0, 0, 0x8, 0x80}); // a panning NoiseTracker lacks
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / (0.12 * double(c.lines)), 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / r.moduleSeconds, 1, 0.005) << c.what;
    }
}

// Scream Tracker 3 and Impulse Tracker play a loop that ends on a line with a pattern break the same way:
// the loop first (Scream Tracker 3 also with a position jump there). Two positions of 64 lines at 0.12 s;
// a loop of lines 8-15 (SB0, SB2): 64 + 2 * 8 + 64 = 144 lines; with a break or jump on line 15,
// 16 + 16 + 64 = 96 lines, and one more for the break's line: 97; a loop of lines 56-63 whose last line
// breaks to line 0: 144 lines.
TEST(ImportTiming, PlaysALoopBeforeTheBreakInEveryFormat) {
    struct Case {
        const char* what;
        bool it;
        std::size_t start, end;
        char letter;
        std::uint8_t param;
        std::size_t lines;
    } const cases[] = {
        {"S3M loop alone", false, 8, 15, 0, 0, 144},
        {"S3M loop and break", false, 8, 15, 'C', 0, 97},
        {"S3M loop and jump", false, 8, 15, 'B', 1, 97},
        {"IT loop alone", true, 8, 15, 0, 0, 144},
        {"IT loop and break", true, 8, 15, 'C', 0, 97},
        {"IT loop and break, last line", true, 56, 63, 'C', 0, 144},
    };
    for (const Case& c : cases) {
        std::vector<LetterCommand> commands{{0, c.start, 1, 'S', 0xB0}, {0, c.end, 1, 'S', 0xB2}};
        if (c.letter != 0) commands.push_back({0, c.end, 2, c.letter, c.param});
        const ImportResult r = importOrFail(letterSong(c.it, 2, {0, 1}, commands), 8000);
        EXPECT_NEAR(r.moduleSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_EQ(reportHas(r, "the loop plays first"), c.letter != 0) << c.what;
    }
}

// FastTracker 2 breaks or jumps at once from a line that ends a pattern loop, and keeps the loop's count:
// each pass over the line counts it down, and the song plays through again until it is 0 (x + 1 passes
// for a loop end of x). Impulse Tracker does so for a position jump right of the loop end; one left of it
// waits for the loop. Positions of 64 lines at 0.12 s; loop start on line 8, loop end on line 15 of the
// first position, on channel 1. E62 + D00 (or B01): a pass is lines 0-15 and position 1, 16 + 64 = 80
// lines; three passes, 240. E61: two passes, 160. A break left of the loop end goes to the loop's start
// line on the passes where the loop counts, 16 + 56 = 72 lines, and to its own line on the last: D00 with
// E62, 72 * 2 + 16 + 64 = 224; D10, 72 * 2 + 16 + 54 = 214; D20 with E61, 72 + 16 + 44 = 132; D05 with E63
// and three positions, (72 + 64) * 3 + 16 + 59 + 64 = 547. A loop of lines
// 56-63 breaking on line 63: (64 + 64) * 3 = 384. Impulse Tracker, SB2 + B01 on its right: 240; SB3 +
// B01 with three positions: (16 + 64 + 64) * 4 = 576; B01 left of SB2: the loop first, lines 0-15, 8-15
// twice, the jump's line moved after it, and position 1: 16 + 16 + 1 + 64 = 97. The first pattern twice
// in the order list (0, 0, 1) with SB2 + B02: three passes of 16 + 64 lines, 240, then position 1 as a
// further song: its lines 0-15 jump to what the first song played, and it ends there: 256.
TEST(ImportTiming, KeepsTheLoopCountOfALineThatBreaksAtOnce) {
    struct Case {
        const char* what;
        bool it;
        std::vector<std::uint8_t> orders;
        std::size_t start, end, breakChannel;
        char letter;
        std::uint8_t loops, param;
        std::size_t lines;
        const char* report;
    } const cases[] = {
        {"XM loop and break", false, {0, 1}, 8, 15, 2, 'D', 2, 0x00, 240, "break or jump at once"},
        {"XM loop and jump", false, {0, 1}, 8, 15, 2, 'B', 2, 0x01, 240, "break or jump at once"},
        {"XM loop of one and break", false, {0, 1}, 8, 15, 2, 'D', 1, 0x00, 160, "break or jump at once"},
        {"XM break left of the loop end",
         false,
         {0, 1},
         8,
         15,
         0,
         'D',
         2,
         0x00,
         224,
         "break or jump at once"},
        {"XM break to 10 left of the loop end", false, {0, 1}, 8, 15, 0, 'D', 2, 0x10, 214, "at once"},
        {"XM break left of a loop of one", false, {0, 1}, 8, 15, 0, 'D', 1, 0x20, 132, "at once"},
        {"XM break left of a loop of three", false, {0, 1, 2}, 8, 15, 0, 'D', 3, 0x05, 547, "at once"},
        {"XM loop and break, last line",
         false,
         {0, 1},
         56,
         63,
         2,
         'D',
         2,
         0x00,
         384,
         "break or jump at once"},
        {"IT loop and jump", true, {0, 1}, 8, 15, 2, 'B', 2, 0x01, 240, "break or jump at once"},
        {"IT loop of three and jump", true, {0, 1, 2}, 8, 15, 2, 'B', 3, 0x01, 576, "break or jump at once"},
        {"IT jump left of the loop end", true, {0, 1}, 8, 15, 0, 'B', 2, 0x01, 97, "the loop plays first"},
        {"IT first pattern twice", true, {0, 0, 1}, 8, 15, 2, 'B', 2, 0x02, 256, "break or jump at once"},
    };
    for (const Case& c : cases) {
        const std::size_t patterns = std::size_t(*std::max_element(c.orders.begin(), c.orders.end())) + 1;
        const char loop = c.it ? 'S' : 'E';
        const std::uint8_t command = c.it ? 0xB0 : 0x60;
        const std::vector<LetterCommand> commands{{0, c.start, 1, loop, command},
                                                  {0, c.end, 1, loop, std::uint8_t(command | c.loops)},
                                                  {0, c.end, c.breakChannel, c.letter, c.param}};
        const std::vector<std::uint8_t> file =
            c.it ? letterSong(true, patterns, c.orders, commands) : letterXm(patterns, c.orders, commands);
        const ImportResult r = importOrFail(file, 8000);
        EXPECT_NEAR(r.moduleSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_TRUE(reportHas(r, c.report)) << c.what;
    }
}

// FastTracker 2 keeps each channel's loop start from pattern to pattern: a loop end with no loop start above
// it in its pattern goes back to the line of its channel's last loop start, in its own pattern (below the
// end too), the next pattern starts on that line, and the count stays from pass to pass of the song.
// Positions of 64 lines at 0.12 s; E60 on channel 1 of the first pattern, the loop end on line 15 of the
// second. E60 on line 40 and E62, two positions: position 0, then lines 0-15 and 40-63 of position 1 and the
// repeat from line 40 of position 0, twice, then position 1 whole: 64 + (16 + 24 + 24) * 2 + 64 = 256. E61:
// 64 + 64 + 64 = 192. Three positions, E62: (64 + 16 + 24 + 24) * 2 and the last pass, 192: 448; E63: 576.
// E60 on line 8, E62, three positions: the loop goes back to line 8 of position 1 twice, and position 2
// starts there: 64 + 16 + 8 + 56 + 56 = 200. A break on position 1's last line decides where position 0
// starts: D00, (64 + 16 + 24) * 3 + 32 = 336; D20, 64 + (16 + 24 + 44) * 2 + 64 = 296 (the song repeats from
// line 20 of position 0). A jump back to position 1 from line 30 of position 2: 64 + (16 + 24 + 24 + 64) * 2
// + 64 + 31 = 415. Two loops breaking at once, E62 + D00 in pattern 0 and E61 on channel 3 of pattern 1
// with D00 left of it: the song repeats where both counts are back at 0 on line 0 of position 0, after
// 12 visits of 16 lines, three of them from line 8: 168. A loop of lines 8-15 in pattern 0 starts position 1
// on line 8 too (these songs' tracker field names no FastTracker 2, which libxmp would need to see):
// 16 + 16 + 48 + 56 = 136, unless position 0 breaks to line 0 on its last line: 144. A second capture of
// the loaded module walks it the same way.
TEST(ImportTiming, GoesBackToALoopStartOfAnEarlierPatternAsFastTracker2Did) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> orders;
        std::vector<LetterCommand> commands;
        std::size_t lines;
        const char* report;
    } const cases[] = {
        {"E60 on 40, E62", {0, 1}, {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}}, 256, "an earlier pattern"},
        {"E60 on 40, E61", {0, 1}, {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x61}}, 192, "an earlier pattern"},
        {"three positions",
         {0, 1, 2},
         {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}},
         448,
         "an earlier pattern"},
        {"three positions, E63",
         {0, 1, 2},
         {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x63}},
         576,
         "an earlier pattern"},
        {"E60 on 8", {0, 1, 2}, {{0, 8, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}}, 200, "an earlier pattern"},
        {"D00 on the last line",
         {0, 1},
         {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}, {1, 63, 2, 'D', 0x00}},
         336,
         "an earlier pattern"},
        {"D20 on the last line",
         {0, 1},
         {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}, {1, 63, 2, 'D', 0x20}},
         296,
         "an earlier pattern"},
        {"a jump back",
         {0, 1, 2},
         {{0, 40, 1, 'E', 0x60}, {1, 15, 1, 'E', 0x62}, {2, 30, 2, 'B', 0x01}},
         415,
         "an earlier pattern"},
        {"two loops breaking at once",
         {0, 1},
         {{0, 8, 1, 'E', 0x60},
          {0, 15, 1, 'E', 0x62},
          {0, 15, 2, 'D', 0x00},
          {1, 8, 3, 'E', 0x60},
          {1, 15, 2, 'D', 0x00},
          {1, 15, 3, 'E', 0x61}},
         168,
         "break or jump at once"},
        {"a loop in one pattern",
         {0, 1},
         {{0, 8, 1, 'E', 0x60}, {0, 15, 1, 'E', 0x62}},
         136,
         "they went back to"},
        {"a loop in one pattern, D00 on its last line",
         {0, 1},
         {{0, 8, 1, 'E', 0x60}, {0, 15, 1, 'E', 0x62}, {0, 63, 2, 'D', 0x00}},
         144,
         "they went back to"},
    };
    for (const Case& c : cases) {
        const std::size_t patterns = std::size_t(*std::max_element(c.orders.begin(), c.orders.end())) + 1;
        const std::vector<std::uint8_t> file = letterXm(patterns, c.orders, c.commands);
        const ImportResult r = importOrFail(file, 8000);
        EXPECT_NEAR(r.moduleSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_TRUE(reportHas(r, c.report)) << c.what;
        LoadedModule loaded;
        std::string error;
        ASSERT_TRUE(loadModule(file, loaded, error)) << error;
        const std::size_t ticks = capturePerformance(loaded, 8000, 30 * 60, false).ticks.size();
        EXPECT_EQ(ticks, c.lines * 6) << c.what;
        EXPECT_EQ(capturePerformance(loaded, 8000, 30 * 60, false).ticks.size(), ticks) << c.what;
    }
}

// A break left of a loop end is set for each pass while capturing: a second capture of the loaded module
// starts from the same lines (E62 and D10 left of it: 214 lines, as above).
TEST(ImportTiming, CapturesALoadedModuleAgainTheSameWay) {
    const std::vector<std::uint8_t> file =
        letterXm(2, {0, 1}, {{0, 8, 1, 'E', 0x60}, {0, 15, 1, 'E', 0x62}, {0, 15, 0, 'D', 0x10}});
    LoadedModule loaded;
    std::string error;
    ASSERT_TRUE(loadModule(file, loaded, error)) << error;
    for (int pass = 0; pass < 2; ++pass)
        EXPECT_EQ(capturePerformance(loaded, 8000, 30 * 60, false).ticks.size(), 214u * 6) << pass;
}

// A ProTracker line with a position jump and a pattern break: the jump takes the break's line, unless the
// jump stands right of the break (it sets the line back to 0). NoiseTracker breaks to line 0 whatever the
// order. Two positions of 64 lines at 0.12 s; B01 and D10 on line 15 of the first: 16 + 54 = 70 lines,
// else 16 + 64 = 80. A sample offset (9xx) makes the song ProTracker's.
TEST(ImportTiming, JumpsToTheBreaksLineAsProTrackerDid) {
    struct Case {
        const char* what;
        std::size_t jumpChannel, breakChannel;
        bool protracker;
        std::size_t lines;
    } const cases[] = {
        {"jump, then break", 1, 2, true, 70},
        {"break, then jump", 1, 0, true, 80},
        {"NoiseTracker", 1, 2, false, 80},
    };
    for (const Case& c : cases) {
        ModLayout layout =
            song(2, {{0, 15, c.jumpChannel, 0, 0, 0xB, 0x01}, {0, 15, c.breakChannel, 0, 0, 0xD, 0x10}});
        if (c.protracker) layout.cells.push_back({0, 5, 3, 0, 0, 0x9, 0x01});
        layout.patterns = 2;
        layout.orders = {0, 1};
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.romSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
    }
}

// Scream Tracker 3 and Impulse Tracker take a jump and a break on one line to the break's line of the
// jump's position, whichever channel comes first. Two positions of 64 lines at 0.12 s; B01 and C10 on line
// 15 of the first: S3M's C10 is line 10, 16 + 54 = 70 lines; IT's is line 0x10, 16 + 48 = 64.
TEST(ImportTiming, JumpsToTheBreaksLineInEveryFormat) {
    struct Case {
        const char* what;
        bool it;
        std::size_t jumpChannel, breakChannel, lines;
    } const cases[] = {
        {"S3M jump, then break", false, 1, 2, 70},
        {"S3M break, then jump", false, 2, 1, 70},
        {"IT jump, then break", true, 1, 2, 64},
        {"IT break, then jump", true, 2, 1, 64},
    };
    for (const Case& c : cases) {
        const ImportResult r =
            importOrFail(letterSong(c.it, 2, {0, 1},
                                    {{0, 15, c.jumpChannel, 'B', 0x01}, {0, 15, c.breakChannel, 'C', 0x10}}),
                         8000);
        EXPECT_NEAR(r.romSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.what;
        EXPECT_EQ(reportHas(r, "the jump goes to the break's line"), c.breakChannel < c.jumpChannel)
            << c.what;
    }
}

// libxmp takes an M.K. song whose restart byte is below 0x7F (and not 0x78) for a NoiseTracker song and
// drops the commands NoiseTracker lacks; a song that uses them is ProTracker's. A loop of lines 8-15
// (E60, E62) in the first of two positions: 64 + 2 * 8 + 64 = 144 lines, 17.28 s, whatever the byte
// (without the loop, 128 lines).
TEST(ImportTiming, ReadsAProTrackerSongWhateverItsRestartByte) {
    for (const int restart : {0x00, 0x01, 0x78, 0x7F}) {
        ModLayout layout = song(2, {{0, 8, 1, 0, 0, 0xE, 0x60}, {0, 15, 1, 0, 0, 0xE, 0x62}});
        layout.patterns = 2;
        layout.orders = {0, 1};
        layout.restart = static_cast<std::uint8_t>(restart);
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / (144 * 0.12), 1, 0.005) << restart;
        EXPECT_NEAR(r.romSeconds / (144 * 0.12), 1, 0.005) << restart;
        EXPECT_EQ(reportHas(r, "took for a NoiseTracker one"), restart < 0x78) << restart;
    }
}

// A pattern loop that plays more than 512 lines in one visit of its position plays whole (libxmp's search
// for the song's end stops there, and took that line for the end). Lines of 0.12 s. E60 on line 0 and
// E6F on line 63: 16 * 64 lines, then position 1: 1088 lines, 130.56 s; alone in the order list, 1024
// lines, 122.88 s. E6F on line 40: 16 * 41 + 23 + 64 = 743 lines, 89.16 s.
TEST(ImportTiming, PlaysLongPatternLoopsWhole) {
    struct Case {
        std::size_t positions, end, lines;
    } const cases[] = {{2, 63, 1088}, {1, 63, 1024}, {2, 40, 743}};
    for (const Case& c : cases) {
        ModLayout layout =
            song(std::uint8_t(c.positions), {{0, 0, 1, 0, 0, 0xE, 0x60}, {0, c.end, 1, 0, 0, 0xE, 0x6F}});
        layout.patterns = c.positions;
        layout.orders = c.positions == 2 ? std::vector<std::uint8_t>{0, 1} : std::vector<std::uint8_t>{0};
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.lines;
        EXPECT_NEAR(r.romSeconds / (double(c.lines) * 0.12), 1, 0.005) << c.lines;
    }
}

// Songs of the order list that no jump of the first reaches play after it, once each, as module players
// play the file; the ROM repeats from where the first song repeats. Three patterns of 64 lines at 6
// ticks and 125 BPM (7.68 s each). Pattern 1 jumps back to position 1 (B01 on its last line): the first
// song is positions 0 and 1, 15.36 s, repeating from position 1 (tick 384). With a third position the
// order list holds a further song: pattern 2 once, 7.68 s. With a fourth whose pattern jumps to itself
// (B02 on line 32 of pattern 2), positions 2 and 3 are two further songs: 33 lines (3.96 s), then 7.68 s.
TEST(ImportTiming, PlaysHiddenSongsAfterTheFirst) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> orders;
        std::vector<ModCellLayout> cells;
        std::vector<int> hidden; // order positions the further songs start from
        double seconds;
    } const cases[] = {
        {"no further song", {0, 1}, {}, {}, 15.36},
        {"one further song", {0, 1, 2}, {}, {2}, 15.36 + 7.68},
        {"two further songs", {0, 1, 2, 3}, {{2, 32, 1, 0, 0, 0xB, 0x02}}, {2, 3}, 15.36 + 33 * 0.12 + 7.68},
    };
    for (const Case& c : cases) {
        ModLayout layout = song(std::uint8_t(c.orders.size()), {{1, 63, 1, 0, 0, 0xB, 0x01}});
        layout.orders = c.orders;
        layout.patterns = c.orders.size();
        layout.cells.insert(layout.cells.end(), c.cells.begin(), c.cells.end());
        CapturedSong captured;
        std::string error;
        ASSERT_TRUE(captureSong(buildMod(layout), ImportOptions{8000}, captured, error)) << error;
        const Performance& p = captured.performance;
        std::vector<int> hidden;
        for (const HiddenSong& h : p.hidden)
            hidden.push_back(h.order);
        EXPECT_EQ(hidden, c.hidden) << c.what;
        EXPECT_EQ(p.loopTick, 384u) << c.what;
        EXPECT_EQ(p.ticks[p.loopTick].order, 1) << c.what;
        const ImportResult r = importOrFail(buildMod(layout), 8000);
        EXPECT_NEAR(r.moduleSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_NEAR(r.romSeconds / c.seconds, 1, 0.005) << c.what;
        EXPECT_EQ(reportHas(r, "no jump of the first reaches"), !c.hidden.empty()) << c.what;
    }
}

// A player mixing at some rate plays each tick in a whole number of samples, the fraction dropped:
// 2.5 / BPM seconds is 145.99 samples at 137 BPM and 8000 Hz, played in 145. Over a song that is 0.7%
// faster than the exact time, enough to set its lines a beat apart from the players' within a minute. The
// capture times ticks as they play, and the ROM follows: two positions of 64 lines at speed 6.
TEST(ImportTiming, TimesTicksInWholeSamplesAsPlayersMixThem) {
    struct Case {
        std::uint8_t bpm;
        int rate;
        int samples; // per tick
    } const cases[] = {{137, 8000, 145}, {125, 8000, 160}, {137, 44100, 804}, {97, 22050, 568}};
    for (const Case& c : cases) {
        const ModLayout layout = song(2, {{0, 0, 1, 0, 0, 0xF, 6}, {0, 0, 2, 0, 0, 0xF, c.bpm}});
        LoadedModule loaded;
        std::string error;
        ASSERT_TRUE(loadModule(buildMod(layout), loaded, error)) << error;
        const Performance p = capturePerformance(loaded, c.rate, 30 * 60, false);
        ASSERT_EQ(p.ticks.size(), 2u * 64 * 6) << int(c.bpm) << " BPM at " << c.rate;
        const double tick = double(c.samples) / c.rate;
        for (std::size_t t = 1; t < p.ticks.size(); ++t) // the first tick is still at the default tempo
            ASSERT_DOUBLE_EQ(p.ticks[t].duration, tick)
                << int(c.bpm) << " BPM at " << c.rate << ", tick " << t;
        const double seconds = double(p.ticks.size()) * tick;
        const ImportResult r = importOrFail(buildMod(layout), c.rate);
        EXPECT_NEAR(r.romSeconds / seconds, 1, 0.001) << int(c.bpm) << " BPM at " << c.rate;
    }
}

// Every row starts where the module starts it, within half a call per tick of the line before (3 calls of
// 13 bytes for 6 ticks a line; the song's last row is split, its last tick carrying the jump back), when the
// module's tick is not a whole number of calls: 125 BPM at 8000 Hz is 12.31 calls a tick, 150 BPM 10.26, 97
// BPM at 22050 Hz 43.7. Whole ticks would let a row fall up to a tick off.
TEST(ImportTiming, StartsEveryRowWithinHalfACallPerTickOfTheModule) {
    struct Case {
        std::uint8_t speed, bpm;
        int rate;
    } const cases[] = {{6, 125, 8000}, {3, 150, 8000}, {5, 97, 22050}, {6, 125, 22050}};
    for (const Case& c : cases) {
        ModLayout layout = song(2, {{0, 0, 1, 0, 0, 0xF, c.speed}, {0, 0, 2, 0, 0, 0xF, c.bpm}});
        for (std::size_t row = 1; row < 64; ++row)
            layout.cells.push_back({0, row, 0, 1, static_cast<std::uint16_t>(428 - 2 * row), 0, 0});
        LoadedModule loaded;
        std::string error;
        ASSERT_TRUE(loadModule(buildMod(layout), loaded, error)) << error;
        const Performance p = capturePerformance(loaded, c.rate);
        const VoicePlan voices = assignVoices(p);
        const CompiledSong compiled = compileSong(p, voices, buildSamples(p, voices, c.rate, 16384), c.rate);
        double calls = 0, worst = 0;
        int lineTicks = kDefaultLineTicks, tickCalls = kDefaultTickCalls + 1, rows = 0;
        LineOrigin before;
        for (const Segment& segment : compiled.segments)
            for (std::size_t l = 0; l < segment.lines.size(); ++l) {
                const LineOrigin& origin = segment.origins[l];
                const auto first = std::find_if(p.ticks.begin(), p.ticks.end(), [&](const TickInfo& t) {
                    return t.order == origin.order && t.row == origin.row;
                });
                ASSERT_NE(first, p.ticks.end());
                if (origin.order != before.order || origin.row != before.row) {
                    worst = std::max(worst, std::fabs(first->time * c.rate / double(kStepsPerCall) - calls));
                    ++rows;
                }
                before = origin;
                for (const Cell& cell : segment.lines[l].cells)
                    if (cell.effect == kSpeed && cell.param >= kSpeedLineTicks)
                        lineTicks = cell.param - kSpeedLineTicks;
                    else if (cell.effect == kSpeed)
                        tickCalls = cell.param + 1;
                calls += double(lineTicks * tickCalls);
            }
        EXPECT_EQ(rows, 128) << int(c.bpm) << " BPM at " << c.rate;
        EXPECT_LE(worst, 0.5 * c.speed) << int(c.bpm) << " BPM at " << c.rate;
    }
}

} // namespace
