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
#include "nibtool/song_file.h"
#include "source.h"
#include "view.h"
#include "watch.h"

namespace {

constexpr int kFrameMs = 40;       // the view's redraw period
constexpr int kStatusTickMs = 100; // how often the status line's second is checked
constexpr int kSettleMs = 150;     // a saved file is loaded once it has been left alone this long
struct PlayOptions {
    std::vector<std::string> files; // played in turn
    std::optional<int> rateGiven;   // --rate
    PlayLength length;
    bool watch = false, quiet = false, forceRom = false;
    int song = 0;    // --song: the song of the image (0-3)
    int effect = -1; // --sfx: a sample entry to play over the song as it starts, as a game plays an effect
    // The file playing now, and its rate, length and ending.
    std::string file;
    int rate = 8000;
    double seconds = 0;
    bool loop = false;
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

// The loop of a playing song: keys, saved files, signals and the song's end, and the view.
class PlaySession {
  public:
    PlaySession(const PlayOptions& o, SourceKind kind, const Playable& song, SongPlayer& player,
                AudioOutput& audio, const WakePipe& wake)
        : o_(o), kind_(kind), player_(player), audio_(audio), wake_(wake) {
        view_.title = song.title;
        view_.file = o.file;
        view_.rate = o.rate;
        view_.facts = &player.facts();
    }

    // Plays until the song ends (0), q (0) or a signal (128 + its number). Without a terminal, the
    // status goes to standard error.
    int run(FileWatch* watch, Terminal* terminal);

  private:
    void look();
    void show();
    bool onWake();
    void onKeys(const std::vector<Key>& keys);
    void startLoad();
    void onLoaded();
    void announce(const std::string& message);

