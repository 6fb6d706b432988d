// The engine's whole playing state, saved and put back: the streams, the last mix and the song clock. The
// image and the tables are not in it: a snapshot belongs to the image it was taken on. Tools use it to
// prepare a song's state in one place and play it on in another.
#pragma once

#include <cstdint>

#include "engine.h"

struct EngineSnapshot {
    Position as[kStreams], asEnd[kStreams], asReload[kStreams];
    std::uint16_t asIncr[kStreams];
    std::uint8_t asIncrFracCnt[kStreams], asVolume[kStreams], running[kStreams], nibble[kStreams];
    std::uint8_t mix;
    Position patternOrderTable;
    std::uint8_t pattern, line, durationLine, durationTick, tick, subTick, nextLine, lineDelayCnt;
    std::uint8_t vibratoIdx[kStreams];
};

EngineSnapshot saveEngine();
void restoreEngine(const EngineSnapshot& state);

// Moves song 0 to the start of a line with the speeds it has there (as a walk of the song found them):
// the line's first tick comes on the next sequencer call. The streams play on.
void seekSong(std::uint8_t order, std::uint8_t line, std::uint8_t lineTicks, std::uint8_t tickCalls);
