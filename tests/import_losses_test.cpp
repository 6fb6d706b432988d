// No silent loss in an import: what the module sounds and the ROM does not is named, with when it is
// heard and why, and where the ROM is silent; a MOD cut short says what it lost as other formats do; a
// module that sounds nothing is refused rather than passed as a close import of silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>

#include "fuzz/test_modules.h"
#include "import/fidelity.h"
#include "import/import.h"
#include "import/load.h"
#include "import/report.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kRate = 8000;

// An IT of eight channels: three pads (instruments 1-3, looped) start alone on row 0 at `padVolume`,
// through a volume envelope rising from 0 over 40 ticks when `attack`; from the second pattern (7.7 s
// in) eleven other instruments (drums and leads) play on channels 4-8.
Bytes padIntro(std::uint8_t padVolume, bool attack) {
    ItLayout l;
    l.title = "pad intro";
    for (std::uint32_t i = 0; i < 3; ++i)
        l.samples.push_back({"pad " + std::to_string(i + 1), 4000, true, 64 - 8 * i, 64, 64});
    for (std::uint32_t i = 0; i < 11; ++i)
        l.samples.push_back({(i % 2 ? "lead " : "drum ") + std::to_string(i / 2 + 1), i % 2 ? 1000u : 3000u,
                             i % 2 == 1, i % 2 ? 16 + i : 0, 64, 64});
    for (std::size_t i = 0; i < l.samples.size(); ++i) {
        ItInstrumentLayout in{l.samples[i].name, 128, {}};
        if (i < 3 && attack) in.envelope = {{0, 0}, {40, 64}};
        l.instruments.push_back(in);
    }
    l.patterns = 2;
    l.orders = {0, 1, 1};
    for (std::size_t c = 0; c < 3; ++c)
        l.notes.push_back({0, 0, c, std::uint8_t(48 + 4 * c), std::uint8_t(c + 1), padVolume});
    for (std::size_t row = 0; row < 64; row += 2)
        for (std::size_t c = 3; c < 8; ++c)
            if ((row / 2 + c) % 3 == 0)
                l.notes.push_back({1, row, c, std::uint8_t(60 + (row / 2 + c) % 12),
                                   std::uint8_t(4 + (row / 2 + c) % 11), 255});
    return buildIt(l);
}

ImportResult imported(const Bytes& file, int rate = kRate) {
    ImportOptions options;
    options.rate = rate;
    options.measure = true;
    ImportResult r;
    std::string error;
    EXPECT_TRUE(importModule(file, options, r, error)) << error;
    return r;
}

const Loss* lossOf(const ImportResult& r, LossKind kind) {
    const auto found =
        std::find_if(r.losses.begin(), r.losses.end(), [&](const Loss& l) { return l.kind == kind; });
    return found == r.losses.end() ? nullptr : &*found;
}

// The ROM's loudest output in each second, as the engine plays it.
std::vector<float> loudestBySecond(const Bytes& rom, std::size_t seconds) {
    const std::vector<float> render = renderRom(rom, kRate);
    std::vector<float> loudest(seconds, 0);
    for (std::size_t i = 0; i < render.size() && i / kRate < seconds; ++i)
        loudest[i / kRate] = std::max(loudest[i / kRate], std::fabs(render[i]));
    return loudest;
}

// The intro of pads alone sounds: with a volume envelope's attack the pads take streams where they are
// first heard; at 1/64 of full volume beside drums at full (silence in 4 bits), they are kept all the
// same, lifted to be heard, as nothing else sounds there.
TEST(ImportLosses, IntroPadsAloneSound) {
    struct Case {
        std::uint8_t volume;
        bool attack;
    };
    for (const Case& c : {Case{20, true}, Case{1, false}, Case{1, true}}) {
        SCOPED_TRACE(std::to_string(c.volume) + (c.attack ? " with an attack" : ""));
        const ImportResult r = imported(padIntro(c.volume, c.attack));
        const std::vector<float> loudest = loudestBySecond(r.rom, 7);
        for (std::size_t second = 1; second < loudest.size(); ++second)
            EXPECT_GT(loudest[second], 0.05f) << second;
        EXPECT_EQ(lossOf(r, LossKind::SilentSpan), nullptr) << ::testing::PrintToString(r.report);
        EXPECT_EQ(lossOf(r, LossKind::SamplesUnheard), nullptr) << ::testing::PrintToString(r.report);
        EXPECT_GT(r.fidelity.chroma, 0.85);
    }
}

