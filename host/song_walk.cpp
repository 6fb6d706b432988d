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
    ++calls_;
    if (startedLine) {
        started_ = before_;
        const auto [at, fresh] = first_.emplace(started_.key(), kept_.size());
        repeated_ = !fresh;
        if (kept_.size() == secondPass_) { // up to the first repeat: the lines after it are not kept
            kept_.push_back({started_, calls_});
            if (repeated_) {
                passCalls_ = calls_ - kept_[at->second].call;
                findSecondPass(at->second);
            } else {
                ++secondPass_;
            }
        }
    }
    before_ = snapshot();
    tickZeroBefore_ = tick == 0;
    return startedLine;
}

namespace {
bool samePlace(const LineState& a, const LineState& b) {
    return a.order == b.order && a.line == b.line;
}
} // namespace

void SongWalk::findSecondPass(std::size_t again) {
    std::size_t end = kept_.size() - 1;
    while (again > 0 && end > again && samePlace(kept_[end - 1].state, kept_[again - 1].state))
        --end, --again;
    kept_.resize(end + 1);
    secondPass_ = end;
    loopLine_ = again;
}

SongLength measureSong(std::uint8_t number, std::uint64_t capCalls) {
    songTick(); // as Playback::start: one call with no song selected, then the song
    playSong(number);
    SongWalk lines;
    SongLength length;
    for (std::uint64_t call = 0; call < capCalls; ++call) {
        songTick();
        if (lines.afterCall() && lines.repeated()) {
            length = {true, lines.onceThroughCalls(), lines.passCalls()};
            break;
        }
    }
    return length;
}

bool SongPasses::afterCall() {
    if (!lines_.afterCall() || !lines_.repeated()) return false;
    if (count_ == 0) loopKey_ = lines_.started().key();
    if (lines_.started().key() != loopKey_) return false;
    ++count_;
    return true;
}
