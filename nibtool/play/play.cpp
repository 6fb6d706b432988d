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
// the view. Each file is prepared in child processes (source.h): for a module on a listener's device, a
// quick preview that plays at once and the whole import that takes over at a line when it is ready.
class PlaySession {
  public:
    PlaySession(const PlayOptions& o, SongPlayer& player, AudioOutput& audio, const WakePipe& wake)
        : o_(o), player_(player), audio_(audio), wake_(wake), modules_(o.files.size(), -1),
          noted_(o.files.size(), false), skipped_(o.files.size(), false),
          songOf_(o.files.size(), o.request.song) {}

    // Plays until the last file ends or q: 0, or 1 if a file was refused (it is passed over); a signal
    // ends it with 128 + its number. Without a terminal, the status goes to standard error.
    int run(FileWatch* watch, Terminal* terminal);

    // What a terminal's view said that must stay on the screen once the view is gone, for standard error:
    // the errors and warnings it showed, then where the song stopped.
    std::vector<std::string> lastWords() const;

  private:
    enum Role { Preview, Whole, Next, kRoles };
    void look();
    void show();
    bool onWake();
    void onKeys(const std::vector<Key>& keys);
    void load(std::size_t file, bool reload);
    void spawn(Role role, std::size_t file, bool ask, double previewFrom = 0, double previewSeconds = 0);
    void onChild(Role role);
    void announce(const std::string& message);
    void announceLoaded(const Playable& song, bool reload);
    void noteFile(const Playable& song);
    void refuse(std::size_t file, const std::string& error);
    std::size_t after(std::size_t file) const;
    bool play(const std::shared_ptr<Playable>& song);
    void switchSong(int number);
    void playEffect();
    void onFailed(Role role, std::size_t file, const std::string& error);
    bool previews() const;
    void keepSpare();

    const PlayOptions& o_;
    SongPlayer& player_;
    AudioOutput& audio_;
    const WakePipe& wake_;
    Terminal* terminal_ = nullptr;
    ViewData view_;
    ChildLoad children_[kRoles];
    ChildLoad spare_;           // started while nothing is prepared, to prepare the next file or save at once
    std::vector<int> modules_;  // per file: 1 a module, 0 a ROM, -1 not known yet (its children say)
    std::vector<bool> noted_;   // per file: its notes and warnings are written
    std::vector<bool> skipped_; // per file: refused, passed over
    std::vector<int> songOf_;   // per file: the song of its image to play (--song, then keys 1-4)
    bool switching_ = false;    // the Whole child prepares another song of the file playing
    std::size_t nextEffect_ = 0;        // which of the ROM's effects the effect key plays next
    int deviceRate_ = 0;                // the rate the device is open at
    std::shared_ptr<Playable> waiting_; // the next file, at another rate: it starts when this one ends
    int refused_ = 0;                   // 1 once a file has been passed over
    std::size_t childFile_[kRoles] = {};
    std::size_t file_ = 0;           // the file playing or being loaded to play
    bool reloading_ = false;         // the children load a saved version of the file playing
    bool started_ = false;           // a song has played
    bool queued_ = false;            // the player has the next file ready
    const void* reloaded_ = nullptr; // a saved version offered to the player, to be announced
    bool reloadAnnounced_ = false;   // a version of the last save has taken over and been announced
    std::string reloadReport_;       // what its import lost by the file being cut short
    std::int64_t loadAt_ = -1;       // when a saved file is to be loaded, or -1
    bool quit_ = false;
    int status_ = 0;
    std::vector<std::string> said_; // errors and warnings the view showed, to be said again as it closes
    std::uint64_t shownSecond_ = ~std::uint64_t{0};
};

// A quick preview only where someone listens: SDL's disk driver gets the whole import's bytes alone.
bool PlaySession::previews() const {
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || std::strcmp(driver, "disk") != 0;
}

// A spare child is started once a song plays and no child is at work, so it does not take the CPU
// from one that is.
void PlaySession::keepSpare() {
    if (!started_ || spare_.running()) return;
    for (const ChildLoad& child : children_)
        if (child.running()) return;
    std::string error;
    spare_.startSpare(error); // without one, the next child is started when needed
}

void PlaySession::spawn(Role role, std::size_t file, bool ask, double previewFrom, double previewSeconds) {
    std::string error;
    childFile_[role] = file;
    SongRequest request = o_.request;
    request.song = songOf_[file];
    request.previewFrom = previewFrom;
    request.previewSeconds = previewSeconds;
    // A saved version plays at the rate its file plays at: the device keeps its rate.
    if (reloading_ && view_.state.playing) request.rate = view_.state.rate;
    if (!children_[role].start(spare_, o_.files[file], request, ask, error))
        announce(baseName(o_.files[file]) + ": " + error);
}