// An intro the ROM cannot keep (its sample, heard least, is one of three past the 14 entries): the report
// names the sample with when it is first heard, and the silence with its span and what plays there.
TEST(ImportLosses, IntroLeftOutIsNamedWithItsSilence) {
    ItLayout l;
    l.samples.push_back({"intro", 12000, false, 48, 64, 64});
    for (std::uint32_t i = 0; i < 16; ++i)
        l.samples.push_back({"part " + std::to_string(i + 1), 2000, true, 16 + i, 64, 64});
    l.patterns = 2;
    l.orders = {0, 1};
    l.notes.push_back({0, 0, 0, 60, 1, 32});
    for (std::size_t row = 0; row < 64; ++row)
        l.notes.push_back({1, row, row % 8, std::uint8_t(48 + row % 12), std::uint8_t(2 + row % 16), 255});
    const ImportResult r = imported(buildIt(l));
    const Loss* left = lossOf(r, LossKind::SamplesUnnamed);
    ASSERT_NE(left, nullptr) << ::testing::PrintToString(r.report);
    const auto intro = std::find_if(left->samples.begin(), left->samples.end(),
                                    [](const SampleLoss& s) { return s.label == "sample 1 \"intro\""; });
    ASSERT_NE(intro, left->samples.end()) << lossLine(*left);
    EXPECT_DOUBLE_EQ(intro->firstHeard, 0);
    const Loss* silence = lossOf(r, LossKind::SilentSpan);
    ASSERT_NE(silence, nullptr) << ::testing::PrintToString(r.report);
    EXPECT_LT(silence->from, 0.2);
    EXPECT_GT(silence->to, 1.0);
    EXPECT_EQ(lossLine(*silence).rfind("the ROM is silent from 0:00.", 0), 0u) << lossLine(*silence);
    EXPECT_NE(lossLine(*silence).find("where the module plays sample 1 \"intro\""), std::string::npos)
        << lossLine(*silence);
    const std::vector<std::string> advice = adviceLines(r.losses, kRate);
    ASSERT_FALSE(advice.empty());
    EXPECT_EQ(advice[0].rfind("to lose less, change first: fewer samples: a ROM names 14, and 3 more were left out",
                              0),
              0u)
        << advice[0];
}

