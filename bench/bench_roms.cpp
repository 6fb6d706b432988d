#include "bench_roms.h"

namespace {

constexpr std::uint16_t kSong = 0x8000;

// Four looping samples of mixed nibbles, and song 0 at 0x8000 playing patterns 0-3 and jumping back.
RomBuilder withSamples() {
    RomBuilder rom;
    for (std::uint32_t i = 0; i < 0x4000; ++i)
        rom.poke(0xA000 + i, {static_cast<std::uint8_t>((i * 37 + (i >> 3)) & 0xFF)});
    rom.sample(0, 0xA000, 0xA800, 0, 0xA000)
        .sample(1, 0xA000, 0xB000, 0, 0xA400)
        .sample(2, 0xB000, 0xC000, 1, 0xB000)
        .sample(3, 0xC000, 0xD000, 1, 0xC100)
        .sample(4, 0xD000, 0xE000, 0, 0xD000);
    rom.song(0, kSong).orders(kSong, {0, 1, 2, 3});
    return rom;
}

void fillPatterns(RomBuilder& rom) {
    for (std::size_t pattern = 0; pattern < 4; ++pattern)
        for (std::size_t line = 0; line < kLinesPerPattern; ++line)
            for (std::size_t ch = 0; ch < kChannels; ++ch) {
                const auto sample = static_cast<std::uint8_t>(1 + (line + ch) % 4);
                const auto tone = static_cast<std::uint8_t>(12 + (line * 7 + ch * 5 + pattern * 3) % 40);
                rom.cell(kSong, pattern, line, ch, {sample, tone});
            }
}

// The last line of pattern 3 goes back to order 0, line 0: a jump to order 0 and a break to line 0
// of the same order position, both with their notes.
void loopToStart(RomBuilder& rom) {
    rom.cell(kSong, 3, 63, 0, {1, 30, kPositionJump, 0})
        .cell(kSong, 3, 63, 1, {2, 33, kPatternBreak, kBreakHere});
}

} // namespace

RomBuilder noteEveryCellSong() {
    RomBuilder rom = withSamples();
    fillPatterns(rom);
    loopToStart(rom);
    return rom;
}

RomBuilder noteEveryCallSong() {
    RomBuilder rom = withSamples();
    fillPatterns(rom);
    // Line 0: one call per tick (channel 0) and one tick per line (channel 1).
    rom.cell(kSong, 0, 0, 0, {1, 24, kSpeed, 0x00}).cell(kSong, 0, 0, 1, {2, 28, kSpeed, lineTicksParam(1)});
    loopToStart(rom);
    return rom;
}
