// One walk of a song on the engine: from a state (a song's start as a game starts it, or any snapshot),
// sequencer call after sequencer call, until the song comes back to a line it has started in the same
// state (from there it repeats for ever) or the walk reaches its cap. Every tool that needs a song's
// course walks it so and looks at what it needs as a visitor: its length and passes (info, render, a
// bank's header and streams), its lines and the states to go on from (play), its sound and ticks (the
// importer's measure and its capture of a ROM's song).
//
// The walk also finds where a song ends on silence. A song that ends (a game's jingle) comes, after its
// last line, to a line that stops every stream (set volume 0 on all four channels, no note) and then to a
// line that plays nothing and repeats itself: its once-through ends where the stopping line starts, and it
// has no second pass.
//
//   const SongLength length = walkSong(songStart(0), longestSongCalls(rate));
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "policy/policy.h"

// kLongestSongSeconds (the tools' policy) at `rate` Hz, in sequencer calls.
std::uint64_t longestSongCalls(int rate);

// The engine as the host and a game start song `number`: from power-on (every counter 0, no song), one
// sequencer call while no song is selected (the speeds' defaults), then playSong. The image and the tables
// are those loaded. Leaves the engine there.
EngineSnapshot songStart(std::uint8_t number);

// What decides how a song goes on from the start of a line: where it is, its speeds and the song-delay
// count. The sequencer's state at a line start holds nothing else that changes the song's course.
struct LineState {
    std::uint8_t order, line, durationLine, durationTick, lineDelayCnt;
    std::uint64_t key() const;
};

// A song's course, as a walk finds it.
struct SongLength {
    bool repeats = false;               // it came back to a line in the same state within the walk
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

// Which line each sequencer call starts, and where the song first comes back to a line it has played in
// the same state. Made where the walk (or playing) starts, before the first call it is told of.
class SongLines {
  public:
    SongLines();

    // Call after each sequencer call. Returns true if that call started a line.
    bool afterCall();

    // The line the last call started, and whether it had started in the same state before.
    const LineState& started() const { return started_; }
    bool repeated() const { return repeated_; }

    // Once a line has repeated, where the song's first pass ends, lines counted from 0 in the order they
    // started: the line the second pass begins with, and the first-pass line it plays again (the song goes on
    // from there). A song whose jump back reaches its first line comes back to it with its own speeds, not
    // the defaults it started with, so its state repeats only from a later line: the lines before that, which
    // replay the first pass's lines place for place, belong to the second pass. For a song that ends on
    // silence, secondPass() is the line that stops every stream, and loopLine() the silent line after it.
    std::size_t secondPass() const { return secondPass_; }
    std::size_t loopLine() const { return loopLine_; }

    // The song's course as far as it is known: once a line has repeated, its once-through (in calls from
    // where the lines were first counted: the first pass's sound is the calls before the one that starts
    // the second pass, and the bytes they follow), its later passes and whether it ends.
    SongLength length() const;
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
    bool repeated_ = false, found_ = false;
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

// Passes through a song as it plays. The first pass ends where the song first comes back to a line in the
// same state; each later pass ends where it comes back to that same line again.
class SongPasses {
  public:
    // Call after the playback loop has started, before the first sequencer call.
    SongPasses() = default;

    // Call after each sequencer call. Returns true if that call ended a pass.
    bool afterCall();

    // Passes ended so far.
    int count() const { return count_; }

  private:
    SongLines lines_;
    int count_ = 0;
    std::uint64_t loopKey_ = 0;
};

// ---- The walk ----------------------------------------------------------------------------------------

struct WalkOptions {
    std::uint64_t capCalls = 0; // the most calls it makes
    bool sound = false;         // the mixer runs too: 13 steps before each call, as the playback loop
    bool pastRepeat = false;    // it goes on past the first repeat, to the cap or the visitor's stop
};

// One sequencer call of a walk, as its visitor is told of it.
struct WalkCall {
    std::uint64_t number = 0;                       // calls from the walk's start, the first is 1
    bool tick = false;                              // the call played a tick ...
    std::uint8_t order = 0, line = 0, lineTick = 0; // ... of this line (the order position and line the
                                                    // call read), and which tick of it
    bool lineStarted = false;                       // the call started a line (SongLines::started)
};

// A walk's visitor: told of every call. A visitor derives from it and hides what it needs.
struct WalkVisitor {
    // With sound: the call's 13 output bytes, after the mixer's steps and before the sequencer's call.
    void steps(const std::uint8_t*) {}
    // After the sequencer's call; `lines` has been told of it. False ends the walk there.
    bool call(const WalkCall&, const SongLines&) { return true; }
};

// Walks the song from `from` (restored first) as `options` say, telling `visitor` of every call. Returns
// the song's course as far as the walk found it. Leaves the engine where the walk ended.
template <typename Visitor>
SongLength walkSong(const EngineSnapshot& from, const WalkOptions& options, Visitor& visitor) {
    restoreEngine(from);
    SongLines lines;
    std::uint8_t bytes[kStepsPerCall];
    WalkCall call;
    for (call.number = 1; call.number <= options.capCalls; ++call.number) {
        if (options.sound) {
            timer0_isr(bytes, kStepsPerCall);
            visitor.steps(bytes);
        }
        call.tick = subTick >= durationTick;
        call.order = Pattern, call.line = Line, call.lineTick = tick;
        songTick();
        call.lineStarted = lines.afterCall();
        if (!visitor.call(call, lines)) break;
        if (call.lineStarted && lines.repeated() && !options.pastRepeat) break;
    }
    return lines.length();
}

// The walk that only measures: the sequencer alone (the mixer never feeds back into the song's course, so
// the calls are those a render makes), up to the first repeat or `capCalls` calls.
SongLength walkSong(const EngineSnapshot& from, std::uint64_t capCalls);
