// nibtool play's view: on a terminal, a screen redrawn in place with plain ANSI sequences (the pattern
// scrolling under the playing line, the channels' notes and levels, the song's place and time), read
// keys; without one, a status line a second.
//
// Plain sequences rather than a curses library: the screen is one fixed layout redrawn whole, the few
// sequences it needs (cursor home, erase, reverse video, the alternate screen) are understood by every
// terminal in use, and the terminal can be put back from a signal handler with two async-signal-safe
// calls. No colours: the playing line is marked with '>' and, where the terminal can, reverse video.
#pragma once

#include <string>
#include <vector>

#include "song.h"

// Everything one frame shows.
struct ViewData {
    std::string title, file;
    std::size_t files = 1; // files named, played in turn
    int rate = kDefaultRate;
    PlayerState state;
    std::string message; // the last watch event: a reload, or why the file no longer plays
};

enum class Key { Pause, Previous, Next, PreviousFile, NextFile, Quit, Song0, Song1, Song2, Song3, Effect };

// The keys in bytes read from a terminal: space, left and right arrows (either cursor mode), p, n, q,
// 1-4 (songs 0-3 of the image), e (the next effect).
std::vector<Key> decodeKeys(const std::string& bytes);

// The whole screen for a terminal of `rows` by `columns`: escape sequences and text, drawn from the top
// left; no line reaches the last column, so nothing wraps or scrolls.
std::string drawScreen(const ViewData& view, int rows, int columns);

// "0:12.4 order 3 line 17 (pattern 2)", for standard error once a second.
std::string statusLine(const ViewData& view);

// "0:54.1", for a count of bytes at a rate.
std::string clockText(std::uint64_t bytes, int rate);

// The terminal on standard input and output while the view runs: keys arrive unbuffered and unechoed,
// the screen is the alternate one, the cursor hidden. Everything is put back when it is destroyed, on a
// fatal signal, and while the program is stopped (^Z); it is taken again when the program goes on.
class Terminal {
  public:
    // Whether standard input and output are both a terminal that takes cursor movement.
    static bool usable();

    Terminal();
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // The keys typed since the last call (standard input is read without waiting).
    std::vector<Key> readKeys();
    void draw(const ViewData& view);

  private:
    static void take();
    static void restoreNow();
    static void onFatalSignal(int signal);
    static void onStop(int signal);
};
