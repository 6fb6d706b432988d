// nibtool render: song 0 through the same playback loop as nibplay, written as an audio file once
// through (or N times, or for a fixed time).
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "formats.h"
#include "host/load.h"
#include "host/playback.h"
#include "output_file.h"
#include "policy/policy.h"
#include "song_file.h"
#include "walk/song_walk.h"

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SoundFile = std::unique_ptr<SNDFILE, SndfileCloser>;

constexpr std::size_t kForever = ~std::size_t{0};

// An effect the render starts as a game does: playSample(entry, stream, tone) before output byte `at`.
struct EffectStart {
    std::size_t at = 0;
    std::uint8_t entry = 0, stream = 3, tone = kUnitTone;
};

// How long an effect plays from its start at `tone`, in output bytes (from the loaded image's entry);
// 0 for one that loops.
std::size_t effectBytes(std::uint8_t entry, std::uint8_t tone) {
    const SampleRecord& r = SampleInfo[entry];
    if (r.loopStart >= kLowestLoopStart || r.end <= r.start) return r.end <= r.start ? 1 : 0;
    return static_cast<std::size_t>(((r.end - r.start) * 256 + toneStep(tone) - 1) / toneStep(tone)) + 1;
}

// How many bytes a render of song `number` of `rom` writes: for `length` when it is a time, for ever, or
// else until the song has played `length.loops` passes (its first pass ends where its second begins), at
// most `cap`. `passes` tells where its passes end. Leaves the engine reset with the image loaded.
std::size_t renderLength(const std::vector<std::uint8_t>& rom, std::uint8_t number, const PlayLength& length,
                         int rate, std::size_t cap, SongLength& passes) {
    loadIntoEngine(rom);
    if (length.forever) return kForever;
    if (length.seconds > 0) return static_cast<std::size_t>(length.seconds * rate + 0.5);
    passes = walkSong(songStart(number), cap / kStepsPerCall);
    loadIntoEngine(rom); // the walk played the song on
    return passes.repeats ? std::min<std::size_t>(cap, passes.callsFor(length.loops) * kStepsPerCall) : cap;
}

// Renders `limit` bytes of song `number` of the loaded image (as a game starts it with playSong; with
// `alone`, no song at all), starting each effect (in order of `at`) where it says, handing each
// sequencer call's 13 bytes to `write`.
template <typename Write, typename Progress>
std::size_t renderSong(std::uint8_t number, bool alone, const std::vector<EffectStart>& effects,
                       std::size_t limit, Write&& write, Progress&& progress) {
    Playback playback;
    playback.start(number);
    if (alone) stopSong(); // the song clock runs with no song, as in a game before its first playSong
    std::uint8_t block[kStepsPerCall];
    std::size_t written = 0, next = 0;
    while (written < limit) {
        for (; next < effects.size() && effects[next].at <= written; ++next)
            playSample(effects[next].entry, effects[next].stream, effects[next].tone);
        // Each render of 13 bytes ends with the sequencer call that decides what follows them.
        std::size_t n = std::min(kStepsPerCall, limit - written);
        if (next < effects.size()) n = std::min(n, effects[next].at - written);
        playback.render(block, n);
        if (!write(block, n)) return written;
        written += n;
        progress(written);
    }
    return written;
}

