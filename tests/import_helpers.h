// What the import tests share: a module imported at a rate (a failure to import fails the test),
// whether its report has a line with some words, and the pitch of what the engine played.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "import/import.h"

inline ImportResult importOrFail(const std::vector<std::uint8_t>& file, int rate = 8000) {
    ImportResult result;
    std::string error;
    ImportOptions options;
    options.rate = rate;
    EXPECT_TRUE(importModule(file, options, result, error)) << error;
    return result;
}

inline bool reportHas(const ImportResult& r, const std::string& words) {
    return std::any_of(r.report.begin(), r.report.end(),
                       [&](const std::string& line) { return line.find(words) != std::string::npos; });
}

// The fundamental of the engine's output at `rate` Hz, from its rising crossings of silence (128).
inline double fundamental(const std::vector<std::uint8_t>& pcm, int rate) {
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < pcm.size(); ++i)
        if (pcm[i - 1] < 128 && pcm[i] >= 128) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    return crossings > 1 ? double(crossings - 1) * rate / double(last - first) : 0;
}
