// Compile stage: the captured ticks, on their four streams, become the engine's song. Each module tick is
// one engine tick; a line is a run of ticks whose events each stream's cell can express with one effect
// (a note on the first tick, a delayed note, a cut, a stop or a resume), so rows split where they must.
// Each line's ticks last `durationTick` + 1 sequencer calls, chosen line by line so that the engine's
// time stays within half a call per tick of the module's: no drift, whatever the tempo and the rate.
// Pitch follows the module tick by tick within what the engine can do: each line's pitch effect (slide,
// arpeggio, vibrato, or none) is chosen by running the engine's own effect code and comparing the steps
// it produces with the steps the module asks for.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "loss.h"
#include "rom/rom_builder.h"
#include "samples.h"

struct SongLine {
    std::array<Cell, kVoices> cells;
};

// Where a line of the engine's song comes from in the module: the order position and row its first tick
// plays, and the module channel each stream plays then (-1: none). Players show the module's terms with it.
struct LineOrigin {
    int order = -1, row = -1;
    std::array<int, kVoices> channels{-1, -1, -1, -1};
};

// A run of lines the song plays in one go: entered at its first line, left after its last, which (but for
// the song's last segment) holds a pattern break to the next segment when it needs one, its parameter set
// where the segments are laid out. Each visit of a module order position starts a segment (coarse lines:
// every second visit).
struct Segment {
    std::vector<SongLine> lines;
    std::vector<LineOrigin> origins; // as `lines`: where each line comes from
};

struct CompiledSong {
    // In the order the song plays them, once through. A segment played again holds the same lines again;
    // the layout stores them once. The last segment's last line jumps back to `loopSegment`'s line
    // `loopLine` (its position jump and pattern break parameters, too, are set by the layout).
    std::vector<Segment> segments;
    std::size_t loopSegment = 0, loopLine = 0;
    double seconds = 0;       // once through, at the rate
    std::vector<Loss> losses; // what the song could not keep
};

// How compactly to compile: the importer asks for more compact songs when one does not fit.
struct CompileOptions {
    // A visit of a module pattern that was compiled before (from the same row, as long, its notes alike on
    // the streams) plays the same lines again: far fewer lines, at the cost of the later visits'
    // tick-exact timing and pitch state.
    bool reuse = false;
    // Past this many lines compiled, a new visit replays the latest visit that lasts as long, so the song
    // keeps its length and timing at the cost of that passage's notes.
    std::size_t maxLines = SIZE_MAX;
    // Rows per line, and visits of order positions per pattern: 2 halves the song's size, and drops what
    // a cell cannot say over two rows (a second note, a cut after a delayed note).
    std::size_t rowsPerLine = 1;
};

CompiledSong compileSong(const Performance& performance, const VoicePlan& voices, const SampleBank& bank,
                         int rate, const CompileOptions& options = {});

// The table entries the song's cells name, in rising order.
std::vector<int> entriesNamed(const CompiledSong& song);