// Where the audio goes: one output of the command's set, raw or through libsndfile.
class AudioSink {
  public:
    // Starts `format` at `rate` on output `index` of `outputs`, which are open. False with one line in
    // `error`.
    bool open(OutputSet& outputs, std::size_t index, const AudioFormat& format, int rate,
              std::string& error) {
        outputs_ = &outputs;
        index_ = index;
        exact_ = format.exactBytes;
        raw_ = (format.sndfile & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW;
        if (raw_) return true; // nibplay's bytes as they are
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = format.sndfile;
        if (!sf_format_check(&info)) {
            error = "this libsndfile cannot write '" + name() + "' as " + format.title;
            return false;
        }
        sound_.reset(sf_open_fd(outputs.fd(index), SFM_WRITE, &info, SF_FALSE));
        if (!sound_) {
            error = "cannot write '" + name() + "': " + sf_strerror(nullptr);
            return false;
        }
        return true;
    }
    // False when the bytes could not be written; a stream whose reader went away ends the command.
    bool write(const std::uint8_t* bytes, std::size_t n) {
        if (raw_) return outputs_->write(index_, bytes, n, error_);
        bool written = false;
        if (exact_) {
            written =
                sf_write_raw(sound_.get(), bytes, static_cast<sf_count_t>(n)) == static_cast<sf_count_t>(n);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                converted_[i] = static_cast<short>((bytes[i] - 128) * 256);
            written = sf_write_short(sound_.get(), converted_, static_cast<sf_count_t>(n)) ==
                      static_cast<sf_count_t>(n);
        }
        if (!written) outputs_->endIfReaderGone(index_);
        return written;
    }
    // Finishes the audio (its header written); the set then commits the output.
    bool close(std::string& error) {
        const std::string reason = sound_ && sf_error(sound_.get()) != 0 ? sf_strerror(sound_.get()) : "";
        sound_.reset();
        if (reason.empty()) return true;
        outputs_->endIfReaderGone(index_);
        error = "cannot write '" + name() + "': " + reason;
        return false;
    }
    std::string writeError() const {
        if (!error_.empty()) return error_;
        if (sound_ && sf_error(sound_.get()) != 0)
            return "cannot write '" + name() + "': " + sf_strerror(sound_.get());
        return "cannot write '" + name() + "': " + std::strerror(errno != 0 ? errno : EIO);
    }
    std::string name() const { return outputs_->name(index_); }
    // What a summary line names: the file written, or the song sent to standard output.
    std::string label(const std::string& song) const {
        return outputs_->path(index_) == "-" ? song + " to standard output" : outputs_->path(index_);
    }

  private:
    OutputSet* outputs_ = nullptr;
    std::size_t index_ = 0;
    bool exact_ = true, raw_ = false;
    std::string error_;
    SoundFile sound_;
    short converted_[kStepsPerCall];
};

struct RenderOptions {
    std::optional<int> rate;
    int song = 0; // --song
    PlayLength length;
    std::string format;
    bool quiet = false, forceRom = false;
    std::vector<std::string> effects; // --sfx N[@SECONDS]: an entry or an effect's name, and a time
};

// One --sfx: the effect (an entry 0-14, or a name the signature gives) and its time (-1: alone).
struct EffectAsked {
    std::string effect;
    double seconds = -1;
};

bool parseEffect(const std::string& text, EffectAsked& out) {
    const std::size_t at = text.rfind('@');
    out.effect = text.substr(0, at);
    if (out.effect.empty()) return false;
    if (at == std::string::npos) return true;
    char* end = nullptr;
    out.seconds = std::strtod(text.c_str() + at + 1, &end);
    return at + 1 < text.size() && *end == '\0' && out.seconds >= 0 && out.seconds <= kLongestSeconds;
}

// The effects asked for, on song `number` of the loaded image. False, with one line in `error`, for an
// effect the image does not hold.
bool placeEffects(const SongFile& song, const std::vector<EffectAsked>& asked, int rate,
                  std::vector<EffectStart>& out, std::size_t& lastEnd, std::string& error) {
    out.clear();
    lastEnd = 0;
    std::size_t after = 0; // effects alone play one after another
    for (const EffectAsked& a : asked) {
        const std::vector<SignatureEffect>& named = song.signature.effects;
        int index = -1;
        for (std::size_t i = 0; i < named.size() && index < 0; ++i)
            if (named[i].name == a.effect) index = static_cast<int>(i);
        EffectStart e;
        if (index < 0) {
            char* end = nullptr;
            const long entry = std::strtol(a.effect.c_str(), &end, 10);
            if (*end != '\0' || entry < 0 || entry >= static_cast<long>(kSampleEntries)) {
                error = "'" + song.file.path + "' has no effect '" + a.effect +
                        "' (name one its signature gives, or a sample entry 0-14)";
                return false;
            }
            e.entry = static_cast<std::uint8_t>(entry);
            for (std::size_t i = 0; i < named.size() && index < 0; ++i)
                if (named[i].entry == e.entry) index = static_cast<int>(i);
        }
        if (index >= 0) {
            const auto i = static_cast<std::size_t>(index);
            e.entry = named[i].entry;
            e.tone = named[i].tone;
            const auto n = static_cast<std::size_t>(song.number);
            if (n < song.signature.songs.size() && i < song.signature.songs[n].streams.size())
                e.stream = song.signature.songs[n].streams[i].stream;
        }
        const std::size_t length = effectBytes(e.entry, e.tone);
        e.at = a.seconds < 0 ? after : static_cast<std::size_t>(std::llround(a.seconds * rate));
        after = e.at + (length == 0 ? static_cast<std::size_t>(10 * rate) : length);
        lastEnd = std::max(lastEnd, after);
        out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const EffectStart& x, const EffectStart& y) { return x.at < y.at; });
    return true;
}

