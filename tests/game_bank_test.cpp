// A game's bank as a game uses it: each effect's stream is the one the songs leave freest; a song that
// ends stays silent for ever after its pass; the header, the assembler include and the ROM agree.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <set>

#include "engine/engine.h"
#include "fuzz/test_modules.h"
#include "host/load.h"
#include "host/playback.h"
#include "import/bank.h"
#include "import/bank_header.h"
#include "rom/signature.h"
#include "walk/song_walk.h"

namespace {

// A song of one pattern whose notes (a looped sample, so each stream sounds from its first note on)
// fall on `channels` every 4 rows; `brief` channels play one short unlooped note on row 0 only.
std::vector<std::uint8_t> channelSong(const std::set<std::size_t>& channels,
                                      const std::set<std::size_t>& brief = {}) {
    ModLayout layout;
    layout.title = "channels";
    layout.samples = {{"loop", 400, 0, 64, 0, 400}, {"blip", 40, 0, 64, 0, 1}};
    const std::uint16_t periods[] = {428, 381, 339, 320};
    for (std::size_t row = 0; row < 64; row += 4)
        for (std::size_t c : channels)
            layout.cells.push_back({0, row, c, 1, periods[(row / 4 + c) % 4], 0, 0});
    for (std::size_t c : brief)
        layout.cells.push_back({0, 0, c, 2, 428, 0, 0});
    return buildMod(layout);
}

EffectRecording blip(const std::string& name, double seconds) {
    EffectRecording r;
    r.name = name;
    r.rate = 8000;
    r.frames.resize(static_cast<std::size_t>(seconds * r.rate));
    for (std::size_t i = 0; i < r.frames.size(); ++i)
        r.frames[i] = 0.7f * static_cast<float>(std::sin(2 * M_PI * 500 * double(i) / r.rate));
    return r;
}

BankResult bankOf(std::vector<BankSongInput> songs, const std::vector<EffectRecording>& effects) {
    BankOptions options;
    options.measure = false;
    BankResult bank;
    std::string error;
    EXPECT_TRUE(buildBank(songs, effects, options, bank, error)) << error;
    return bank;
}

BankSongInput moduleSong(const std::string& name, std::vector<std::uint8_t> bytes, bool once = false) {
    BankSongInput s;
    s.name = name + ".mod";
    s.bytes = std::move(bytes);
    s.title = name;
    s.once = once;
    return s;
}

TEST(EffectStream, IsTheOneTheSongsLeaveFreest) {
    struct Case {
        const char* what;
        std::set<std::size_t> channels, brief;
        std::uint8_t stream;
        int musicPercent; // at most
    };
    const Case cases[] = {
        {"stream 2 never plays", {0, 1, 3}, {}, 2, 0},
        {"stream 3 never plays", {0, 1, 2}, {}, 3, 0},
        {"stream 0 never plays", {1, 2, 3}, {}, 0, 0},
        {"stream 1 plays one short note", {0, 2, 3}, {1}, 1, 5},
        {"none plays: the highest", {}, {0}, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const BankResult bank = bankOf({moduleSong("song", channelSong(c.channels, c.brief))},
                                       {blip("jump", 0.3), blip("long", 1.5)});
        ASSERT_EQ(bank.effects.size(), 2u);
        for (const BankEffect& e : bank.effects) {
            EXPECT_EQ(e.stream.stream, c.stream) << e.name;
            EXPECT_LE(e.stream.musicPercent, c.musicPercent) << e.name;
        }
        RomSignature signature;
        ASSERT_TRUE(readSignature(bank.rom, signature));
        ASSERT_EQ(signature.songs.size(), 1u);
        ASSERT_EQ(signature.songs[0].streams.size(), 2u);
        EXPECT_EQ(signature.songs[0].streams[0].stream, c.stream);
    }
}

TEST(EffectStream, IsSaidPerSongWhenSongsDiffer) {
    const BankResult bank =
        bankOf({moduleSong("calm", channelSong({0, 1, 3})), moduleSong("boss", channelSong({0, 1, 2}))},
               {blip("jump", 0.3)});
    ASSERT_EQ(bank.songs.size(), 2u);
    EXPECT_EQ(bank.songs[0].streams.at(0).stream, 2);
    EXPECT_EQ(bank.songs[1].streams.at(0).stream, 3);
    const std::string header = bankHeader(bank, "game.rom", "GAME");
    EXPECT_NE(header.find("GAME_SFX_JUMP_STREAM_IN_CALM = 2"), std::string::npos) << header;
    EXPECT_NE(header.find("GAME_SFX_JUMP_STREAM_IN_BOSS = 3"), std::string::npos) << header;
}

// The engine's bytes for song `n` of an image, from the start as a game starts it.
std::vector<std::uint8_t> play(const std::vector<std::uint8_t>& rom, std::uint8_t n, std::size_t bytes) {
    loadIntoEngine(rom);
    Playback playback;
    playback.start(n);
    std::vector<std::uint8_t> out(bytes);
    playback.render(out.data(), out.size());
    return out;
}

TEST(Jingle, IsSilentAfterItsPassForEver) {
    // Song 0 ends; song 1, the same notes, repeats as songs do.
    const std::vector<std::uint8_t> tune = channelSong({0, 1, 2, 3});
    const BankResult bank = bankOf({moduleSong("clear", tune, true), moduleSong("theme", tune)}, {});
    ASSERT_EQ(bank.songs.size(), 2u);
    EXPECT_TRUE(bank.songs[0].ends);
    EXPECT_FALSE(bank.songs[1].ends);
    const std::uint64_t calls = bank.songs[0].calls;
    ASSERT_GT(calls, 0u);
    EXPECT_NEAR(double(calls * kStepsPerCall) / bank.rate, bank.songs[0].romSeconds, 0.05);
    EXPECT_EQ(bank.songs[0].calls, bank.songs[1].calls) << "the same pass, up to its end";

    const std::size_t end = calls * kStepsPerCall + 1; // the mix of a step is written by the next
    const std::vector<std::uint8_t> out = play(bank.rom, 0, end + 60 * std::size_t(bank.rate));
    std::size_t sounding = 0, after = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
        (i < end ? sounding : after) += out[i] != 128;
    EXPECT_GT(sounding, end / 2) << "the song plays up to its end";
    EXPECT_EQ(after, 0u) << "then a minute of silence";
    const std::vector<std::uint8_t> theme = play(bank.rom, 1, end + 8000);
    EXPECT_TRUE(std::any_of(theme.begin() + std::ptrdiff_t(end), theme.end(), [](std::uint8_t b) {
        return b != 128;
    })) << "the song that repeats goes on";

    RomSignature signature;
    ASSERT_TRUE(readSignature(bank.rom, signature));
    ASSERT_EQ(signature.songs.size(), 2u);
    EXPECT_TRUE(signature.songs[0].ends);
    EXPECT_FALSE(signature.songs[1].ends);
    EXPECT_EQ(signature.titles[0], "clear");
}

// NAME = VALUE (header) or NAME equ VALUE (include), each name once.
std::map<std::string, long> constantsIn(const std::string& text, const std::string& separator) {
    std::map<std::string, long> values;
    const std::regex line("^\\s*([A-Z0-9_]+)" + separator + "(\\d+)", std::regex::multiline);
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        EXPECT_TRUE(values.emplace((*it)[1], std::stol((*it)[2])).second) << (*it)[1];
    return values;
}

TEST(BankConstants, HeaderIncludeAndRomAgree) {
    const BankResult bank =
        bankOf({moduleSong("calm", channelSong({0, 1, 3})), moduleSong("win", channelSong({0, 2}), true)},
               {blip("jump", 0.3), blip("coin", 0.2)});
    const auto header = constantsIn(bankHeader(bank, "game.rom", "GAME"), " = ");
    const auto include = constantsIn(bankAsm(bank, "game.rom", "GAME"), " equ ");
    EXPECT_EQ(header, include);

    RomSignature signature;
    ASSERT_TRUE(readSignature(bank.rom, signature));
    EXPECT_EQ(header.at("GAME_RATE_HZ"), long(signature.rate));
    EXPECT_EQ(header.at("GAME_STEPS_PER_SONGTICK"), long(kStepsPerCall));
    EXPECT_EQ(header.at("GAME_SONG_COUNT"), long(signature.titles.size()));
    EXPECT_EQ(header.at("GAME_SFX_COUNT"), long(signature.effects.size()));
    const char* songs[] = {"CALM", "WIN"};
    for (std::size_t n = 0; n < 2; ++n) {
        const std::string id = std::string("GAME_SONG_") + songs[n];
        EXPECT_EQ(header.at(id), long(n));
        EXPECT_EQ(header.at(id + "_ENDS"), signature.songs.at(n).ends ? 1 : 0);
        loadIntoEngine(bank.rom);
        const SongLength length = walkSong(songStart(static_cast<std::uint8_t>(n)), 1u << 24);
        EXPECT_EQ(header.at(id + "_CALLS"), long(length.onceThroughCalls)) << id;
        EXPECT_EQ(length.ends, n == 1) << id;
    }
    const char* effects[] = {"JUMP", "COIN"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string id = std::string("GAME_SFX_") + effects[i];
        EXPECT_EQ(header.at(id + "_ENTRY"), signature.effects.at(i).entry);
        EXPECT_EQ(header.at(id + "_TONE"), signature.effects.at(i).tone);
        const long stream = header.at(id + "_STREAM");
        for (std::size_t n = 0; n < 2; ++n) {
            const std::string perSong = id + "_STREAM_IN_" + songs[n];
            const long expected = header.count(perSong) ? header.at(perSong) : stream;
            EXPECT_EQ(signature.songs.at(n).streams.at(i).stream, expected) << perSong;
        }
        // The entry and tone name a sample that plays in the image.
        loadIntoEngine(bank.rom);
        EXPECT_GT(SampleInfo[signature.effects[i].entry].end, SampleInfo[signature.effects[i].entry].start);
    }
}

} // namespace