// Starts preparing a file: to play from its start, or (reload) a saved version to go on where the song
// is. A module gets a preview too: of its first seconds, or (reload) of the seconds from a little before
// where the song is, so a save late in a long song plays as soon as one early in it.
void PlaySession::load(std::size_t file, bool reload) {
    for (ChildLoad& child : children_)
        child.cancel();
    file_ = file;
    reloading_ = reload;
    reloadAnnounced_ = false;
    switching_ = false;
    waiting_.reset();
    // Until its first child answers, a file may be a module: it gets a preview too.
    const bool preview = modules_[file] != 0 && previews();
    double until = 0;
    if (reload) {
        const AudioOutput::Lock lock(audio_);
        const PlayerState state = player_.look();
        until = double(state.songBytes) / state.rate;
    }
    // The preview starts at the order position playing a little earlier: the image's clock and the
    // module's may differ by a percent or two.
    const double from = std::max(0.0, until * 0.98 - 0.5);
    if (preview) spawn(Preview, file, reload, from, until - from + kPreviewSeconds);
    spawn(Whole, file, reload || preview);
    if (preview) children_[Whole].yieldToOthers();
}

void PlaySession::announce(const std::string& message) {
    view_.message = message;
    if (!o_.quiet && !terminal_) std::fprintf(stderr, "%s\n", message.c_str());
}

void PlaySession::announceLoaded(const Playable& song, bool reload) {
    const std::string& file = o_.files[song.file];
    if (reload) { // said when the first version of the save takes over (see look)
        if (reloadAnnounced_) return;
        reloaded_ = &song;
        reloadReport_.clear();
        for (const std::string& line : song.cutShort)
            reloadReport_ += "; " + line;
        return;
    }
    if (o_.quiet || terminal_) return;
    std::string about = file;
    if (!song.title.empty()) about += " \"" + song.title + "\"";
    if (song.facts.length.repeats)
        about += ": " + clockText(song.facts.callsFor(1) * kStepsPerCall, song.rate) + " once through";
    else
        about += ": it does not repeat within " + std::to_string(kLongestSongMinutes) + " minutes";
    std::fprintf(stderr, "%s, at %d Hz\n", about.c_str(), song.rate);
}

// The lines every command writes about a file (a ROM longer than its image, a rate other than the one
// it was made for), once, as it starts playing.
void PlaySession::noteFile(const Playable& song) {
    if (noted_[song.file]) return;
    noted_[song.file] = true;
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
    skipped_[file] = true;
    if (terminal_) {
        view_.message = "nibtool: " + error;
        said_.push_back(view_.message);
    } else {
        fail(error);
    }
}