// Renders one song into `sink`; the summary line names `shown`.
int renderOne(SongFile& song, const RenderOptions& o, const std::vector<EffectAsked>& asked,
              AudioSink& sink) {
    const int rate = song.rate;
    const auto cap = static_cast<std::size_t>(kLongestSongSeconds * rate);
    const auto number = static_cast<std::uint8_t>(song.number);
    SongLength passes;
    std::size_t limit = renderLength(song.rom, number, o.length, rate, cap, passes);
    std::vector<EffectStart> effects;
    std::size_t effectsEnd = 0;
    std::string error;
    if (!placeEffects(song, asked, rate, effects, effectsEnd, error)) return fail(error);
    const bool alone = !asked.empty() && asked[0].seconds < 0;
    // Effects alone last as long as they play; over a song, the song plays on under the last one.
    if (alone && o.length.seconds == 0)
        limit = effectsEnd;
    else if (!o.length.forever && o.length.seconds == 0)
        limit = std::max(limit, effectsEnd);
    const bool showProgress = !o.quiet && isatty(2) != 0;
    std::size_t lastShown = 0;
    const auto progress = [&](std::size_t written) {
        if (!showProgress || written - lastShown < static_cast<std::size_t>(rate)) return;
        lastShown = written;
        std::fprintf(stderr, "\rrendering: %.0f s", static_cast<double>(written) / rate);
        if (passes.repeats)
            std::fprintf(stderr, ", pass %d of %d",
                         static_cast<int>(passes.passAt(written / kStepsPerCall)) + 1, o.length.loops);
        std::fflush(stderr);
    };
    bool failed = false;
    const auto write = [&](const std::uint8_t* bytes, std::size_t n) {
        return !(failed = !sink.write(bytes, n));
    };
    errno = 0;
    const std::size_t written = renderSong(number, alone, effects, limit, write, progress);
    if (showProgress) std::fputs("\r\033[K", stderr);
    if (failed) return fail(sink.writeError());
    std::string cut; // a song followed to the longest the tools follow
    if (!(o.length.seconds > 0 || alone || written < cap))
        cut = std::string(passes.repeats ? " (cut at " : " (the song did not repeat within ") +
              std::to_string(kLongestSongMinutes) + " minutes)";
    if (!o.quiet)
        std::fprintf(stderr, "%s: %zu samples, %.2f s at %d Hz%s\n", sink.label(song.file.path).c_str(),
                     written, static_cast<double>(written) / rate, rate, cut.c_str());
    return 0;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// FOLDER/NAME.ENDING for each of several songs.
std::string outputIn(const std::string& folder, const std::string& song, const AudioFormat& format) {
    std::string name = song.substr(song.rfind('/') == std::string::npos ? 0 : song.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return folder + (folder.back() == '/' ? "" : "/") + name + "." + format.name;
}

} // namespace

int runRender(const std::vector<std::string>& args) {
    CommandLine line("render");
    RenderOptions o;
    std::vector<std::string> files;
    line.rate(o.rate);
    line.length(o.length, true);
    line.song(o.song);
    line.text("--format", o.format, audioFormatNames());
    line.texts("--sfx", o.effects);
    line.quiet(o.quiet);
    line.forceRom(o.forceRom);
    line.files(files);
    if (const int status = line.parse(args); status >= 0) return status;
    if (files.size() < 2)
        return line.mistake("needs a ROM or module file and an output file (- for standard output)");
    std::vector<EffectAsked> asked(o.effects.size());
    for (std::size_t i = 0; i < asked.size(); ++i) {
        if (!parseEffect(o.effects[i], asked[i]))
            return line.mistake("--sfx needs an effect (a sample entry or a name) and maybe @SECONDS, not '" +
                                o.effects[i] + "'");
        if ((asked[i].seconds < 0) != (asked[0].seconds < 0))
            return line.mistake("--sfx: give every effect a time (over the song) or none (alone, in turn)");
    }
    const std::string out = files.back();
    files.pop_back();
    const bool toStdout = out == "-", intoFolder = !toStdout && isFolder(out);
    if (files.size() > 1 && !toStdout && !intoFolder)
        return line.mistake("with several songs, the output must be - or a folder to write their files in");
    const AudioFormat* format = !o.format.empty()        ? audioFormatNamed(o.format)
                                : toStdout || intoFolder ? audioFormatNamed(toStdout ? "raw" : "wav")
                                                         : audioFormatOf(out);
    if (!format)
        return line.mistake("cannot tell the format of '" + out + "' (end it in " +
                            audioFormatList(false, true) + ", or give --format)");

    // A format that streams is written as it plays; any other to a stream is made whole first.
    const auto access = format->streams ? OutputSet::Access::Sequential : OutputSet::Access::Seekable;
    OutputSet outputs;
    if (intoFolder)
        for (const std::string& song : files)
            outputs.add(outputIn(out, song, *format), access, song);
    else
        outputs.add(out, access);
    std::string error;
    if (!outputs.check(files, error)) return fail(error);
    if (!toStdout && !intoFolder)
        if (const std::string wrong = endingMismatch(out, format->title, format->name); !wrong.empty())
            return line.mistake(wrong);
    if (o.length.forever && (intoFolder || !outputs.isStream(0)))
        return line.mistake("--loop plays for ever: only with - (standard output) or a FIFO");
    if (o.length.forever && !format->streams)
        return line.mistake("--loop plays for ever, and " + std::string(format->title) +
                            " holds its length in its header: give --format " + audioFormatList(true));
    if (toStdout && isatty(1))
        return line.mistake("standard output is a terminal: pipe it to a player or a file");

    // Several songs to one output play in turn, at one rate.
    std::vector<SongFile> songs(files.size());
    SongRequest request;
    request.rate = o.rate;
    request.forceRom = o.forceRom;
    request.song = o.song;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!openSong(files[i], request, songs[i], error)) return fail(error);
        printNotes(songs[i], o.quiet, true);
        if (!intoFolder && songs[i].rate != songs[0].rate)
            return fail("'" + files[0] + "' plays at " + std::to_string(songs[0].rate) + " Hz and '" +
                        files[i] + "' at " + std::to_string(songs[i].rate) +
                        " Hz: one stream has one rate; give --rate");
    }
    if (!outputs.open(error)) return fail(error);
    AudioSink shared;
    if (!intoFolder && !shared.open(outputs, 0, *format, songs[0].rate, error)) return fail(error);
    for (std::size_t i = 0; i < songs.size(); ++i) {
        AudioSink own;
        AudioSink& sink = intoFolder ? own : shared;
        if (intoFolder && !own.open(outputs, i, *format, songs[i].rate, error)) return fail(error);
        if (const int status = renderOne(songs[i], o, asked, sink); status != 0) return status;
        if (intoFolder && !own.close(error)) return fail(error);
    }
    if (!intoFolder && !shared.close(error)) return fail(error);
    return outputs.commit(error) ? 0 : fail(error);
}
