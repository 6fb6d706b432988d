// The import pipeline on small modules built here: what the ROM plays against what the module does, on
// the figure each stage moves (length and timing, pitch, sound at all), and clean refusals.
#include <gtest/gtest.h>

#include <cmath>

#include "engine_harness.h"
#include "fuzz/test_modules.h"
#include "import/import.h"

namespace {

constexpr int kRate = 8000;
// One engine tick at the module's default 125 BPM and 8000 Hz: 12 calls of 13 bytes.
constexpr double kTickSeconds = 12.0 * 13 / kRate;

ImportResult importOrFail(const std::vector<std::uint8_t>& file) {
    ImportResult result;
    std::string error;
    ImportOptions options;
    options.rate = kRate;
    EXPECT_TRUE(importModule(file, options, result, error)) << error;
    return result;
}

// One looped triangle (32 frames a cycle) and one note of it, at `period`, on channel 0 of every
// position, for `positions` positions of one pattern.
ModSpec toneSong(std::uint16_t period, std::uint8_t positions) {
    ModSpec spec;
    spec.samples = {{"triangle", 512, 0, 64, 0, 512}};
    spec.length = positions;
    spec.orders.assign(positions, 0);
    spec.cells = {{0, 0, 0, 1, period, 0, 0}};
    return spec;
}

// The fundamental of a render, from its rising crossings of silence (128).
double fundamental(const std::vector<std::uint8_t>& pcm) {
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < pcm.size(); ++i)
        if (pcm[i - 1] < 128 && pcm[i] >= 128) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    return crossings > 1 ? double(crossings - 1) * kRate / double(last - first) : 0;
}

TEST(Import, KeepsTheModulesLengthWithinOneTick) {
    // One position of 7.68 s, and 79 of them: over ten minutes, where any drift would show.
    for (const std::uint8_t positions : {std::uint8_t{1}, std::uint8_t{79}}) {
        const ImportResult r = importOrFail(buildMod(toneSong(428, positions)));
        EXPECT_NEAR(r.moduleSeconds, 7.68 * positions, 0.01);
        EXPECT_NEAR(r.romSeconds, r.moduleSeconds, kTickSeconds) << positions << " positions";
    }
}

TEST(Import, PlaysANoteAtTheModulesPitch) {
    // MOD periods 428, 214 and 856: the triangle's cycle of 32 frames at 8287 * 428 / period frames/s.
    for (const std::uint16_t period : {std::uint16_t{428}, std::uint16_t{214}, std::uint16_t{856}}) {
        const ImportResult r = importOrFail(buildMod(toneSong(period, 1)));
        EngineHarness h(r.rom);
        const std::vector<std::uint8_t> pcm = h.render(kRate * 2);
        const double expected = 8287.0 * 428 / period / 32;
        EXPECT_NEAR(fundamental(pcm) / expected, 1.0, 0.01) << "period " << period;
    }
}

TEST(Import, EveryFormatSoundsAndStaysInsideItsData) {
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> songs = {
        {"mod", buildMod(smallModSpec())}, {"s3m", tinyS3m()}, {"xm", tinyXm()}, {"it", tinyIt()}};
    for (const auto& [format, file] : songs) {
        const ImportResult r = importOrFail(file);
        ASSERT_EQ(r.rom.size(), 32768u) << format;
        // Every sample entry lies inside the file's data, below the tables.
        for (std::size_t i = 1; i < 15; ++i) {
            const std::size_t at = 0x7F96 + 7 * i;
            const unsigned start = r.rom[at] << 8 | r.rom[at + 1], end = r.rom[at + 2] << 8 | r.rom[at + 3];
            if (start == 0 && end == 0) continue;
            EXPECT_GE(start, 0x8000u) << format << " entry " << i;
            EXPECT_LE(start, end) << format << " entry " << i;
            EXPECT_LE(end, 0xFF8Eu) << format << " entry " << i;
        }
        EngineHarness h(r.rom);
        const std::vector<std::uint8_t> pcm = h.render(kRate * 3);
        EXPECT_TRUE(std::any_of(pcm.begin(), pcm.end(), [](std::uint8_t b) { return b != 128; })) << format;
    }
}

TEST(Import, RefusesWithOneLine) {
    ModSpec silent = toneSong(428, 1);
    silent.samples.clear();
    silent.cells.clear();
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> files = {
        {"empty", {}}, {"text", std::vector<std::uint8_t>(2000, 'x')}, {"no samples", buildMod(silent)}};
    for (const auto& [what, file] : files) {
        ImportResult r;
        std::string error;
        EXPECT_FALSE(importModule(file, ImportOptions{}, r, error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(error.find('\n'), std::string::npos) << what;
    }
}

} // namespace
