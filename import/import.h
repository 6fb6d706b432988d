// Importing a tracker module into a ROM image for this engine. The importer is a pipeline of stages, each
// in a file of its own:
//   load      the module's bytes into libxmp (with repairs for MOD variants it turns away)
//   capture   libxmp plays the module once through; per tick, what every channel does
//   voices    the module's channels onto the engine's four streams
//   samples   the samples that are heard, resampled to 4 bits and packed into the image
//   compile   the captured ticks into segments of lines and cells, checked against the engine
//   layout    the segments into the image: order list and lines, each stored once, entered by breaks
//   fidelity  the ROM's render against the module's, as figures
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"
#include "compile.h"
#include "fidelity.h"
#include "loss.h"
#include "policy/policy.h"
#include "sample_facts.h"
#include "voices.h"

struct ImportOptions {
    int rate = kDefaultRate; // the output rate the ROM is meant to be played at, in Hz
    bool measure = false;    // measure the ROM's fidelity to the module (see fidelity.h)
    // A first version to play while the whole import runs: only the module's first `previewSeconds`,
    // no reference render, the first layout that fits. 0: the whole module.
    double previewSeconds = 0;
    // Where the preview starts, in seconds of the song: at the start of the order position playing then
    // (a saved file's preview goes on from where the song is, not from its start).
    double previewFrom = 0;
    // The file's bytes already loaded (to tell what kind of file it is): captured from there instead of
    // loading them again. The capture plays it, so it serves one import.
    LoadedModule* loaded = nullptr;
};

struct ImportResult {
    std::vector<std::uint8_t> rom;                // the ROM file, 32768 bytes
    std::string title;                            // the module's title
    std::string format;                           // the module's format, as libxmp names it
    std::vector<Loss> losses;                     // what the ROM gave up or changed, a record per kind
    std::vector<std::string> report;              // the losses' lines, in order
    std::vector<std::vector<LineOrigin>> origins; // by the ROM's order position and line: the module's row
    double moduleSeconds = 0;                     // the module's once-through length
    double startSeconds = 0;                      // a preview's start in the module, in seconds
    double romSeconds = 0;                        // the ROM's once-through length at the rate
    int channels = 0;                             // the module's channels
    bool measured = false; // `fidelity` holds the figures (with ImportOptions::measure)
    Fidelity fidelity;
    std::vector<SampleFacts> samples;           // what became of each sample heard or kept
    std::size_t songBytes = 0, sampleBytes = 0; // the image's bytes the song and the samples take
};

// A module played once through and mapped onto the four streams: the pipeline up to the samples stage,
// which the import and the bank share.
struct CapturedSong {
    Performance performance;
    VoicePlan voices;
    std::vector<Loss> losses;   // repairs made to load it, notes left out, a length cut short
    std::size_t shortTicks = 0; // module ticks shorter than the engine's shortest
};

// The loss of a song with ticks shorter than the engine's shortest, once its length is known.
Loss shortTicksLoss(const CapturedSong& song, int rate, double romSeconds);

// Loads and captures a module at `rate` Hz. False, with one line saying why in `error`, for what cannot be
// imported (not a module, nothing played, nothing heard). With a preview asked for, only the song's
// part `options` names (see ImportOptions), without the reference render.
bool captureSong(const std::vector<std::uint8_t>& file, const ImportOptions& options, CapturedSong& out,
                 std::string& error);

// Imports a module file's bytes. False, with one line saying why in `error`, for what cannot be imported.
bool importModule(const std::vector<std::uint8_t>& file, const ImportOptions& options, ImportResult& result,
                  std::string& error);

// The ways to compile a song, more compact step by step: as it is; repeated visits sharing lines; lines
// of two rows; then patterns replaying others of the same length, fewer and fewer. The import and the
// bank take them in this order when a song does not fit.
std::vector<CompileOptions> compactSteps();
// The first step of compactness with lines of two rows.
int coarseStep();
// What a step of compactness costs the song, beside what the compile reports.
std::vector<Loss> compactionLosses(const CompileOptions& options);
// The performance up to the end of the visit that holds `keep` of its ticks; it repeats from the start.
// Past the last step of compactness, a song keeps only its start.
Performance cutPerformance(const Performance& performance, double keep);
