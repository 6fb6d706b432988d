// The facts of an import or a bank for a build to read (--json FILE): songs, effects, samples, losses,
// fidelity and the 32 KB budget, as docs/nibtool-report.schema.json describes them.
#pragma once

#include <string>

#include "import/bank.h"
#include "import/import.h"

// One song's import into `rom` (its path) at `rate`.
std::string importJson(const ImportResult& result, const std::string& source, const std::string& rom,
                       int rate);

// A bank written to `rom`.
std::string bankJson(const BankResult& bank, const std::string& rom);
