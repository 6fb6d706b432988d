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
#include "walk/song_walk.h"

extern char** environ;

namespace {

// Lines from the place asked for that get a resume: the song may play on that long before it is taken.
constexpr double kWindowSeconds = 4;

static_assert(std::is_trivially_copyable_v<EngineSnapshot> && std::is_trivially_copyable_v<LineStart> &&
              std::is_trivially_copyable_v<LineOrigin> && std::is_trivially_copyable_v<Resume>);

// The child's message: '?' when it asks where to go on from; then 'L' and the prepared song, or 'F' and
// the reason. Numbers are 8 bytes, little-endian; texts and lists a byte count and their bytes.
class Writer {
  public:
    void number(std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void run(const void* data, std::size_t size) {
        number(size);
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void text(const std::string& t) { run(t.data(), t.size()); }
    template <typename T> void items(const std::vector<T>& v) { run(v.data(), v.size() * sizeof(T)); }
    std::vector<std::uint8_t> bytes;
};

// Reads what Writer wrote; every count is checked against the bytes that arrived.
class Reader {
  public:
    Reader(const std::vector<std::uint8_t>& bytes, std::size_t at) : bytes_(bytes), at_(at) {}
    std::uint64_t number() {
        if (bytes_.size() - at_ < 8) return ok_ = false, 0;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t{bytes_[at_++]} << (8 * i);
        return v;
    }
    std::string text() {
        const std::size_t n = runSize(1);
        std::string t(reinterpret_cast<const char*>(bytes_.data() + at_), n);
        at_ += n;
        return t;
    }
    template <typename T> void items(std::vector<T>& v) {
        const std::size_t n = runSize(sizeof(T));
        v.resize(n / sizeof(T));
        if (n > 0) std::memcpy(static_cast<void*>(v.data()), bytes_.data() + at_, n);
        at_ += n;
    }
    bool ok() const { return ok_; }

  private:
    std::size_t runSize(std::size_t unit) {
        const std::uint64_t n = number();
        if (!ok_ || n > bytes_.size() - at_ || n % unit != 0) return ok_ = false, 0;
        return static_cast<std::size_t>(n);
    }
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_;
    bool ok_ = true;
};

void putTexts(Writer& w, const std::vector<std::string>& lines) {
    w.number(lines.size());
    for (const std::string& line : lines)
        w.text(line);
}

void getTexts(Reader& r, std::vector<std::string>& lines) {
    for (std::uint64_t n = r.number(); n > 0 && r.ok(); --n)
        lines.push_back(r.text());
}

void putSong(Writer& w, const Playable& s) {
    w.text(s.title);
    putTexts(w, s.cutShort);
    putTexts(w, s.warnings);
    putTexts(w, s.notes);
    w.number(static_cast<std::uint64_t>(s.channels));
    w.number(s.preview);
    w.number(s.startCall);
    w.number(static_cast<std::uint64_t>(s.rate));
    w.items(s.rom);
    w.number(s.number);
    w.number(s.effects.size());
    for (const SignatureEffect& e : s.effects) {
        w.number(e.entry);
        w.number(e.tone);
        w.text(e.name);
    }
    w.items(s.effectStreams);
    w.number(s.origins.size());
    for (const auto& position : s.origins)
        w.items(position);
    w.items(s.facts.orders);
    w.number(s.facts.length.repeats);
    w.number(s.facts.length.onceThroughCalls);
    w.number(s.facts.length.passCalls);
    w.number(s.facts.length.ends);
    w.number(s.facts.capCalls);
    w.items(s.facts.lines);
    w.items(s.resumes);
}

bool getSong(Reader& r, Playable& s) {
    s.title = r.text();
    getTexts(r, s.cutShort);
    getTexts(r, s.warnings);
    getTexts(r, s.notes);
    s.channels = static_cast<int>(r.number() & 0xFFFF);
    s.preview = r.number() != 0;
    s.startCall = r.number();
    s.rate = static_cast<int>(std::clamp<std::uint64_t>(r.number(), 1000, 96000));
    r.items(s.rom);
    s.number = static_cast<std::uint8_t>(r.number() % kSongs);
    for (std::uint64_t n = std::min<std::uint64_t>(r.number(), kMaxSignatureEffects); n > 0 && r.ok(); --n) {
        SignatureEffect e;
        e.entry = static_cast<std::uint8_t>(r.number() % kSampleEntries);
        e.tone = static_cast<std::uint8_t>(r.number() & 0xFF);
        e.name = r.text();
        s.effects.push_back(e);
    }
    r.items(s.effectStreams);
    for (std::uint8_t& stream : s.effectStreams)
        stream = static_cast<std::uint8_t>(stream % kStreams);
    for (std::uint64_t n = std::min<std::uint64_t>(r.number(), kOrderPositions); n > 0 && r.ok(); --n) {
        s.origins.emplace_back();
        r.items(s.origins.back());
    }
    r.items(s.facts.orders);
    s.facts.length.repeats = r.number() != 0;
    s.facts.length.onceThroughCalls = r.number();
    s.facts.length.passCalls = r.number();
    s.facts.length.ends = r.number() != 0;
    s.facts.capCalls = r.number();
    r.items(s.facts.lines);
    r.items(s.resumes);
    s.index();
    return r.ok() && !s.resumes.empty();
}

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

std::vector<std::uint8_t> encodeSong(const Playable& song) {
    Writer w;
    putSong(w, song);
    return std::move(w.bytes);
}

bool decodeSong(const std::vector<std::uint8_t>& bytes, Playable& song) {
    Reader r(bytes, 0);
    return getSong(r, song);
}

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

namespace {

// How much less CPU a whole import gets than the preview beside it, where the two cores are busy.
constexpr int kBackgroundNice = 5;
// FILE RATE FORCE SONG PREVIEW ASK FROM
constexpr std::size_t kChildArguments = 7;

// A spare child's arguments, as its parent sends them: each ended by a NUL. Empty if the parent goes.
std::vector<std::string> readArguments() {
    std::vector<std::string> args(1);
    constexpr std::size_t kMostBytes = 64 * 1024;
    for (std::size_t got = 0; got < kMostBytes && args.size() <= kChildArguments; ++got) {
        char c = 0;
        const ssize_t n = read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        if (c != '\0')
            args.back() += c;
        else
            args.emplace_back();
    }
    args.pop_back();
    return args;
}

} // namespace

int runPlayChild(const std::vector<std::string>& given) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) return 2;
    const std::vector<std::string> args = given.empty() ? readArguments() : given;
    if (args.size() != kChildArguments) return 2;
    SongRequest request;
    if (const int rate = std::atoi(args[1].c_str()); rate > 0) request.rate = std::clamp(rate, 1000, 96000);
    request.forceRom = args[2] == "1";
    request.song = std::clamp(std::atoi(args[3].c_str()), 0, static_cast<int>(kSongs) - 1);
    request.previewSeconds = std::clamp(std::atof(args[4].c_str()), 0.0, kLongestSongSeconds);
    const bool ask = args[5] == "1";
    request.previewFrom = std::clamp(std::atof(args[6].c_str()), 0.0, kLongestSongSeconds);
    Writer w;
    SongFile file;
    std::string error;
    bool opened = openSong(args[0], request, file, error);
    // A module silent in its opening seconds has nothing to preview there: a longer preview, still far
    // quicker than the whole import.
    for (int longer = 0; !opened && request.previewSeconds > 0 && longer < 2; ++longer) {
        request.previewSeconds *= 4;
        opened = openSong(args[0], request, file, error);
    }
    if (!opened) {
        w.bytes.push_back('F');
        w.text(error);
        return writeAll(1, w.bytes) ? 0 : 1;
    }
    const bool preview = file.file.kind == FileKind::Module && request.previewSeconds > 0;
    Playable song;
    prepareSong(std::move(file), song);

