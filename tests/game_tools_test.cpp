// nibtool for a game's sound: render --sfx starts effects as a game's playSample does (the bytes of a
// game loop that calls it at that output byte), alone or over a song; bank takes songs' names and
// endings from its command line, and info and render end a song that ends where it falls silent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

#include "engine/engine.h"
#include "fuzz/test_modules.h"
#include "host/load.h"
#include "rom/rom_builder.h"
#include "rom/signature.h"

namespace {

const std::string kDir = [] {
    char name[] = "/tmp/game-tools-test-XXXXXX";
    if (!mkdtemp(name)) std::abort(); // nowhere to write: nothing can be tested
    return std::string(name);
}();
const struct FolderRemover {
    ~FolderRemover() { std::system(("rm -rf " + kDir).c_str()); }
} kRemover;

// Runs nibtool; returns its exit status, with its standard output and error in `out`.
int nibtool(const std::string& args, std::string* out = nullptr) {
    const std::string file = kDir + "/output";
    const int status =
        std::system(("cd " + kDir + " && " + NIBTOOL_BINARY + " " + args + " >" + file + " 2>&1").c_str());
    if (out) {
        std::ifstream in(file);
        *out = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Two songs on sample 1 (a note every line on stream 0, then a break back after 8 lines), and two effects
// the signature names: "jump" (entry 2, tone 24) and "coin" (entry 14, tone 20), each started on a stream
// of its own per song.
std::vector<std::uint8_t> gameRom() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000);
    rom.fill(0xA000, 0x300, 0x71).sample(2, 0xA000, 0xA300, 0, 0);  // unlooped
    rom.fill(0xB000, 0x200, 0xC4).sample(14, 0xB000, 0xB200, 1, 0); // high nibbles, unlooped
    for (std::uint8_t n = 0; n < 2; ++n) {
        const auto at = static_cast<std::uint16_t>(0x8000 + 0x400 * n);
        rom.song(n, at).orders(at, {0});
        for (std::uint8_t line = 0; line < 8; ++line)
            rom.cell(at, 0, line, 0, {1, static_cast<std::uint8_t>(24 + line + 5 * n)});
        rom.cell(at, 0, 7, 1, {0, 0, kPatternBreak, 0xC0});
    }
    std::vector<std::uint8_t> bytes = rom.build();
    RomSignature signature{8000, {"one", "two"}, {{2, 24, "jump"}, {14, 20, "coin"}}};
    signature.songs = {{false, {{1, 0}, {2, 0}}}, {false, {{3, 0}, {0, 50}}}};
    EXPECT_TRUE(writeSignature(bytes, signature));
    return bytes;
}

struct Start {
    std::size_t at;
    std::uint8_t entry, stream, tone;
};

// A game's loop, one mixer step at a time: the song started as a game starts it (none with `song` -1),
// songTick after every 13th step, and each effect's playSample before the step that writes byte `at`.
std::vector<std::uint8_t> gameLoop(const std::vector<std::uint8_t>& rom, int song, std::vector<Start> starts,
                                   std::size_t bytes) {
    loadIntoEngine(rom);
    songTick();
    if (song >= 0) playSong(static_cast<std::uint8_t>(song));
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        for (const Start& s : starts)
            if (s.at == i) playSample(s.entry, s.stream, s.tone);
        timer0_isr(&out[i], 1);
        if ((i + 1) % kStepsPerCall == 0) songTick();
    }
    return out;
}

// Output bytes an unlooped entry plays for at a tone: its steps up to and past its end, and the one the
// mix is written late by.
std::size_t effectBytes(std::size_t length, std::uint16_t step) {
    return (length * 256 + step - 1) / step + 1;
}

