// The import's fidelity figures: synthetic renders compared with altered copies of themselves, and a small
// module imported and measured end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/trace.h"
#include "import/fidelity.h"
#include "import/import.h"
#include "measure/read_aside.h"

namespace {

constexpr int kRate = 8000;
constexpr double kPi = 3.14159265358979323846;

// Plucked notes with three harmonics, each ringing until the next starts, cycling through a phrase of
// pitches (MIDI numbers) moved by `semitones`.
std::vector<float> notes(const std::vector<double>& onsets, double seconds, int semitones = 0) {
    static const int kPhrase[] = {60, 64, 67, 72, 65, 69, 62, 71};
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t n = 0; n < onsets.size(); ++n) {
        const double hz = 440 * std::pow(2.0, (kPhrase[n % 8] + semitones - 69) / 12.0);
        const double end = n + 1 < onsets.size() ? onsets[n + 1] : seconds;
        const auto last = std::min(out.size(), static_cast<std::size_t>(end * kRate));
        for (auto i = static_cast<std::size_t>(onsets[n] * kRate); i < last; ++i) {
            const double t = static_cast<double>(i) / kRate - onsets[n];
            const double w = 2 * kPi * hz * t;
            out[i] = static_cast<float>(0.3 * std::exp(-t / 0.2) *
                                        (std::sin(w) + 0.5 * std::sin(2 * w) + 0.3 * std::sin(3 * w)));
        }
    }
    return out;
}

std::vector<double> regularOnsets(double seconds) {
    std::vector<double> onsets;
    for (double t = 0; t < seconds; t += 0.25)
        onsets.push_back(t);
    return onsets;
}

// Onsets at uneven gaps of 0.1-0.45 s, from a fixed pseudo-random sequence.
std::vector<double> brokenOnsets(double seconds) {
    std::vector<double> onsets;
    std::uint32_t state = 12345;
    for (double t = 0; t < seconds;) {
        onsets.push_back(t);
        state = state * 1664525u + 1013904223u;
        t += 0.1 + 0.35 * (state >> 8) / double(1 << 24);
    }
    return onsets;
}

std::vector<float> delayed(std::vector<float> x, double seconds) {
    x.insert(x.begin(), static_cast<std::size_t>(seconds * kRate), 0.0f);
    return x;
}

struct Case {
    const char* name;
    std::vector<float> module, rom;
    double chromaLow, chromaHigh, onsetLow, onsetHigh, lengthRatio;
};

// A song's render against altered copies, with the figures each should score.
std::vector<Case> alteredCopies() {
    const double s = 20;
    const std::vector<float> song = notes(regularOnsets(s), s);
    const std::vector<float> silence(static_cast<std::size_t>(10 * kRate), 0.0f);
    return {
        {"the same render", song, song, 0.999, 1, 0.999, 1, 1},
        {"a semitone higher", song, notes(regularOnsets(s), s, 1), 0, 0.5, 0.9, 1, 1},
        {"0.2 s later", song, delayed(song, 0.2), 0.95, 1, 0.9, 1, 1.01},
        {"notes at other times", song, notes(brokenOnsets(s), s), 0, 1, -1, 0.5, 1},
        // The lag search finds a little of the ROM's last sound in the window after it ends.
        {"the first half", song, std::vector<float>(song.begin(), song.begin() + song.size() / 2), 0.45, 0.55,
         0.45, 0.65, 0.5},
        {"silence against silence", silence, silence, 1, 1, 1, 1, 1},
        {"nothing against nothing", {}, {}, 1, 1, 1, 1, 1},
        {"sound against silence", song, std::vector<float>(song.size(), 0.0f), 0, 0, 0, 0, 1},
    };
}

TEST(Fidelity, FiguresOfAlteredCopies) {
    for (const Case& c : alteredCopies()) {
        SCOPED_TRACE(c.name);
        const Fidelity f = compareRenders(c.module, c.rom, kRate);
        EXPECT_GE(f.chroma, c.chromaLow);
        EXPECT_LE(f.chroma, c.chromaHigh);
        EXPECT_GE(f.onset, c.onsetLow);
        EXPECT_LE(f.onset, c.onsetHigh);
        EXPECT_NEAR(f.lengthRatio, c.lengthRatio, 0.002);
    }
}