    song.preview = preview;
    Place near;
    if (ask) {
        if (!writeAll(1, {'?'})) return 1;
        char line[64] = {};
        std::size_t got = 0;
        while (got + 1 < sizeof line) {
            const ssize_t n = read(0, line + got, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || line[got] == '\n') break;
            ++got;
        }
        if (std::sscanf(line, "%d %d", &near.order, &near.row) != 2) return 1;
    }
    addResumes(song, ask ? &near : nullptr, kWindowSeconds);
    w.bytes.push_back('L');
    putSong(w, song);
    return writeAll(1, w.bytes) ? 0 : 1;
}

namespace {

std::vector<std::string> childArguments(const std::string& path, const SongRequest& request, bool ask) {
    char previewText[32], fromText[32];
    std::snprintf(previewText, sizeof previewText, "%.3f", request.previewSeconds);
    std::snprintf(fromText, sizeof fromText, "%.3f", request.previewFrom);
    return {path,
            std::to_string(request.rate.value_or(0)),
            request.forceRom ? "1" : "0",
            std::to_string(request.song),
            previewText,
            ask ? "1" : "0",
            fromText};
}

} // namespace

bool ChildLoad::start(const std::string& path, const SongRequest& request, bool ask, std::string& error) {
    cancel();
    return spawn(childArguments(path, request, ask), error);
}

bool ChildLoad::start(ChildLoad& spare, const std::string& path, const SongRequest& request, bool ask,
                      std::string& error) {
    if (!spare.running()) return start(path, request, ask, error);
    cancel();
    std::swap(pid_, spare.pid_);
    std::swap(fd_, spare.fd_);
    std::swap(toChild_, spare.toChild_);
    asked_ = false;
    received_.clear();
    std::string message;
    for (const std::string& arg : childArguments(path, request, ask))
        message += arg + '\0';
    if (writeAll(toChild_, std::vector<std::uint8_t>(message.begin(), message.end()))) return true;
    return start(path, request, ask, error); // the spare has gone: a new child
}

bool ChildLoad::startSpare(std::string& error) {
    cancel();
    return spawn({}, error);
}

bool ChildLoad::spawn(const std::vector<std::string>& args, std::string& error) {
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
    std::vector<const char*> argv{"nibtool", kPlayChildCommand};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, const_cast<char**>(argv.data()), environ);
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
    asked_ = false;
    received_.clear();
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
}

