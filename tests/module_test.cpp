// Importing tracker modules: a small module built here, converted, and its ROM checked table by table,
// cell by cell, and by the pitch of a rendered note.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/sequencer.h"
#include "engine_harness.h"
#include "nibtool/module.h"
#include "nibtool/notes.h"

namespace {

// A four-channel module with 31 sample slots, built in memory.
class ModuleFile {
  public:
    explicit ModuleFile(std::size_t patterns, const char* tag = "M.K.") : bytes_(1084 + 1024 * patterns) {
        std::memcpy(bytes_.data(), "test module", 11);
        std::memcpy(bytes_.data() + 1080, tag, 4);
    }
    ModuleFile& sample(std::size_t n, const std::vector<std::int8_t>& data, std::size_t loopStart = 0,
                       std::size_t loopLength = 0, int volume = 64) {
        const std::size_t h = 20 + 30 * (n - 1);
        put16(h + 22, data.size() / 2);
        bytes_[h + 25] = static_cast<std::uint8_t>(volume);
        put16(h + 26, loopStart / 2);
        put16(h + 28, loopLength ? loopLength / 2 : 1);
        data_.resize(std::max(data_.size(), n));
        data_[n - 1] = data;
        return *this;
    }
    ModuleFile& orders(const std::vector<std::uint8_t>& list, std::uint8_t restart = 0) {
        bytes_[950] = static_cast<std::uint8_t>(list.size());
        bytes_[951] = restart;
        for (std::size_t i = 0; i < list.size(); ++i)
            bytes_[952 + i] = list[i];
        return *this;
    }
    ModuleFile& cell(std::size_t pattern, std::size_t row, std::size_t ch, std::uint8_t sample,
                     std::uint16_t period, std::uint8_t effect = 0, std::uint8_t param = 0) {
        const std::size_t at = 1084 + 1024 * pattern + 16 * row + 4 * ch;
        bytes_[at] = static_cast<std::uint8_t>((sample & 0xF0) | period >> 8);
        bytes_[at + 1] = static_cast<std::uint8_t>(period);
        bytes_[at + 2] = static_cast<std::uint8_t>((sample & 0x0F) << 4 | effect);
        bytes_[at + 3] = param;
        return *this;
    }
    std::vector<std::uint8_t> file() const {
        std::vector<std::uint8_t> f = bytes_;
        for (const auto& d : data_)
            f.insert(f.end(), d.begin(), d.end());
        return f;
    }

