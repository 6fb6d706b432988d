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
#include "nibtool/commands.h"
#include "nibtool/rom_file.h"
#include "source.h"
#include "view.h"
#include "watch.h"

namespace {

constexpr int kFrameMs = 40;       // the view's redraw period
constexpr int kStatusTickMs = 100; // how often the status line's second is checked
constexpr int kSettleMs = 150;     // a saved file is loaded once it has been left alone this long
constexpr double kMaxSeconds = 4 * 60 * 60;

struct PlayOptions {
    std::vector<std::string> files;
    int rate = 8000;
    double seconds = 0;
    bool loop = false, watch = false, quiet = false;
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

SourceKind kindOfFile(const std::string& path) {
    RomFile file;
    std::string error;
    return readRomFile(path, file, error) ? kindOf(file.bytes) : SourceKind::Rom;
}

std::string renderAdvice(const std::string& file) {
    if (kindOfFile(file) == SourceKind::Rom) return "nibtool render " + file + " out.wav";
    return "nibtool import " + file + " out.rom && nibtool render out.rom out.wav";
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
        : o_(o), player_(player), audio_(audio), wake_(wake) {
        view_.rate = o.rate;
        for (const std::string& file : o.files)
            kinds_.push_back(kindOfFile(file)); // a file keeps its kind through its saved versions
    }

    // Plays until the last file ends (0), q (0), a signal (128 + its number) or the first file fails to
    // load (1). Without a terminal, the status goes to standard error.
    int run(FileWatch* watch, Terminal* terminal);

  private:
    enum Role { Preview, Whole, Next, kRoles };
    void look();
    void show();
    bool onWake();
    void onKeys(const std::vector<Key>& keys);
    void load(std::size_t file, bool reload);
    void spawn(Role role, std::size_t file, double preview, bool ask);
    void onChild(Role role);
    void announce(const std::string& message);
    void announceLoaded(const Playable& song, bool reload);
    bool previews() const;

    const PlayOptions& o_;
    SongPlayer& player_;
    AudioOutput& audio_;
    const WakePipe& wake_;
    Terminal* terminal_ = nullptr;
    ViewData view_;
    ChildLoad children_[kRoles];
    std::vector<SourceKind> kinds_;
    std::size_t childFile_[kRoles] = {};
    std::size_t file_ = 0;           // the file playing or being loaded to play
    bool reloading_ = false;         // the children load a saved version of the file playing
    bool started_ = false;           // a song has played
    bool queued_ = false;            // the player has the next file ready
    const void* reloaded_ = nullptr; // a saved version offered to the player, to be announced
    std::string reloadReport_;       // what its import lost by the file being cut short
    std::int64_t loadAt_ = -1;       // when a saved file is to be loaded, or -1
    bool quit_ = false;
    int status_ = 0;
    std::uint64_t shownSecond_ = ~std::uint64_t{0};
};

// A quick preview only where someone listens: SDL's disk driver gets the whole import's bytes alone.
bool PlaySession::previews() const {
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || std::strcmp(driver, "disk") != 0;
}

void PlaySession::spawn(Role role, std::size_t file, double preview, bool ask) {
    std::string error;
    childFile_[role] = file;
    if (!children_[role].start(o_.files[file], o_.rate, preview, ask, kinds_[file], error))
        announce(baseName(o_.files[file]) + ": " + error);
}

// Starts preparing a file: to play from its start, or (reload) a saved version to go on where the song
// is. A module gets a preview too, of the song up to a little past where it is.
void PlaySession::load(std::size_t file, bool reload) {
    for (ChildLoad& child : children_)
        child.cancel();
    file_ = file;
    reloading_ = reload;
    const bool module = kinds_[file] == SourceKind::Module;
    double until = 0;
    if (reload) {
        const AudioOutput::Lock lock(audio_);
        until = double(player_.look().songBytes) / o_.rate;
    }
    if (module && previews()) spawn(Preview, file, until + kPreviewSeconds, reload);
    spawn(Whole, file, 0, reload || (module && previews()));
}

void PlaySession::announce(const std::string& message) {
    view_.message = message;
    if (!o_.quiet && !terminal_) std::fprintf(stderr, "%s\n", message.c_str());
}

void PlaySession::announceLoaded(const Playable& song, bool reload) {
    const std::string& file = o_.files[song.file];
    if (reload) { // said when it takes over (see look)
        reloaded_ = &song;
        reloadReport_.clear();
        for (const std::string& line : song.report)
            if (line.find("file ends") != std::string::npos || line.find("file's end") != std::string::npos ||
                line.find("cut short") != std::string::npos)
                reloadReport_ += "; " + line;
        return;
    }
    if (o_.quiet || terminal_) return;
    std::string about = file;
    if (!song.title.empty()) about += " \"" + song.title + "\"";
    if (song.facts.repeats)
        about += ": " + clockText(song.facts.onceThroughBytes, o_.rate) + " once through";
    else
        about += ": it does not repeat within 30 minutes";
    std::fprintf(stderr, "%s, at %d Hz\n", about.c_str(), o_.rate);
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
        if (role == Preview) return; // the whole import says why
        const std::string name = baseName(o_.files[file]);
        if (role == Whole && reloading_) {
            announce(wallClock() + " " + name + " not loaded: " + error + "; the last good one plays on");
        } else if (!started_) {
            status_ = fail("cannot import '" + o_.files[file] + "': " + error);
        } else {
            announce(name + " not loaded: " + error);
            if (role == Whole && file + 1 < o_.files.size())
                load(file + 1, false);
            else if (role == Whole && view_.state.finished)
                quit_ = true;
        }
        return;
    }
    song->file = file;
    if (role == Whole) children_[Preview].cancel(); // the whole one is here: no preview needed
    if (!audio_.opened()) {
        // The device opens with the first song: a device with nothing to play would only play silence.
        player_.start(song);
        started_ = true;
        std::string reason;
        if (!audio_.open(o_.rate, player_, wake_.writeFd(), reason)) {
            status_ = fail("no audio device to play on (SDL: " + reason +
                           "); to hear it, render it to a file: " + renderAdvice(o_.files[file]));
            return;
        }
        if (role == Whole) announceLoaded(*song, false);
        if (role == Whole && file + 1 < o_.files.size()) spawn(Next, file + 1, 0, false);
        return;
    }
    const bool reload = reloading_ && role == Whole;
    {
        const AudioOutput::Lock lock(audio_);
        if (role == Next) {
            player_.queue(std::move(song));
            return;
        }
        if (player_.song() && player_.song()->file == file)
            player_.offer(song);
        else
            player_.start(song);
    }
    if (role == Whole) {
        announceLoaded(*song, reload);
        // The next file is made ready while this one plays, to follow it without a gap.
        if (file + 1 < o_.files.size()) spawn(Next, file + 1, 0, false);
    }
}

void PlaySession::look() {
    std::shared_ptr<const Playable> released;
    {
        const AudioOutput::Lock lock(audio_);
        view_.state = player_.look(&released);
        queued_ = player_.queued();
    }
    if (view_.state.playing && view_.state.file != file_ && !reloading_) {
        file_ = view_.state.file; // the player went on to the next file by itself
        if (file_ + 1 < o_.files.size()) spawn(Next, file_ + 1, 0, false);
    }
    if (reloaded_ && view_.state.song == reloaded_) {
        const Place at = view_.state.takenAt;
        announce(wallClock() + " reloaded " + baseName(o_.files[view_.state.file]) + ", going on at order " +
                 std::to_string(at.order) + (view_.state.moduleChannels > 0 ? " row " : " line ") +
                 std::to_string(at.row) + reloadReport_);
        reloaded_ = nullptr;
    }
    view_.file = o_.files[view_.state.playing ? view_.state.file : file_];
    view_.title = view_.state.title;
    view_.files = o_.files.size();
}

void PlaySession::show() {
    if (terminal_) {
        terminal_->draw(view_);
        return;
    }
    const std::uint64_t second = view_.state.playedBytes / static_cast<std::uint64_t>(o_.rate);
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
        if (key == Key::NextFile && file_ + 1 < o_.files.size()) load(file_ + 1, false);
        if (key == Key::PreviousFile && file_ > 0) load(file_ - 1, false);
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
        const bool more = view_.state.file + 1 < o_.files.size();
        if (view_.state.finished && !more) break;
        if (view_.state.finished && more && !queued_ && !children_[Next].running() &&
            !children_[Whole].running())
            load(view_.state.file + 1, false);
        show();
    }
    return status_;
}

