#include "source.h"

#include "import/report.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>

#include "engine/format.h"
#include "engine/sequencer.h"
#include "host/load.h"
#include "host/playback.h"
#include "import/import.h"
#include "import/report.h"
#include "message.h"
#include "walk/song_walk.h"

extern char** environ;

namespace {

// Lines from the place asked for that get a resume: the song may play on that long before it is taken.
constexpr double kWindowSeconds = 4;

// The song's first pass: the first start of every line and the speeds then, where the pass ends. The
// sequencer alone decides the song's course (the mixer never feeds back into it), so only it runs.
struct FirstStarts : WalkVisitor {
    const Playable& song;
    SongFacts& facts;
    bool played[kOrderPositions] = {}, seen[kOrderPositions][256] = {}; // by order position and line

    FirstStarts(const Playable& s, SongFacts& f) : song(s), facts(f) {}
    bool call(const WalkCall& c, const SongLines& lines) {
        if (!c.lineStarted) return true;
        const LineState& s = lines.started();
        played[s.order] = true;
        if (!seen[s.order][s.line]) {
            seen[s.order][s.line] = true;
            facts.lines.push_back(
                {s.order, s.line, s.durationLine, s.durationTick, c.number, song.placeOf(s.order, s.line)});
        }
        return true;
    }
};

SongFacts walk(const Playable& song) {
    SongFacts facts;
    loadIntoEngine(song.rom);
    facts.capCalls = longestSongCalls(song.rate);
    auto firstStarts = std::make_unique<FirstStarts>(song, facts);
    facts.length = walkSong(songStart(song.number), {facts.capCalls}, *firstStarts);
    for (std::size_t order = 0; order < kOrderPositions; ++order)
        if (firstStarts->played[order]) facts.orders.push_back(static_cast<std::uint8_t>(order));
    return facts;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

Place Playable::placeOf(std::uint8_t order, std::uint8_t line) const {
    if (channels == 0) return {order, line};
    if (order < origins.size() && line < origins[order].size())
        return {origins[order][line].order, origins[order][line].row};
    return {};
}

const LineStart* Playable::find(const Place& place) const {
    const LineStart* sameOrder = nullptr;
    for (const LineStart& s : facts.lines) {
        if (s.place == place) return &s;
        if (!sameOrder && s.place.order == place.order) sameOrder = &s;
    }
    return sameOrder;
}

std::uint8_t Playable::effectTone(std::uint8_t entry) const {
    for (const SignatureEffect& e : effects)
        if (e.entry == entry) return e.tone;
    return kUnitTone;
}

std::uint8_t Playable::effectStream(std::uint8_t entry) const {
    for (std::size_t i = 0; i < effects.size() && i < effectStreams.size(); ++i)
        if (effects[i].entry == entry) return effectStreams[i];
    return kStreams - 1;
}

const LineStart* Playable::firstStart(std::uint8_t order, std::uint8_t line) const {
    const std::size_t at = std::size_t{order} * kLinesPerPattern + line;
    return at < lineIndex_.size() && lineIndex_[at] >= 0
               ? &facts.lines[static_cast<std::size_t>(lineIndex_[at])]
               : nullptr;
}

void Playable::index() {
    lineIndex_.assign(kOrderPositions * kLinesPerPattern, -1);
    for (std::size_t i = 0; i < facts.lines.size(); ++i) {
        const std::size_t at = std::size_t{facts.lines[i].order} * kLinesPerPattern + facts.lines[i].line;
        if (facts.lines[i].line < kLinesPerPattern && lineIndex_[at] < 0)
            lineIndex_[at] = static_cast<std::int32_t>(i);
    }
}

void prepareSong(SongFile&& file, Playable& out) {
    out = Playable();
    out.rate = file.rate;
    out.title = std::move(file.title);
    out.warnings = std::move(file.warnings);
    out.notes = std::move(file.notes);
    out.rom = std::move(file.rom);
    out.number = static_cast<std::uint8_t>(file.number);
    if (file.signedRom) out.effects = file.signature.effects;
    if (file.signedRom && out.number < file.signature.songs.size())
        for (const EffectStream& e : file.signature.songs[out.number].streams)
            out.effectStreams.push_back(e.stream);
    if (file.file.kind == FileKind::Module) {
        out.cutShort = fileCutLines(file.import.losses);
        out.channels = std::max(1, file.import.channels);
        out.origins = std::move(file.import.origins);
        out.startCall = static_cast<std::uint64_t>(file.import.startSeconds * out.rate / kStepsPerCall + 0.5);
    }
    out.facts = walk(out);
    out.index();
}

namespace {

// The engine's state at each line that first starts from call `from` on, up to the walk's end.
struct LineResumes : WalkVisitor {
    Playable& song;
    std::uint64_t from;

    LineResumes(Playable& s, std::uint64_t f) : song(s), from(f) {}
    bool call(const WalkCall& c, const SongLines& lines) {
        if (!c.lineStarted || c.number < from || lines.repeated()) return true;
        const LineState& s = lines.started();
        song.resumes.push_back({c.number, s.order, s.line, song.placeOf(s.order, s.line), snapshotEngine()});
        return true;
    }
};

} // namespace

void addResumes(Playable& song, const Place* near, double windowSeconds) {
    loadIntoEngine(song.rom);
    const EngineSnapshot start = songStart(song.number);
    song.resumes = {{0, 0, 0, song.placeOf(0, 0), start}};
    const LineStart* from = near ? song.find(*near) : nullptr;
    if (!from) return;
    // The song repeats from its first repeat on: its places are all known there.
    const std::uint64_t last =
        from->call + static_cast<std::uint64_t>(windowSeconds * song.rate / kStepsPerCall);
    LineResumes resumes(song, from->call);
    walkSong(start, {last, true}, resumes);
}

bool openToPlay(const std::string& path, SongRequest request, SongFile& file, std::string& error) {
    bool opened = openSong(path, request, file, error);
    // A module silent in its opening seconds has nothing to preview there: a longer preview, still far
    // quicker than the whole import.
    for (int longer = 0; !opened && request.previewSeconds > 0 && longer < 2; ++longer) {
        request.previewSeconds *= 4;
        opened = openSong(path, request, file, error);
    }
    return opened;
}

namespace {

// How much less CPU a whole import gets than the preview beside it, where the two cores are busy.
constexpr int kBackgroundNice = 5;

bool send(int fd, const ChildMessage& message) {
    return writeAll(fd, encodeMessage(message));
}

// The messages that come on a descriptor, one at a time, waiting for each.
class MessageIn {
  public:
    explicit MessageIn(int fd) : fd_(fd) {}
    // False when the other end has gone, or sent what is not a message.
    bool next(ChildMessage& out) {
        for (;;) {
            std::size_t used = 0;
            const Decoded decoded = decodeMessage(bytes_.data(), bytes_.size(), out, used);
            if (decoded == Decoded::Whole) {
                bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(used));
                return true;
            }
            if (decoded == Decoded::Bad) return false;
            std::uint8_t buffer[4096];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes_.insert(bytes_.end(), buffer, buffer + n);
        }
    }

  private:
    int fd_;
    std::vector<std::uint8_t> bytes_;
};

ChildMessage failed(const std::string& error) {
    ChildMessage m;
    m.kind = ChildMessage::Kind::Failed;
    m.error = error;
    return m;
}

} // namespace

int runPlayChild(const std::vector<std::string>& args) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1 || !args.empty()) return 2;
    MessageIn in(0);
    ChildMessage asked;
    if (!in.next(asked) || asked.kind != ChildMessage::Kind::Prepare) return 2;
    SongRequest& request = asked.request;
    request.previewSeconds = std::clamp(request.previewSeconds, 0.0, kLongestSongSeconds);
    request.previewFrom = std::clamp(request.previewFrom, 0.0, kLongestSongSeconds);
    SongFile file;
    std::string error;
    if (!openToPlay(asked.path, request, file, error)) return send(1, failed(error)) ? 0 : 1;
    ChildMessage loaded;
    loaded.kind = ChildMessage::Kind::Loaded;
    Playable& song = loaded.song;
    const bool preview = file.file.kind == FileKind::Module && request.previewSeconds > 0;
    prepareSong(std::move(file), song);
    song.preview = preview;
    ChildMessage where;
    if (asked.ask) {
        ChildMessage asking;
        asking.kind = ChildMessage::Kind::Asking;
        if (!send(1, asking) || !in.next(where) || where.kind != ChildMessage::Kind::Place) return 1;
    }
    addResumes(song, asked.ask ? &where.place : nullptr, kWindowSeconds);
    return send(1, loaded) ? 0 : 1;
}

