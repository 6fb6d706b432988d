#include "test_roms.h"

#include <random>

#include "rom_builder.h"

namespace {

constexpr std::uint16_t kSong = 0x8000;

// Samples 1-8 over noise at 0xA000-0xDFFF: looping and one-shot, low and high nibbles.
void addSamples(RomBuilder& rom, std::mt19937& rng) {
    for (std::uint32_t a = 0xA000; a < 0xE000; ++a)
        rom.poke(a, {static_cast<std::uint8_t>(rng())});
    for (std::size_t i = 1; i <= 8; ++i) {
        const auto start = static_cast<std::uint16_t>(0xA000 + 0x700 * (i - 1));
        const auto length = static_cast<std::uint16_t>(1 + rng() % 0x700);
        const auto end = static_cast<std::uint16_t>(start + length);
        const std::uint16_t loop = i % 3 == 0 ? 0 : static_cast<std::uint16_t>(start + rng() % length);
        rom.sample(i, start, end, static_cast<std::uint8_t>(i % 2), loop);
    }
}

std::uint8_t paramFor(std::uint8_t effect, std::mt19937& rng) {
    const auto any = static_cast<std::uint8_t>(rng());
    switch (effect) {
    case kPositionJump: return static_cast<std::uint8_t>(rng() % 4); // jump within the song
    case kPatternBreak: return rng() % 4 == 0 ? any : static_cast<std::uint8_t>(rng() % kLinesPerPattern);
    case kExtended: {
        static constexpr std::uint8_t kCommands[] = {kNoteCut, kNoteDelay, kSongDelay, 0x1};
        return paramOf(kCommands[rng() % 4], static_cast<std::uint8_t>(rng() % 16));
    }
    case kSpeed: {
        static constexpr std::uint8_t kSpeeds[] = {0x00, 0x01, 0x03, 0x0A, 0x81, 0x83, 0x86, 0x80};
        return rng() % 4 == 0 ? any : kSpeeds[rng() % 8];
    }
    default: return any;
    }
}

NamedRom file(std::string name, const RomBuilder& rom, std::size_t length = RomBuilder::kSize) {
    return {std::move(name), rom.build(length)};
}

} // namespace

std::vector<NamedRom> effectSongs(unsigned count, std::uint32_t seed) {
    std::vector<NamedRom> songs;
    std::mt19937 rng(seed);
    for (unsigned n = 0; n < count; ++n) {
        RomBuilder rom;
        addSamples(rom, rng);
        rom.song(0, kSong).orders(kSong, {0, 1, 2, 3, 1, 0});
        for (std::size_t pattern = 0; pattern < 4; ++pattern)
            for (std::size_t line = 0; line < kLinesPerPattern; ++line)
                for (std::size_t ch = 0; ch < kChannels; ++ch) {
                    Cell c;
                    if (rng() % 3 == 0)
                        c.sample = static_cast<std::uint8_t>(1 + rng() % (kSampleNumbers - 1));
                    c.tone = static_cast<std::uint8_t>(rng() % 10 == 0 ? rng() % 256 : rng() % kTones);
                    if (rng() % 2 == 0) c.effect = static_cast<std::uint8_t>(rng() % 16);
                    c.param = paramFor(c.effect, rng);
                    rom.cell(kSong, pattern, line, ch, c);
                }
        songs.push_back(file("song-" + std::to_string(n), rom));
    }
    return songs;
}