  private:
    void put16(std::size_t at, std::size_t v) {
        bytes_[at] = static_cast<std::uint8_t>(v >> 8);
        bytes_[at + 1] = static_cast<std::uint8_t>(v);
    }
    std::vector<std::uint8_t> bytes_;
    std::vector<std::vector<std::int8_t>> data_;
};

std::vector<std::int8_t> sine(std::size_t length, std::size_t period) {
    std::vector<std::int8_t> s(length);
    for (std::size_t i = 0; i < length; ++i)
        s[i] = static_cast<std::int8_t>(
            std::lround(100 * std::sin(2 * 3.14159265358979 * double(i) / double(period))));
    return s;
}

ModuleFile tune() {
    ModuleFile m(2);
    m.sample(1, sine(512, 32), 0, 512).sample(2, sine(2000, 20)).orders({0, 1, 0});
    m.cell(0, 0, 0, 1, 428, 0xF, 0x03);  // C-2, speed 3
    m.cell(0, 0, 1, 2, 214, 0xC, 0x20);  // C-3
    m.cell(0, 4, 1, 0, 0, 0xE, 0xC2);    // note cut on tick 2
    m.cell(0, 8, 2, 1, 856, 0x0, 0x37);  // C-1 with an arpeggio
    m.cell(0, 10, 3, 2, 428, 0x3, 0x10); // tone portamento: no counterpart
    m.cell(1, 0, 0, 0, 0, 0xF, 0x7D);    // tempo 125
    m.cell(1, 1, 0, 1, 428, 0x1, 0x04);  // slide up
    m.cell(1, 2, 1, 0, 0, 0xD, 0x12);    // break to row 12 of the next position
    return m;
}

TEST(ModuleImport, RefusesWhatIsNotAFourChannelModule) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
        const char* reason;
    };
    const Case cases[] = {
        {"six channels", ModuleFile(1, "6CHN").file(), "more than four channels"},
        {"eight channels", ModuleFile(1, "FLT8").file(), "more than four channels"},
        {"too short", std::vector<std::uint8_t>(100, 0), "too short"},
        {"noise", std::vector<std::uint8_t>(3000, 0xFF), "not a four-channel module"},
        {"patterns cut off",
         [] {
             auto f = tune().file();
             f.resize(1084 + 1000);
             return f;
         }(),
         "ends inside its patterns"},
    };
    for (const Case& c : cases) {
        Module mod;
        std::string error;
        EXPECT_FALSE(parseModule(c.file, mod, error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    }
}

TEST(ModuleImport, TablesCellsAndReport) {
    Module mod;
    std::string error;
    ASSERT_TRUE(parseModule(tune().file(), mod, error)) << error;
    EXPECT_EQ(mod.orders, (std::vector<std::uint8_t>{0, 1, 0}));
    std::vector<std::string> report;
    const RomBuilder rom = convertModule(mod, 8000, report);
    const std::uint16_t song = 0x8000;
    // Orders: patterns renumbered by first use; the last position gets its own copy of pattern 0, which
    // holds the jump back to the start.
    EXPECT_EQ(rom.at(song), 0);
    EXPECT_EQ(rom.at(song + 1), 1);
    EXPECT_EQ(rom.at(song + 2), 2);
    const auto cell = [&](std::size_t p, std::size_t line, std::size_t ch) {
        const std::uint32_t a = RomBuilder::cellAddress(song, p, line, ch);
        return std::vector<int>{rom.at(a) >> 4, rom.at(a) & 15, rom.at(a + 1), rom.at(a + 2)};
    };
    EXPECT_EQ(cell(0, 0, 0), (std::vector<int>{1, 0xF, toneOf(20), 0x83})); // C-2 at semitone 20, speed 3
    // C-3; its volume needs no command (the note starts the stream), so the cell takes the module's
    // default tempo: 125 BPM, a tick of 2.5/125 s, is 12 calls of 13 bytes at 8000 Hz.
    EXPECT_EQ(cell(0, 0, 1), (std::vector<int>{2, 0xF, toneOf(32), 11}));
    EXPECT_EQ(cell(0, 4, 1), (std::vector<int>{0, 0xE, 0, 0xC3})); // cut on tick 2: here tick 3 - 1
    EXPECT_EQ(cell(0, 8, 2), (std::vector<int>{1, 0x0, toneOf(8), 0x37}));
    EXPECT_EQ(cell(0, 10, 3), (std::vector<int>{2, 0x0, toneOf(20), 0x00})); // portamento dropped
    EXPECT_EQ(cell(1, 0, 0)[1], 0xF);
    EXPECT_EQ(cell(1, 0, 0)[3], 11);                             // tempo 125 again
    EXPECT_EQ(cell(1, 2, 1), (std::vector<int>{0, 0xD, 0, 12})); // decimal 12
    EXPECT_EQ(cell(1, 1, 0)[1], 1);
    // Sample 1 loops over all of it; sample 2 is one-shot.
    const auto word = [&](std::uint32_t a) { return rom.at(a) << 8 | rom.at(a + 1); };
    const int start1 = word(0xFF96 + 7), end1 = word(0xFF96 + 9), loop1 = word(0xFF96 + 12);
    EXPECT_EQ(loop1, start1);
    EXPECT_NEAR(end1 - start1, 512 * 8000.0 * 259 / 256 / 8287.0, 2);
    EXPECT_EQ(word(0xFF96 + 14 + 5), 0);
    std::string all;
    for (const std::string& line : report)
        all += line + "\n";
    EXPECT_NE(all.find("2 cell(s) with tone portamento (3) have no counterpart"), std::string::npos) << all;
    EXPECT_NE(all.find("jumps back to order 0"), std::string::npos) << all;
}

TEST(ModuleImport, RenderedNoteHasTheModulesPitchAndTheSongLoops) {
    ModuleFile m(1);
    m.sample(1, sine(1024, 32), 0, 1024).orders({0});
    m.cell(0, 0, 0, 1, 428); // C-2: 8287 Hz / 32 = 259 Hz
    Module mod;
    std::string error;
    ASSERT_TRUE(parseModule(m.file(), mod, error)) << error;
    std::vector<std::string> report;
    EngineHarness h(convertModule(mod, 8000, report));
    const std::vector<std::uint8_t> out = h.render(13 + 8000);
    int crossings = 0;
    for (std::size_t i = 1000; i < 5000; ++i)
        crossings += (out[i] >= 128) != (out[i - 1] >= 128);
    const double hz = crossings / 2.0 / (4000 / 8000.0);
    EXPECT_NEAR(hz, 8287.0 / 32, 259 * 0.03);
    h.render(64 * 12 * 13 * 6 + 2000);
    EXPECT_FALSE(h.linesStartingWith("next: order 0 line 0").empty()) << "the song's end jumps back";
}

TEST(ModuleImport, DamagedModulesNeverCrash) {
    // Every byte of the header and patterns, set to extremes in turn: each either parses and converts
    // or is refused.
    const std::vector<std::uint8_t> good = tune().file();
    for (std::size_t at = 0; at < 1084 + 2048; at += 7)
        for (std::uint8_t v : {std::uint8_t{0x00}, std::uint8_t{0xFF}, std::uint8_t{0x7F}}) {
            std::vector<std::uint8_t> file = good;
            file[at] = v;
            Module mod;
            std::string error;
            if (!parseModule(file, mod, error)) continue;
            std::vector<std::string> report;
            const RomBuilder rom = convertModule(mod, 8000, report);
            EXPECT_EQ(rom.build().size(), 0x8000u);
        }
}

} // namespace
