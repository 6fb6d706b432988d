// nibtool end to end: render writes nibplay's bytes once through (or N times, or for a time), info shows
// the cells and warns on hostile images, errors name the problem; and the demo ROM matches its source.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>

#include "engine_harness.h"
#include "examples/demo_song.h"
#include "host/load.h"
#include "rom/signature.h"
#include "scratch_folder.h"

namespace {

// A folder of this run's own, removed when the tests end.
const ScratchFolder kScratch;
const std::string kDir = kScratch.dir();

std::string writeRom(const std::string& name, const RomBuilder& rom) {
    const std::string path = kDir + "/" + name;
    const std::vector<std::uint8_t> bytes = rom.build();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Runs nibtool with the arguments; returns its exit status and fills `out` with its standard output.
int nibtool(const std::string& args, std::string* out = nullptr) {
    const std::string file = kDir + "/stdout";
    const int status =
        std::system((std::string(NIBTOOL_BINARY) + " " + args + " >" + file + " 2>/dev/null").c_str());
    if (out) {
        std::ifstream in(file);
        *out = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::uint8_t> readWav(const std::string& path, int& rate) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.frames));
    sf_read_raw(f, bytes.data(), info.frames);
    sf_close(f);
    rate = info.samplerate;
    return bytes;
}

// Four lines at the default speed, then a break back to line 0: once through is 13 + 4 * 858 bytes.
RomBuilder fourLineLoop() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000).song(0, 0x8000).orders(0x8000, {0});
    rom.cell(0x8000, 0, 0, 0, {1, 24})
        .cell(0x8000, 0, 2, 1, {1, 31, kVibrato, 1})
        .cell(0x8000, 0, 3, 2, {0, 0, kPatternBreak, 0xC0});
    return rom;
}

// fourLineLoop at 3 ticks a line, set on its line 0: it comes back to line 0 with those speeds, not the
// defaults it started with, so its state repeats only from line 1 on; its passes are 4 lines of 429 bytes.
RomBuilder ownSpeedLoop() {
    RomBuilder rom = fourLineLoop();
    rom.cell(0x8000, 0, 0, 3, {0, 0, kSpeed, kSpeedLineTicks + 3});
    return rom;
}

TEST(NibtoolRender, WritesNibplaysBytesForTheLengthAsked) {
    struct Case {
        RomBuilder (*song)();
        std::string options;
        std::size_t bytes;
        int rate;
    };
    const Case cases[] = {
        {fourLineLoop, "", 13 + 4 * 858, 8000},
        {fourLineLoop, "--loops 3", 13 + 12 * 858, 8000},
        {fourLineLoop, "--seconds 2 --rate 11025", 22050, 11025},
        {ownSpeedLoop, "", 13 + 4 * 429, 8000},
        {ownSpeedLoop, "--loops 3", 13 + 12 * 429, 8000},
    };
    for (const Case& c : cases) {
        const std::string rom = writeRom("loop.rom", c.song());
        const std::string out = kDir + "/out.wav";
        ASSERT_EQ(nibtool("render " + rom + " " + out + " " + c.options), 0) << c.options;
        int rate = 0;
        const std::vector<std::uint8_t> got = readWav(out, rate);
        EXPECT_EQ(rate, c.rate) << c.options;
        EngineHarness h(c.song());
        EXPECT_EQ(got, h.render(c.bytes)) << c.options;
    }
}

// Four songs on one sample, each a note at a tone of its own for 2 + n lines, then a break back.
RomBuilder fourSongs() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000);
    for (std::uint8_t n = 0; n < 4; ++n) {
        const auto at = static_cast<std::uint16_t>(0x8000 + 0x400 * n);
        rom.song(n, at).orders(at, {0});
        rom.cell(at, 0, 0, n, {1, static_cast<std::uint8_t>(20 + 7 * n)});
        rom.cell(at, 0, 1u + n, 0, {0, 0, kPatternBreak, 0xC0});
    }
    return rom;
}

