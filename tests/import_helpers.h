// What the import tests share: a module imported at a rate (a failure to import fails the test), and
// whether its report has a line with some words.
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
