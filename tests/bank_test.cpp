// The bank on modules built here: a sample several songs share is stored once and each song plays as its
// own import does; with more samples than entries, those heard least go, named per song; an effect plays
// at its recorded pitch from the tone the header names; the header compiles as C and C++.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>

#include "engine/engine.h"
#include "fuzz/test_modules.h"
#include "host/load.h"
#include "import/bank.h"
#include "import/bank_header.h"
#include "import/import.h"
#include "import/rom_capture.h"
#include "import/samples.h"
#include "import_helpers.h"
#include "measure/renders.h"

namespace {

// A folder of this run's own, removed when the tests end.
const std::string kDir = [] {
    char name[] = "/tmp/bank-test-XXXXXX";
    if (!mkdtemp(name)) std::abort(); // nowhere to write: nothing can be tested
    return std::string(name);
}();
const struct FolderRemover {
    ~FolderRemover() { std::system(("rm -rf " + kDir).c_str()); }
} kRemover;

BankResult bankOrFail(const std::vector<std::vector<std::uint8_t>>& modules,
                      const std::vector<EffectRecording>& effects = {}, int rate = 8000) {
    std::vector<BankSongInput> songs;
    for (std::size_t n = 0; n < modules.size(); ++n)
        songs.push_back({"song" + std::to_string(n) + ".mod", modules[n]});
    BankOptions options;
    options.rate = rate;
    BankResult bank;
    std::string error;
    EXPECT_TRUE(buildBank(songs, effects, options, bank, error)) << error;
    return bank;
}

// A song of one pattern: sample 1 (shared by every song of the test) and sample 2 (its own) in turn on
// the four channels, at periods that make a tune of its own.
std::vector<std::uint8_t> sharingSong(int k) {
    ModLayout layout;
    layout.title = "sharing " + std::to_string(k);
    layout.samples = {{"shared", 512, 0, 64, 0, 512},
                      {"own", static_cast<std::uint16_t>(300 + 40 * k), 0, 64, 0,
                       static_cast<std::uint16_t>(300 + 40 * k)}};
    const std::uint16_t periods[] = {428, 381, 339, 320, 285, 254, 226, 214};
    for (std::size_t row = 0; row < 64; row += 4)
        layout.cells.push_back({0, row, row / 4 % 4, static_cast<std::uint8_t>(1 + row / 8 % 2),
                                periods[(row / 4 * static_cast<std::size_t>(k + 1)) % 8], 0, 0});
    return buildMod(layout);
}

TEST(Bank, StoresASharedSampleOnceAndPlaysEachSongAsItsImport) {
    std::vector<std::vector<std::uint8_t>> modules;
    for (int k = 0; k < 3; ++k)
        modules.push_back(sharingSong(k));
    const BankResult bank = bankOrFail(modules);
    ASSERT_EQ(bank.songs.size(), 3u);
    EXPECT_EQ(bank.sharedSamples, 1u);
    EXPECT_EQ(bank.songEntries, 4u); // the shared sample and each song's own
    std::set<int> common(bank.songs[0].entries.begin(), bank.songs[0].entries.end());
    for (const BankSong& song : bank.songs) {
        std::set<int> both;
        for (int e : song.entries)
            if (common.count(e)) both.insert(e);
        common = both;
    }
    EXPECT_EQ(common.size(), 1u) << "the shared sample's entry, in every song";
    for (std::size_t n = 0; n < modules.size(); ++n) {
        ImportOptions options;
        options.measure = true;
        ImportResult alone;
        std::string error;
        ASSERT_TRUE(importModule(modules[n], options, alone, error)) << error;
        const BankSong& song = bank.songs[n];
        ASSERT_TRUE(song.measured && alone.measured);
        EXPECT_NEAR(song.fidelity.chroma, alone.fidelity.chroma, 0.02) << "song " << n;
        EXPECT_NEAR(song.fidelity.onset, alone.fidelity.onset, 0.02) << "song " << n;
        EXPECT_NEAR(song.romSeconds, alone.romSeconds, 0.05) << "song " << n;
    }
}

// A song that already is a ROM joins a bank as the engine plays it: its tempo, length and sound kept.
TEST(Bank, TakesARomsSongAsTheEnginePlaysIt) {
    for (const int made : {8000, 16000}) { // a ROM made for the bank's rate, and one made for another
        ImportOptions options;
        options.rate = made;
        ImportResult earlier; // a ROM a game already has
        std::string error;
        ASSERT_TRUE(importModule(sharingSong(0), options, earlier, error)) << error;
        BankOptions bankOptions;
        BankResult bank;
        ASSERT_TRUE(buildBank({{"tune.rom", earlier.rom, true, made}, {"song1.mod", sharingSong(1)}}, {},
                              bankOptions, bank, error))
            << error;
        ASSERT_EQ(bank.songs.size(), 2u);
        const BankSong& song = bank.songs[0];
        ASSERT_TRUE(song.measured);
        // Its samples go through the bank's resampling and 4 bits again, like a module's: close, not exact.
        EXPECT_GE(song.fidelity.chroma, 0.75) << made;
        EXPECT_GE(song.fidelity.onset, 0.7) << made;
        const double played = static_cast<double>(renderRom(earlier.rom, made).size()) / made;
        EXPECT_NEAR(song.moduleSeconds, played, 0.01) << made << ": the capture follows the engine";
        EXPECT_NEAR(song.romSeconds, played, 0.1) << made << ": within a line of it";
    }
}

// A ROM's sample entries are read as the mixer plays their nibbles (-8 to 7), each back to the same nibble
// when stored again: the capture's frames against the image's own bytes.
TEST(Bank, ReadsARomsSamplesAsTheMixerPlaysThem) {
    const ImportResult earlier = importOrFail(sharingSong(0));
    Performance captured;
    std::string error;
    ASSERT_TRUE(captureRomSong(earlier.rom, 8000, 8000, captured, error)) << error;
    loadIntoEngine(earlier.rom);
    int both = 0; // entries holding negative and positive nibbles alike
    for (std::size_t entry = 1; entry < kSampleEntries; ++entry) {
        const SampleRecord& r = SampleInfo[entry];
        if (r.start < kRomBase || r.end <= r.start) continue;
        const std::vector<float>& frames = captured.samples.at(entry - 1).frames; // sample k is entry k + 1
        ASSERT_EQ(frames.size(), std::size_t(r.end - r.start)) << "entry " << entry;
        bool negative = false, positive = false;
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const int played = nibbleValue(ROM[r.start + k], r.nibble != 0);
            EXPECT_EQ(nibbleValue(quantizeNibble(frames[k]), false), played)
                << "entry " << entry << " frame " << k;
            negative |= played < 0;
            positive |= played > 0;
        }
        both += negative && positive;
    }
    EXPECT_GT(both, 0);
}