    const PlayOptions& o_;
    SourceKind kind_;
    SongPlayer& player_;
    AudioOutput& audio_;
    const WakePipe& wake_;
    Terminal* terminal_ = nullptr;
    ViewData view_;
    ChildLoad child_;
    std::int64_t loadAt_ = -1; // when a saved file is to be loaded, or -1
    bool quit_ = false;
    int status_ = 0;
    std::uint64_t shownSecond_ = ~std::uint64_t{0};
};

void PlaySession::look() {
    const AudioOutput::Lock lock(audio_);
    view_.state = player_.look();
}

void PlaySession::show() {
    if (terminal_) {
        terminal_->draw(view_);
        return;
    }
    const std::uint64_t second = view_.state.playedBytes / static_cast<std::uint64_t>(o_.rate);
    if (o_.quiet || second == shownSecond_) return;
    shownSecond_ = second;
    std::fprintf(stderr, "%s\n", statusLine(view_).c_str());
}

void PlaySession::announce(const std::string& message) {
    view_.message = message;
    if (!o_.quiet && !terminal_) std::fprintf(stderr, "%s\n", message.c_str());
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
    const AudioOutput::Lock lock(audio_);
    for (const Key key : keys) {
        switch (key) {
        case Key::Pause: player_.setPaused(!player_.paused()); break;
        case Key::Previous: player_.step(-1); break;
        case Key::Next: player_.step(+1); break;
        case Key::Quit: quit_ = true; break;
        }
    }
}

void PlaySession::startLoad() {
    loadAt_ = -1;
    std::string error;
    if (!child_.start(o_.file, kind_, o_.rate, error)) announce(baseName(o_.file) + ": " + error);
}

void PlaySession::onLoaded() {
    Playable song;
    std::string error;
    const ChildLoad::Status status = child_.collect(song, error);
    if (status == ChildLoad::Status::Working) return;
    if (status == ChildLoad::Status::Failed) {
        announce(wallClock() + " " + baseName(o_.file) + " not loaded: " + error +
                 "; the last good one plays on");
        return;
    }
    SongPosition at;
    {
        const AudioOutput::Lock lock(audio_);
        at = player_.position();
        player_.load(song.rom, &at);
        at = player_.position();
    }
    view_.title = song.title;
    announce(wallClock() + " reloaded " + baseName(o_.file) + ", going on at order " +
             std::to_string(at.order) + " line " + std::to_string(at.line));
}

int PlaySession::run(FileWatch* watch, Terminal* terminal) {
    terminal_ = terminal;
    if (!o_.quiet && !terminal) {
        std::string about = o_.file;
        if (!view_.title.empty()) about += " \"" + view_.title + "\"";
        if (player_.facts().repeats)
            about += ": " + clockText(player_.facts().onceThroughBytes, o_.rate) + " once through";
        else
            about += ": it does not repeat within 30 minutes";
        std::fprintf(stderr, "%s, at %d Hz\n", about.c_str(), o_.rate);
    }
    const int tick = terminal ? kFrameMs : kStatusTickMs;
    while (!quit_ && status_ == 0) {
        pollfd fds[4] = {{wake_.readFd(), POLLIN, 0},
                         {terminal ? 0 : -1, POLLIN, 0},
                         {watch ? watch->fd() : -1, POLLIN, 0},
                         {child_.running() ? child_.fd() : -1, POLLIN, 0}};
        int timeout = tick;
        if (loadAt_ >= 0) timeout = static_cast<int>(std::max<std::int64_t>(0, loadAt_ - nowMs()));
        poll(fds, 4, std::min(timeout, tick));
        if (onWake()) break;
        if (terminal && (fds[1].revents & POLLIN)) onKeys(terminal->readKeys());
        if (watch && (fds[2].revents & POLLIN) && watch->changed()) {
            child_.cancel(); // a newer version replaces the one being loaded
            loadAt_ = nowMs() + kSettleMs;
        }
        if (loadAt_ >= 0 && nowMs() >= loadAt_) startLoad();
        if (child_.running() && (fds[3].revents & (POLLIN | POLLHUP))) onLoaded();
        look();
        if (view_.state.finished) break;
        show();
    }
    return status_;
}

// False when the command is done, with its exit status in `exitCode`.
bool parseOptions(const std::vector<std::string>& args, PlayOptions& o, int& exitCode) {
    CommandLine line("play", kPlayUsage);
    line.rate(o.rateGiven);
    line.length(o.length, true);
    line.flag("--watch", o.watch);
    line.song(o.song);
    line.number("--sfx", o.effect, 0, static_cast<int>(kSampleEntries) - 1, "a sample entry");
    line.quiet(o.quiet);
    line.forceRom(o.forceRom);
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
    o.seconds = o.length.seconds;
    o.loop = o.length.forever;
    return true;
}

std::string renderAdvice(const std::string& file, SourceKind) {
    return "nibtool render " + file + " out.wav";
}

// The tone an effect entry plays at: the one the bank stored it for, else the tone whose step reads one
// byte per output sample.
std::uint8_t effectTone(const SongFile& file, int entry) {
    if (file.signedRom)
        for (const SignatureEffect& e : file.signature.effects)
            if (e.entry == entry) return e.tone;
    return kUnitTone;
}

// Plays one file; returns the exit status.
int playOne(PlayOptions& o) {
    SongRequest request;
    request.rate = o.rateGiven;
    request.forceRom = o.forceRom;
    request.song = o.song;
    const bool note = !o.quiet && isatty(2); // a long song takes seconds to import
    if (note) std::fprintf(stderr, "reading %s...", o.file.c_str());
    SongFile file;
    std::string error;
    const bool opened = openSong(o.file, request, file, error);
    if (note) std::fputs("\r\033[K", stderr);
    if (!opened) return fail(error);
    printNotes(file, o.quiet, false);
    const SourceKind kind = file.file.kind == FileKind::Module ? SourceKind::Module : SourceKind::Rom;
    const Playable song{file.title, file.rom};
    o.rate = file.rate;

    SongPlayer::Ending ending;
    ending.loop = o.loop || (o.watch && o.seconds == 0); // a file being edited plays until q
    ending.bytes = static_cast<std::uint64_t>(o.seconds * o.rate + 0.5);
    ending.passes = o.length.loops;
    SongPlayer player(o.rate, ending);
    player.setSong(static_cast<std::uint8_t>(o.song));
    player.load(song.rom);
    if (o.effect >= 0) player.playEffect(static_cast<std::uint8_t>(o.effect), effectTone(file, o.effect));

    FileWatch watch;
    if (o.watch && !watch.start(o.file, error)) return fail(error);
    const WakePipe wake;
    if (!wake.ok()) return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    AudioOutput audio;
    if (!audio.open(o.rate, player, wake.writeFd(), error))
        return fail("no audio device to play on (SDL: " + error +
                    "); to hear it, render it to a file: " + renderAdvice(o.file, kind));

    PlaySession session(o, kind, song, player, audio, wake);
    if (o.quiet || !Terminal::usable()) return session.run(o.watch ? &watch : nullptr, nullptr);
    Terminal terminal;
    const int status = session.run(o.watch ? &watch : nullptr, &terminal);
    audio.close(); // the last buffers play out before the screen goes back
    return status;
}

} // namespace

int runPlay(const std::vector<std::string>& args) {
    PlayOptions o;
    int exitCode = 0;
    if (!parseOptions(args, o, exitCode)) return exitCode;
    int worst = 0;
    for (const std::string& file : o.files) {
        o.file = file;
        const int status = playOne(o);
        if (status > 1) return status; // a signal ends them all; a file that does not play is passed over
        worst = std::max(worst, status);
    }
    return worst;
}
