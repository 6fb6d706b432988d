// Hostile images and the fuzzer's findings: each is played through the fuzzer's check (byte range,
// chunked rendering, a fresh engine), here in the normal and the sanitizer builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "fuzz/rom_check.h"
#include "rom/test_roms.h"

namespace {

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
    const std::filesystem::path dir = std::filesystem::path(NIBPLAY_TEST_DIR) / "regress";
    std::map<std::string, std::string> index;
    std::ifstream lines(dir / "INDEX");
    for (std::string line; std::getline(lines, line);)
        if (const auto colon = line.find(':'); !line.empty() && line[0] != '#' && colon != std::string::npos)
            index[line.substr(0, colon)] = line.substr(colon + 1);
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".rom") continue;
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(index.count(name)) << name << " has no line in INDEX";
        const std::vector<std::uint8_t> bytes = readFile(entry.path());
        EXPECT_EQ(checkRom(bytes.data(), bytes.size()), "") << name << ":" << index[name];
    }
}

} // namespace