// Ten samples per song, each of a length of its own (so no two sound the same), sample k of the first
// song heard in 20 - 2k notes and of the second in 19 - 2k: across the bank they rank first-song 1,
// second-song 1, first-song 2, ... The 14 entries go to the seven most heard of each song.
std::vector<std::uint8_t> manySamplesSong(int song) {
    ModLayout layout;
    layout.title = "many " + std::to_string(song);
    for (int k = 0; k < 10; ++k)
        layout.samples.push_back({"s" + std::to_string(song) + "-" + std::to_string(k + 1),
                                  static_cast<std::uint16_t>(400 + 2 * (10 * song + k)), 0, 64, 0, 1});
    layout.length = 2;
    layout.orders = {0, 1};
    layout.patterns = 2;
    std::size_t row = 0;
    for (int k = 0; k < 10; ++k)
        for (int note = 0; note < 20 - 2 * k - song; ++note, ++row)
            layout.cells.push_back(
                {row / 64, row % 64, row % 4, static_cast<std::uint8_t>(k + 1), 856, 0, 0});
    return buildMod(layout);
}

TEST(Bank, KeepsTheSamplesHeardMostAndNamesWhatEachSongLost) {
    const BankResult bank = bankOrFail({manySamplesSong(0), manySamplesSong(1)});
    ASSERT_EQ(bank.songs.size(), 2u);
    EXPECT_EQ(bank.songEntries, 14u);
    for (const BankSong& song : bank.songs) {
        EXPECT_EQ(song.entries.size(), 7u);
        std::string lost;
        for (const std::string& line : song.report)
            if (line.find("left out") != std::string::npos) lost = line;
        EXPECT_EQ(lost.rfind("3 samples left out", 0), 0u) << lost;
        // Numbered as the module numbers them, each with the seconds it is heard and when it is first.
        for (const char* sample : {"sample 8 \"s", "sample 9 \"s", "sample 10 \"s"})
            EXPECT_NE(lost.find(sample), std::string::npos) << sample << " in " << lost;
        EXPECT_EQ(lost.find("-7\""), std::string::npos) << lost;
        EXPECT_TRUE(std::regex_search(
            lost, std::regex(R"(-10": [0-9.]+ s heard, first heard at 0:[0-9]{2}\.[0-9]$)")))
            << lost;
    }
}

// A sine recording of `seconds` at `hz`, written as a WAV file.
std::string sineWav(const std::string& name, double hz, int rate, double seconds) {
    const std::string path = kDir + "/" + name;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr);
    std::vector<float> frames(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i] = 0.8f * static_cast<float>(std::sin(2 * M_PI * hz * double(i) / rate));
    sf_writef_float(f, frames.data(), static_cast<sf_count_t>(frames.size()));
    sf_close(f);
    return path;
}

// A header constant's value, as the game's code would read it.
long headerValue(const std::string& header, const std::string& name) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(header, m, std::regex(name + " = (\\d+)"))) << name;
    return m.empty() ? -1 : std::stol(m[1]);
}