TEST(RenderSfx, IsWhatAGameLoopPlaysWithPlaySampleAtThatByte) {
    const std::string rom = kDir + "/game.rom";
    writeFile(rom, gameRom());
    const std::size_t jump = effectBytes(0x300, PeriodTable[24]), coin = effectBytes(0x200, 256);
    struct Case {
        std::string options;
        int song;
        std::vector<Start> starts;
        std::size_t bytes;
    };
    const Case cases[] = {
        {"--song 0 --sfx jump@0.1 --seconds 1", 0, {{800, 2, 1, 24}}, 8000},
        {"--song 1 --sfx jump@0.1 --seconds 1", 1, {{800, 2, 3, 24}}, 8000},
        // On a call's boundary: after the song's call; an entry named by number takes its name's tone and
        // stream; two at once, in the order given.
        {"--song 1 --sfx 14@0.1625 --sfx coin@0.5 --sfx 2@0.5 --seconds 2",
         1,
         {{1300, 14, 0, 20}, {4000, 14, 0, 20}, {4000, 2, 3, 24}},
         16000},
        // An entry no effect names: stream 3, one byte a step.
        {"--sfx 1@0 --seconds 0.5", 0, {{0, 1, 3, 20}}, 4000},
        // Alone, one after another, for as long as they play.
        {"--sfx jump --sfx coin", -1, {{0, 2, 1, 24}, {jump, 14, 2, 20}}, jump + coin},
    };
    for (const Case& c : cases) {
        const std::string out = kDir + "/out.raw";
        std::string said;
        ASSERT_EQ(nibtool("render " + rom + " " + out + " " + c.options, &said), 0) << c.options << said;
        const std::vector<std::uint8_t> got = readFile(out);
        EXPECT_EQ(got.size(), c.bytes) << c.options;
        EXPECT_TRUE(got == gameLoop(readFile(rom), c.song, c.starts, c.bytes)) << c.options;
    }
    // Over a song, the render lasts until the last effect has played.
    ASSERT_EQ(nibtool("render " + rom + " " + kDir + "/late.raw --sfx jump@30"), 0);
    EXPECT_EQ(readFile(kDir + "/late.raw").size(), 240000 + jump);
    for (const std::string bad : {"--sfx nope@1", "--sfx jump@-1", "--sfx 15@1", "--sfx jump --sfx coin@1"})
        EXPECT_NE(nibtool("render " + rom + " " + kDir + "/bad.raw " + bad), 0) << bad;
}

// A module of one pattern: notes on channel 0 every 4 rows.
std::string module(const std::string& name, std::uint16_t period) {
    ModLayout layout;
    layout.title = "tune " + name;
    layout.samples = {{"loop", 400, 0, 64, 0, 400}};
    for (std::size_t row = 0; row < 64; row += 4)
        layout.cells.push_back({0, row, 0, 1, period, 0, 0});
    const std::string path = kDir + "/" + name;
    writeFile(path, buildMod(layout));
    return path;
}

TEST(BankCommand, NamesSongsAndEndsThoseAskedOnce) {
    const std::string a = module("a.mod", 428), b = module("b=c.mod", 320);
    const std::string rom = kDir + "/bank.rom", header = kDir + "/game.h";
    struct Case {
        std::string songs, once;
        std::vector<std::string> constants; // lines the header holds
    };
    const Case cases[] = {
        {"intro=" + a + " ./" + b.substr(kDir.size() + 1),
         "--once intro",
         {"GAME_SONG_INTRO = 0", "GAME_SONG_TUNE_B_C_MOD = 1", "GAME_SONG_INTRO_ENDS = 1",
          "GAME_SONG_TUNE_B_C_MOD_ENDS = 0"}},
        {a + " win=" + a,
         "--once 1",
         {"GAME_SONG_TUNE_A_MOD = 0", "GAME_SONG_WIN = 1", "GAME_SONG_WIN_ENDS = 1"}},
    };
    for (const Case& c : cases) {
        std::string said;
        ASSERT_EQ(
            nibtool("bank " + rom + " " + c.songs + " " + c.once + " --header " + header + " -q", &said), 0)
            << c.songs << said;
        EXPECT_EQ(said, "") << "-q";
        const std::vector<std::uint8_t> h = readFile(header);
        const std::string text(h.begin(), h.end());
        for (const std::string& line : c.constants)
            EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
        // render and info end a song that ends where it falls silent.
        std::string info;
        EXPECT_EQ(nibtool("info " + rom + " --song 1", &info), 0);
        const bool ends = c.once == "--once 1";
        EXPECT_EQ(info.find("then it ends") != std::string::npos, ends) << info;
    }
    std::string said;
    EXPECT_EQ(nibtool("bank " + rom + " intro=" + a + " --once outro", &said), 2);
    EXPECT_NE(said.find("--once names no song"), std::string::npos) << said;
    EXPECT_EQ(nibtool("bank " + rom + " " + a + " --once 1"), 2);
}

} // namespace
