// Timing as the trackers played it: where libxmp reads a module's timing differently from the tracker that
// made the file, the correction to make before the module is played, found from the file's own bytes and
// the module libxmp loaded. Each correction is named in one report line.
#pragma once

#include <xmp.h>

#include <cstdint>
#include <string>
#include <vector>

// A pattern loop's end whose line also breaks or jumps, where the tracker breaks or jumps at once and
// keeps the loop's count: each later pass over the line counts it down, and the song is not over until it
// is back at 0 (x passes more for a loop end of x). The loop end is taken out of the module's line.
struct KeptLoop {
    int pattern = 0, row = 0, channel = 0, count = 0;
};

struct TimingFix {
    std::vector<KeptLoop> keptLoops; // counted while capturing: the song repeats only when all are at 0
    bool vblank = false;             // speed commands of 32 and more set ticks per line, not the tempo
    double tempoFactor = 1;          // libxmp's tick length times this is the tracker's
    bool mendedLines = false; // commands in the module's lines were changed: libxmp finds its end again
    std::vector<std::string> report;
};

// The tempo, in BPM, at which an early Soundtracker song plays with `tempoByte` in its restart byte:
// the usual 0x78 (and 0) at the Amiga's 50 ticks a second (125 BPM), any other value through the CIA
// timer, 709379 / ((240 - byte) * 122) ticks a second. Bytes above 220 are no tempo (0 is returned).
double soundtrackerTempo(std::uint8_t tempoByte);

// Whether libxmp's format name is one of the Amiga's four-channel MOD types, whose samples play at the
// PAL clock's rate.
bool amigaFormat(const std::string& type);

// The corrections for a loaded module, from its file's bytes (`file`, as libxmp was given them, and
// `original`, before any repair).
TimingFix findTimingFix(xmp_context ctx, const xmp_module& module, const std::vector<std::uint8_t>& original,
                        bool repaired);

// Applies the corrections to a player started on the module (pattern loops are mended in the module).
void applyTimingFix(xmp_context ctx, const TimingFix& fix);
