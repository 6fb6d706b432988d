#include "song_walk.h"

#include "engine/sequencer.h"

std::uint64_t LineState::key() const {
    return std::uint64_t{order} << 32 | std::uint64_t{line} << 24 | std::uint64_t{durationLine} << 16 |
           std::uint64_t{durationTick} << 8 | lineDelayCnt;
}

LineState SongWalk::snapshot() const {
    const SongPlace p = songPlace();
    return {p.order, p.line, p.durationLine, p.durationTick, p.lineDelayCnt};
}

SongWalk::SongWalk() : before_(snapshot()), tickZeroBefore_(tick == 0) {}

bool SongWalk::afterCall() {
    // A call that plays a tick leaves subTick at 0; if it played tick 0, a line started.
    const bool startedLine = subTick == 0 && tickZeroBefore_;
    if (startedLine) {
        started_ = before_;
        repeated_ = !seen_.insert(started_.key()).second;
    }
    before_ = snapshot();
    tickZeroBefore_ = tick == 0;
    return startedLine;
}

bool SongPasses::afterCall() {
    if (!lines_.afterCall() || !lines_.repeated()) return false;
    if (count_ == 0) loopKey_ = lines_.started().key();
    if (lines_.started().key() != loopKey_) return false;
    ++count_;
    return true;
}
