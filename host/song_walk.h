// Following song 0 line by line: which lines start on which sequencer call, and where the song first
// comes back to a line it has played in the same state, after which it repeats for ever; and the passes
// through the song that `nibtool render` and the importer's measure end a render on.
#pragma once

#include <cstdint>
#include <unordered_set>

// What decides how a song goes on from the start of a line: where it is, its speeds and the song-delay
// count. The sequencer's state at a line start holds nothing else that changes the song's course.
struct LineState {
    std::uint8_t order, line, durationLine, durationTick, lineDelayCnt;
    std::uint64_t key() const;
};

class SongWalk {
  public:
    // Call after the playback loop has started, before the first sequencer call.
    SongWalk();

    // Call after each sequencer call. Returns true if that call started a line.
    bool afterCall();

    // The line the last call started, and whether it had started in the same state before.
    const LineState& started() const { return started_; }
    bool repeated() const { return repeated_; }

  private:
    LineState snapshot() const;
    LineState before_;
    bool tickZeroBefore_;
    LineState started_{};
    bool repeated_ = false;
    std::unordered_set<std::uint64_t> seen_;
};

// Passes through song 0. The first pass ends where the song first comes back to a line in the same state;
// each later pass ends where it comes back to that same line again.
class SongPasses {
  public:
    // Call after the playback loop has started, before the first sequencer call.
    SongPasses() = default;

    // Call after each sequencer call. Returns true if that call ended a pass.
    bool afterCall();

    // Passes ended so far.
    int count() const { return count_; }

  private:
    SongWalk lines_;
    int count_ = 0;
    std::uint64_t loopKey_ = 0;
};
