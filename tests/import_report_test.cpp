// The import report a musician reads: each kind of loss on a line of its own, samples named by number
// and name, the figures that matter, and the fidelity line's verdict.
#include <gtest/gtest.h>

#include <regex>

#include "fuzz/test_modules.h"
#include "import/import.h"
#include "import/report.h"

namespace {

// The report's line that starts with `start`, or "" when there is none.
std::string lineStarting(const std::vector<std::string>& report, const std::string& start) {
    for (const std::string& line : report)
        if (line.rfind(start, 0) == 0) return line;
    return "";
}

std::string sampleName(std::size_t i) {
    return "smp" + std::to_string(i + 1);
}

// `count` non-looping samples named smp1, smp2...; sample i (from 0) is `words(i)` words long and
// plays `notes(i)` notes of its own on channel i % 4, on rows one after another.
using PerSample = std::size_t (*)(std::size_t);
ModLayout manySamples(std::size_t count, PerSample words, PerSample notes) {
    ModLayout layout;
    std::size_t row = 0;
    for (std::size_t i = 0; i < count; ++i) {
        layout.samples.push_back({sampleName(i), static_cast<std::uint16_t>(words(i)), 0, 64, 0, 1});
        for (std::size_t n = 0; n < notes(i) && row < 64; ++n)
            layout.cells.push_back({0, row++, i % 4, static_cast<std::uint8_t>(i + 1), 428, 0, 0});
    }
    return layout;
}

struct ReportCase {
    const char* name;
    ModLayout song;
    std::string start;  // the line's start
    std::string holds;  // a pattern the line matches (a regular expression)
    std::string absent; // a line start that must not appear ("" for none)
};

std::vector<ReportCase> reportCases() {
    return {
        {"20 samples: the 6 heard least are left out, with their notes",
         // Samples 15-20 play one short note each; the others play two long ones.
         manySamples(
             20, [](std::size_t i) -> std::size_t { return i < 14 ? 4000 : 200; },
             [](std::size_t i) -> std::size_t { return i < 14 ? 2 : 1; }),
         "samples left out, as a ROM names only 14 (those heard least): ",
         R"(sample 1[5-9] "smp1[5-9]": 1 note, .*sample 20 "smp20": 1 note)", ""},
        {"14 samples: none left out",
         manySamples(
             14, [](std::size_t) -> std::size_t { return 400; },
             [](std::size_t) -> std::size_t { return 1; }),
         "", "", "samples left out"},
        {"big samples are stored at lower rates, by sample",
         manySamples(
             4, [](std::size_t) -> std::size_t { return 32000; },
             [](std::size_t) -> std::size_t { return 2; }),
         "samples stored at a lower rate to fit: ",
         R"(^[^:]*: (sample [1-4] "smp[1-4]" \(entry [1-4]\): [a-z ]+ lower \([0-9]+ semitones?\)[^;]*(; |$)){4}$)",
         ""},
    };
}

// Every sample left out is named, however many: 40 samples, 26 past the 14 entries.
TEST(ImportReport, NamesEverySampleLeftOut) {
    ImportResult r;
    std::string error;
    const ModLayout song = manySamples(
        31, [](std::size_t i) -> std::size_t { return i < 14 ? 800 : 100; },
        [](std::size_t i) -> std::size_t { return i < 14 ? 2 : 1; });
    ASSERT_TRUE(importModule(buildMod(song), ImportOptions{}, r, error)) << error;
    const std::string line = lineStarting(r.report, "samples left out, as a ROM names only 14");
    for (std::size_t i = 14; i < 31; ++i)
        EXPECT_NE(line.find("sample " + std::to_string(i + 1) + " \"" + sampleName(i) +
                            "\": 1 note, first heard at "),
                  std::string::npos)
            << i + 1 << ": " << line;
    EXPECT_EQ(line.find("more"), std::string::npos) << line;
}

// The lines as a terminal shows them: broken at spaces, none wider than the terminal, the words in order.
TEST(ImportReport, WrapsLinesToTheWidth) {
    const std::string line =
        "samples stored at a lower rate to fit: sample 6 \"Hikonu\" (entry 6): an octave and a "
        "minor third lower (15 semitones): no treble lost, a little more aliasing";
    struct Case {
        std::string text;
        std::size_t width;
        std::size_t lines;
    };
    const std::string word(50, 'x');
    for (const Case& c : {Case{line, 80, 2}, Case{line, 40, 5}, Case{line, 200, 1}, Case{"short", 80, 1},
                          Case{word + " " + word + " " + word, 30, 3}}) {
        const std::vector<std::string> parts = wrapLine(c.text, c.width);
        EXPECT_EQ(parts.size(), c.lines) << c.width << ": " << ::testing::PrintToString(parts);
        std::string joined;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            EXPECT_TRUE(parts[i].size() <= c.width || parts[i].find(' ', 2) == std::string::npos) << parts[i];
            EXPECT_EQ(parts[i].rfind("  ", 0) == 0, i > 0) << parts[i]; // continuations indented by two
            joined += (i > 0 ? " " + parts[i].substr(2) : parts[i]);
        }
        EXPECT_EQ(joined, c.text);
    }
}

