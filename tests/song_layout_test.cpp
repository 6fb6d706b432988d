// The compiled song's layout in the image: segments stored one after another and entered by breaks, a
// segment played again stored once, one whose lines end another's played from them. Whatever the layout,
// the engine walking the placed song must play every segment's lines in order, then the line the song
// repeats from; and the song takes no more bytes than its lines need.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "engine/engine.h"
#include "engine/sequencer.h"
#include "engine_harness.h"
#include "import/layout.h"

namespace {

constexpr std::uint32_t kSong = 0x8000;

// A line known by its number (tones of channels 0 and 1). With `full`, every cell holds an effect that does
// nothing (3), so that no break can be added to it.
SongLine numbered(std::size_t number, bool full) {
    SongLine line;
    line.cells[0].tone = static_cast<std::uint8_t>(number & 0xFF);
    line.cells[1].tone = static_cast<std::uint8_t>(number >> 8);
    if (full)
        for (Cell& c : line.cells)
            c.effect = 3, c.param = 1;
    return line;
}

std::size_t numberAt(Position row) {
    return imageByte(row + kCellTone) | std::size_t{imageByte(row + kCellBytes + kCellTone)} << 8;
}

// A segment of the numbered lines `first`, `first` + 1, ...: its last line breaks to the next segment when
// it is not a whole number of patterns long, as the compile leaves it.
Segment lines(std::size_t first, std::size_t count, bool full = false) {
    Segment s;
    for (std::size_t i = 0; i < count; ++i) {
        s.lines.push_back(numbered(first + i, full));
        s.origins.push_back({int(first), int(i), {0, -1, -1, -1}});
    }
    if (count % kLinesPerPattern != 0) s.lines.back().cells[3] = {0, 0, kPatternBreak, 0};
    return s;
}

// The song: the segments in order, the last one jumping back to line `loopLine` of segment `loopSegment`.
// As the compile makes it, the jump's line lasts one tick (a longer one would read its last tick from the
// position jumped to), and the line jumped to sets the speed again.
CompiledSong song(std::vector<Segment> segments, std::size_t loopSegment = 0, std::size_t loopLine = 0) {
    CompiledSong s;
    SongLine& last = segments.back().lines.back();
    last.cells[1].effect = kSpeed, last.cells[1].param = lineTicksParam(1);
    last.cells[2] = {0, 0, kPositionJump, 0};
    last.cells[3] = {0, 0, kPatternBreak, kBreakHere};
    Cell& again = segments[loopSegment].lines[loopLine].cells[0];
    again.effect = kSpeed, again.param = lineTicksParam(kDefaultLineTicks);
    s.segments = std::move(segments);
    s.loopSegment = loopSegment;
    s.loopLine = loopLine;
    return s;
}

// The numbers of the lines the engine plays, the first `count`.
std::vector<std::size_t> played(const RomBuilder& rom, std::size_t count) {
    EngineHarness h(rom);
    std::vector<std::size_t> numbers;
    while (numbers.size() < count) {
        const std::uint8_t order = Pattern, line = Line, before = tick;
        h.renderCalls(1);
        if (subTick == 0 && before == 0) numbers.push_back(numberAt(rowPosition(order, line)));
    }
    return numbers;
}

TEST(SongLayout, TheEnginePlaysEverySegmentInOrderThenRepeats) {
    std::vector<Segment> many;
    for (std::size_t i = 0; i < 100; ++i)
        many.push_back(lines(1000 + 2 * i, 2));
    const Segment shared = lines(500, 64);
    Segment tail = lines(600, 2);
    tail.lines.insert(tail.lines.end(), shared.lines.begin() + 2, shared.lines.end());
    tail.origins.insert(tail.origins.end(), shared.origins.begin() + 2, shared.origins.end());
    tail.lines[1].cells[3] = {};
    struct Case {
        const char* name;
        CompiledSong song;
        std::size_t lines; // the most lines its bytes may hold
    } const cases[] = {
        {"short segments, one after another", song({lines(1, 5), lines(10, 9), lines(20, 17), lines(40, 3)}),
         34},
        {"segments longer than a pattern",
         song({lines(1, 70), lines(100, 10), lines(200, 64), lines(300, 2)}, 1, 4), 146},
        {"a segment played again",
         song({lines(1, 64), lines(100, 64), lines(1, 64), lines(300, 64), lines(400, 1)}, 1, 0), 193},
        {"a segment ending another's lines",
         song({shared, lines(100, 64), tail, lines(300, 64), lines(400, 1)}), 195},
        {"a segment that ends on a full line",
         song({lines(1, 64, true), lines(100, 5), lines(200, 3)}, 0, 63), 72},
        {"more order positions than the order list holds", song(many, 40, 1), 200 + 5},
    };
    for (const Case& c : cases) {
        RomBuilder rom;
        const PlacedSong placed = placeSong(c.song, rom, kSong, 0xFF00);
        EXPECT_LE(placed.bytes, kOrderListBytes + kLineBytes * c.lines) << c.name;
        std::vector<std::size_t> expected;
        for (const Segment& s : c.song.segments)
            for (const SongLine& line : s.lines)
                expected.push_back(line.cells[0].tone | std::size_t{line.cells[1].tone} << 8);
        std::size_t at = 0;
        for (std::size_t s = 0; s < c.song.loopSegment; ++s)
            at += c.song.segments[s].lines.size();
        // Once through, then the line it repeats from and the one after.
        const std::size_t once = expected.size();
        expected.push_back(expected[at + c.song.loopLine]);
        expected.push_back(expected[at + c.song.loopLine + 1]);
        const std::vector<std::size_t> got = played(rom, expected.size());
        const auto differ = std::mismatch(got.begin(), got.end(), expected.begin());
        EXPECT_EQ(differ.first, got.end())
            << c.name << ": line " << differ.first - got.begin() << " of the walk is "
            << (differ.first == got.end() ? 0 : *differ.first) << ", not "
            << (differ.first == got.end() ? 0 : *differ.second);
        // Every line played is where its origin says, by order position and line.
        std::size_t origins = 0;
        for (const std::vector<LineOrigin>& position : placed.origins)
            origins += std::size_t(std::count_if(position.begin(), position.end(),
                                                 [](const LineOrigin& o) { return o.order >= 0; }));
        EXPECT_EQ(origins, once) << c.name;
    }
}

// A song too long for the order positions does not fit, and writes nothing.
TEST(SongLayout, ASongOfMoreThan256PositionsDoesNotFit) {
    std::vector<Segment> segments;
    for (std::size_t i = 0; i < 257; ++i)
        segments.push_back(lines(2 * i, 1));
    RomBuilder rom;
    EXPECT_EQ(placeSong(song(segments), rom, kSong, 0xFF00).bytes, 0u);
    EXPECT_EQ(rom.build(), RomBuilder().build());
}

} // namespace
