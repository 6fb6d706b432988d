// The load report and the tables it resolves.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace {

std::vector<std::string> reportLines(const EngineHarness& h) {
    std::vector<std::string> lines;
    for (const TraceEvent& e : h.events()) {
        if (e.text == "playing...") break;
        lines.push_back(e.text);
    }
    return lines;
}

TEST(LoadReport, SampleEntriesAndSongs) {
    RomBuilder rom;
    rom.sample(0, 0x8123, 0x8456, 0, 0x00FF)
        .sample(3, 0xFFFF, 0x0001, 0xAB, 0x0100)
        .sample(14, 0x9000, 0x9000, 1, 0x9000)
        .song(0, 0x8000)
        .song(1, 0x0ABC)
        .song(2, 0x0000)
        .song(3, 0xFFF0);
    EngineHarness h(rom);
    const std::vector<std::string> lines = reportLines(h);
    ASSERT_EQ(lines.size(), 1u + 2 * 15 + 4);
    EXPECT_EQ(lines[0], "load of 32768 bytes of rom data complete");
    EXPECT_EQ(lines[1], "read raw    0: 33059 nibble 0 length 33878 loopstart 255");
    EXPECT_EQ(lines[2], "read sample 0: 33059 nibble 0 length 33878 loopstart 255");
    EXPECT_EQ(lines[3], "read raw    1: 0 nibble 0 length 0 loopstart 0");
    EXPECT_EQ(lines[7], "read raw    3: 65535 nibble 171 length 1 loopstart 256");
    EXPECT_EQ(lines[8], "read sample 3: 65535 nibble 171 length 1 loopstart 256");
    EXPECT_EQ(lines[29], "read raw    14: 36864 nibble 1 length 36864 loopstart 36864");
    EXPECT_EQ(lines[30], "read sample 14: 36864 nibble 1 length 36864 loopstart 36864");
    EXPECT_EQ(lines[31], "read song 0: starting at offset 0x8000");
    EXPECT_EQ(lines[32], "read song 1: starting at offset 0x ABC");
    EXPECT_EQ(lines[33], "read song 2: starting at offset 0x   0");
    EXPECT_EQ(lines[34], "read song 3: starting at offset 0xFFF0");
    EXPECT_EQ(SampleInfo[3].start, 0xFFFFu);
    EXPECT_EQ(SampleInfo[3].end, 1u);
    EXPECT_EQ(SampleInfo[3].nibble, 0xAB);
    EXPECT_EQ(SampleInfo[3].loopStart, 0x100u);
    EXPECT_EQ(SampleInfo[15].end, 0u);
    EXPECT_EQ(SongInfo[1], 0x0ABCu);
}

TEST(LoadReport, FileLengths) {
    struct Case {
        std::size_t length;
        std::string first;
        std::string song0;
    };
    const Case cases[] = {
        {0, "load of 0 bytes of rom data complete", "read song 0: starting at offset 0x   0"},
        {100, "load of 100 bytes of rom data complete", "read song 0: starting at offset 0x   0"},
        {kSongTable + 1 - kRomBase, "load of 32655 bytes of rom data complete",
         "read song 0: starting at offset 0x8100"},
        {40000, "load of 32768 bytes of rom data complete", "read song 0: starting at offset 0x8123"},
    };
    for (const Case& c : cases) {
        RomBuilder rom;
        rom.song(0, 0x8123);
        std::vector<std::uint8_t> file = rom.build();
        file.resize(c.length, 0xEE); // a short file loses the tables; a long one gains ignored bytes
        EngineHarness h(file);
        const std::vector<std::string> lines = reportLines(h);
        EXPECT_EQ(lines.front(), c.first);
        EXPECT_EQ(lines[31], c.song0) << c.length;
    }
}

} // namespace
