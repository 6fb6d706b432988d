// An import is the same wherever it runs: libxmp varies an IT instrument's note volumes at random, from
// the C library's rand(), and every import starts from the same draws, as a fresh process does. So a
// song's ROM does not depend on what the process imported before it (a bank's songs, several files on one
// command line, the page's quick first import before the whole one).
#include <gtest/gtest.h>

#include <cstdlib>

#include "fuzz/test_modules.h"
#include "import/import.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Six channels of notes whose volumes the instruments vary at random by `percent`.
Bytes randomVolumes(std::uint8_t percent, std::uint8_t firstNote) {
    ItLayout l;
    l.title = "random volumes";
    l.channels = 6;
    for (std::uint32_t i = 0; i < 3; ++i)
        l.samples.push_back({"tone " + std::to_string(i + 1), 1500, true, 24 + 8 * i, 64, 64});
    for (const ItSampleLayout& s : l.samples)
        l.instruments.push_back({s.name, 128, {}, percent});
    for (std::size_t row = 0; row < 64; ++row)
        l.notes.push_back(
            {0, row, row % 6, std::uint8_t(firstNote + row % 12), std::uint8_t(1 + row % 3), 255});
    return buildIt(l);
}

Bytes rom(const Bytes& file) {
    ImportOptions options;
    ImportResult r;
    std::string error;
    EXPECT_TRUE(importModule(file, options, r, error)) << error;
    return r.rom;
}

TEST(ImportDraws, ASongsRomDoesNotDependOnWhatWasImportedBefore) {
    const Bytes song = randomVolumes(100, 48);
    const Bytes alone = rom(song);
    struct Case {
        const char* before;
        Bytes file;
        int draws; // rand() calls of the process's own between the two
    };
    const std::vector<Case> cases = {
        {"the same song", song, 0},
        {"another song with random volumes", randomVolumes(60, 60), 0},
        {"a song without them", randomVolumes(0, 55), 0},
        {"nothing, but draws of the process's own", {}, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        if (!c.file.empty()) rom(c.file);
        for (int i = 0; i < c.draws; ++i)
            std::rand();
        EXPECT_EQ(rom(song), alone);
    }
}

} // namespace
