// The sequencer's state, for the tools that watch a song play (tests, the renderer's loop detection).
// Only the sequencer writes it.
#pragma once

#include "engine.h"

// The position of the current song's data, or kNoSong when no song is selected.
constexpr Position kNoSong = ~Position{0};
extern Position PatternOrderTable;

extern std::uint8_t Pattern;      // current order position
extern std::uint8_t Line;         // current line within the pattern
extern std::uint8_t durationLine; // ticks per line (0 makes a line of 256 ticks); default 6
extern std::uint8_t durationTick; // a tick lasts durationTick + 1 calls; default 10
extern std::uint8_t tick;         // tick within the current line
extern std::uint8_t subTick;      // calls counted within the current tick
extern std::uint8_t nextLine;     // the line to go to when this one ends; set afresh on every tick

extern std::uint8_t vibratoIdx[kStreams]; // index into VibratoTable, 0-23, per channel
extern std::uint8_t lineDelayCnt;         // passes through a delayed line; shared by all channels

// Step offsets of the vibrato, one per tick: down 3, down 3, back, up 3, up 3, back.
constexpr std::int8_t VibratoTable[24] = {-3, 0, 3, 3, 0, -3, -3, 0, 3, 3, 0, -3,
                                          -3, 0, 3, 3, 0, -3, -3, 0, 3, 3, 0, -3};

// The image position of the row for an order position and line of the current song.
Position rowPosition(std::uint8_t order, std::uint8_t line);

// Resets the sequencer's state to how a fresh process starts (called by soundInit).
void sequencerInit();
