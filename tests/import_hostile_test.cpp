// The import fuzzer's check: it finds ROMs that read outside the file's data, the seeds pass it, and so
// does every input the fuzzer broke on (tests/regress_import, replayed here).
#include <gtest/gtest.h>

#include "findings.h"

#include <filesystem>

#include "fuzz/import_check.h"
#include "fuzz/test_modules.h"
#include "rom/rom_builder.h"

namespace {

constexpr std::uint16_t kSong = 0x8000;

// A song that plays sample 1 (0x9000-0x9400, looped) on channel 0 at line 0, then repeats pattern 0.
RomBuilder goodRom() {
    RomBuilder rom;
    rom.song(0, kSong).orders(kSong, {0, 0}).sample(1, 0x9000, 0x9400, 0, 0x9100);
    rom.cell(kSong, 0, 0, 0, {1, 30, 0, 0});
    rom.cell(kSong, 0, 63, 1, {0, 0, kPositionJump, 0});
    return rom;
}

TEST(RomReadCheck, FindsReadsOutsideTheFile) {
    struct Case {
        const char* name;
        std::function<void(RomBuilder&)> change;
        std::string failure; // part of the check's message; "" for none
    };
    const Case cases[] = {
        {"well formed", [](RomBuilder&) {}, ""},
        {"a sample entry below the file", [](RomBuilder& r) { r.sample(2, 0x1000, 0x2000); },
         "sample entry 2"},
        {"a sample ending before it starts", [](RomBuilder& r) { r.sample(3, 0x9000, 0x8F00); },
         "sample entry 3"},
        {"a loop starting before its sample", [](RomBuilder& r) { r.sample(1, 0x9000, 0x9400, 0, 0x8000); },
         "loops from 0x8000"},
        {"song 0 outside the file", [](RomBuilder& r) { r.song(0, 0x1000); }, "song 0 starts at 0x1000"},
        {"a row past the image", [](RomBuilder& r) { r.song(0, 0xFE00).orders(0xFE00, {3}); },
         "lies outside"},
        {"a pattern break past line 63",
         [](RomBuilder& r) {
             r.cell(kSong, 0, 2, 2, {0, 0, kPatternBreak, 70});
         },
         "the line is past the end of its pattern"},
        {"a jump past the order list, playing pattern 0",
         [](RomBuilder& r) {
             r.cell(kSong, 0, 2, 2, {0, 0, kPositionJump, 64});
         },
         "order position 64 is past"},
        {"a jump past the order list in a song that never plays pattern 0",
         [](RomBuilder& r) {
             r.orders(kSong, {1, 1})
                 .cell(kSong, 1, 0, 0, {1, 30, 0, 0})
                 .cell(kSong, 1, 2, 2, {0, 0, kPositionJump, 64});
             r.cell(kSong, 0, 0, 0, {0, 0, 1, 0}); // pattern 0's first byte: pattern 1 at position 64
         },
         ""},
        {"sample 15, which has no entry",
         [](RomBuilder& r) {
             r.cell(kSong, 0, 1, 3, {15, 30, 0, 0});
         },
         "stream 3 reads 0x0000"},
        {"a loop too short for its step, at the image's end",
         [](RomBuilder& r) {
             r.sample(4, 0xFF70, 0xFF74, 0, 0xFF72);
             r.cell(kSong, 0, 1, 2, {4, 60, 0, 0});
         },
         "stream 2 reads 0x1"},
    };
    for (const Case& c : cases) {
        RomBuilder rom = goodRom();
        c.change(rom);
        const std::string failure = checkRomReads(rom.build(), 3000);
        if (c.failure.empty())
            EXPECT_EQ(failure, "") << c.name;
        else
            EXPECT_NE(failure.find(c.failure), std::string::npos) << c.name << ": '" << failure << "'";
    }
}

TEST(ImportCheck, SeedsHold) {
    ModLayout untagged = smallModLayout();
    untagged.tag = "";
    untagged.samples[0].volume = 80;
    const std::pair<const char*, std::vector<std::uint8_t>> seeds[] = {
        {"mod", buildMod(smallModLayout())},
        {"untagged mod", buildMod(untagged)},
        {"s3m", tinyS3m()},
        {"xm", tinyXm()},
        {"it", tinyIt()},
        {"not a module", std::vector<std::uint8_t>(3000, 'x')},
    };
    for (const auto& [name, bytes] : seeds)
        EXPECT_EQ(checkImport(bytes.data(), bytes.size()), "") << name;
}

// tests/regress_import holds every input the import fuzzer broke on; INDEX says, one line each, what it
// triggered.
TEST(ImportFuzzerFindings, ReplayCleanly) {
    for (const Finding& f : readFindings(std::filesystem::path(NIBPLAY_TEST_DIR) / "regress_import")) {
        EXPECT_FALSE(f.what.empty()) << f.name << " has no line in INDEX";
        EXPECT_EQ(checkImport(f.bytes.data(), f.bytes.size()), "") << f.name << ":" << f.what;
    }
}

} // namespace
