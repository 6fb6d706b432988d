// nibtool play: a ROM or a module through the sound card, with a live view on a terminal (or a status
// line a second without one), following the file as it is saved again with --watch.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "audio.h"
#include "nibtool/cli.h"
#include "nibtool/commands.h"
#include "policy/policy.h"
#include "session.h"
#include "source.h"
#include "view.h"
#include "watch.h"

namespace {

constexpr int kFrameMs = 40;       // the view's redraw period
constexpr int kStatusTickMs = 100; // how often the status line's second is checked
constexpr int kSettleMs = 150;     // a saved file is loaded once it has been left alone this long

struct PlayOptions {
    std::vector<std::string> files; // played in turn
    SongRequest request;            // --rate, --force-rom, --song
    PlayLength length;
    bool watch = false, quiet = false;
    int effect = -1; // --sfx: a sample entry to play over each song as it starts, as a game plays an effect
};

// Signals the main loop waits for arrive as bytes on a pipe: SIGINT, SIGTERM and SIGHUP end playing,
// SIGWINCH redraws. The audio thread uses the same pipe to say the song has ended.
class WakePipe {
  public:
    WakePipe() {
        if (pipe2(ends_, O_CLOEXEC | O_NONBLOCK) != 0) ends_[0] = ends_[1] = -1;
        writeEnd_ = ends_[1];
        struct sigaction action {};
        action.sa_handler = [](int signal) {
            const auto byte = static_cast<char>(signal);
            if (write(writeEnd_, &byte, 1) < 0) {
                // The pipe is full: the loop wakes anyway.
            }
        };
        for (int signal : kSignals)
            sigaction(signal, &action, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
    }
    ~WakePipe() {
        for (int signal : kSignals)
            std::signal(signal, SIG_DFL);
        close(ends_[0]);
        close(ends_[1]);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool ok() const { return ends_[0] >= 0; }
    int readFd() const { return ends_[0]; }
    int writeFd() const { return ends_[1]; }
    // The bytes waiting: signal numbers, and 'e' for the song's end.
    std::string drain() const {
        std::string bytes;
        char buffer[64];
        for (ssize_t n; (n = read(ends_[0], buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<std::size_t>(n));
        return bytes;
    }

  private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH};
    static inline volatile int writeEnd_ = -1;
    int ends_[2];
};

std::string renderAdvice(const std::string& file) {
    return "nibtool render " + file + " out.wav";
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string wallClock() {
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&now));
    return text;
}

std::int64_t nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// The loop of playing: keys, children preparing songs, saved files, signals and the songs' ends, and
// the view. Each file is prepared in child processes (source.h): for a module, a quick preview that plays
// at once and the whole import that takes over at a line when it is ready. What the children do for the
// file playing is one state (session.h), moved by one table.
class PlaySession {
  public:
    PlaySession(const PlayOptions& o, SongPlayer& player, AudioOutput& audio, const WakePipe& wake)
        : o_(o), player_(player), audio_(audio), wake_(wake), files_(o.files.size()) {
        for (FileState& f : files_)
            f.song = o.request.song;
    }

    // Plays until the last file ends or q: 0, or 1 if a file was refused (it is passed over); a signal
    // ends it with 128 + its number. Without a terminal, the status goes to standard error.
    int run(FileWatch* watch, Terminal* terminal);

    // What a terminal's view said that must stay on the screen once the view is gone, for standard error:
    // the errors and warnings it showed, then where the song stopped.
    std::vector<std::string> lastWords() const;

  private:
    using Role = session::Role;
    using State = session::State;
    using NextState = session::NextState;

    // What the session knows of each file named.
    struct FileState {
        int module = -1;      // 1 a module, 0 a ROM, -1 not known yet (its children say)
        bool noted = false;   // its notes and warnings are written
        bool skipped = false; // refused, passed over
        int song = 0;         // the song of its image to play (--song, then keys 1-4)
    };
    // The saved version of the file playing that is to be announced when it takes over.
    struct SavedVersion {
        const void* song = nullptr; // the version offered (compared, never followed)
        std::string lost;           // what its import lost by the file being cut short
        bool announced = false;     // a version of the last save has taken over and been announced
    };

    void look();
    void show();
    bool onWake();
    void onKeys(const std::vector<Key>& keys);
    void load(std::size_t file, State state);
    void spawn(Role role, std::size_t file, bool ask, double previewFrom = 0, double previewSeconds = 0);
    void onChild(Role role);
    void onNext(const std::shared_ptr<Playable>& song, const std::string& error);
    void act(const session::Transition& move, std::size_t file, const std::shared_ptr<Playable>& song,
             const std::string& error);
    void prepareNext(std::size_t after);
    void announce(const std::string& message);
    void announceLoaded(const Playable& song);
    void noteSaved(const Playable& song);
    void noteFile(const Playable& song);
    void refuse(std::size_t file, const std::string& error);
    std::size_t after(std::size_t file) const;
    bool play(const std::shared_ptr<Playable>& song);
    bool offer(const std::shared_ptr<Playable>& song);
    void switchSong(int number);
    void playEffect();
    void keepSpare();

    const PlayOptions& o_;
    SongPlayer& player_;
    AudioOutput& audio_;
    const WakePipe& wake_;
    Terminal* terminal_ = nullptr;
    ViewData view_;
    ChildLoad children_[session::kRoles];
    ChildLoad spare_; // started while nothing is prepared, to prepare the next file or save at once
    std::vector<FileState> files_;
    std::size_t childFile_[session::kRoles] = {}; // the file each child prepares
    State state_ = State::Idle;                   // what the Preview and Whole children prepare
    std::size_t file_ = 0;                        // the file they prepare, or the one playing
    NextState next_ = NextState::None;            // the file after it
    std::shared_ptr<Playable> waiting_;           // ... ready at another rate (NextState::Waiting)
    SavedVersion saved_;
    int deviceRate_ = 0;         // the rate the device is open at
    bool started_ = false;       // a song has played
    std::size_t nextEffect_ = 0; // which of the ROM's effects the effect key plays next
    std::int64_t loadAt_ = -1;   // when a saved file is to be loaded, or -1
    bool quit_ = false;
    int status_ = 0, refused_ = 0;  // refused_: 1 once a file has been passed over
    std::vector<std::string> said_; // errors and warnings the view showed, to be said again as it closes
    std::uint64_t shownSecond_ = ~std::uint64_t{0};
};

// A spare child is started once a song plays and no child is at work, so it does not take the CPU
// from one that is.
void PlaySession::keepSpare() {
    if (!started_ || spare_.running()) return;
    for (const ChildLoad& child : children_)
        if (child.running()) return;
    std::string error;
    spare_.startSpare(error); // without one, the next child is started when needed
}

// Starts `role`'s child on `file`. Without one (said why), nothing is on its way for that role: the
// state moves as if it had brought nothing.
void PlaySession::spawn(Role role, std::size_t file, bool ask, double previewFrom, double previewSeconds) {
    std::string error;
    childFile_[role] = file;
    SongRequest request = o_.request;
    request.song = files_[file].song;
    request.previewFrom = previewFrom;
    request.previewSeconds = previewSeconds;
    // A saved version plays at the rate its file plays at: the device keeps its rate.
    if (state_ == State::Reloading && view_.state.playing) request.rate = view_.state.rate;
    if (children_[role].start(spare_, o_.files[file], request, ask, error)) return;
    announce(baseName(o_.files[file]) + ": " + error);
    if (role == session::Whole) state_ = State::Idle;
    if (role == session::Next) next_ = NextState::None;
}

// Starts preparing a file (or another song of it) in `state`: Loading to play it from its start,
// Reloading a saved version to go on where the song is, Switching to play another song of the image
// playing. A module gets a preview too (until its first child answers, a file may be a module): of its
// first seconds, or (reloading) of the seconds from a little before where the song is, so a save late in
// a long song plays as soon as one early in it.
void PlaySession::load(std::size_t file, State state) {
    for (ChildLoad& child : children_)
        child.cancel();
    state_ = state;
    file_ = file;
    if (next_ == NextState::Preparing) next_ = NextState::None;
    if (state == State::Switching) { // the next file, if ready, follows the other song as it did this one
        spawn(session::Whole, file, false);
        return;
    }
    if (next_ == NextState::Queued) {
        const AudioOutput::Lock lock(audio_);
        player_.queue(nullptr);
    }
    next_ = NextState::None;
    waiting_.reset();
    saved_.announced = false;
    const bool preview = files_[file].module != 0;
    double until = 0;
    if (state == State::Reloading) {
        const AudioOutput::Lock lock(audio_);
        const PlayerState playing = player_.look();
        until = double(playing.songBytes) / playing.rate;
    }
    // The preview starts at the order position playing a little earlier: the image's clock and the
    // module's may differ by a percent or two.
    const double from = std::max(0.0, until * 0.98 - 0.5);
    if (preview)
        spawn(session::Preview, file, state == State::Reloading, from, until - from + kPreviewSeconds);
    spawn(session::Whole, file, state == State::Reloading || preview);
    if (preview) children_[session::Whole].yieldToOthers();
}

// The next file after `file`, made ready while this one plays.
void PlaySession::prepareNext(std::size_t file) {
    if (after(file) >= o_.files.size()) return;
    next_ = NextState::Preparing;
    spawn(session::Next, after(file), false);
}

void PlaySession::announce(const std::string& message) {
    view_.message = message;
    if (!o_.quiet && !terminal_) std::fprintf(stderr, "%s\n", message.c_str());
}

// A file that plays whole, said once (without a terminal) as it starts.
void PlaySession::announceLoaded(const Playable& song) {
    if (o_.quiet || terminal_) return;
    std::string about = o_.files[song.file];
    if (!song.title.empty()) about += " \"" + song.title + "\"";
    if (song.facts.length.repeats)
        about += ": " + clockText(song.facts.callsFor(1) * kStepsPerCall, song.rate) + " once through";
    else
        about += ": it does not repeat within " + std::to_string(kLongestSongMinutes) + " minutes";
    std::fprintf(stderr, "%s, at %d Hz\n", about.c_str(), song.rate);
}

// A saved version offered to the player, said when the first version of the save takes over (see look).
void PlaySession::noteSaved(const Playable& song) {
    if (saved_.announced) return;
    saved_.song = &song;
    saved_.lost.clear();
    for (const std::string& line : song.cutShort)
        saved_.lost += "; " + line;
}

// The lines every command writes about a file (a ROM longer than its image, a rate other than the one
// it was made for), once, as it starts playing.
void PlaySession::noteFile(const Playable& song) {
    if (files_[song.file].noted) return;
    files_[song.file].noted = true;
    std::vector<std::string> lines = song.warnings;
    if (!o_.quiet) lines.insert(lines.end(), song.notes.begin(), song.notes.end());
    for (const std::string& line : lines) {
        if (terminal_)
            view_.message = line;
        else
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (terminal_) said_.insert(said_.end(), song.warnings.begin(), song.warnings.end());
}

// A file that does not play is passed over, with the one line every command gives it.
void PlaySession::refuse(std::size_t file, const std::string& error) {
    refused_ = 1;
    files_[file].skipped = true;
    if (terminal_) {
        view_.message = "nibtool: " + error;
        said_.push_back(view_.message);
    } else {
        fail(error);
    }
}

// The file to play after `file`, or the count of files.
std::size_t PlaySession::after(std::size_t file) const {
    for (++file; file < o_.files.size() && files_[file].skipped;)
        ++file;
    return file;
}

// Plays a song from its start; the device opens (again) at the song's rate when it is not open at it.
// False, having said why, without a device.
bool PlaySession::play(const std::shared_ptr<Playable>& song) {
    noteFile(*song);
    started_ = true;
    if (audio_.opened() && song->rate == deviceRate_) {
        const AudioOutput::Lock lock(audio_);
        player_.start(song);
        return true;
    }
    audio_.close();
    player_.start(song);
    std::string reason;
    if (!audio_.open(song->rate, player_, wake_.writeFd(), reason)) {
        const std::string error = "no audio device to play on (SDL: " + reason +
                                  "); to hear it, render it to a file: " + renderAdvice(o_.files[song->file]);
        if (terminal_) { // said once the view is gone
            said_.push_back("nibtool: " + error);
            status_ = 1;
        } else {
            status_ = fail(error);
        }
        return false;
    }
    deviceRate_ = song->rate;
    return true;
}

// Another version of the file playing takes over at a line (SongPlayer::offer), where the player plays
// that file at the song's rate; else it plays from its start. False, having said why, without a device.
bool PlaySession::offer(const std::shared_ptr<Playable>& song) {
    if (audio_.opened()) {
        const AudioOutput::Lock lock(audio_);
        if (player_.song() && player_.song()->file == song->file && song->rate == deviceRate_) {
            player_.offer(song);
            return true;
        }
    }
    return play(song);
}

void PlaySession::onChild(Role role) {
    auto song = std::make_shared<Playable>();
    std::string error;
    const ChildLoad::Status status = children_[role].collect(*song, error);
    if (status == ChildLoad::Status::Working) return;
    if (status == ChildLoad::Status::Asking) {
        const AudioOutput::Lock lock(audio_);
        children_[role].answer(player_.place());
        return;
    }
    const bool loaded = status == ChildLoad::Status::Loaded;
    if (loaded) {
        song->file = childFile_[role];
        files_[song->file].module = song->channels > 0 ? 1 : 0;
    }
    if (role == session::Next) {
        onNext(loaded ? song : nullptr, error);
        return;
    }
    const session::Outcome outcome = !loaded         ? session::Outcome::Failed
                                     : song->preview ? session::Outcome::Preview
                                                     : session::Outcome::Whole;
    const session::Transition* move = session::transition(state_, role, outcome);
    if (!move) return; // no such child runs in this state: what it brought is of no use
    state_ = move->to;
    if (outcome == session::Outcome::Whole) // no other version is needed
        children_[session::Preview].cancel(), children_[session::Whole].cancel();
    act(*move, childFile_[role], song, error);
}

// What the session does with what the Preview or Whole child brought for `file` (session.h's Action).
void PlaySession::act(const session::Transition& move, std::size_t file,
                      const std::shared_ptr<Playable>& song, const std::string& error) {
    using session::Action;
    const Action action = move.action;
    const std::string name = baseName(o_.files[file]);
    switch (action) {
    case Action::Nothing: return;
    case Action::PlayPreview: play(song); return;
    case Action::Play:
    case Action::TakeOver:
        if (!(action == Action::Play ? play(song) : offer(song))) return;
        announceLoaded(*song);
        prepareNext(file); // to follow it without a gap
        return;
    case Action::TakeSaved:
        if (offer(song)) noteSaved(*song);
        return;
    case Action::PlaySwitched:
        if (play(song)) announce("song " + std::to_string(song->number) + " from its start");
        return;
    case Action::KeepPlaying:
        announce(move.from == State::Reloading
                     ? wallClock() + " " + name + " not loaded: " + error + "; the last good one plays on"
                     : name + ": " + error);
        return;
    case Action::Refuse: {
        refuse(file, error);
        // Its preview is not the song, and would play on for ever: it ends here. The one after it plays
        // instead, unless another file's song plays on: the one after it follows that song.
        bool playingOn = false;
        {
            const AudioOutput::Lock lock(audio_);
            const Playable* playing = player_.song();
            if (playing && playing->file == file && playing->preview) player_.stop();
            playingOn = playing && !player_.finished();
        }
        if (after(file) < o_.files.size() && !playingOn)
            load(after(file), State::Loading);
        else if (!playingOn)
            quit_ = true;
        return;
    }
    }
}

// What the Next child brought: the file to follow the song playing, or why it does not play (the one
// after it is made ready instead).
void PlaySession::onNext(const std::shared_ptr<Playable>& song, const std::string& error) {
    if (!song) {
        next_ = NextState::None;
        refuse(childFile_[session::Next], error);
        prepareNext(childFile_[session::Next]);
        return;
    }
    if (song->rate != deviceRate_) {
        next_ = NextState::Waiting; // the device opens again at its rate when this one ends
        waiting_ = song;
        return;
    }
    next_ = NextState::Queued;
    const AudioOutput::Lock lock(audio_);
    player_.queue(song);
}

void PlaySession::look() {
    std::shared_ptr<const Playable> released, wentOn;
    bool queued = false;
    {
        const AudioOutput::Lock lock(audio_);
        view_.state = player_.look(&released);
        queued = player_.queued();
        if (next_ == NextState::Queued && !queued) wentOn = player_.shared();
    }
    if (wentOn) { // the player went on to the next file by itself
        next_ = NextState::None;
        file_ = wentOn->file;
        noteFile(*wentOn);
        announceLoaded(*wentOn);
        prepareNext(file_);
    }
    if (saved_.song && view_.state.song == saved_.song) {
        const Place at = view_.state.takenAt;
        announce(wallClock() + " reloaded " + baseName(o_.files[view_.state.file]) + ", going on at order " +
                 std::to_string(at.order) + (view_.state.moduleChannels > 0 ? " row " : " line ") +
                 std::to_string(at.row) + saved_.lost);
        saved_.song = nullptr;
        saved_.announced = true;
    }
    view_.file = o_.files[view_.state.playing ? view_.state.file : file_];
    if (view_.state.playing) view_.rate = view_.state.rate;
    view_.title = view_.state.title;
    view_.files = o_.files.size();
}

void PlaySession::show() {
    if (terminal_) {
        terminal_->draw(view_);
        return;
    }
    const std::uint64_t second = view_.state.playedBytes / static_cast<std::uint64_t>(view_.state.rate);
    if (o_.quiet || second == shownSecond_ || !view_.state.playing) return;
    shownSecond_ = second;
    std::fprintf(stderr, "%s\n", statusLine(view_).c_str());
}

// True if playing is to stop: a signal other than a resize.
bool PlaySession::onWake() {
    for (const char byte : wake_.drain()) {
        if (byte == SIGWINCH && terminal_) terminal_->draw(view_);
        if (byte == SIGINT || byte == SIGTERM || byte == SIGHUP) status_ = 128 + byte;
    }
    return status_ != 0;
}

void PlaySession::onKeys(const std::vector<Key>& keys) {
    for (const Key key : keys) {
        if (key >= Key::Song0 && key <= Key::Song3)
            switchSong(static_cast<int>(key) - static_cast<int>(Key::Song0));
        if (key == Key::Effect) playEffect();
        if (key == Key::NextFile && after(file_) < o_.files.size()) load(after(file_), State::Loading);
        if (key == Key::PreviousFile) {
            std::size_t previous = file_;
            while (previous > 0 && files_[--previous].skipped) {
            }
            if (previous < file_ && !files_[previous].skipped) load(previous, State::Loading);
        }
        const AudioOutput::Lock lock(audio_);
        switch (key) {
        case Key::Pause: player_.setPaused(!player_.paused()); break;
        case Key::Previous: player_.step(-1); break;
        case Key::Next: player_.step(+1); break;
        case Key::Quit: quit_ = true; break;
        default: break;
        }
    }
}

// Keys 1-4: song `number` of the image playing, from its start. An empty song table entry is passed over
// with a word on the status line; another song of the file is prepared by a child, as any song is.
void PlaySession::switchSong(int number) {
    std::shared_ptr<const Playable> song;
    {
        const AudioOutput::Lock lock(audio_);
        song = player_.shared();
    }
    if (!song) return;
    const std::string n = std::to_string(number);
    if (songAddress(song->rom, static_cast<std::size_t>(number)) == 0) {
        announce("song " + n + " is empty (songs held: " + songsHeld(song->rom) + "); song " +
                 std::to_string(song->number) + " plays on");
        return;
    }
    files_[song->file].song = number;
    if (number != song->number) { // said when it starts
        load(song->file, State::Switching);
        return;
    }
    {
        const AudioOutput::Lock lock(audio_);
        player_.start(song);
    }
    announce("song " + n + " from its start");
}

// Key e: the next of the effects the ROM's signature names, started over the song as a game starts one.
void PlaySession::playEffect() {
    std::shared_ptr<const Playable> song;
    {
        const AudioOutput::Lock lock(audio_);
        song = player_.shared();
    }
    if (!song) return;
    if (song->effects.empty()) {
        announce("no effects: this image names none (nibtool bank --sfx makes them)");
        return;
    }
    const std::size_t index = nextEffect_++ % song->effects.size();
    const SignatureEffect& e = song->effects[index];
    const std::uint8_t stream = song->effectStream(e.entry);
    {
        const AudioOutput::Lock lock(audio_);
        player_.playEffect(e.entry, e.tone, stream);
    }
    announce("effect " + std::to_string(index + 1) + "/" + std::to_string(song->effects.size()) + " \"" +
             e.name + "\": entry " + std::to_string(e.entry) + ", tone " + std::to_string(e.tone) +
             ", stream " + std::to_string(stream));
}

int PlaySession::run(FileWatch* watch, Terminal* terminal) {
    terminal_ = terminal;
    load(0, State::Loading);
    const int tick = terminal ? kFrameMs : kStatusTickMs;
    while (!quit_ && status_ == 0) {
        pollfd fds[3 + session::kRoles] = {{wake_.readFd(), POLLIN, 0},
                                           {terminal ? 0 : -1, POLLIN, 0},
                                           {watch ? watch->fd() : -1, POLLIN, 0}};
        for (int r = 0; r < session::kRoles; ++r)
            fds[3 + r] = {children_[r].running() ? children_[r].fd() : -1, POLLIN, 0};
        int timeout = tick;
        if (loadAt_ >= 0) timeout = static_cast<int>(std::max<std::int64_t>(0, loadAt_ - nowMs()));
        poll(fds, 3 + session::kRoles, std::min(timeout, tick));
        if (onWake()) break;
        if (terminal && (fds[1].revents & POLLIN)) onKeys(terminal->readKeys());
        if (watch && (fds[2].revents & POLLIN) && watch->changed()) loadAt_ = nowMs() + kSettleMs;
        if (loadAt_ >= 0 && nowMs() >= loadAt_) {
            loadAt_ = -1;
            load(file_, started_ ? State::Reloading : State::Loading);
        }
        for (int r = 0; r < session::kRoles; ++r)
            if (children_[r].running() && (fds[3 + r].revents & (POLLIN | POLLHUP)))
                onChild(static_cast<Role>(r));
        if (status_ != 0) break;
        look();
        keepSpare();
        if (view_.state.finished && next_ == NextState::Waiting) { // the next file, at another rate
            const std::shared_ptr<Playable> song = std::move(waiting_);
            next_ = NextState::None;
            file_ = song->file;
            if (!play(song)) break;
            announceLoaded(*song);
            prepareNext(file_);
            continue;
        }
        // A song that has ended is followed by the next file, unless one is on its way; after the last
        // one, playing ends.
        const std::size_t next = after(view_.state.file);
        if (view_.state.finished && next >= o_.files.size()) break;
        if (view_.state.finished && state_ == State::Idle && next_ == NextState::None)
            load(next, State::Loading);
        show();
    }
    if (terminal && audio_.opened()) { // where the song stopped, for the last words
        const AudioOutput::Lock lock(audio_);
        view_.state = player_.look();
    }
    return status_ != 0 ? status_ : refused_;
}

std::vector<std::string> PlaySession::lastWords() const {
    std::vector<std::string> lines = said_;
    if (started_ && view_.state.playing)
        lines.push_back(view_.file + ": " + statusLine(view_) +
                        (view_.state.finished ? ", ended" : ", stopped"));
    return lines;
}

// False when the command is done, with its exit status in `exitCode`.
bool parseOptions(const std::vector<std::string>& args, PlayOptions& o, int& exitCode) {
    CommandLine line("play");
    line.rate(o.request.rate);
    line.length(o.length, true);
    line.flag("--watch", o.watch);
    line.song(o.request.song);
    line.number("--sfx", o.effect, 0, static_cast<int>(kSampleEntries) - 1, "a sample entry");
    line.quiet(o.quiet);
    line.forceRom(o.request.forceRom);
    line.files(o.files);
    exitCode = line.parse(args);
    if (exitCode >= 0) return false;
    if (o.files.empty()) {
        exitCode = line.mistake("needs a ROM or module file, or several to play in turn");
        return false;
    }
    if (o.watch && o.files.size() > 1) {
        exitCode = line.mistake("--watch follows one file");
        return false;
    }
    return true;
}

} // namespace

int runPlay(const std::vector<std::string>& args) {
    PlayOptions o;
    int exitCode = 0;
    if (!parseOptions(args, o, exitCode)) return exitCode;
    // SDL's disk driver writes to sdlaudio.raw in the working folder unless told otherwise: only a file
    // named with SDL_DISKAUDIOFILE is written.
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    const char* diskFile = std::getenv("SDL_DISKAUDIOFILE");
    if (driver && std::strcmp(driver, "disk") == 0 && (!diskFile || !*diskFile))
        setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);

    SongPlayer::Ending ending;
    ending.loop = o.length.forever || (o.watch && o.length.seconds == 0); // a file being edited plays until q
    ending.seconds = o.length.seconds;
    ending.passes = o.length.loops;
    SongPlayer player(ending);
    player.setStartEffect(o.effect);

    FileWatch watch;
    std::string error;
    if (o.watch && !watch.start(o.files[0], error)) return fail(error);
    const WakePipe wake;
    if (!wake.ok()) return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    AudioOutput audio; // opened when the first song is ready
    PlaySession session(o, player, audio, wake);
    if (o.quiet || !Terminal::usable()) return session.run(o.watch ? &watch : nullptr, nullptr);
    int status = 0;
    {
        Terminal terminal;
        status = session.run(o.watch ? &watch : nullptr, &terminal);
        audio.close(); // the last buffers play out before the screen goes back
    }
    // The terminal is given back: what the view said last stays on the screen.
    for (const std::string& line : session.lastWords())
        std::fprintf(stderr, "%s\n", line.c_str());
    return status;
}
