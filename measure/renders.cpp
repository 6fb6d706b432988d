#include "renders.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

#include "engine/trace.h"
#include "host/load.h"
#include "large_memory.h"
#include "walk/song_walk.h"

namespace {

constexpr double kMostRenderSamples = 16e6;
constexpr int kLowestXmpRate = 4000;
constexpr int kHighestXmpRate = 48000;

// ---- Renders ----------------------------------------------------------------------------------------

// Resamples a mono render from one rate to another.
bool resample(std::vector<float>& x, int from, int to, std::string& error) {
    if (x.empty()) return true;
    const double ratio = static_cast<double>(to) / from;
    std::vector<float> out(static_cast<std::size_t>(std::ceil(static_cast<double>(x.size()) * ratio)) + 1);
    SRC_DATA data{};
    data.data_in = x.data();
    data.input_frames = static_cast<long>(x.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    if (const int code = src_simple(&data, SRC_SINC_FASTEST, 1); code != 0) {
        error = std::string("cannot resample the module's render: ") + src_strerror(code);
        return false;
    }
    out.resize(static_cast<std::size_t>(data.output_frames_gen));
    x = std::move(out);
    return true;
}

// Restores the trace sink that was in place when it was made.
class TraceKept {
  public:
    TraceKept() : saved_(Trace) {}
    ~TraceKept() {
        flushTrace();
        Trace = saved_;
    }
    TraceKept(const TraceKept&) = delete;
    TraceKept& operator=(const TraceKept&) = delete;

  private:
    TraceSink saved_;
};

} // namespace

double measuredSeconds(int rate) {
    return std::min(kLongestSongSeconds, kMostRenderSamples / std::max(rate, moduleRenderRate(rate)));
}

int moduleRenderRate(int rate) {
    return std::clamp(rate, kLowestXmpRate, kHighestXmpRate);
}

bool appendModuleRender(const xmp_frame_info& info, int playRate, std::vector<float>& out, double seconds) {
    const auto cap = static_cast<std::size_t>(seconds * playRate);
    const auto* samples = static_cast<const std::int16_t*>(info.buffer);
    const std::size_t n =
        std::min(static_cast<std::size_t>(info.buffer_size) / 2, cap - std::min(cap, out.size()));
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(static_cast<float>(samples[i]) / 32768.0f);
    return out.size() < cap;
}

bool finishModuleRender(std::vector<float>& out, int playRate, int rate, std::string& error) {
    return playRate == rate || resample(out, playRate, rate, error);
}

namespace {

// The song's sound up to where its first pass ends, or `cap` samples.
struct FirstPass : WalkVisitor {
    std::vector<float>& out;
    std::size_t cap;
    std::vector<std::size_t> starts; // where each line's sound begins in `out`

    FirstPass(std::vector<float>& o, std::size_t c) : out(o), cap(c) {}
    void steps(const std::uint8_t* bytes) {
        const std::size_t n = std::min(kStepsPerCall, cap - out.size());
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(static_cast<float>(bytes[i] - 128) / 128.0f);
    }
    bool call(const WalkCall& c, const SongLines& lines) {
        if (!c.lineStarted) return out.size() < cap;
        starts.push_back(out.size());
        if (lines.repeated()) { // the first pass ends where the second begins
            out.resize(starts[lines.secondPass()]);
            return false;
        }
        return out.size() < cap;
    }
};

} // namespace

std::vector<float> renderRom(const std::vector<std::uint8_t>& rom, int rate, std::uint8_t song) {
    const TraceKept traceKept;
    loadIntoEngine(rom);
    const auto cap = static_cast<std::size_t>(measuredSeconds(rate) * rate);
    std::vector<float> out;
    out.reserve(cap); // pages are taken as the render fills them; it is never moved as it grows
    adviseLargePages(out);
    FirstPass firstPass(out, cap);
    walkSong(songStart(song), {(cap + kStepsPerCall - 1) / kStepsPerCall, true}, firstPass);
    return out;
}
