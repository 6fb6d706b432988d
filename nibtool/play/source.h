// What nibtool play plays: a ROM file as it is, or a module imported into a ROM in memory; and loading it
// again in a child process while the song plays.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

enum class SourceKind { Rom, Module };

struct Playable {
    std::string title; // a module's title; empty for a ROM
    std::vector<std::uint8_t> rom;
};

// A module is anything libxmp recognises; any other file is a ROM, as nibplay takes any file.
SourceKind kindOf(const std::vector<std::uint8_t>& bytes);

// Makes file bytes of a known kind playable at `rate`. Importing a module plays the ROM it builds on the
// engine, so this must not run in a process whose engine is playing.
bool makePlayable(const std::vector<std::uint8_t>& bytes, SourceKind kind, int rate, Playable& out,
                  std::string& error);

// Loads a file again while the song plays. The engine is one per process and the audio thread's, so the
// work (reading, and importing a module) happens in a forked child, which has an engine of its own; the
// result comes back through a pipe.
class ChildLoad {
  public:
    ChildLoad() = default;
    ChildLoad(const ChildLoad&) = delete;
    ChildLoad& operator=(const ChildLoad&) = delete;
    ~ChildLoad() { cancel(); }

    // Starts a child that loads `path` as `kind`; false with the reason if it cannot be started.
    bool start(const std::string& path, SourceKind kind, int rate, std::string& error);
    // Ends a child still at work.
    void cancel();
    bool running() const { return pid_ > 0; }
    // The descriptor to wait on while running.
    int fd() const { return fd_; }

    enum class Status { Working, Loaded, Failed };
    // Takes what the child has written so far (without blocking). Loaded fills `out`; Failed gives the
    // reason in `error`.
    Status collect(Playable& out, std::string& error);

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::vector<std::uint8_t> received_;
};
