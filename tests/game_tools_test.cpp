// nibtool for a game's sound: render --sfx starts effects as a game's playSample does (the bytes of a
// game loop that calls it at that output byte), alone or over a song; bank takes songs' names and
// endings from its command line, and info and render end a song that ends where it falls silent.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/wait.h>

#include "engine/engine.h"
#include "fuzz/test_modules.h"
#include "host/load.h"
#include "rom/rom_builder.h"
#include "rom/signature.h"
#include "walk/song_walk.h"

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
// of its own per song (jump on stream 0 in song 0, where the song's notes cut it).
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
    signature.songs = {{false, {{0, 100}, {2, 0}}}, {false, {{3, 0}, {0, 100}}}};
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
        {"--song 0 --sfx jump@0.1 --seconds 1", 0, {{800, 2, 0, 24}}, 8000},
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
        {"--sfx jump --sfx coin", -1, {{0, 2, 0, 24}, {jump, 14, 2, 20}}, jump + coin},
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

// play --sfx starts the effect as the song begins on the stream the bank chose for it in that song, at
// its tone: what a game loop plays.
TEST(PlaySfx, TakesTheStreamTheBankChoseForTheSong) {
    const std::string rom = kDir + "/game.rom", capture = kDir + "/capture.raw";
    writeFile(rom, gameRom());
    struct Case {
        int song;
        std::uint8_t stream; // the signature's for jump (entry 2) in that song
    };
    // Song 0's own notes on stream 0 cut the effect there: the stream makes a difference.
    EXPECT_FALSE(gameLoop(gameRom(), 0, {{0, 2, 0, 24}}, 4000) ==
                 gameLoop(gameRom(), 0, {{0, 2, 3, 24}}, 4000));
    for (const Case c : {Case{0, 0}, Case{1, 3}}) {
        const std::string options = " --song " + std::to_string(c.song) + " --sfx 2 --seconds 0.5 -q";
        ASSERT_EQ(std::system(("SDL_AUDIODRIVER=disk SDL_DISKAUDIODELAY=0 SDL_DISKAUDIOFILE=" + capture +
                               " " + NIBTOOL_BINARY + " play " + rom + options)
                                  .c_str()),
                  0)
            << options;
        const std::vector<std::uint8_t> got = readFile(capture);
        EXPECT_EQ(got.size(), 4000u) << options;
        EXPECT_TRUE(got == gameLoop(readFile(rom), c.song, {{0, 2, c.stream, 24}}, got.size())) << options;
    }
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

// A sine recording, as a WAV file libsndfile reads.
std::string wav(const std::string& name, double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * 8000);
    std::vector<std::uint8_t> bytes;
    const auto put = [&](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    bytes = {'R', 'I', 'F', 'F'};
    put(static_cast<std::uint32_t>(36 + frames), 4);
    for (const char c : std::string("WAVEfmt "))
        bytes.push_back(static_cast<std::uint8_t>(c));
    put(16, 4), put(1, 2), put(1, 2), put(8000, 4), put(8000, 4), put(1, 2), put(8, 2);
    for (const char c : std::string("data"))
        bytes.push_back(static_cast<std::uint8_t>(c));
    put(static_cast<std::uint32_t>(frames), 4);
    for (std::size_t i = 0; i < frames; ++i)
        bytes.push_back(static_cast<std::uint8_t>(128 + 90 * std::sin(2 * M_PI * 440 * double(i) / 8000)));
    const std::string path = kDir + "/" + name;
    writeFile(path, bytes);
    return path;
}

bool validAgainstSchema(const std::string& json) {
    const std::string schema = std::string(NIBPLAY_TEST_DIR) + "/../docs/nibtool-report.schema.json";
    return std::system(("/usr/bin/python3 -c 'import json,sys,jsonschema; "
                        "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' " +
                        json + " " + schema + " 2>" + kDir + "/schema.txt")
                           .c_str()) == 0;
}

// --json: valid against the schema the README documents, and every number it holds agrees with the
// header and with the ROM it describes.
TEST(JsonFacts, FollowTheSchemaAndAgreeWithTheRomAndTheHeader) {
    const std::string a = module("a.mod", 428), b = module("b.mod", 320);
    const std::string rom = kDir + "/facts.rom", json = kDir + "/facts.json", header = kDir + "/facts.h";
    ASSERT_EQ(nibtool("bank " + rom + " calm=" + a + " win=" + b +
                      " --once win --sfx jump=" + wav("j.wav", 0.3) + " --sfx coin=" + wav("c.wav", 0.2) +
                      " --json " + json + " --header " + header + " -q"),
              0);
    ASSERT_TRUE(validAgainstSchema(json)) << [] {
        const std::vector<std::uint8_t> why = readFile(kDir + "/schema.txt");
        return std::string(why.begin(), why.end());
    }();
    const std::vector<std::uint8_t> text = readFile(json), h = readFile(header), image = readFile(rom);
    const nlohmann::json facts = nlohmann::json::parse(text.begin(), text.end());
    const std::string headerText(h.begin(), h.end());
    const auto inHeader = [&](const std::string& name, long value) {
        return headerText.find(name + " = " + std::to_string(value)) != std::string::npos;
    };
    RomSignature signature;
    ASSERT_TRUE(readSignature(image, signature));
    EXPECT_EQ(facts["rate"], signature.rate);
    ASSERT_EQ(facts["songs"].size(), 2u);
    for (std::size_t n = 0; n < 2; ++n) {
        const nlohmann::json& song = facts["songs"][n];
        const std::string id = n == 0 ? "FACTS_SONG_CALM" : "FACTS_SONG_WIN";
        loadIntoEngine(image);
        const SongLength length = walkSong(songStart(static_cast<std::uint8_t>(n)), 1u << 24);
        EXPECT_EQ(song["calls"], length.onceThroughCalls);
        EXPECT_EQ(song["ends"], length.ends);
        EXPECT_TRUE(inHeader(id + "_CALLS", song["calls"].get<long>())) << id;
        EXPECT_TRUE(inHeader(id + "_ENDS", song["ends"].get<bool>() ? 1 : 0)) << id;
        EXPECT_EQ(song["address"], SongInfo[n]);
    }
    ASSERT_EQ(facts["effects"].size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const nlohmann::json& e = facts["effects"][i];
        const std::string id = i == 0 ? "FACTS_SFX_JUMP" : "FACTS_SFX_COIN";
        EXPECT_EQ(e["entry"], signature.effects[i].entry);
        EXPECT_EQ(e["tone"], signature.effects[i].tone);
        EXPECT_TRUE(inHeader(id + "_ENTRY", e["entry"].get<long>()) &&
                    inHeader(id + "_TONE", e["tone"].get<long>()) &&
                    inHeader(id + "_STREAM", e["stream"].get<long>()))
            << id;
        for (const nlohmann::json& s : e["streams"])
            EXPECT_EQ(s["stream"], signature.songs.at(s["song"].get<std::size_t>()).streams.at(i).stream);
        const SampleRecord& r = SampleInfo[e["entry"].get<std::size_t>()];
        EXPECT_EQ(e["bytes"], r.end - r.start) << id;
    }
    for (const nlohmann::json& s : facts["samples"])
        if (s["kept"].get<bool>()) {
            const SampleRecord& r = SampleInfo[s["entry"].get<std::size_t>()];
            EXPECT_EQ(s["bytes"], r.end - r.start) << s.dump();
        }
    const nlohmann::json& budget = facts["budget"];
    EXPECT_EQ(budget["songs"].get<long>() + budget["samples"].get<long>() + budget["signature"].get<long>() +
                  budget["tables"].get<long>() + budget["free"].get<long>(),
              32768);
    EXPECT_EQ(budget["signature"], signatureSize(signature));

    // An import's facts too.
    ASSERT_EQ(nibtool("import " + a + " " + kDir + "/one.rom --json " + json + " -q"), 0);
    ASSERT_TRUE(validAgainstSchema(json)) << [] {
        const std::vector<std::uint8_t> why = readFile(kDir + "/schema.txt");
        return std::string(why.begin(), why.end());
    }();
    // A damaged document does not pass: the check checks.
    writeFile(kDir + "/bad.json", {'{', '}'});
    EXPECT_FALSE(validAgainstSchema(kDir + "/bad.json"));
}

// Checks `losses` (of song `song`, or the bank's own when -1) against the samples' facts and the lines:
// every sample a loss names is one of the samples[] (its song, number and name), at the entry those give it,
// and the loss's line names it so; the notes left out add up by channel.
void expectLossesAgree(const nlohmann::json& losses, const nlohmann::json& samples, int song) {
    for (const nlohmann::json& loss : losses) {
        const std::string kind = loss["kind"], line = loss["line"];
        if (kind == "notesLeftOut") {
            long sum = 0;
            for (const nlohmann::json& c : loss["channels"])
                sum += c["notes"].get<long>();
            EXPECT_EQ(sum, loss["notes"].get<long>()) << line;
        }
        if (!loss.contains("samples")) continue;
        for (const nlohmann::json& x : loss["samples"]) {
            const int in = song >= 0 ? song : x.value("song", -1);
            ASSERT_GE(in, 0) << "a bank's loss names the song of each sample: " << x.dump();
            const nlohmann::json* fact = nullptr;
            for (const nlohmann::json& s : samples)
                if (s["song"] == in && s["number"] == x["number"]) fact = &s;
            ASSERT_NE(fact, nullptr) << "no such sample: " << x.dump();
            std::string name = (*fact)["name"];
            name.erase(0, name.find_first_not_of(' '));
            EXPECT_TRUE(x["name"] == "" || x["name"] == name) << x.dump() << " is " << fact->dump();
            if (kind != "secondLevels") {
                EXPECT_EQ(x["entry"], (*fact)["entry"]) << kind << ": " << x.dump();
            }
            std::string label = "sample " + std::to_string(x["number"].get<int>());
            if (x["name"] != "") label += " \"" + x["name"].get<std::string>() + "\"";
            if (song < 0) label = "song " + std::to_string(in) + "'s " + label;
            EXPECT_NE(line.find(label), std::string::npos) << label << " not in: " << line;
        }
    }
}

// --json's losses are facts, by kind, that agree with the report's lines and the samples' facts: a real
// song that loses much, imported alone and in a bank beside another.
TEST(JsonFacts, LossesNameTheirSamplesAsTheLinesAndTheSampleFactsDo) {
    const std::string shared = std::string(NIBPLAY_TEST_DIR) + "/../../shared/modules/";
    if (!std::ifstream(shared + "funkjung.mod") || !std::ifstream(shared + "axel.mod"))
        GTEST_SKIP() << "the development modules are not beside the project";
    const std::string json = kDir + "/losses.json";
    const auto read = [&] {
        const std::vector<std::uint8_t> text = readFile(json);
        return nlohmann::json::parse(text.begin(), text.end());
    };
    ASSERT_EQ(nibtool("import " + shared + "funkjung.mod " + kDir + "/f.rom --json " + json + " -q"), 0);
    ASSERT_TRUE(validAgainstSchema(json));
    const nlohmann::json one = read();
    std::set<std::string> kinds;
    for (const nlohmann::json& loss : one["songs"][0]["losses"])
        kinds.insert(loss["kind"].get<std::string>());
    for (const char* kind : {"samplesUnnamed", "ratesLowered", "samplesShortened", "rowsShared"})
        EXPECT_EQ(kinds.count(kind), 1u) << kind << " is among the import's losses";
    expectLossesAgree(one["songs"][0]["losses"], one["samples"], 0);

    ASSERT_EQ(nibtool("bank " + kDir + "/b.rom " + shared + "funkjung.mod " + shared + "axel.mod --json " +
                      json + " -q"),
              0);
    ASSERT_TRUE(validAgainstSchema(json));
    const nlohmann::json bank = read();
    EXPECT_FALSE(bank["losses"].empty()) << "the two songs' samples share the room";
    expectLossesAgree(bank["losses"], bank["samples"], -1);
    for (int n = 0; n < 2; ++n)
        expectLossesAgree(bank["songs"][static_cast<std::size_t>(n)]["losses"], bank["samples"], n);
}

} // namespace