bool parseOptions(const std::vector<std::string>& args, PlayOptions& o, int& exitCode) {
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            std::fputs(kPlayUsage, stdout);
            exitCode = 0;
            return false;
        } else if (a == "--rate") {
            if (!hasValue || !parseNumber(args[++i], 1000L, 96000L, o.rate)) {
                exitCode = usageError("play", "--rate needs a rate in Hz, 1000-96000");
                return false;
            }
        } else if (a == "--seconds") {
            if (!hasValue || !parseNumber(args[++i], 0.001, kMaxSeconds, o.seconds)) {
                exitCode = usageError("play", "--seconds needs a length in seconds, up to 4 hours");
                return false;
            }
        } else if (a == "--loop") {
            o.loop = true;
        } else if (a == "--watch") {
            o.watch = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            exitCode = usageError("play", "unknown option '" + a + "'");
            return false;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        exitCode = usageError("play", "needs one file, a ROM or a module");
        return false;
    }
    if (o.loop && o.seconds > 0) {
        exitCode = usageError("play", "give --loop or --seconds, not both");
        return false;
    }
    o.files = files;
    return true;
}

} // namespace

int runPlay(const std::vector<std::string>& args) {
    PlayOptions o;
    int exitCode = 0;
    if (!parseOptions(args, o, exitCode)) return exitCode;
    // Files that cannot be read are refused before anything plays.
    for (const std::string& path : o.files) {
        RomFile file;
        std::string error;
        if (!readRomFile(path, file, error)) return fail(error);
    }
    // SDL's disk driver writes to sdlaudio.raw in the working folder unless told otherwise: only a file
    // named with SDL_DISKAUDIOFILE is written.
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    const char* diskFile = std::getenv("SDL_DISKAUDIOFILE");
    if (driver && std::strcmp(driver, "disk") == 0 && (!diskFile || !*diskFile))
        setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);

    SongPlayer::Ending ending;
    ending.loop = o.loop || (o.watch && o.seconds == 0); // a file being edited plays until q
    ending.bytes = static_cast<std::uint64_t>(o.seconds * o.rate + 0.5);
    SongPlayer player(ending);

    FileWatch watch;
    std::string error;
    if (o.watch && !watch.start(o.files[0], error)) return fail(error);
    const WakePipe wake;
    if (!wake.ok()) return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    AudioOutput audio; // opened when the first song is ready
    PlaySession session(o, player, audio, wake);
    if (o.quiet || !Terminal::usable()) return session.run(o.watch ? &watch : nullptr, nullptr);
    Terminal terminal;
    const int status = session.run(o.watch ? &watch : nullptr, &terminal);
    audio.close(); // the last buffers play out before the screen goes back
    return status;
}