bool ChildLoad::start(const std::string& path, const SongRequest& request, bool ask, std::string& error) {
    ChildLoad none;
    return start(none, path, request, ask, error);
}

bool ChildLoad::start(ChildLoad& spare, const std::string& path, const SongRequest& request, bool ask,
                      std::string& error) {
    cancel();
    ChildMessage prepare;
    prepare.kind = ChildMessage::Kind::Prepare;
    prepare.path = path;
    prepare.request = request;
    prepare.ask = ask;
    if (spare.running()) {
        std::swap(pid_, spare.pid_);
        std::swap(fd_, spare.fd_);
        std::swap(toChild_, spare.toChild_);
        if (send(toChild_, prepare)) return true;
        cancel(); // the spare has gone: a new child
    }
    if (!spawn(error)) return false;
    if (send(toChild_, prepare)) return true;
    cancel();
    error = std::string("cannot start a process: ") + std::strerror(errno != 0 ? errno : EPIPE);
    return false;
}

bool ChildLoad::startSpare(std::string& error) {
    cancel();
    return spawn(error);
}

bool ChildLoad::spawn(std::string& error) {
    int fromChild[2], toChild[2];
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(fromChild[0]), close(fromChild[1]);
        return false;
    }
    // The child is nibtool itself, started afresh: its standard input and output are the pipes, its
    // standard error goes nowhere (the view owns the terminal), and every signal has its default action.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const char* argv[] = {"nibtool", kPlayChildCommand, nullptr};
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fromChild[1]);
    close(toChild[0]);
    if (failed != 0) {
        error = std::string("cannot start a process: ") + std::strerror(failed);
        close(fromChild[0]), close(toChild[1]);
        return false;
    }
    fcntl(fromChild[0], F_SETFL, O_NONBLOCK);
    pid_ = pid;
    fd_ = fromChild[0];
    toChild_ = toChild[1];
    return true;
}