// A MOD cut short, wherever it is cut: before its patterns end it is refused as a cut MOD (not as
// another format); in its samples it imports, its report saying what each sample lost, as a cut S3M,
// XM or IT file's does.
TEST(ImportLosses, ModCutShortSaysWhatItLost) {
    const Bytes whole = buildMod(smallModLayout()); // 1084 + 2 patterns + samples of 1200 and 800 bytes
    ASSERT_EQ(whole.size(), 5132u);
    struct Case {
        std::size_t size;
        std::string refusal; // "" when it imports
        std::vector<std::string> lines;
    };
    const std::string head = "the file is cut short: it holds ";
    const Case cases[] = {
        {1084, "the file ends before its samples: it holds 1084 of the 5132 bytes its headers describe", {}},
        {1084 + 1024 + 512,
         "the file ends before its samples: it holds 2620 of the 5132 bytes its headers describe",
         {}},
        {3132 + 600,
         "",
         {head + "3732 of the 5132 bytes its headers describe",
          "the file ends inside sample 1 \"triangle\" (600 of 1200 bytes): the sample is cut there",
          "sample 2 lies past the file's end: it is silent"}},
        {3132 + 1200,
         "",
         {head + "4332 of the 5132 bytes its headers describe",
          "sample 2 lies past the file's end: it is silent"}},
        {5132 - 100,
         "",
         {head + "5032 of the 5132 bytes its headers describe",
          "the file ends inside sample 2 \"loop\" (700 of 800 bytes): the sample is cut there"}},
        {5132, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes file(whole.begin(), whole.begin() + std::ptrdiff_t(c.size));
        EXPECT_EQ(moduleFormat(file).empty(), false);
        ImportResult r;
        std::string error;
        const bool ok = importModule(file, ImportOptions{}, r, error);
        EXPECT_EQ(ok, c.refusal.empty()) << error;
        if (!ok) {
            EXPECT_EQ(error, c.refusal);
            EXPECT_EQ(moduleFormat(file), "MOD 'M.K.', cut short");
            continue;
        }
        std::vector<std::string> cut;
        for (const Loss& loss : r.losses)
            if (loss.kind == LossKind::FileCut) cut.push_back(lossLine(loss));
        EXPECT_EQ(cut, c.lines);
    }
}

// Eight channels, cut inside the second sample: the same lines.
TEST(ImportLosses, ManyChannelModCutShort) {
    ModLayout layout = smallModLayout();
    layout.tag = "8CHN";
    const Bytes whole = buildMod(layout);
    const Bytes file(whole.begin(), whole.end() - 300);
    const ImportResult r = imported(file);
    std::vector<std::string> cut;
    for (const Loss& loss : r.losses)
        if (loss.kind == LossKind::FileCut) cut.push_back(lossLine(loss));
    ASSERT_EQ(cut.size(), 2u) << ::testing::PrintToString(r.report);
    EXPECT_EQ(cut[0], "the file is cut short: it holds " + std::to_string(file.size()) + " of the " +
                          std::to_string(whole.size()) + " bytes its headers describe");
    EXPECT_EQ(cut[1], "the file ends inside sample 2 \"loop\" (500 of 800 bytes): the sample is cut there");
}

// A module whose samples hold no sound (a damaged sample table, read as silence) is refused: a ROM of
// silence would compare with a silent render as close.
TEST(ImportLosses, ModuleThatSoundsNothingIsRefused) {
    Bytes file = buildMod(smallModLayout());
    std::fill(file.begin() + 3132, file.end(), 0);
    ImportResult r;
    std::string error;
    EXPECT_FALSE(importModule(file, ImportOptions{}, r, error));
    EXPECT_EQ(error, "libxmp plays it without a sound: there is nothing to import");
}

// A sample that would be silence in 4 bits beside the loudest, and never sounds without it, takes no
// entry and no room, and the report names it with when it is first heard.
TEST(ImportLosses, SampleTooQuietForFourBitsIsNamed) {
    ModLayout layout = smallModLayout();
    layout.samples[0].loopWords = layout.samples[0].words; // sample 1 sounds on from the song's first note
    Bytes file = buildMod(layout);
    for (std::size_t i = 3132 + 1200; i < file.size(); ++i) // sample 2's frames to -1..1 of 128
        file[i] = static_cast<std::uint8_t>(static_cast<std::int8_t>(file[i]) / 100);
    const ImportResult r = imported(file);
    const Loss* unheard = lossOf(r, LossKind::SamplesUnheard);
    ASSERT_NE(unheard, nullptr) << ::testing::PrintToString(r.report);
    ASSERT_EQ(unheard->samples.size(), 1u);
    // Its first note is on row 8, at speed 6 and 125 BPM 0.96 s in.
    EXPECT_EQ(lossLine(*unheard),
              "samples the module plays that the ROM never sounds: sample 2 \"loop\", first "
              "heard at 0:01.0: too quiet to keep in 4 bits beside the loudest samples");
    EXPECT_EQ(unheard->samples[0].entry, 0);
    EXPECT_EQ(unheard->samples[0].unheard, Unheard::FourBits);
}

} // namespace
