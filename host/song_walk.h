// Following song 0 line by line: which lines start on which sequencer call, and where the song first
// comes back to a line it has played in the same state, after which it repeats for ever; and the passes
// through the song that `nibtool render` and the importer's measure end a render on.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

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

    // Once a line has repeated, where the song's first pass ends, lines counted from 0 in the order they
    // started: the line the second pass begins with, and the first-pass line it plays again (the song goes on
    // from there). A song whose jump back reaches its first line comes back to it with its own speeds, not
    // the defaults it started with, so its state repeats only from a later line: the lines before that, which
    // replay the first pass's lines place for place, belong to the second pass.
    std::size_t secondPass() const { return secondPass_; }
    std::size_t loopLine() const { return loopLine_; }

  private:
    LineState snapshot() const;
    void findSecondPass(std::size_t again);
    LineState before_;
    bool tickZeroBefore_;
    LineState started_{};
    bool repeated_ = false;
    std::unordered_map<std::uint64_t, std::size_t> first_; // each state's first line
    std::vector<std::uint16_t> places_;                    // each line's order position and line
    std::size_t secondPass_ = 0, loopLine_ = 0;
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
