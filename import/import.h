// Importing a tracker module into a ROM image for this engine. The importer is a pipeline of stages, each
// in a file of its own:
//   load      the module's bytes into libxmp (with repairs for MOD variants it turns away)
//   capture   libxmp plays the module once through; per tick, what every channel does
//   voices    the module's channels onto the engine's four streams
//   samples   the samples that are heard, resampled to 4 bits and packed into the image
//   compile   the captured ticks into order list, patterns and cells, checked against the engine
//   fidelity  the ROM's render against the module's, as figures
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compile.h"
#include "fidelity.h"

// The largest module file the importer takes: libxmp holds its samples, and the capture a copy of them
// in floats, four bytes a frame.
constexpr std::size_t kMostModuleBytes = 32u << 20;

struct ImportOptions {
    int rate = 8000;      // the output rate the ROM is meant to be played at, in Hz
    bool measure = false; // measure the ROM's fidelity to the module (see fidelity.h)
    // A first version to play while the whole import runs: only the module's first `previewSeconds`,
    // no reference render, the first layout that fits. 0: the whole module.
    double previewSeconds = 0;
};

struct ImportResult {
    std::vector<std::uint8_t> rom;                // the ROM file, 32768 bytes
    std::string title;                            // the module's title
    std::string format;                           // the module's format, as libxmp names it
    std::vector<std::string> report;              // one line per loss or change, grouped
    std::vector<std::vector<LineOrigin>> origins; // by the ROM's order position and line: the module's row
    double moduleSeconds = 0;                     // the module's once-through length
    double romSeconds = 0;                        // the ROM's once-through length at the rate
    int channels = 0;                             // the module's channels
    bool measured = false; // `fidelity` holds the figures (with ImportOptions::measure)
    Fidelity fidelity;
};

// Imports a module file's bytes. False, with one line saying why in `error`, for what cannot be imported.
bool importModule(const std::vector<std::uint8_t>& file, const ImportOptions& options, ImportResult& result,
                  std::string& error);
