// What nibtool play plays: a ROM file as it is, or a module imported into a ROM, made ready to play: its
// walk (which lines it plays, and when), and the engine's state at the lines it may go on from.
//
// Preparing plays the song on the engine, and while a song plays the engine is the audio thread's, so
// every file is prepared in a child process: nibtool itself, started afresh (`kPlayChildCommand`), with an
// engine of its own. It sends the prepared song back through a pipe, and the player takes it over at a
// line start, under the audio lock, by placing the image and restoring the engine's state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "engine/state.h"
#include "import/compile.h"
#include "nibtool/song_file.h"
#include "walk/song_walk.h"

// A place in a song, in the terms of its file: a module's order position and row, or a ROM's order
// position and line. Versions of a song (a first quick import and the whole one, or a file saved again)
// meet at places.
struct Place {
    int order = -1, row = -1;
    bool operator==(const Place& o) const { return order == o.order && row == o.row; }
};

// The first start of a line in the song's first pass.
struct LineStart {
    std::uint8_t order = 0, line = 0;          // the engine's order position and line
    std::uint8_t lineTicks = 0, tickCalls = 0; // the speeds as it starts
    std::uint64_t call = 0;                    // sequencer calls from the song's start
    Place place;
};

// What one walk through the song finds out.
struct SongFacts {
    std::vector<std::uint8_t> orders; // the order positions it plays, ascending
    SongLength length;                // its passes; without a repeat, it plays to the cap
    std::uint64_t capCalls = 0;       // where a song that does not repeat ends, in calls
    std::vector<LineStart> lines;     // each line's first start, in the order played

    // The calls `passes` passes last (where render ends them): a song that ends has one, and one that
    // does not repeat ends at the cap.
    std::uint64_t callsFor(int passes) const { return length.repeats ? length.callsFor(passes) : capCalls; }
};

// The engine's state right after the sequencer call that starts a line (call 0: the song's start,
// before its first call), from which the song goes on as if it had played from its start.
struct Resume {
    std::uint64_t call = 0;
    std::uint8_t order = 0, line = 0; // the engine's line that starts
    Place place;
    EngineSnapshot state{};
};

struct Playable {
    std::string title;                        // a module's title; empty for a ROM
    std::vector<std::string> cutShort;        // what a module file cut short has lost, one line each
    std::vector<std::string> warnings, notes; // the lines every command writes about the file (song_file.h)
    int channels = 0;                         // a module's channels; 0 for a ROM
    bool preview = false;                     // a first quick import: the whole one takes over when ready
    std::uint64_t startCall = 0;              // where the image's song starts in the module's, in calls
                                              // (a preview made from later in the song)
    std::vector<std::uint8_t> rom;
    std::uint8_t number = 0;                 // the song of the image it plays (0-3), as playSong starts it
    std::vector<SignatureEffect> effects;    // the effects the ROM's signature names
    std::vector<std::uint8_t> effectStreams; // per effect: the stream the signature gives it in this song
    std::vector<std::vector<LineOrigin>> origins; // a module's rows by the ROM's order position and line
    SongFacts facts;
    std::vector<Resume> resumes; // the start, then the lines near the place asked for
    int rate = kDefaultRate;
    std::size_t file = 0; // which of the files named plays it (set where it is received)

    // The place of an engine line: its module row, or for a ROM the line itself.
    Place placeOf(std::uint8_t order, std::uint8_t line) const;
    // The first start of a place in the walk, or of its order position, or null.
    const LineStart* find(const Place& place) const;
    // The first start of an engine line, or null.
    const LineStart* firstStart(std::uint8_t order, std::uint8_t line) const;
    // The tone that plays a sample entry as an effect: the one the signature names for it, else the
    // tone whose step reads one byte per output sample.
    std::uint8_t effectTone(std::uint8_t entry) const;
    // The stream to start a sample entry on as an effect: the one the signature gives it in this song,
    // else stream 3, which a song of fewer than four channels leaves free (the importer gives channels
    // streams from 0 up).
    std::uint8_t effectStream(std::uint8_t entry) const;
    // Builds what firstStart looks in; once the song is complete.
    void index();

  private:
    std::vector<std::int32_t> lineIndex_; // by order * 64 + line: its entry in facts.lines, or -1
};

// How much of a module a first quick import takes, in seconds of song beyond where it is to play.
constexpr double kPreviewSeconds = 8;

// Reads a file as a child of play does: openSong with `request`; a module's preview whose opening seconds
// are silent is taken longer (4 and 16 times) before it is given up.
bool openToPlay(const std::string& path, SongRequest request, SongFile& file, std::string& error);

// Makes a song that openSong read ready to play: its image, the import's rows and report, and its walk.
// Plays the song on the engine: it must not run where the engine plays.
void prepareSong(SongFile&& file, Playable& out);

// Adds the resumes: the song's start, and with `near` every line that first starts within
// `windowSeconds` of song from that place (or its order position) on.
void addResumes(Playable& song, const Place* near, double windowSeconds);

// The hidden command that prepares a file in a child: `nibtool __play-child`, its standard input and
// output pipes to the player. It waits for what to prepare (a Prepare message, message.h), so that a
// child started ahead (a spare) prepares a file saved or asked for later without waiting for a process to
// start; it answers with the song made ready, or why it is not.
constexpr char kPlayChildCommand[] = "__play-child";
int runPlayChild(const std::vector<std::string>& args);

// A file prepared in a child process while the song plays. When the child has imported the file it may
// ask where the song is (collect says Asking), and goes on with the place it is told (`answer`).
class ChildLoad {
  public:
    ChildLoad() = default;
    ChildLoad(const ChildLoad&) = delete;
    ChildLoad& operator=(const ChildLoad&) = delete;
    ~ChildLoad() { cancel(); }

    // Starts a child that reads `path` as every command does (openSong, with `request`'s rate and
    // --force-rom) and prepares it: a module's preview (`request.previewSeconds` from
    // `request.previewFrom`), or (0 seconds) the whole import; with `ask`, the child asks where to go on
    // from, else it prepares the start. False with the reason if it cannot be started.
    bool start(const std::string& path, const SongRequest& request, bool ask, std::string& error);
    // As start, with the spare child `spare` (if it runs) instead of a new one.
    bool start(ChildLoad& spare, const std::string& path, const SongRequest& request, bool ask,
               std::string& error);
    // Starts a spare child, waiting for what to prepare.
    bool startSpare(std::string& error);
    // Ends a child still at work.
    void cancel();
    // Lets other work go first: a whole import running beside the preview that is to sound at once.
    void yieldToOthers();
    bool running() const { return pid_ > 0; }
    // The descriptor to wait on while running.
    int fd() const { return fd_; }

    enum class Status { Working, Asking, Loaded, Failed };
    // Takes what the child has written so far (without blocking). Loaded fills `out`; Failed gives the
    // reason in `error`; Asking wants `answer`.
    Status collect(Playable& out, std::string& error);
    void answer(const Place& place);

  private:
    bool spawn(std::string& error);

    pid_t pid_ = -1;
    int fd_ = -1, toChild_ = -1;
    std::vector<std::uint8_t> received_; // what the child has written and collect has not taken yet
};
