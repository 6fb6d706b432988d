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

struct CompiledSong {
    std::vector<std::vector<SongLine>> positions; // by order position: its pattern's lines, up to 64
    std::vector<std::vector<LineOrigin>> origins; // as `positions`: where each line comes from
    double seconds = 0;                           // once through, at the rate
    std::vector<Loss> losses;                     // what the song could not keep
};

// How compactly to compile: the importer asks for more compact songs when one does not fit.
struct CompileOptions {
    // A visit of a module pattern that was compiled before (from the same row, as long, its notes alike on
    // the streams) plays the same lines again: far fewer patterns, at the cost of the later visits'
    // tick-exact timing and pitch state.
    bool reuse = false;
    // Past this many positions compiled, a new visit replays the latest visit that lasts as long, so the
    // song keeps its length and timing at the cost of that passage's notes.
    std::size_t maxPatterns = 256;
    // Rows per line, and visits of order positions per pattern: 2 halves the song's size, and drops what
    // a cell cannot say over two rows (a second note, a cut after a delayed note).
    std::size_t rowsPerLine = 1;
};

CompiledSong compileSong(const Performance& performance, const VoicePlan& voices, const SampleBank& bank,
                         int rate, const CompileOptions& options = {});

// Writes the song at `address` as song `number` (0-3) of the song table: order list and patterns,
// identical patterns stored once. Returns the bytes it takes, or 0 if it does not fit below `limit`.
std::size_t placeSong(const CompiledSong& song, RomBuilder& rom, std::uint32_t address, std::uint32_t limit,
                      std::size_t number = 0);
