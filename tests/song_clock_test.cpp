// The song clock: when lines start, how long they last, and how the song walks its lines and orders.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>

#include "engine/sequencer.h"
#include "engine_harness.h"

namespace {

constexpr std::uint16_t kSong = 0x8000;

// Sample 1: 0x9000-0xA000, low nibbles all 7, no loop. Song 0 at 0x8000 with orders 0, 1.
RomBuilder baseRom() {
    RomBuilder rom;
    rom.fill(0x9000, 0x1000, 0x07).sample(1, 0x9000, 0xA000).song(0, kSong).orders(kSong, {0, 1});
    return rom;
}

// The byte counts at which the trace lines starting with `prefix` were written.
std::vector<std::size_t> stamps(const EngineHarness& h, const std::string& prefix) {
    std::vector<std::size_t> at;
    for (const TraceEvent& e : h.events())
        if (e.text.rfind(prefix, 0) == 0) at.push_back(e.byte);
    return at;
}

TEST(SongClock, FirstNoteIsHeardInTheFifteenthByte) {
    RomBuilder rom = baseRom();
    rom.cell(kSong, 0, 0, 0, {1, 20});
    EngineHarness h(rom);
    const std::vector<std::uint8_t> out = h.render(16);
    for (std::size_t i = 0; i < 14; ++i)
        EXPECT_EQ(out[i], 128) << "byte " << i;
    EXPECT_EQ(out[14], 156);
    EXPECT_EQ(stamps(h, "playing smp"), std::vector<std::size_t>{13});
}

TEST(SongClock, LineDurations) {
    struct Case {
        const char* what;
        std::vector<Cell> line0; // channel 0 of line 0, then channel 1 ...
        std::size_t lineBytes;   // from one line's first tick to the next line's
    };
    const Case cases[] = {
        {"defaults: 6 ticks of 11 calls", {}, 858},
        {"one call per tick", {{0, 0, kSpeed, 0x00}}, 6 * 13},
        {"one tick of one call", {{0, 0, kSpeed, 0x00}, {0, 0, kSpeed, 0x81}}, 13},
        {"zero ticks per line runs 256 ticks", {{0, 0, kSpeed, 0x00}, {0, 0, kSpeed, 0x80}}, 256 * 13},
        {"ticks of 6 calls", {{0, 0, kSpeed, 0x05}}, 6 * 6 * 13},
    };
    for (const Case& c : cases) {
        RomBuilder rom = baseRom();
        for (std::size_t ch = 0; ch < c.line0.size(); ++ch)
            rom.cell(kSong, 0, 0, ch, c.line0[ch]);
        rom.cell(kSong, 0, 1, 3, {1, 20}).cell(kSong, 0, 2, 3, {1, 20});
        EngineHarness h(rom);
        h.render(13 + 3 * c.lineBytes);
        const std::vector<std::size_t> notes = stamps(h, "playing smp");
        ASSERT_EQ(notes.size(), 2u) << c.what;
        EXPECT_EQ(notes[0], 13 + c.lineBytes) << c.what;
        EXPECT_EQ(notes[1] - notes[0], c.lineBytes) << c.what;
    }
}

// The note line of every sample number on every channel, with tones of one, two and three digits, as
// printf writes it. Line l - 1 starts sample l on all four channels.
TEST(SongClock, NoteLinesOfEverySampleChannelAndTone) {
    const std::uint8_t tones[] = {0, 7, 10, 61, 99, 100, 255};
    RomBuilder rom = baseRom();
    std::vector<std::string> expected;
    for (std::uint8_t sample = 1; sample < kSampleNumbers; ++sample)
        for (std::uint8_t ch = 0; ch < kChannels; ++ch) {
            const std::uint8_t tone = tones[(sample + ch) % std::size(tones)];
            rom.cell(kSong, 0, sample - 1u, ch, {sample, tone});
            char text[64];
            std::snprintf(text, sizeof text, "playing smp %d ch %d per %d", sample, ch, tone);
            expected.push_back(text);
        }
    EngineHarness h(rom);
    h.render(13 + (kSampleNumbers - 1u) * 858);
    EXPECT_EQ(h.linesStartingWith("playing smp"), expected);
}

TEST(SongClock, TraceOfTheFirstLines) {
    RomBuilder rom = baseRom();
    rom.cell(kSong, 0, 0, 1, {3, 24}).cell(kSong, 0, 1, 0, {1, 61});
    EngineHarness h(rom);
    h.render(13 + 2 * 858);
    const std::vector<TraceEvent> expected = {
        {13, "playing smp 3 ch 1 per 24"},
        {13 + 5 * 143, "next: order 0 line 1"},
        {13 + 858, "playing smp 1 ch 0 per 61"},
        {13 + 858 + 5 * 143, "next: order 0 line 2"},
    };
    const std::vector<TraceEvent>& events = h.events();
    const auto playing = std::find_if(events.begin(), events.end(),
                                      [](const TraceEvent& e) { return e.text == "playing..."; });
    ASSERT_NE(playing, events.end());
    EXPECT_EQ(std::vector<TraceEvent>(playing + 1, events.end()), expected);
}

TEST(SongClock, WalksLinesAndOrders) {
    struct Case {
        const char* what;
        std::uint8_t pattern, line; // where the song is put after its first line
        std::string next;           // the "next" line at the end of that line
    };
    const Case cases[] = {
        {"line 63 goes to line 0 of the next order", 0, 63, "next: order 1 line 0"},
        {"order 255 goes to order 0", 255, 63, "next: order 0 line 0"},
        {"mid-pattern", 7, 10, "next: order 7 line 11"},
    };
    for (const Case& c : cases) {
        EngineHarness h(baseRom());
        h.renderCalls(1); // the first call plays line 0's first tick
        seekSong({c.pattern, c.line});
        h.renderCalls(6 * 11);
        const auto next = h.linesStartingWith("next:");
        ASSERT_FALSE(next.empty()) << c.what;
        EXPECT_EQ(next.front(), c.next) << c.what;
    }
}

TEST(SongClock, NotesOnTickZeroOnlyAndRowsOutsideTheImageReadZero) {
    // A song at 0xFFF0: its order list runs past the image, so every order byte and row reads as 0 from
    // 0x10000 on, and the song plays silence without reading outside the image.
    RomBuilder rom = baseRom();
    rom.song(0, 0xFFF0);
    EngineHarness h(rom);
    const auto out = h.render(20000);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 128; }));
    EXPECT_TRUE(h.linesStartingWith("playing smp").empty());
    EXPECT_EQ(h.linesStartingWith("next:").size(), 20000u / 858);
}

TEST(SongClock, SongAtAddressZeroIsStillASong) {
    // Song address 0x0000 selects a song (the image's zeros): lines go by.
    RomBuilder rom = baseRom();
    rom.song(0, 0x0000);
    EngineHarness h(rom);
    h.render(13 + 858 + 1);
    EXPECT_EQ(h.linesStartingWith("next:"), std::vector<std::string>{"next: order 0 line 1"});
}

} // namespace
