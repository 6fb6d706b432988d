// Hostile images and the fuzzer's findings: each is played through the fuzzer's check (byte range,
// chunked rendering, a fresh engine), here in the normal and the sanitizer builds.
#include <gtest/gtest.h>

#include "findings.h"

#include <filesystem>

#include "fuzz/rom_check.h"
#include "rom/test_roms.h"

namespace {

TEST(HostileRoms, HoldTheInvariants) {
    for (const NamedRom& rom : hostileRoms())
        EXPECT_EQ(checkRom(rom.bytes.data(), rom.bytes.size()), "") << rom.name;
}

TEST(HostileRoms, EffectSongsHoldTheInvariants) {
    for (const NamedRom& rom : effectSongs(6, 2))
        EXPECT_EQ(checkRom(rom.bytes.data(), rom.bytes.size(), 6000), "") << rom.name;
}

// tests/regress holds every input the fuzzer broke on; INDEX says, one line each, what it triggered.
TEST(FuzzerFindings, ReplayCleanly) {
    for (const Finding& f : readFindings(std::filesystem::path(NIBPLAY_TEST_DIR) / "regress")) {
        EXPECT_FALSE(f.what.empty()) << f.name << " has no line in INDEX";
        EXPECT_EQ(checkRom(f.bytes.data(), f.bytes.size()), "") << f.name << ":" << f.what;
    }
}

} // namespace
