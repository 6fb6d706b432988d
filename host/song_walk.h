// Following song 0 line by line: which lines start on which sequencer call, and where the song first
// comes back to a line it has played in the same state, after which it repeats for ever; and the passes
// through the song that `nibtool render` and the importer's measure end a render on.
//
// A song that ends (a game's jingle) comes, after its last line, to a line that stops every stream (set
// volume 0 on all four channels, no note) and then to a line that plays nothing and repeats itself: its
// once-through ends where the stopping line starts, and it has no second pass.
#pragma once

#include <algorithm>
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
    // Once a line has repeated: the song ends on silence. secondPass() is then the line that stops every
    // stream, and loopLine() the silent line after it.
    bool ends() const { return ends_; }

    // Once a line has repeated, in sequencer calls counted from the walk's start: the call that starts the
    // second pass (the first pass's sound is the calls before it and the bytes they follow), and how many
    // calls each later pass lasts (from a state to the same state again).
    std::uint64_t onceThroughCalls() const {
        return secondPass_ < kept_.size() ? kept_[secondPass_].call : 0;
    }
    std::uint64_t passCalls() const { return passCalls_; }
    // Once a line has repeated: the line the second pass begins with, as it starts then (for a song that
    // ends, the line that stops every stream).
    const LineState& secondPassStart() const { return kept_[secondPass_].state; }

  private:
    LineState snapshot() const;
    void findSecondPass(std::size_t again);
    bool endsOnSilence() const;
    LineState before_;
    bool tickZeroBefore_;
    LineState started_{};
    bool repeated_ = false;
    std::unordered_map<std::uint64_t, std::size_t> first_; // each state's first line
    struct Kept {
        LineState state;
        std::uint64_t call; // the call that started it
    };
    std::vector<Kept> kept_; // each line up to the first repeat
    std::uint64_t calls_ = 0, passCalls_ = 0;
    std::size_t secondPass_ = 0, loopLine_ = 0;
    bool ends_ = false;
};

// Song `number` of the loaded image walked by the sequencer alone from its start (as Playback starts it),
// up to its first repeat or `capCalls` calls. The mixer never feeds back into the song's course, so the
// calls are those a render makes; the engine is left mid-song: load the image again before playing it.
struct SongLength {
    bool repeats = false;
    std::uint64_t onceThroughCalls = 0; // with repeats: the call that starts the second pass
    std::uint64_t passCalls = 0;        // with repeats: the calls of each later pass
    bool ends = false;                  // with repeats: the song ends on silence after its first pass
    // The calls a render of `passes` passes makes (its bytes: 13 per call). A song that ends has one.
    std::uint64_t callsFor(int passes) const {
        if (ends) return onceThroughCalls;
        return onceThroughCalls + static_cast<std::uint64_t>(passes > 1 ? passes - 1 : 0) * passCalls;
    }
    // The pass, counted from 0, that the render is in after `calls` calls.
    std::uint64_t passAt(std::uint64_t calls) const {
        if (!repeats || ends || calls < onceThroughCalls) return 0;
        return 1 + (calls - onceThroughCalls) / std::max<std::uint64_t>(1, passCalls);
    }
};
SongLength measureSong(std::uint8_t number, std::uint64_t capCalls);

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