// Renders read on threads of their own, all at once, score exactly what readings made here score.
TEST(Fidelity, ReadingsAsideScoreAsReadingsHere) {
    const std::vector<Case> cases = alteredCopies();
    std::vector<std::future<std::unique_ptr<RenderReading>>> modules, roms;
    for (const Case& c : cases) {
        modules.push_back(readAside(c.module, kRate));
        roms.push_back(readAside(c.rom, kRate));
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const Fidelity here = compareRenders(cases[i].module, cases[i].rom, kRate);
        const Fidelity aside = compareRenders(*modules[i].get(), *roms[i].get());
        EXPECT_EQ(aside.chroma, here.chroma);
        EXPECT_EQ(aside.onset, here.onset);
        EXPECT_EQ(aside.lengthRatio, here.lengthRatio);
    }
}

// A four-channel MOD of one pattern: a plucked sine on channel 0 every 4 lines, twice up a C major
// scale. At the default speed its 64 lines last 7.68 s.
std::vector<std::uint8_t> scaleModule(std::uint8_t speed = 0) {
    constexpr std::size_t kSampleBytes = 2048, kHead = 1084, kPattern = 1024;
    std::vector<std::uint8_t> f(kHead + kPattern + kSampleBytes);
    std::memcpy(f.data(), "scale", 5);
    f[20 + 22] = kSampleBytes / 2 >> 8; // sample 1: length in words, volume, no loop (a loop of one word)
    f[20 + 23] = kSampleBytes / 2 & 0xFF;
    f[20 + 25] = 64;
    f[20 + 29] = 1;
    f[950] = 1; // one position: pattern 0
    std::memcpy(f.data() + 1080, "M.K.", 4);
    const int periods[] = {428, 381, 339, 320, 285, 254, 226, 214};
    for (std::size_t n = 0; n < 16; ++n) {
        std::uint8_t* cell = f.data() + kHead + 16 * 4 * n;
        cell[0] = static_cast<std::uint8_t>(periods[n % 8] >> 8);
        cell[1] = static_cast<std::uint8_t>(periods[n % 8]);
        cell[2] = 0x10;
    }
    if (speed > 0) { // channel 1 of line 0: F0x, x ticks per row
        f[kHead + 4 + 2] = 0x0F;
        f[kHead + 4 + 3] = speed;
    }
    for (std::size_t i = 0; i < kSampleBytes; ++i) {
        const double x = static_cast<double>(i);
        f[kHead + kPattern + i] =
            static_cast<std::uint8_t>(std::lround(100 * std::exp(-x / 600) * std::sin(2 * kPi * x / 32)));
    }
    return f;
}

TEST(Fidelity, ModuleRendersOnceThroughAtAnyRate) {
    const std::vector<std::uint8_t> module = scaleModule();
    for (const int rate : {2000, 8000, 60000}) {
        SCOPED_TRACE(rate);
        std::vector<float> render;
        std::string error;
        ASSERT_TRUE(renderModule(module, rate, render, error)) << error;
        EXPECT_NEAR(static_cast<double>(render.size()) / rate, 7.68, 0.02);
    }
    std::vector<float> render;
    std::string error;
    EXPECT_FALSE(renderModule({1, 2, 3}, kRate, render, error));
    EXPECT_FALSE(error.empty());
}

TEST(Fidelity, ImportedModuleSoundsLikeItself) {
    ImportResult imported;
    std::string error;
    ASSERT_TRUE(importModule(scaleModule(), ImportOptions{}, imported, error)) << error;
    const TraceSink before = Trace;
    Fidelity f;
    ASSERT_TRUE(measureFidelity(scaleModule(), imported.rom, kRate, f, error)) << error;
    EXPECT_EQ(Trace.write, before.write);
    EXPECT_NEAR(f.moduleSeconds, 7.68, 0.02);
    EXPECT_NEAR(f.lengthRatio, 1, 0.05);
    EXPECT_GT(f.chroma, 0.8);
    EXPECT_GT(f.onset, 0.5);
    EXPECT_EQ(f.channels, 4);
}

// A ROM's render ends with its first pass: a song that jumps back to its first line comes back to it with
// its own speeds, not the engine's defaults it started with, and that line's second playing is not part of
// the first pass.
TEST(Fidelity, RomRendersOnceThrough) {
    struct Case {
        std::uint8_t speed; // ticks per row, 0: the module's default of 6
        double seconds;     // 64 rows of 50 Hz ticks
    };
    for (const Case& c : {Case{0, 7.68}, Case{3, 3.84}, Case{12, 15.36}}) {
        SCOPED_TRACE(int(c.speed));
        ImportResult imported;
        std::string error;
        ASSERT_TRUE(importModule(scaleModule(c.speed), ImportOptions{}, imported, error)) << error;
        const double played = static_cast<double>(renderRom(imported.rom, kRate).size()) / kRate;
        EXPECT_NEAR(played, c.seconds, 0.03);
        EXPECT_NEAR(played, imported.romSeconds, 0.03);
    }
}

} // namespace