// What the engine plays once a game starts song n: the defaults, playSong(n) (and with `effect`, that
// sample entry on stream 3 at the tone of one byte per step), then 13 steps per call.
std::vector<std::uint8_t> playedAfterPlaySong(const RomBuilder& rom, std::uint8_t n, std::size_t bytes,
                                              int effect = -1) {
    loadIntoEngine(rom.build()); // the image as nibplay loads it, on a fresh engine
    songTick();
    playSong(n);
    if (effect >= 0) playSample(static_cast<std::uint8_t>(effect), 3, kUnitTone);
    std::vector<std::uint8_t> out;
    std::uint8_t block[kStepsPerCall];
    while (out.size() < bytes) {
        timer0_isr(block, kStepsPerCall);
        out.insert(out.end(), block, block + kStepsPerCall);
        songTick();
    }
    out.resize(bytes);
    return out;
}

TEST(NibtoolRender, SongNIsWhatTheEnginePlaysAfterPlaySongN) {
    const std::string rom = writeRom("songs.rom", fourSongs());
    for (std::uint8_t n = 0; n < 4; ++n) {
        const std::string out = kDir + "/song.wav";
        ASSERT_EQ(nibtool("render " + rom + " " + out + " --song=" + std::to_string(n) + " --loops 2"), 0);
        int rate = 0;
        const std::vector<std::uint8_t> got = readWav(out, rate);
        EXPECT_EQ(got.size(), 13 + 2 * (2 + n) * 858u) << "song " << int(n);
        EXPECT_EQ(got, playedAfterPlaySong(fourSongs(), n, got.size())) << "song " << int(n);
    }
    EXPECT_EQ(nibtool("render " + rom + " " + kDir + "/x.raw --song 4"), 2);
}

