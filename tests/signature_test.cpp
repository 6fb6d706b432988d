// A ROM's signature: what is written reads back (titles and names cut where they must be), and an image
// whose block is damaged in any way reads as one without a signature, never outside the file's bytes.
#include <gtest/gtest.h>

#include "fuzz/test_modules.h"
#include "import/import.h"
#include "rom/signature.h"

namespace {

std::vector<std::uint8_t> signed32k(const RomSignature& signature) {
    std::vector<std::uint8_t> rom(0x8000, 0x55);
    EXPECT_TRUE(writeSignature(rom, signature));
    return rom;
}

TEST(RomSignature, ReadsBackWhatWasWritten) {
    const std::string longTitle(100, 'x');
    const std::string utf8Title = std::string(62, 'a') + "\xC3\xA9"; // an e-acute across the 63rd byte
    const RomSignature cases[] = {
        {8000, {}, {}},
        {44100, {"Yonathan Haqatan"}, {}},
        {96000, {"one", "", "three", "four"}, {{0, 24, "jump"}, {14, 60, "coin"}}},
        {22050, {longTitle, utf8Title}, {}},
    };
    for (const RomSignature& written : cases) {
        const std::vector<std::uint8_t> rom = signed32k(written);
        RomSignature read;
        ASSERT_TRUE(readSignature(rom, read)) << written.rate;
        EXPECT_EQ(read.rate, written.rate);
        ASSERT_EQ(read.titles.size(), written.titles.size());
        ASSERT_EQ(read.effects.size(), written.effects.size());
        for (std::size_t i = 0; i < written.effects.size(); ++i) {
            EXPECT_EQ(read.effects[i].entry, written.effects[i].entry);
            EXPECT_EQ(read.effects[i].tone, written.effects[i].tone);
            EXPECT_EQ(read.effects[i].name, written.effects[i].name);
        }
        // Only the block's bytes changed, and it ends where the song table starts.
        const std::size_t size = signatureSize(written);
        EXPECT_LE(size, kMaxSignatureBytes);
        std::size_t changedOutside = 0;
        for (std::size_t i = 0; i < rom.size(); ++i)
            changedOutside += (i < kSignatureEnd - size || i >= kSignatureEnd) && rom[i] != 0x55;
        EXPECT_EQ(changedOutside, 0u);
    }
    RomSignature read;
    ASSERT_TRUE(readSignature(signed32k(cases[3]), read));
    EXPECT_EQ(read.titles[0], std::string(kMaxSignatureText, 'x'));
    EXPECT_EQ(read.titles[1], std::string(62, 'a')); // not cut inside the character
}

// Seals a changed body again, as a writer would, so that the reader's checks of each field are reached.
void reseal(std::vector<std::uint8_t>& rom, std::size_t size) {
    const std::uint32_t crc = signatureChecksum(rom.data() + kSignatureEnd - size, size - kSignatureFooter);
    for (int i = 0; i < 4; ++i)
        rom[kSignatureEnd - kSignatureFooter + 2 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(crc >> (24 - 8 * i));
}

TEST(RomSignature, AnythingDamagedReadsAsNoSignature) {
    const RomSignature written{44100, {"song"}, {{3, 30, "bang"}}};
    const std::size_t size = signatureSize(written);
    const std::size_t start = kSignatureEnd - size, footer = kSignatureEnd - kSignatureFooter;
    const std::size_t effect = start + 6 + 1 + 4 + 1; // after version, rate, song count, title, effect count
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
        bool sealed; // the CRC made to match the change
    };
    const Case cases[] = {
        {"version", start, 2, true},
        {"rate below the lowest", start + 3, 0, true}, // 44100 = 0x0000AC44 becomes 0x44
        {"rate above the highest", start + 1, 1, true},
        {"song count", start + 5, 5, true},
        {"title length past the body", start + 6, 200, true},
        {"effect count", effect - 1, 16, true},
        {"effect entry 15", effect, 15, true},
        {"effect tone 61", effect + 1, 61, true},
        {"a byte left over", effect + 2, 3, true},
        {"a changed byte", start + 7, 'S', false},
        {"length too short", footer + 1, 3, false},
        {"length past the most", footer, 0xFF, false},
        {"CRC", footer + 5, 0, false},
        {"magic", footer + 9, 'X', false},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> rom = signed32k(written);
        rom[c.offset] = c.value;
        if (c.sealed) reseal(rom, size);
        RomSignature read;
        EXPECT_FALSE(readSignature(rom, read)) << c.what;
    }
    std::vector<std::uint8_t> rom = signed32k(written);
    RomSignature read;
    reseal(rom, size); // sealing an unchanged block changes nothing
    EXPECT_TRUE(readSignature(rom, read));
    EXPECT_TRUE(readSignature(rom.data(), kSignatureEnd, read)); // the tables are not needed
    EXPECT_FALSE(readSignature(rom.data(), kSignatureEnd - 1, read));
    std::vector<std::uint8_t> blank(0x8000, 0);
    EXPECT_FALSE(readSignature(blank, read));
    blank.resize(100);
    EXPECT_FALSE(writeSignature(blank, written));
}

TEST(RomSignature, TheImporterSignsTheRateAndTitle) {
    for (const int rate : {8000, 44100}) {
        ImportOptions options;
        options.rate = rate;
        ImportResult result;
        std::string error;
        const ModLayout layout = smallModLayout();
        ASSERT_TRUE(importModule(buildMod(layout), options, result, error)) << error;
        RomSignature read;
        ASSERT_TRUE(readSignature(result.rom, read));
        EXPECT_EQ(read.rate, static_cast<std::uint32_t>(rate));
        EXPECT_EQ(read.titles, std::vector<std::string>{layout.title});
        EXPECT_TRUE(read.effects.empty());
    }
}

} // namespace
