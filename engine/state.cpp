#include "state.h"

EngineSnapshot snapshotEngine() {
    return {snapshotMixer(), snapshotSequencer()};
}

void restoreEngine(const EngineSnapshot& snapshot) {
    restoreMixer(snapshot.mixer);
    restoreSequencer(snapshot.sequencer);
}

void resetEngine() {
    restoreEngine(EngineSnapshot{});
}