std::vector<NamedRom> hostileRoms() {
    std::vector<NamedRom> roms;
    roms.push_back({"all-00", std::vector<std::uint8_t>(RomBuilder::kSize, 0x00)});
    roms.push_back({"all-ff", std::vector<std::uint8_t>(RomBuilder::kSize, 0xFF)});
    roms.push_back({"empty", {}});
    roms.push_back({"one-byte", {0x42}});
    roms.push_back({"long-file", std::vector<std::uint8_t>(40000, 0x9C)});

    // A song that plays every sample on every channel, on every line, at one call per tick.
    const auto busySong = [](RomBuilder& rom, std::uint16_t song) {
        rom.song(0, song);
        if (song < RomBuilder::kBase || song + songOffset(1) > kImageSize - 1) return;
        rom.orders(song, {0});
        for (std::size_t line = 0; line < kLinesPerPattern; ++line)
            for (std::size_t ch = 0; ch < kChannels; ++ch)
                rom.cell(song, 0, line, ch,
                         {static_cast<std::uint8_t>(1 + (line + ch) % kSampleEntries),
                          static_cast<std::uint8_t>(line), line == 0 ? kSpeed : kArpeggio, 0x00});
    };

    RomBuilder creep; // one-byte and short loops with large steps: positions creep past the image
    creep.fill(0xF000, 0x1000, 0x77);
    for (std::size_t i = 0; i < kSampleEntries; ++i)
        creep.sample(i, static_cast<std::uint16_t>(0xF000 + i), static_cast<std::uint16_t>(0xF001 + i), 0,
                     static_cast<std::uint16_t>(0xF000 + i));
    busySong(creep, kSong);
    creep.cell(kSong, 0, 1, 0, {1, kHighestTone, kSlideUp, 0xFF}); // slide the step up as far as it goes
    roms.push_back(file("creeping-loops", creep));

    RomBuilder zero; // zero-length samples, loops at the end, loop starts beyond the end
    for (std::size_t i = 0; i < kSampleEntries; ++i) {
        const auto at = static_cast<std::uint16_t>(0x9000 + 0x100 * i);
        const std::uint16_t loops[] = {0, at, static_cast<std::uint16_t>(at + 0x80), 0xFFFF, 0x0100};
        zero.sample(i, at, at, static_cast<std::uint8_t>(i), loops[i % 5]);
    }
    busySong(zero, kSong);
    roms.push_back(file("zero-length-samples", zero));

    RomBuilder wild; // every table entry points at the top of the image or below the ROM
    for (std::size_t i = 0; i < kSampleEntries; ++i)
        wild.sample(i, static_cast<std::uint16_t>(0xFFF0 + i), static_cast<std::uint16_t>(i * 0x1111), 0x80,
                    static_cast<std::uint16_t>(0xFFFF - i));
    busySong(wild, kSong);
    roms.push_back(file("wild-tables", wild));

    for (std::uint16_t song : {std::uint16_t{0x0000}, std::uint16_t{0xFFF0}, std::uint16_t{0xFF00}}) {
        RomBuilder rom;
        rom.fill(0x9000, 0x100, 0x5A);
        for (std::size_t i = 0; i < kSampleEntries; ++i)
            rom.sample(i, 0x9000, 0x9100, 0, 0x9000);
        rom.song(0, song);
        char name[32];
        std::snprintf(name, sizeof name, "song-at-%04X", song);
        roms.push_back(file(name, rom));
    }

    RomBuilder breaks; // pattern breaks past the pattern, jumps past the order list, song delays for ever
    breaks.fill(0x9000, 0x100, 0x3C)
        .sample(1, 0x9000, 0x9100, 0, 0x9000)
        .song(0, kSong)
        .orders(kSong, {0, 1});
    breaks.cell(kSong, 0, 0, 0, {1, 20, kSpeed, 0x00}).cell(kSong, 0, 0, 1, {1, 24, kPatternBreak, 0x7F});
    breaks.cell(kSong, 1, 63, 2, {1, 28, kPositionJump, 0xF0})
        .cell(kSong, 0, 20, 3, {1, 30, kExtended, 0xEF});
    breaks.cell(kSong, 1, 0, 0, {1, 32, kExtended, 0xE1}).cell(kSong, 1, 0, 1, {0, 0, kExtended, 0xE0});
    roms.push_back(file("breaks-and-delays", breaks));

    RomBuilder shortTables = wild; // a file that ends inside the sample table
    roms.push_back(file("ends-in-sample-table", shortTables, kSampleTable + 10 - kRomBase));
    return roms;
}
