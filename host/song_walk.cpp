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
        const auto [at, fresh] = first_.emplace(started_.key(), places_.size());
        repeated_ = !fresh;
        if (places_.size() == secondPass_) { // up to the first repeat: the lines after it are not kept
            places_.push_back(static_cast<std::uint16_t>(started_.order << 8 | started_.line));
            if (repeated_)
                findSecondPass(at->second);
            else
                ++secondPass_;
        }
    }
    before_ = snapshot();
    tickZeroBefore_ = tick == 0;
    return startedLine;
}

void SongWalk::findSecondPass(std::size_t again) {
    std::size_t end = places_.size() - 1;
    while (again > 0 && end > again && places_[end - 1] == places_[again - 1])
        --end, --again;
    places_.resize(end + 1);
    secondPass_ = end;
    loopLine_ = again;
}

bool SongPasses::afterCall() {
    if (!lines_.afterCall() || !lines_.repeated()) return false;
    if (count_ == 0) loopKey_ = lines_.started().key();
    if (lines_.started().key() != loopKey_) return false;
    ++count_;
    return true;
}
