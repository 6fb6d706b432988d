// The import's and the bank's reports as nibtool writes them on standard error: each line wrapped to the
// terminal's width (80 columns when standard error is not a terminal), lines after a line's first
// indented; after the losses, the fidelity figures, the verdict in words on a line of its own and the
// scale it is read on, then the one or two changes to the module that would lose least.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "import/fidelity.h"
#include "import/import.h"
#include "import/loss.h"

// The columns the report is wrapped to.
std::size_t reportWidth();

// Writes each line on standard error, wrapped to `width`, after `indent` (lines after a line's first
// get two spaces more).
void printWrapped(const std::vector<std::string>& lines, std::size_t width, const std::string& indent = "");
// The lines printWrapped writes.
std::vector<std::string> wrappedLines(const std::vector<std::string>& lines, std::size_t width,
                                      const std::string& indent = "");

// What `nibtool import` writes about an import written to `out`, a line each before wrapping: the
// losses, the ROM's name, title and rate, the fidelity, the advice. The page shows the same lines.
std::vector<std::string> importReport(const std::string& out, const ImportResult& result, int rate,
                                      bool verbose = false);

// The fidelity's lines (figures, verdict, scale), or the line saying it was not measured.
std::vector<std::string> fidelityText(bool measured, const Fidelity& fidelity);
