// The import's large buffers: bulk memory hands out aligned, separate, writable room however it is asked,
// large-page advice leaves a buffer's contents as they were, and a captured performance's ticks live as
// long as any copy of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "fuzz/test_modules.h"
#include "import/capture.h"
#include "import/import.h"
#include "measure/large_memory.h"

namespace {

struct Asked {
    std::size_t bytes, alignment;
};

TEST(LargeMemory, BulkRoomIsAlignedSeparateAndWritable) {
    const std::vector<std::vector<Asked>> cases = {
        {{1, 1}, {1, 1}, {3, 2}},
        {{2048, 8}, {2048, 8}, {2048, 8}, {2048, 8}},             // a capture's ticks, a few
        {{100, 64}, {5000, 4096}, {7, 1}, {1 << 20, 16}},         // alignments of every kind
        {{3 << 20, 8}, {1, 8}, {5 << 20, 8}, {(2 << 20) + 1, 8}}, // past the first block, and again
        {{0, 8}, {16, 16}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const auto memory = makeBulkMemory();
        std::vector<std::pair<std::uint8_t*, std::size_t>> given;
        for (std::size_t k = 0; k < cases[i].size(); ++k) {
            const Asked a = cases[i][k];
            auto* p = static_cast<std::uint8_t*>(takeBulk(*memory, a.bytes, a.alignment));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % a.alignment, 0u);
            std::memset(p, static_cast<int>(k + 1), a.bytes);
            given.emplace_back(p, a.bytes);
        }
        for (std::size_t k = 0; k < given.size(); ++k) { // nothing written over another's room
            const auto [p, bytes] = given[k];
            EXPECT_TRUE(std::all_of(p, p + bytes, [&](std::uint8_t b) { return b == k + 1; }));
        }
    }
}

TEST(LargeMemory, AdviceKeepsContents) {
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, std::size_t{3} << 20}) {
        SCOPED_TRACE(n);
        std::vector<float> buffer(n);
        for (std::size_t i = 0; i < n; ++i)
            buffer[i] = static_cast<float>(i % 977);
        adviseLargePages(buffer);
        adviseLargePages(buffer.data() + n / 2, n / 4); // a part, from anywhere
        for (std::size_t i = 0; i < n; i += 1 + n / 1000)
            ASSERT_EQ(buffer[i], static_cast<float>(i % 977));
    }
}

// A cut of a performance, and its ticks made longer, copied out of the captured one, and the captured one
// moved away and let go: the copies read what the capture wrote (the sanitizers watch the reads).
TEST(LargeMemory, CapturedTicksOutliveTheCapture) {
    ModLayout layout;
    layout.samples = {{"triangle", 512, 0, 64, 0, 512}};
    layout.length = 4;
    layout.orders.assign(4, 0);
    layout.cells = {{0, 0, 0, 1, 428, 0, 0}, {0, 16, 1, 1, 320, 0, 0}};
    LoadedModule loaded;
    std::string error;
    ASSERT_TRUE(loadModule(buildMod(layout), loaded, error)) << error;
    auto captured = std::make_unique<Performance>(capturePerformance(loaded, 8000));
    ASSERT_GT(captured->ticks.size(), 100u);
    const std::vector<ChannelTick> first = {captured->ticks[0].channels.begin(),
                                            captured->ticks[0].channels.end()};
    const Performance cut = cutPerformance(*captured, 0.5);
    Performance moved = std::move(*captured);
    captured.reset();
    Performance slow = cut;
    slow.ticks[0].duration = 1.0; // longer than the engine's longest tick: split
    fitTicksToRate(slow, 8000);
    moved = Performance{};
    for (const Performance* p : {&cut, static_cast<const Performance*>(&slow)}) {
        ASSERT_FALSE(p->ticks.empty());
        ASSERT_EQ(p->ticks[0].channels.size(), first.size());
        for (std::size_t c = 0; c < first.size(); ++c) {
            EXPECT_EQ(p->ticks[0].channels[c].sample, first[c].sample);
            EXPECT_EQ(p->ticks[0].channels[c].frequency, first[c].frequency);
        }
    }
}

} // namespace
