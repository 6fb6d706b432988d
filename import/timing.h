// Timing as the trackers played it: where libxmp reads a module's timing differently from the tracker that
// made the file, the correction to make before the module is played, found from the file's own bytes and
// the module libxmp loaded. Each correction is named in one report line.
#pragma once

#include <xmp.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tracker.h"

// A pattern loop's end whose line also breaks or jumps, where the tracker breaks or jumps at once and
// keeps the loop's count: each later pass over the line counts it down, and the song is not over until it
// is back at 0 (x passes more for a loop end of x). The loop end is taken out of the module's line.
// FastTracker 2 takes a pattern break left of the loop end to the loop's start line on the passes where
// the loop counts, and to the break's own line on the last: the capture sets each such break's line
// before the line plays again (setKeptBreaks).
struct KeptLoop {
    int pattern = 0, row = 0, channel = 0, count = 0;
    std::uint8_t startParam = 0;                      // the loop's start line, as a break's parameter
    std::vector<std::pair<int, std::uint8_t>> breaks; // each break left of the loop end: channel, parameter
};

// An XM pattern loop's end with no loop start above it in its pattern, on a channel with loop starts
// elsewhere: FastTracker 2 goes back to the line of its channel's last loop start, from an earlier pattern,
// in the pattern the loop ends in (below the end too), and starts the next pattern on that line; the
// count stays from pass to pass of the song. libxmp goes back to the same line, but starts the next
// pattern on line 0 or the line of the last loop start played: the capture gives the pattern's last line a
// break to the line gone back to, for that pass (markBreak).
struct CarriedLoop {
    int pattern = 0, row = 0, channel = 0;
};

// A pattern break put in a free command of a line for one pass, and which of the cell's two commands
// holds it.
struct MarkedBreak {
    xmp_event* event = nullptr;
    bool second = false;
};

struct TimingFix {
    std::vector<KeptLoop> keptLoops;       // counted while capturing: the song repeats only when all are at 0
    std::vector<CarriedLoop> carriedLoops; // followed while capturing, with each channel's loop start
    bool followsEveryLoop = false; // every pattern loop that goes back is followed as a carried one is
    bool vblank = false;           // speed commands of 32 and more set ticks per line, not the tempo
    double tempoFactor = 1;        // libxmp's tick length times this is the tracker's
    bool mendedLines = false;      // commands in the module's lines were changed: libxmp finds its end again
    std::vector<std::string> report;
};

// The tempo, in BPM, at which an early Soundtracker song plays with `tempoByte` in its restart byte:
// the usual 0x78 (and 0) at the Amiga's 50 ticks a second (125 BPM), any other value through the CIA
// timer, 709379 / ((240 - byte) * 122) ticks a second. Bytes above 220 are no tempo (0 is returned).
double soundtrackerTempo(std::uint8_t tempoByte);

// The corrections for a loaded module played as `rules` say, from its file's bytes (`original`, before any
// repair; `repaired`: libxmp was given a repaired copy, whose length is not weighed for the vertical blank).
TimingFix findTimingFix(xmp_context ctx, const xmp_module& module, const std::vector<std::uint8_t>& original,
                        const TrackerRules& rules, bool repaired);

// Sets the pattern breaks of a kept loop's line to go where FastTracker 2 went on the line's next pass:
// to the break's own line when the channel's loop count is 1 (the pass that counts it to 0), else to the
// loop's start line.
void setKeptBreaks(const xmp_module& module, const KeptLoop& loop, int channelCount);

// Gives the last line of `pattern` a pattern break to `line` in a free command, where the line has no
// break, jump or loop end of its own (and a command free); unmarkBreak takes it out again.
MarkedBreak markBreak(const xmp_module& module, int pattern, int line);
void unmarkBreak(MarkedBreak& mark);

// Applies the corrections to a player started on the module (pattern loops are mended in the module).
void applyTimingFix(xmp_context ctx, const TimingFix& fix);
