// nibtool play's session as states: what the children that prepare songs (source.h) are doing for the
// file playing, and what the session does with each song or failure a child brings. The session (play.cpp)
// holds one State and moves it only by `transition`, one row of the table below for each thing a child
// can bring in each state. The Next child, which makes the following file ready while one plays, moves a
// state of its own (NextState).
#pragma once

namespace session {

// The part a child plays: a module's quick preview of the file to play (a first import of its opening
// seconds, or of those around where the song is), the whole import (or a ROM as it is), or the next
// file, made ready while this one plays to follow it without a gap.
enum Role { Preview, Whole, Next, kRoles };

// What the Preview and Whole children are preparing.
enum class State {
    Idle,       // nothing: the song playing (if any) is the one to play
    Loading,    // a file to play from its start; the song playing before it (if any) plays on meanwhile
    Previewing, // a module's preview plays from its start; its whole import is on its way
    Reloading,  // a saved version of the file playing, to go on where the song is; the last good one plays
    Switching,  // another song of the image playing, from its start; the song playing plays on meanwhile
};

// What a child brought: a module's preview, a whole song, or the reason it has none.
enum class Outcome { Preview, Whole, Failed };

// What the session does with it.
enum class Action {
    Nothing,      // a preview that failed: the whole import says why
    Play,         // play it from its start (the device opened at its rate); then make the next file ready
    PlayPreview,  // play the preview from its start; the whole import takes over from it at a line
    TakeOver,     // the whole import takes over from the preview at a line; then make the next file ready
    TakeSaved,    // the saved version takes over at a line where the song is, and is announced when it does
    PlaySwitched, // play the other song from its start, and say so
    Refuse,       // pass the file over with its one line; the next file plays, unless a song plays on
    KeepPlaying,  // say why it was not taken; the song playing plays on
};

struct Transition {
    State from;
    Role role;
    Outcome outcome;
    State to;
    Action action;
};

// Every move of the Preview and Whole children's state. In Idle no Preview or Whole child runs, and a
// Previewing state's preview child has brought its song, so neither has rows there.
inline constexpr Transition kTransitions[] = {
    {State::Loading, Preview, Outcome::Preview, State::Previewing, Action::PlayPreview},
    {State::Loading, Preview, Outcome::Whole, State::Idle, Action::Play}, // a ROM: the preview's child has it
    {State::Loading, Preview, Outcome::Failed, State::Loading, Action::Nothing},
    {State::Loading, Whole, Outcome::Whole, State::Idle, Action::Play},
    {State::Loading, Whole, Outcome::Failed, State::Idle, Action::Refuse},
    {State::Previewing, Whole, Outcome::Whole, State::Idle, Action::TakeOver},
    {State::Previewing, Whole, Outcome::Failed, State::Idle, Action::Refuse}, // its preview ends
    {State::Reloading, Preview, Outcome::Preview, State::Reloading, Action::TakeSaved},
    {State::Reloading, Preview, Outcome::Whole, State::Idle, Action::TakeSaved},
    {State::Reloading, Preview, Outcome::Failed, State::Reloading, Action::Nothing},
    {State::Reloading, Whole, Outcome::Whole, State::Idle, Action::TakeSaved},
    {State::Reloading, Whole, Outcome::Failed, State::Idle, Action::KeepPlaying},
    {State::Switching, Whole, Outcome::Whole, State::Idle, Action::PlaySwitched},
    {State::Switching, Whole, Outcome::Failed, State::Idle, Action::KeepPlaying},
};

// The row for what `role`'s child brought in state `from`, or null where no such child runs.
inline const Transition* transition(State from, Role role, Outcome outcome) {
    for (const Transition& t : kTransitions)
        if (t.from == from && t.role == role && t.outcome == outcome) return &t;
    return nullptr;
}

// Where the next file stands.
enum class NextState {
    None,      // nothing is made ready
    Preparing, // the Next child makes it ready
    Queued,    // the player has it: it follows the song playing by itself
    Waiting,   // ready, at another rate: the device opens again at its rate when the song playing ends
};

} // namespace session