void ChildLoad::cancel() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
    if (toChild_ >= 0) close(toChild_);
    pid_ = -1;
    fd_ = toChild_ = -1;
    received_.clear();
}

void ChildLoad::yieldToOthers() {
    if (pid_ > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(pid_), kBackgroundNice);
}

void ChildLoad::answer(const Place& place) {
    ChildMessage m;
    m.kind = ChildMessage::Kind::Place;
    m.place = place;
    if (toChild_ >= 0 && !send(toChild_, m)) {
        // The child has gone: collect says why.
    }
}

ChildLoad::Status ChildLoad::collect(Playable& out, std::string& error) {
    bool ended = false;
    for (std::uint8_t buffer[64 * 1024];;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            received_.insert(received_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        ended = n == 0; // else nothing more yet
        break;
    }
    ChildMessage message;
    std::size_t used = 0;
    const Decoded decoded = decodeMessage(received_.data(), received_.size(), message, used);
    if (decoded == Decoded::Whole) {
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(used));
        switch (message.kind) {
        case ChildMessage::Kind::Asking: return Status::Asking;
        case ChildMessage::Kind::Loaded:
            cancel();
            out = std::move(message.song);
            return Status::Loaded;
        case ChildMessage::Kind::Failed:
            cancel();
            error = message.error;
            return Status::Failed;
        default: break; // a player's message from a child is none of its own
        }
    } else if (decoded == Decoded::Incomplete && !ended) {
        return Status::Working;
    }
    int status = 0;
    if (ended) waitpid(pid_, &status, 0), pid_ = -1;
    cancel();
    if (ended && WIFSIGNALED(status))
        error = std::string("the import stopped: ") + strsignal(WTERMSIG(status));
    else
        error = "the import stopped without a result";
    return Status::Failed;
}
