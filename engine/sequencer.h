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

// The sequencer's whole state, for snapshots (engine/state.h). A default one is a fresh process's.
struct SequencerState {
    Position patternOrderTable = kNoSong;
    std::uint8_t pattern = 0, line = 0, durationLine = 0, durationTick = 0, tick = 0, subTick = 0,
                 nextLine = 0;
    std::uint8_t vibratoIdx[kStreams] = {};
    std::uint8_t lineDelayCnt = 0;
};
SequencerState snapshotSequencer();
void restoreSequencer(const SequencerState& state);

// A line start of the current song with what decides how the song goes on from there: the speeds and
// the song-delay count. What a walk through the song finds at each line it starts.
struct SongPlace {
    std::uint8_t order = 0, line = 0;
    std::uint8_t durationLine = kDefaultLineTicks, durationTick = kDefaultTickCalls;
    std::uint8_t lineDelayCnt = 0;
};

// The current song's place, as the last line start left it (read before the call that starts the next
// line, it is that line's).
SongPlace songPlace();

// Moves the current song (playSong selected it) to the start of a line with the given speeds: the next
// songTick plays the line's tick 0, notes included, as after a pattern break. The streams are left as
// they are: what sounds on from before the line goes on sounding.
void seekSong(const SongPlace& place);