TEST(Bank, AnEffectPlaysAtItsRecordedPitchFromTheToneTheHeaderNames) {
    struct Case {
        double hz;
        int recorded, rate;
    };
    for (const Case c : {Case{440, 22050, 8000}, Case{300, 8000, 22050}, Case{1000, 44100, 44100}}) {
        SCOPED_TRACE(std::to_string(c.recorded) + " Hz recording played at " + std::to_string(c.rate) +
                     " Hz");
        std::vector<EffectRecording> effects(2);
        std::string error;
        ASSERT_TRUE(readRecording(sineWav("a.wav", c.hz, c.recorded, 0.4), effects[0], error)) << error;
        ASSERT_TRUE(readRecording(sineWav("b.wav", c.hz * 1.5, c.recorded, 0.3), effects[1], error)) << error;
        effects[0].name = "tone a", effects[1].name = "tone b";
        const BankResult bank = bankOrFail({sharingSong(0)}, effects, c.rate);
        const std::string header = bankHeader(bank, "bank.rom", "GAME");
        for (const auto& [name, hz, entry] :
             {std::tuple{"TONE_A", c.hz, 0L}, std::tuple{"TONE_B", c.hz * 1.5, 14L}}) {
            const long tone = headerValue(header, std::string("GAME_SFX_") + name + "_TONE");
            EXPECT_EQ(headerValue(header, std::string("GAME_SFX_") + name + "_ENTRY"), entry);
            loadIntoEngine(bank.rom);
            playSample(static_cast<std::uint8_t>(entry), 0, static_cast<std::uint8_t>(tone));
            std::vector<std::uint8_t> pcm(static_cast<std::size_t>(0.25 * c.rate));
            timer0_isr(pcm.data(), pcm.size());
            EXPECT_NEAR(fundamental(pcm, c.rate) / hz, 1.0, 0.01) << name;
        }
    }
}

TEST(Bank, NamesBecomeIdentifiers) {
    struct Case {
        std::string name, id;
    };
    std::vector<std::string> taken{"COUNT"};
    for (const Case& c :
         {Case{"Main Theme", "MAIN_THEME"}, Case{"main-theme!", "MAIN_THEME_2"}, Case{"", "FALLBACK"},
          Case{"  ", "FALLBACK_2"}, Case{"count", "COUNT_2"}, Case{"caf\xc3\xa9 *", "CAF"},
          Case{"1up", "1UP"}, Case{std::string(60, 'x'), std::string(40, 'X')}})
        EXPECT_EQ(identifierFor(c.name, "FALLBACK", taken), c.id) << c.name;
    EXPECT_EQ(headerPrefix("out/my-game.sounds.h"), "MY_GAME");
    EXPECT_EQ(headerPrefix("9.h"), "BANK_9");
}

// The header of a bank whose names clash, hold bad characters, or are empty, compiled as C11 and C++17
// with every warning an error, and its constants checked at compile time.
TEST(Bank, HeaderCompilesAsCAndCpp) {
    BankResult bank;
    bank.rate = 22050;
    for (const char* title : {"Title Theme", "title theme", "", "*/ #define x"}) {
        BankSong song;
        song.title = title;
        song.name = "song.mod";
        bank.songs.push_back(song);
    }
    bank.effects = {{"jump", 0, 20, 0.2, 100}, {"jump", 14, 18, 0.2, 100}, {"caf\xc3\xa9", 13, 5, 0.1, 10}};
    const std::string headerPath = kDir + "/sounds.h";
    std::ofstream(headerPath) << bankHeader(bank, "bank.rom", headerPrefix(headerPath));
    const std::string checks =
        "#include \"sounds.h\"\n"
        "typedef char rate_ok[SOUNDS_RATE_HZ == 22050 ? 1 : -1];\n"
        "typedef char songs_ok[SOUNDS_SONG_TITLE_THEME_2 == 1 && SOUNDS_SONG_SONG_MOD == 2 &&\n"
        "    SOUNDS_SONG_DEFINE_X == 3 && SOUNDS_SONG_COUNT == 4 ? 1 : -1];\n"
        "typedef char effects_ok[SOUNDS_SFX_JUMP_2_ENTRY == 14 && SOUNDS_SFX_JUMP_2_TONE == 18 &&\n"
        "    SOUNDS_SFX_CAF_ENTRY == 13 && SOUNDS_SFX_COUNT == 3 ? 1 : -1];\n"
        "int used(void) { return (int)sizeof(rate_ok) + (int)sizeof(songs_ok) + (int)sizeof(effects_ok); }\n";
    std::ofstream(kDir + "/use.c") << checks;
    std::ofstream(kDir + "/use.cpp") << checks;
    for (const std::string command : {"cc -std=c11", "c++ -std=c++17"}) {
        const std::string source = command[0] == 'c' && command[1] == 'c' ? "use.c" : "use.cpp";
        const std::string line = "cd " + kDir + " && " + command + " -Wall -Wextra -pedantic -Werror -c " +
                                 source + " -o /dev/null 2>" + kDir + "/compiler.txt";
        std::ifstream why;
        const int status = std::system(line.c_str());
        why.open(kDir + "/compiler.txt");
        EXPECT_EQ(status, 0) << command << ":\n" << std::string(std::istreambuf_iterator<char>(why), {});
    }
}

} // namespace
