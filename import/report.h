// The import report's wording, in one place: what a musician reads about what the ROM had to give up.
// Samples are named by their number in the module and their name; channels, order positions and
// samples are counted from 1, as trackers show them; every number is decimal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "capture.h"
#include "fidelity.h"
#include "import.h"
#include "voices.h"

// `sample 3 "Bass"` for libxmp sample index 2; `sample 3` when it has no name.
std::string sampleLabel(const Performance& performance, int source);

// Note starts per libxmp sample index, over every channel of the module.
std::vector<std::size_t> notesPerSample(const Performance& performance);

// Items joined with commas; past `most` of them, the rest as "and N more".
std::string itemList(const std::vector<std::string>& items, std::size_t most = 8);

// Whole numbers in ascending order with runs shortened: "1, 3-5, 9".
std::string numberRuns(std::vector<std::size_t> numbers);

// How many notes the four streams left out, and from which channels (those that lost most first).
std::string notesLeftOutLine(const VoicePlan& voices, int channels);

// The fidelity figures as measured, then what they mean: the scale, what two faithful players score on
// the same measure, and a one-word verdict (close, fair or far).
std::vector<std::string> fidelityLines(const Fidelity& fidelity);

// The verdict alone: "close", "fair" or "far".
const char* fidelityVerdict(const Fidelity& fidelity);

// What `nibtool import` writes about an import written to `out`, a line each: the report, the ROM's name,
// title and rate, then the fidelity (or why it was not measured). The page shows the same lines.
std::vector<std::string> importReport(const std::string& out, const ImportResult& result, int rate);
