// Laying a compiled song out in the image. The engine reads the line of an order position at the song's
// start + 64 + 768 x (its order byte) + 12 x (the line): past the order list, a song's bytes are one run
// of lines, and each order position enters it wherever the line before sent it (a pattern break goes to
// any line of the next position; line 63 goes on to line 0). So a segment need not start a pattern of its
// own: segments are stored one after another, entered by breaks; a segment played again is stored once,
// and one whose lines are another's from a line on plays its own first lines, then breaks into the
// other's (a suffix of another is stored inside it). The song's bytes end at its last line: the samples
// follow at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compile.h"
#include "rom/rom_builder.h"

struct PlacedSong {
    std::size_t bytes = 0;     // from the song's address to its last line; 0: it does not fit
    std::size_t positions = 0; // order positions it plays
    std::vector<std::vector<LineOrigin>> origins; // by order position and line: where each comes from
};

// Writes the song at `address` as song `number` (0-3) of the song table: its order list and lines, and
// the parameters of its breaks and of the jump back. Nothing is written if it does not fit below `limit`
// (or in 256 order positions).
PlacedSong placeSong(const CompiledSong& song, RomBuilder& rom, std::uint32_t address, std::uint32_t limit,
                     std::size_t number = 0);
