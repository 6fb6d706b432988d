// The two songs the benchmarks measure, built with the ROM builder. Both keep all four streams running.
#pragma once

#include "rom/rom_builder.h"

// A note in every cell of every line, at the default speed (a line every 858 bytes).
RomBuilder noteEveryCellSong();

// One tick per line and one call per tick: every sequencer call starts a line of four notes, so five
// trace lines are written every 13 output bytes.
RomBuilder noteEveryCallSong();