void ChildLoad::yieldToOthers() {
    if (pid_ > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(pid_), kBackgroundNice);
}

void ChildLoad::answer(const Place& place) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%d %d\n", place.order, place.row);
    if (toChild_ >= 0 && write(toChild_, line, static_cast<std::size_t>(n)) < 0) {
        // The child has gone: collect says why.
    }
}

ChildLoad::Status ChildLoad::collect(Playable& out, std::string& error) {
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            received_.insert(received_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) { // nothing more yet
            if (!asked_ && received_.size() == 1 && received_[0] == '?') {
                asked_ = true;
                received_.clear();
                return Status::Asking;
            }
            return Status::Working;
        }
        break; // the child closed its end
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    const std::vector<std::uint8_t> message = std::move(received_);
    cancel();
    const std::size_t at = !message.empty() && message[0] == '?' ? 1 : 0;
    Reader r(message, at + 1);
    if (message.size() > at && message[at] == 'L' && getSong(r, out)) return Status::Loaded;
    if (message.size() > at && message[at] == 'F') {
        error = r.text();
        if (r.ok()) return Status::Failed;
    }
    if (WIFSIGNALED(status))
        error = std::string("the import stopped: ") + strsignal(WTERMSIG(status));
    else
        error = "the import stopped without a result";
    return Status::Failed;
}
