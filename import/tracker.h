// The tracker a module is played as, by its behaviours: each place where the tracker that made the file
// played it otherwise than libxmp reads it, named once. They are read when the module is loaded, from the
// file's own bytes and the format libxmp names, and the stages ask for them by name: the timing fixes
// (timing.cpp), the player's start (load.cpp) and the capture (capture.cpp).
#pragma once

#include <xmp.h>

#include <cstdint>
#include <string>
#include <vector>

struct TrackerRules {
    // The tracker whose playing a song's report lines name: "FastTracker 2" for an XM, "Impulse Tracker"
    // for an IT, "ProTracker" for a four-channel Amiga MOD, "Scream Tracker 3" for an S3M, else "".
    const char* name = "";

    // ---- Speeds and timing
    // The Amiga's MOD trackers (ProTracker, NoiseTracker, Soundtracker, Startrekker): samples play at the
    // PAL clock's rate, and loop as the Amiga's sound chip plays them.
    bool amigaSpeeds = false;
    // libxmp took a MOD for NoiseTracker's: it is played with ProTracker's reading of its commands (a speed
    // of 32 or more sets the tempo).
    bool protrackerCommands = false;
    // Soundtracker (an early 15-sample song): the restart byte is the song's tempo.
    bool soundtrackerTempo = false;
    // Startrekker: every song is timed by the vertical blank, with at most 31 ticks a line.
    bool alwaysVblank = false;
    // ProTracker (an M.K. song): timed by the vertical blank where its speed commands say so.
    bool mayBeVblank = false;

    // ---- Pattern breaks and position jumps
    // NoiseTracker (tags N.T., M&K!, FEST): a pattern break goes to line 0 of the next position.
    bool breaksToLineZero = false;
    // An M.K. song is NoiseTracker's, breaking to line 0, if it uses only what NoiseTracker has.
    bool mayBreakToLineZero = false;
    // Scream Tracker 3, Impulse Tracker: a jump and a break on one line go to the break's line of the
    // jump's position, whichever stands first.
    bool jumpTakesBreakLine = false;
    // ProTracker (four channels), Scream Tracker 3, Impulse Tracker: a line that ends a pattern loop and
    // breaks or jumps plays the loop first.
    bool loopBeforeBreak = false;
    // FastTracker 2: a line that ends a pattern loop and breaks or jumps does so at once, and the loop's
    // count stays from pass to pass.
    bool breaksOutOfLoops = false;
    // Impulse Tracker: as breaksOutOfLoops, for a position jump right of the loop end.
    bool jumpsOutOfLoops = false;

    // ---- Pattern loops
    // Scream Tracker 3: one loop counter, and one loop start, for all channels.
    bool sharedLoopCounter = false;
    bool sharedLoopStart = false;
    // FastTracker 2: a loop start only marks the line a loop end goes back to, and each channel's loop
    // start stays from pattern to pattern.
    bool carriedLoopStarts = false;
    // FastTracker 2, in XMs libxmp does not take for its own (MilkyTracker's, MadTracker's): the next
    // pattern starts on the line the last loop went back to, where libxmp starts it on line 0.
    bool nextPatternOnLoopLine = false;
};

// The rules of a loaded module, from its file's bytes (`original`, before any repair; `repaired`: libxmp
// was given a repaired copy, of an untagged 15-sample song with `fifteenSamples`).
TrackerRules trackerRules(const xmp_module& module, const std::vector<std::uint8_t>& original, bool repaired,
                          bool fifteenSamples);

// Whether libxmp's format name is one of the Amiga's four-channel MOD types, whose samples play at the
// PAL clock's rate.
bool amigaFormat(const std::string& type);
