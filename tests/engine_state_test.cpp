// The engine's whole state saved and restored, a song moved to a line it plays, and the compiler working
// the engine without leaving a mark on what it plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "engine/state.h"
#include "engine_harness.h"
#include "examples/demo_song.h"
#include "fuzz/test_modules.h"
#include "import/capture.h"
#include "import/compile.h"
#include "import/load.h"
#include "import/voices.h"
#include "rom/test_roms.h"
#include "walk/song_walk.h"

namespace {

constexpr std::uint16_t kSong = 0x8000;

// What a stretch of playing gives: its bytes and the trace lines written meanwhile.
struct Played {
    std::vector<std::uint8_t> bytes;
    std::vector<std::string> trace;
    bool operator==(const Played& o) const { return bytes == o.bytes && trace == o.trace; }
};

Played play(EngineHarness& h, std::size_t bytes) {
    const std::size_t before = h.events().size();
    Played p{h.render(bytes), {}};
    for (std::size_t i = before; i < h.events().size(); ++i)
        p.trace.push_back(h.events()[i].text);
    return p;
}

// Songs that use every effect: the demo, random songs of every effect and parameter, and the hostile
// images (creeping loops, zero-length samples, endless song delays).
std::vector<NamedRom> songsWithEveryEffect() {
    std::vector<NamedRom> songs = effectSongs(6, 17);
    songs.push_back({"demo", demoSong().build()});
    for (NamedRom& r : hostileRoms())
        songs.push_back(std::move(r));
    return songs;
}

TEST(EngineSnapshot, RestoringPlaysTheSameBytesAndTraceAgain) {
    // Snapshots mid-call and on a call's boundary, early and late in the song; what is played after the
    // restore is a whole number of calls, so the host's step count comes back to where it was.
    const std::pair<std::size_t, std::size_t> cuts[] = {
        {0, 13 * 40}, {5, 13 * 300}, {13 * 2000 + 7, 13 * 500}};
    for (const NamedRom& song : songsWithEveryEffect())
        for (const auto& [at, length] : cuts) {
            EngineHarness h(song.bytes);
            h.render(at);
            const EngineSnapshot snapshot = snapshotEngine();
            const Played first = play(h, length);
            restoreEngine(snapshot);
            const Played again = play(h, length);
            EXPECT_TRUE(first == again) << song.name << " from byte " << at;
        }
}

TEST(EngineSnapshot, ResetIsAFreshProcess) {
    // A snapshot taken after a reset is the default one, field for field.
    EngineHarness h(demoSong());
    h.render(13 * 1000);
    resetEngine();
    const EngineSnapshot s = snapshotEngine();
    for (std::size_t k = 0; k < kStreams; ++k) {
        EXPECT_EQ(s.mixer.position[k], 0u);
        EXPECT_EQ(s.mixer.step[k], 0u);
        EXPECT_EQ(s.mixer.running[k], 0u);
        EXPECT_EQ(s.sequencer.vibratoIdx[k], 0u);
    }
    EXPECT_EQ(s.mixer.sample, 0u);
    EXPECT_EQ(s.sequencer.patternOrderTable, kNoSong);
    EXPECT_EQ(s.sequencer.durationLine, 0u);
    EXPECT_EQ(s.sequencer.subTick, 0u);
    std::uint8_t b;
    timer0_isr(&b, 1);
    EXPECT_EQ(b, 128); // silence
}

// Every line of pattern 1 starts a note on all four channels, so whatever sounded before a line is gone
// once it starts: a line's sound depends on where the song is, its speeds and delay count, nothing else.
// Pattern 0 leads in with slides, speeds and delays; pattern 1 holds every effect but the volume slide
// (which builds on a volume the stream kept from before).
RomBuilder lineStartSong() {
    RomBuilder rom;
    for (std::uint32_t i = 0; i < 0x2000; ++i)
        rom.poke(0x9000 + i, {static_cast<std::uint8_t>(i * 29 + (i >> 5))});
    rom.sample(1, 0x9000, 0x9800, 0, 0x9100)
        .sample(2, 0x9800, 0xA000, 1, 0)
        .sample(3, 0xA000, 0xB000, 0, 0xA000);
    rom.song(0, kSong).orders(kSong, {0, 1, 1});
    rom.cell(kSong, 0, 0, 0, {1, 24, kSlideUp, 3}).cell(kSong, 0, 1, 1, {2, 30, kSpeed, lineTicksParam(3)});
    rom.cell(kSong, 0, 2, 2, {3, 12, kExtended, paramOf(kSongDelay, 2)})
        .cell(kSong, 0, 3, 3, {1, 40, kSpeed, 4});
    rom.cell(kSong, 0, 4, 0, {0, 0, kPatternBreak, 0});
    const Cell effects[] = {{0, 0, kArpeggio, 0x37},
                            {0, 0, kSlideDown, 5},
                            {0, 0, kVibrato, 1},
                            {0, 0, kSetVolume, 0},
                            {0, 0, kExtended, paramOf(kNoteCut, 2)},
                            {0, 0, kExtended, paramOf(kNoteDelay, 1)},
                            {0, 0, kExtended, paramOf(kSongDelay, 1)},
                            {0, 0, kSpeed, lineTicksParam(5)},
                            {0, 0, kSpeed, 2},
                            {0, 0, kSlideUp, 9}};
    for (std::size_t line = 0; line < kLinesPerPattern; ++line)
        for (std::size_t ch = 0; ch < kChannels; ++ch) {
            Cell c = effects[(line * 3 + ch) % std::size(effects)];
            c.sample = static_cast<std::uint8_t>(1 + (line + ch) % 3);
            c.tone = static_cast<std::uint8_t>(10 + (line * 7 + ch * 11) % 40);
            rom.cell(kSong, 1, line, ch, c);
        }
    rom.cell(kSong, 1, 63, 0, {1, 20, kPositionJump, 1});
    return rom;
}

TEST(SongSeek, ALineReachedByPlayingSoundsTheSameWhenSoughtTo) {
    // A full play, call by call, noting the calls that start lines of pattern 1 and where each was.
    const std::size_t kCalls = 6000, kCompared = 400;
    EngineHarness full(lineStartSong());
    SongLines lines;
    std::vector<std::uint8_t> bytes;
    std::vector<std::pair<std::size_t, LineState>> starts;
    for (std::size_t call = 0; call < kCalls; ++call) {
        const std::vector<std::uint8_t> b = full.renderCalls(1);
        bytes.insert(bytes.end(), b.begin(), b.end());
        if (lines.afterCall() && lines.started().order >= 1) starts.push_back({call, lines.started()});
    }
    ASSERT_GT(starts.size(), 50u);
    for (std::size_t i = 0; i < starts.size(); i += starts.size() / 17) {
        const auto& [call, s] = starts[i];
        if ((call + 1 + kCompared) * kStepsPerCall > bytes.size()) break;
        EngineHarness sought(lineStartSong());
        seekSong({s.order, s.line, s.durationLine, s.durationTick, s.lineDelayCnt});
        const std::vector<std::uint8_t> got = sought.renderCalls(1 + kCompared);
        // The line starts at the end of the first call. The first byte after it still carries the mix of
        // the step before, which differs (the full play had sound going); from the next byte on, all match.
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>((call + 1) * kStepsPerCall + 1);
        EXPECT_TRUE(std::equal(got.begin() + kStepsPerCall + 1, got.end(), from))
            << "order " << int(s.order) << " line " << int(s.line);
    }
}

TEST(Compiler, LeavesThePlayingEngineAsItFoundIt) {
    // Play, compile a module, play on: the bytes and trace are those of playing on without the compile.
    std::string error;
    LoadedModule module;
    ASSERT_TRUE(loadModule(buildMod(smallModLayout()), module, error)) << error;
    const Performance performance = capturePerformance(module, 8000);
    const VoicePlan voices = assignVoices(performance);
    const SampleBank bank = buildSamples(performance, voices, 8000, 8192);

    EngineHarness h(demoSong());
    h.render(13 * 3000 + 5);
    const EngineSnapshot before = snapshotEngine();
    const Played expected = play(h, 13 * 2000);
    restoreEngine(before);
    const CompiledSong song = compileSong(performance, voices, bank, 8000);
    ASSERT_FALSE(song.segments.empty());
    EXPECT_TRUE(play(h, 13 * 2000) == expected);
}

} // namespace
