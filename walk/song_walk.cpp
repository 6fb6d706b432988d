#include "song_walk.h"

#include "host/playback.h"

std::uint64_t longestSongCalls(int rate) {
    return static_cast<std::uint64_t>(kLongestSongSeconds * rate) / kStepsPerCall;
}

EngineSnapshot songStart(std::uint8_t number) {
    resetEngine();
    startSong(number);
    return snapshotEngine();
}

std::uint64_t LineState::key() const {
    return std::uint64_t{order} << 32 | std::uint64_t{line} << 24 | std::uint64_t{durationLine} << 16 |
           std::uint64_t{durationTick} << 8 | lineDelayCnt;
}

LineState SongLines::snapshot() const {
    const SongPlace p = songPlace();
    return {p.order, p.line, p.durationLine, p.durationTick, p.lineDelayCnt};
}

SongLines::SongLines() : before_(snapshot()), tickZeroBefore_(tick == 0) {}

bool SongLines::afterCall() {
    // A call that plays a tick leaves subTick at 0; if it played tick 0, a line started.
    const bool startedLine = subTick == 0 && tickZeroBefore_;
    ++calls_;
    if (startedLine) {
        started_ = before_;
        const auto [at, fresh] = first_.emplace(started_.key(), kept_.size());
        repeated_ = !fresh;
        if (!found_) { // up to the first repeat: the lines after it are not kept
            kept_.push_back({started_, calls_});
            if (repeated_) {
                found_ = true;
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

void SongLines::findSecondPass(std::size_t again) {
    std::size_t end = kept_.size() - 1;
    while (again > 0 && end > again && samePlace(kept_[end - 1].state, kept_[again - 1].state))
        --end, --again;
    kept_.resize(end + 1);
    secondPass_ = end;
    loopLine_ = again;
    if (endsOnSilence()) {
        ends_ = true;
        secondPass_ = loopLine_ - 1;
    }
}

namespace {

// What a cell can do to its stream: start a note, start or stop it, or change its step.
bool touchesStream(const std::uint8_t* cell) {
    const std::uint8_t head = cell[kCellHead], param = cell[kCellParam];
    if (cellSample(head) != 0) return true;
    switch (cellEffect(head)) {
    case kArpeggio:
    case kSlideUp:
    case kSlideDown: return param != 0;
    case kVibrato:
    case kVolumeSlide:
    case kSetVolume: return true;
    case kExtended: return paramHigh(param) == kNoteCut || paramHigh(param) == kNoteDelay;
    default: return false;
    }
}

} // namespace

// The song's loop is one line that touches no stream, and the line before it stops all four: the song
// has ended on silence.
bool SongLines::endsOnSilence() const {
    if (loopLine_ == 0 || secondPass_ != loopLine_ + 1) return false;
    std::uint8_t silent[kLineBytes], stop[kLineBytes];
    const LineState& s = kept_[loopLine_].state;
    const LineState& t = kept_[loopLine_ - 1].state;
    imageBytes(rowPosition(s.order, s.line), silent, kLineBytes);
    imageBytes(rowPosition(t.order, t.line), stop, kLineBytes);
    for (std::size_t c = 0; c < kChannels; ++c) {
        const std::uint8_t* cell = stop + kCellBytes * c;
        if (touchesStream(silent + kCellBytes * c) || cell[kCellHead] != cellHead(0, kSetVolume) ||
            cell[kCellParam] != 0)
            return false;
    }
    return true;
}

SongLength SongLines::length() const {
    SongLength length;
    if (!found_) return length;
    length.repeats = true;
    length.onceThroughCalls = kept_[secondPass_].call;
    length.passCalls = passCalls_;
    length.ends = ends_;
    return length;
}

SongLength walkSong(const EngineSnapshot& from, std::uint64_t capCalls) {
    WalkVisitor measure;
    return walkSong(from, {capCalls}, measure);
}

bool SongPasses::afterCall() {
    if (!lines_.afterCall() || !lines_.repeated()) return false;
    if (count_ == 0) loopKey_ = lines_.started().key();
    if (lines_.started().key() != loopKey_) return false;
    ++count_;
    return true;
}