TEST(ImportReport, SaysIntervalsAsHeard) {
    const std::pair<int, const char*> cases[] = {{1, "a semitone"},
                                                 {2, "a tone"},
                                                 {7, "a fifth"},
                                                 {12, "an octave"},
                                                 {18, "an octave and a half"},
                                                 {19, "an octave and a fifth"},
                                                 {24, "two octaves"},
                                                 {30, "two and a half octaves"},
                                                 {32, "two octaves and a minor sixth"},
                                                 {60, "five octaves"}};
    for (const auto& [semitones, words] : cases)
        EXPECT_EQ(intervalWords(semitones), words) << semitones;
}

TEST(ImportReport, SaysWhatWasLostInPlainWords) {
    for (const ReportCase& c : reportCases()) {
        ImportResult r;
        std::string error;
        ASSERT_TRUE(importModule(buildMod(c.song), ImportOptions{}, r, error)) << c.name << ": " << error;
        if (!c.start.empty()) {
            const std::string line = lineStarting(r.report, c.start);
            ASSERT_FALSE(line.empty()) << c.name;
            EXPECT_TRUE(std::regex_search(line, std::regex(c.holds))) << c.name << ": " << line;
        }
        if (!c.absent.empty()) {
            EXPECT_EQ(lineStarting(r.report, c.absent), "") << c.name;
        }
        for (const std::string& line : r.report) // no bare lists of numbers, no empty lines
            EXPECT_FALSE(line.empty() || line.find("step(s)") != std::string::npos) << c.name << ": " << line;
    }
}

TEST(ImportReport, CountsTheNotesLeftOutByChannel) {
    struct Case {
        std::vector<std::size_t> byChannel;
        bool verbose;
        std::string line;
    };
    std::vector<std::size_t> one20(20, 1); // channel 1 loses 100 notes, the 19 others one each
    one20[0] = 100;
    const std::string head20 =
        "119 of 400 notes left out, as the ROM plays four at once and the module has 20 "
        "channels: channel 1 (100), channel 2 (1), channel 3 (1), channel 4 (1), channel 5 "
        "(1), channel 6 (1)";
    std::string all20 = head20;
    for (int c = 7; c <= 20; ++c)
        all20 += ", channel " + std::to_string(c) + " (1)";
    const std::vector<Case> cases = {
        {{0, 0, 0, 0, 5, 0},
         false,
         "5 of 400 notes left out, as the ROM plays four at once and the module has 6 channels: channel 5 "
         "(5)"},
        {{1, 0, 7, 0, 2, 0, 3, 0, 1, 1},
         false,
         "15 of 400 notes left out, as the ROM plays four at once and the module has 10 channels: channel 3 "
         "(7), "
         "channel 7 (3), channel 5 (2), channel 1 (1), channel 9 (1), channel 10 (1)"},
        {{1, 1, 1, 1, 1, 1, 1, 1, 1},
         false, // each lost a ninth of the notes left out: every one is named
         "9 of 400 notes left out, as the ROM plays four at once and the module has 9 channels: channel 1 "
         "(1), "
         "channel 2 (1), channel 3 (1), channel 4 (1), channel 5 (1), channel 6 (1), channel 7 (1), channel "
         "8 "
         "(1), channel 9 (1)"},
        {one20, false, head20 + "; the other 14 channels together 14 notes"},
        {one20, true, all20},
    };
    for (const Case& c : cases) {
        VoicePlan plan;
        plan.notes = 400;
        plan.leftOutByChannel = c.byChannel;
        for (std::size_t n : c.byChannel)
            plan.notesLeftOut += n;
        const Loss loss = notesLeftOut(plan, int(c.byChannel.size()));
        EXPECT_EQ(lossLine(loss, c.verbose), c.line);
        EXPECT_DOUBLE_EQ(loss.share, double(plan.notesLeftOut) / 400);
    }
}

