// nibtool render: song 0 through the same playback loop as nibplay, written as an audio file once
// through (or N times, or for a fixed time).
#include <sndfile.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "host/playback.h"
#include "host/song_walk.h"
#include "rom_file.h"

namespace {

constexpr double kCapSeconds = 30 * 60;

struct FileFormat {
    const char* ending;
    int format;
    bool exactBytes; // the file stores nibplay's unsigned bytes as they are
};

constexpr FileFormat kFormats[] = {
    {".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, true},    {".w64", SF_FORMAT_W64 | SF_FORMAT_PCM_U8, true},
    {".raw", SF_FORMAT_RAW | SF_FORMAT_PCM_U8, true},    {".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8, false},
    {".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, false}, {".aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, false},
    {".au", SF_FORMAT_AU | SF_FORMAT_PCM_S8, false},     {".caf", SF_FORMAT_CAF | SF_FORMAT_PCM_S8, false},
    {".ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false},
};

const FileFormat* formatFor(const std::string& path) {
    for (const FileFormat& f : kFormats) {
        const std::string ending = f.ending;
        if (path.size() > ending.size() &&
            path.compare(path.size() - ending.size(), ending.size(), ending) == 0)
            return &f;
    }
    return nullptr;
}

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SoundFile = std::unique_ptr<SNDFILE, SndfileCloser>;

struct Options {
    std::string rom, out;
    int rate = 8000;
    double seconds = 0; // 0: stop where the song repeats
    int loops = 1;
};

// Renders song 0 and hands each sequencer call's 13 bytes to `write`, until the song has repeated
// `loops` times, or `bytes` have been written when that is set.
template <typename Write, typename Progress>
std::size_t renderSong(const Options& o, std::size_t cap, Write&& write, Progress&& progress) {
    Playback playback;
    playback.start();
    SongPasses passes;
    std::uint8_t block[kStepsPerCall];
    std::size_t written = 0;
    const std::size_t fixed = o.seconds > 0 ? static_cast<std::size_t>(o.seconds * o.rate + 0.5) : 0;
    const std::size_t limit = fixed > 0 ? fixed : cap;
    while (written < limit) {
        // Each render of 13 bytes ends with the sequencer call that decides what follows them.
        const std::size_t n = std::min(kStepsPerCall, limit - written);
        playback.render(block, n);
        if (!write(block, n)) return written;
        written += n;
        progress(written, passes.count());
        if (fixed == 0 && passes.afterCall() && passes.count() == o.loops) break;
    }
    return written;
}

} // namespace

int runRender(const std::vector<std::string>& args) {
    Options o;
    bool loopsGiven = false;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            std::fputs(kRenderUsage, stdout);
            return 0;
        } else if (a == "--rate") {
            if (!hasValue || !parseNumber(args[++i], 1L, 655350L, o.rate))
                return usageError("render", "--rate needs a rate in Hz, 1-655350");
        } else if (a == "--seconds") {
            if (!hasValue || !parseNumber(args[++i], 0.001, kCapSeconds * 4, o.seconds))
                return usageError("render", "--seconds needs a length in seconds, up to 2 hours");
        } else if (a == "--loops") {
            if (!hasValue || !parseNumber(args[++i], 1L, 1000L, o.loops))
                return usageError("render", "--loops needs a count, 1-1000");
            loopsGiven = true;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("render", "unknown option '" + a + "'");
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) return usageError("render", "needs a ROM file and an output file");
    if (loopsGiven && o.seconds > 0) return usageError("render", "give --seconds or --loops, not both");
    o.rom = files[0];
    o.out = files[1];
    const FileFormat* format = formatFor(o.out);
    if (!format)
        return usageError("render", "cannot tell the format of '" + o.out +
                                        "' (use .wav, .flac, .aiff, .au, .caf, .w64, .ogg or .raw)");

    RomFile rom;
    std::string error;
    if (!readRomFile(o.rom, rom, error)) return fail(error);
    loadIntoEngine(rom.bytes);

    SF_INFO info{};
    info.samplerate = o.rate;
    info.channels = 1;
    info.format = format->format;
    if (!sf_format_check(&info)) return fail("this libsndfile cannot write '" + o.out + "'");
    const SoundFile file(sf_open(o.out.c_str(), SFM_WRITE, &info));
    if (!file) return fail("cannot write '" + o.out + "': " + sf_strerror(nullptr));

    const bool showProgress = isatty(2) != 0;
    std::vector<short> converted(kStepsPerCall);
    bool failed = false;
    const auto write = [&](const std::uint8_t* bytes, std::size_t n) {
        if (format->exactBytes) {
            failed =
                sf_write_raw(file.get(), bytes, static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                converted[i] = static_cast<short>((bytes[i] - 128) * 256);
            failed = sf_write_short(file.get(), converted.data(), static_cast<sf_count_t>(n)) !=
                     static_cast<sf_count_t>(n);
        }
        return !failed;
    };
    std::size_t lastShown = 0;
    const auto progress = [&](std::size_t written, int passes) {
        if (!showProgress || written - lastShown < static_cast<std::size_t>(o.rate)) return;
        lastShown = written;
        std::fprintf(stderr, "\rrendering: %.0f s", static_cast<double>(written) / o.rate);
        if (o.seconds == 0) std::fprintf(stderr, ", pass %d of %d", passes + 1, o.loops);
        std::fflush(stderr);
    };
    const auto cap = static_cast<std::size_t>(kCapSeconds * o.rate);
    const std::size_t written = renderSong(o, cap, write, progress);
    if (showProgress) std::fputs("\r\033[K", stderr);
    if (failed) return fail("cannot write '" + o.out + "': " + sf_strerror(file.get()));
    std::fprintf(stderr, "%s: %zu samples, %.2f s at %d Hz%s\n", o.out.c_str(), written,
                 static_cast<double>(written) / o.rate, o.rate,
                 o.seconds == 0 && written >= cap ? " (the song did not repeat within 30 minutes)" : "");
    return 0;
}