// play --song N through SDL's disk driver: what a game hears after playSong(N); with --sfx E, the effect
// starts on stream 3 with the song (song 3's own note on stream 3 cuts it, as on the target).
TEST(NibtoolPlay, SongNAndAnEffectAreWhatTheEnginePlays) {
    const std::string rom = writeRom("songs.rom", fourSongs());
    const std::string capture = kDir + "/capture.raw";
    for (const int effect : {-1, 1})
        for (std::uint8_t n = 0; n < 4; ++n) {
            const std::string options = " --song " + std::to_string(n) + " --loops 2" +
                                        (effect >= 0 ? " --sfx " + std::to_string(effect) : "");
            ASSERT_EQ(std::system(("SDL_AUDIODRIVER=disk SDL_DISKAUDIODELAY=0 SDL_DISKAUDIOFILE=" + capture +
                                   " " + NIBTOOL_BINARY + " play " + rom + options + " -q")
                                      .c_str()),
                      0)
                << options;
            std::ifstream in(capture, std::ios::binary);
            const std::vector<std::uint8_t> got{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(got.size(), 13 + 2 * (2 + n) * 858u) << options;
            EXPECT_TRUE(got == playedAfterPlaySong(fourSongs(), n, got.size(), effect)) << options;
        }
}

TEST(NibtoolInfo, ShowsEverySongTheTableHolds) {
    RomBuilder rom = fourSongs();
    rom.song(2, 0x8000).song(3, 0); // song 2 is song 0 again; song 3 is empty
    const std::string path = writeRom("songs.rom", rom);
    std::string out;
    ASSERT_EQ(nibtool("info " + path, &out), 0);
    // Each song is walked from its start as a game starts it, whatever song was walked before it.
    for (const char* shown :
         {"Song 0 order list", "Song 1 order list", "No warnings for song 1.",
          "  2  0x8000  (the same as song 0)", "  3  0x0000  (empty)",
          "Song 0 once through: 132 sequencer calls", "Song 1 once through: 198 sequencer calls"})
        EXPECT_NE(out.find(shown), std::string::npos) << shown << "\n" << out;
    for (const char* hidden : {"Song 2 order list", "Song 3 order list"})
        EXPECT_EQ(out.find(hidden), std::string::npos) << hidden << "\n" << out;

    ASSERT_EQ(nibtool("info " + path + " --song 1", &out), 0);
    EXPECT_NE(out.find("Song 1 once through: 198 sequencer calls"), std::string::npos) << out;
    EXPECT_EQ(out.find("Song 0 order list"), std::string::npos) << out;
    // An empty entry is no song: every command says so rather than play address 0.
    for (const char* command : {"info", "render", "play"})
        EXPECT_EQ(nibtool(std::string(command) + " " + path + " --song 3 " +
                          (command[0] == 'r' ? kDir + "/x.wav" : std::string("-q"))),
                  1)
            << command;
}

TEST(NibtoolRender, OtherFormatsHoldTheSameSamples) {
    const std::string rom = writeRom("loop.rom", fourLineLoop());
    ASSERT_EQ(nibtool("render " + rom + " " + kDir + "/out.flac"), 0);
    SF_INFO info{};
    SNDFILE* f = sf_open((kDir + "/out.flac").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> samples(static_cast<std::size_t>(info.frames));
    sf_read_short(f, samples.data(), info.frames);
    sf_close(f);
    EngineHarness h(fourLineLoop());
    const std::vector<std::uint8_t> expected = h.render(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], (expected[i] - 128) * 256) << i;
}

// The first pass ends where the second begins: 4 lines of 66 or 33 calls after the priming call.
TEST(NibtoolInfo, EndsTheFirstPassWhereTheSecondBegins) {
    const std::pair<RomBuilder (*)(), const char*> cases[] = {
        {fourLineLoop, "Song 0 once through: 264 sequencer calls, 0.4 s at 8000 Hz"},
        {ownSpeedLoop, "Song 0 once through: 132 sequencer calls, 0.2 s at 8000 Hz"},
    };
    for (const auto& [song, expected] : cases) {
        std::string out;
        ASSERT_EQ(nibtool("info " + writeRom("loop.rom", song()), &out), 0);
        EXPECT_NE(out.find(expected), std::string::npos) << out;
        EXPECT_NE(out.find("then it repeats from order 0 line 0."), std::string::npos) << out;
    }
}

TEST(NibtoolInfo, ShowsCellsAndWarnsOnHostileImages) {
    std::string out;
    ASSERT_EQ(nibtool("info " + writeRom("loop.rom", fourLineLoop()), &out), 0);
    EXPECT_NE(out.find(" 00    1 B-2 . ..   . ... . ..   . ... . ..   . ... . .."), std::string::npos) << out;
    EXPECT_NE(out.find(" 02    . ... . ..   1 F#3 4 01"), std::string::npos) << out;
    EXPECT_NE(out.find("then it repeats from order 0 line 0."), std::string::npos) << out;
    EXPECT_NE(out.find("No warnings for song 0."), std::string::npos) << out;
    EXPECT_NE(out.find("No warnings for the samples."), std::string::npos) << out;

    RomBuilder hostile = fourLineLoop();
    hostile
        .sample(2, 0x9000, 0x9001, 0, 0x9000)                // a one-byte loop
        .sample(3, 0x9100, 0x9000, 0, 0)                     // ends before it starts
        .sample(4, 0x1000, 0x2000, 0, 0)                     // below the ROM
        .cell(0x8000, 0, 1, 0, {2, 70})                      // tone above 60, creeping at tone 60
        .cell(0x8000, 0, 1, 3, {3, 10, kPatternBreak, 100}); // a break past the next pattern
    ASSERT_EQ(nibtool("info " + writeRom("hostile.rom", hostile), &out), 0);
    for (const char* warning :
         {"tone 70 is above 60", "sample 2's loop of 1 bytes is shorter than one step",
          "sample 3 ends before it starts", "sample 4 (0x1000-0x2000) lies outside the file's data",
          "pattern break 100 goes to a line past the end of the next pattern",
          "the line is past the end of its pattern"})
        EXPECT_NE(out.find(warning), std::string::npos) << warning << "\n" << out;
}

// A pattern shown alone is warned of when the song never plays it or it lies past the image; a bank's
// effect is named by its tone's number (as the bank's report and header give it) and its entry, entry 0
// included, holds it.
TEST(NibtoolInfo, WarnsOfAPatternNotPlayedAndNamesTheEffectsEntriesAndTones) {
    std::vector<std::uint8_t> bank = fourLineLoop().sample(0, 0x9000, 0x9080, 0, 0).build();
    RomSignature signature;
    signature.effects = {{0, 20, "jump"}, {5, 31, "zap"}};
    ASSERT_TRUE(writeSignature(bank, signature));
    std::ofstream(kDir + "/bank.rom", std::ios::binary)
        .write(reinterpret_cast<const char*>(bank.data()), static_cast<std::streamsize>(bank.size()));
    const std::string loop = writeRom("loop.rom", fourLineLoop());
    struct Case {
        std::string args;
        std::vector<std::string> shown, hidden;
    };
    const Case cases[] = {
        {loop + " --pattern 0", {"No warnings for pattern 0."}, {"never plays"}},
        {loop + " --pattern 5",
         {"Warnings for pattern 5\n  song 0 never plays pattern 5 (it plays pattern 0)\n"},
         {}},
        {loop + " --pattern 200",
         {"song 0 never plays pattern 200",
          "pattern 200 (0x2D840-0x2DB3F) lies past the image: it reads as empty"},
         {}},
        {loop, {"entry 0 is never played by a song"}, {"effect \""}},
        {kDir + "/bank.rom",
         {"Effect \"jump\": sample entry 0, tone 20 (G+2)\n",
          "Effect \"zap\": sample entry 5, tone 31 (F#3)\n", "entry 0 holds an effect",
          "  0  0x9000  0x9080    128  low     none         effect \"jump\"\n",
          "  5  0x0000  0x0000      0  low     none         effect \"zap\"\n"},
         {"entry 0 is never played"}},
    };
    for (const Case& c : cases) {
        std::string out;
        ASSERT_EQ(nibtool("info " + c.args, &out), 0) << c.args;
        for (const std::string& text : c.shown)
            EXPECT_NE(out.find(text), std::string::npos) << c.args << ": " << text << "\n" << out;
        for (const std::string& text : c.hidden)
            EXPECT_EQ(out.find(text), std::string::npos) << c.args << ": " << text << "\n" << out;
    }
}

TEST(Nibtool, ErrorsNameTheProblem) {
    const std::string rom = writeRom("loop.rom", fourLineLoop());
    EXPECT_EQ(nibtool(""), 2);
    EXPECT_EQ(nibtool("frobnicate"), 2);
    EXPECT_EQ(nibtool("info /nonexistent.rom"), 1);
    EXPECT_EQ(nibtool("render " + rom + " out.xyz"), 2);
    EXPECT_EQ(nibtool("render " + rom + " " + kDir + "/o.wav --loops 0"), 2);
    EXPECT_EQ(nibtool("render " + rom + " " + kDir + "/o.wav --loops 2 --seconds 1"), 2);
    std::string out;
    EXPECT_EQ(nibtool("--version", &out), 0);
    EXPECT_EQ(out.rfind("nibtool ", 0), 0u);
    EXPECT_EQ(nibtool("render --help", &out), 0);
    EXPECT_EQ(out.rfind("usage: nibtool render", 0), 0u);
}

TEST(DemoSong, CommittedRomMatchesItsSource) {
    std::ifstream in(std::string(NIBPLAY_TEST_DIR) + "/../examples/demo.rom", std::ios::binary);
    const std::vector<std::uint8_t> committed{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
    EXPECT_EQ(committed, demoSong().build()) << "rebuild it: cmake --build build --target demo";
}

} // namespace
