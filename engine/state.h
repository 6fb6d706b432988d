// The engine as a whole, above its two halves: its whole state saved and restored, as an emulator's
// sound core offers save and load of its state, and its reset to how a fresh process starts.
//
// A snapshot holds everything the engine writes while it plays: the streams and the mix (the mixer's
// half) and the song clock, position, speeds and effect counters (the sequencer's). It does not hold
// what the host loads once, the memory image and the sample and song tables, nor the trace: restoring a
// snapshot taken with another image loaded plays on from the same state over the image now loaded.
//
//   const EngineSnapshot before = snapshotEngine();
//   ... play on, or work the engine for something else ...
//   restoreEngine(before); // the next byte and trace line are those that would have come at `before`
#pragma once

#include "engine.h"
#include "sequencer.h"

struct EngineSnapshot {
    MixerState mixer;
    SequencerState sequencer;
};

EngineSnapshot snapshotEngine();
void restoreEngine(const EngineSnapshot& snapshot);

// Resets mixer and sequencer to how a fresh process starts (a default EngineSnapshot). The image, the
// tables and the trace sink are kept.
void resetEngine();