// The file to play after `file`, or the count of files.
std::size_t PlaySession::after(std::size_t file) const {
    for (++file; file < o_.files.size() && skipped_[file];)
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

void PlaySession::onFailed(Role role, std::size_t file, const std::string& error) {
    if (role == Preview) return;       // the whole import says why
    if (role == Whole && switching_) { // the file changed since it was read: the song playing plays on
        switching_ = false;
        announce(baseName(o_.files[file]) + ": " + error);
        return;
    }
    if (role == Whole && reloading_) {
        announce(wallClock() + " " + baseName(o_.files[file]) + " not loaded: " + error +
                 "; the last good one plays on");
        return;
    }
    refuse(file, error);
    const std::size_t next = after(file);
    if (role == Next) {
        if (next < o_.files.size()) spawn(Next, next, false);
        return;
    }
    // A file asked for (the first, or by n/p): the one after it plays instead, unless a song plays on.
    const bool playingOn = started_ && !view_.state.finished;
    if (next < o_.files.size() && !playingOn)
        load(next, false);
    else if (!playingOn)
        quit_ = true;
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
    const std::size_t file = childFile_[role];
    if (status == ChildLoad::Status::Failed) {
        onFailed(role, file, error);
        return;
    }
    song->file = file;
    modules_[file] = song->channels > 0 ? 1 : 0;
    if (role == Preview && !song->preview) role = Whole; // a ROM: the preview's child has it whole
    if (role == Whole) children_[Preview].cancel(), children_[Whole].cancel(); // no other version needed
    // A saved version is announced as soon as its preview takes over; the whole import follows silently.
    const bool reload = reloading_ && (role == Whole || role == Preview);
    if (role == Next) {
        if (song->rate != deviceRate_) {
            waiting_ = std::move(song); // the device opens again at its rate when this one ends
            return;
        }
        const AudioOutput::Lock lock(audio_);
        player_.queue(std::move(song));
        return;
    }
    bool offered = false;
    if (audio_.opened()) {
        const AudioOutput::Lock lock(audio_);
        offered = !switching_ && player_.song() && player_.song()->file == file && song->rate == deviceRate_;
        if (offered) player_.offer(song);
    }
    if (!offered && !play(song)) return;
    if (role == Whole && switching_) {
        switching_ = false;
        announce("song " + std::to_string(song->number) + " from its start");
        return;
    }
    if (reload && role == Preview) announceLoaded(*song, true);
    if (role == Whole) {
        announceLoaded(*song, reload);
        // The next file is made ready while this one plays, to follow it without a gap.
        if (!reload && after(file) < o_.files.size()) spawn(Next, after(file), false);
    }
}

void PlaySession::look() {
    std::shared_ptr<const Playable> released, playing;
    {
        const AudioOutput::Lock lock(audio_);
        view_.state = player_.look(&released);
        queued_ = player_.queued();
        if (view_.state.playing && view_.state.file != file_ && !reloading_) playing = player_.shared();
    }
    if (playing) {
        file_ = playing->file; // the player went on to the next file by itself
        noteFile(*playing);
        announceLoaded(*playing, false);
        if (after(file_) < o_.files.size()) spawn(Next, after(file_), false);
    }
    if (reloaded_ && view_.state.song == reloaded_) {
        const Place at = view_.state.takenAt;
        announce(wallClock() + " reloaded " + baseName(o_.files[view_.state.file]) + ", going on at order " +
                 std::to_string(at.order) + (view_.state.moduleChannels > 0 ? " row " : " line ") +
                 std::to_string(at.row) + reloadReport_);
        reloaded_ = nullptr;
        reloadAnnounced_ = true;
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
        if (key == Key::NextFile && after(file_) < o_.files.size()) load(after(file_), false);
        if (key == Key::PreviousFile) {
            std::size_t previous = file_;
            while (previous > 0 && skipped_[--previous]) {
            }
            if (previous < file_ && !skipped_[previous]) load(previous, false);
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
    songOf_[song->file] = number;
    if (number != song->number) { // said when it starts (see onChild)
        for (ChildLoad& child : children_)
            child.cancel();
        file_ = song->file;
        reloading_ = false;
        switching_ = true;
        spawn(Whole, file_, false);
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
    load(0, false);
    const int tick = terminal ? kFrameMs : kStatusTickMs;
    while (!quit_ && status_ == 0) {
        pollfd fds[3 + kRoles] = {{wake_.readFd(), POLLIN, 0},
                                  {terminal ? 0 : -1, POLLIN, 0},
                                  {watch ? watch->fd() : -1, POLLIN, 0}};
        for (int r = 0; r < kRoles; ++r)
            fds[3 + r] = {children_[r].running() ? children_[r].fd() : -1, POLLIN, 0};
        int timeout = tick;
        if (loadAt_ >= 0) timeout = static_cast<int>(std::max<std::int64_t>(0, loadAt_ - nowMs()));
        poll(fds, 3 + kRoles, std::min(timeout, tick));
        if (onWake()) break;
        if (terminal && (fds[1].revents & POLLIN)) onKeys(terminal->readKeys());
        if (watch && (fds[2].revents & POLLIN) && watch->changed()) loadAt_ = nowMs() + kSettleMs;
        if (loadAt_ >= 0 && nowMs() >= loadAt_) {
            loadAt_ = -1;
            load(file_, started_);
        }
        for (int r = 0; r < kRoles; ++r)
            if (children_[r].running() && (fds[3 + r].revents & (POLLIN | POLLHUP)))
                onChild(static_cast<Role>(r));
        if (status_ != 0) break;
        look();
        keepSpare();
        if (view_.state.finished && waiting_) { // the next file, at another rate
            const std::shared_ptr<Playable> song = std::move(waiting_);
            file_ = song->file;
            if (!play(song)) break;
            announceLoaded(*song, false);
            if (after(file_) < o_.files.size()) spawn(Next, after(file_), false);
            continue;
        }
        const std::size_t next = after(view_.state.file);
        const bool more = next < o_.files.size();
        if (view_.state.finished && !more) break;
        if (view_.state.finished && more && !queued_ && !children_[Next].running() &&
            !children_[Whole].running())
            load(next, false);
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