TEST(ImportReport, NamesSamplesAndRunsOfNumbers) {
    Performance p;
    p.samples.resize(3);
    p.samples[0].name = "  \"Bass\"   ";
    p.samples[2].name = std::string("bad\x01name");
    EXPECT_EQ(sampleLabel(p, 0), "sample 1 \"Bass\"");
    EXPECT_EQ(sampleLabel(p, 1), "sample 2");
    EXPECT_EQ(sampleLabel(p, 2), "sample 3"); // an unprintable name is not shown
    EXPECT_EQ(sampleLabel(p, 7), "sample 8");
    p.samples[0].song = 2, p.samples[0].number = 6; // a bank's sample: its song's module numbers it
    EXPECT_EQ(sampleLabel(p, 0), "song 2's sample 6 \"Bass\"");
    const SampleLoss bass = sampleLoss(p, 0), bad = sampleLoss(p, 2); // the same, field by field
    EXPECT_TRUE(bass.song == 2 && bass.number == 6 && bass.name == "Bass") << bass.label;
    EXPECT_TRUE(bad.song == -1 && bad.number == 3 && bad.name.empty()) << bad.label;
    const std::vector<std::pair<std::vector<std::size_t>, std::string>> runs = {
        {{}, ""}, {{4}, "4"}, {{9, 1, 3, 4, 5, 4}, "1, 3-5, 9"}, {{2, 3}, "2-3"}};
    for (const auto& [numbers, text] : runs)
        EXPECT_EQ(numberRuns(numbers), text);
}

TEST(ImportReport, GivesTheFidelityAVerdictOnItsScale) {
    struct Case {
        double chroma, onset;
        const char* verdict;
    };
    const std::vector<Case> cases = {
        {1.00, 0.95, "close: the notes are right, the rhythm is kept"},
        {0.95, 0.80, "close: the notes are right, the rhythm is kept"},
        {0.97, 0.79, "fair: the notes are right, the rhythm loses detail"},
        {0.85, 0.60, "fair: the notes are mostly right, the rhythm loses detail"},
        {0.84, 0.90, "far: many notes are lost or wrong, the rhythm is kept"},
        {0.99, 0.59, "far: the notes are right, much of the rhythm is lost"},
        {0.50, 0.00, "far: many notes are lost or wrong, much of the rhythm is lost"}};
    for (const Case& c : cases) {
        Fidelity f;
        f.chroma = c.chroma, f.onset = c.onset, f.lengthRatio = 1, f.channels = 4;
        const std::vector<std::string> lines = fidelityLines(f);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].rfind("fidelity: chroma ", 0), 0u);
        EXPECT_EQ(lines[1], c.verdict) << c.chroma << "/" << c.onset;
        EXPECT_EQ(std::string(c.verdict).rfind(fidelityVerdict(f), 0), 0u);
        EXPECT_EQ(lines[2].rfind("scale: ", 0), 0u);
    }
}

} // namespace

namespace {

// What to change first, from what was lost: fewer channels where notes were left out, a lower rate where
// samples lost room at a high one; nothing for a song that lost nothing much.
TEST(ImportReport, AdvisesTheChangesThatLoseLeast) {
    ModLayout six = smallModLayout();
    six.tag = "6CHN";
    for (std::size_t row = 0; row < 64; ++row)
        for (std::size_t c = 0; c < 6; ++c)
            six.cells.push_back({0, row, c, static_cast<std::uint8_t>(1 + c % 2), 428, 0, 0});
    struct Case {
        const char* name;
        std::vector<std::uint8_t> file;
        int rate;
        std::string first; // the first advice's start; "" for none
    };
    const Case cases[] = {
        {"six channels of notes on every row", buildMod(six), 8000,
         "to lose less, change first: fewer channels sounding at once: the ROM plays four, and "},
        {"four long samples at 44100 Hz",
         buildMod(manySamples(
             4, [](std::size_t) -> std::size_t { return 32000; },
             [](std::size_t) -> std::size_t { return 2; })),
         44100, "to lose less, change first: a lower --rate: at 44100 Hz every sample takes 5.5 times"},
        {"the small song", buildMod(smallModLayout()), 8000, ""},
    };
    for (const Case& c : cases) {
        ImportOptions options;
        options.rate = c.rate;
        ImportResult r;
        std::string error;
        ASSERT_TRUE(importModule(c.file, options, r, error)) << c.name << ": " << error;
        const std::vector<std::string> advice = adviceLines(r.losses, c.rate);
        if (c.first.empty()) {
            EXPECT_TRUE(advice.empty()) << c.name << ": " << ::testing::PrintToString(advice);
            continue;
        }
        ASSERT_FALSE(advice.empty()) << c.name << ": " << ::testing::PrintToString(r.report);
        EXPECT_LE(advice.size(), 2u);
        EXPECT_EQ(advice[0].rfind(c.first, 0), 0u) << c.name << ": " << advice[0];
    }
}

// Lines made from facts say what the facts are, never a count of nothing.
TEST(ImportReport, NeverCountsNothing) {
    Loss rows;
    rows.kind = LossKind::RowsShared;
    rows.count = 2;
    EXPECT_EQ(lossLine(rows), "the song is long for the ROM: every 2 rows share one line (no note was lost)");
    rows.of = 1;
    EXPECT_EQ(lossLine(rows),
              "the song is long for the ROM: every 2 rows share one line, and 1 note that followed "
              "another within those rows was dropped");
}

} // namespace
