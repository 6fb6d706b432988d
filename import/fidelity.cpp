#include "fidelity.h"
#include "large_memory.h"

#include <fftw3.h>
#include <samplerate.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <type_traits>

#include "engine/trace.h"
#include "host/load.h"
#include "load.h"
#include "read_aside.h"
#include "walk/song_walk.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrameSeconds = 0.1;          // the hop between frames
constexpr double kChromaWindowSeconds = 0.512; // long enough to part semitones near 50 Hz
constexpr double kOnsetWindowSeconds = 0.064;  // short enough to keep notes a line apart
constexpr double kLowestHz = 50;
constexpr double kSilentShare = 1e-5;     // -50 dB below the render's loudest frame
constexpr double kOnsetFloorShare = 1e-8; // -80 dB below a full-scale sine at the render's peak
constexpr double kAlignSeconds = 5;
constexpr double kMaxLagSeconds = 0.5;
constexpr double kMostRenderSamples = 16e6;
constexpr int kLowestXmpRate = 4000;
constexpr int kHighestXmpRate = 48000;

// ---- Spectra ----------------------------------------------------------------------------------------

// FFTW's planner must not be called from two threads at once; plans made run side by side.
std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
struct FftwPlanDestroy {
    void operator()(fftwf_plan p) const {
        const std::lock_guard<std::mutex> held(plannerLock());
        fftwf_destroy_plan(p);
    }
};

// Scalar code only, planned by estimate: the plan, and so every spectrum to the last bit, is the same on
// every machine (FFTW's SIMD code would depend on the processor), and the same as in the page, whose
// FFTW has no SIMD code. The importer's choices follow from these figures.
fftwf_plan planSpectrum(std::size_t size, float* in, fftwf_complex* out) {
    const std::lock_guard<std::mutex> held(plannerLock());
    return fftwf_plan_dft_r2c_1d(static_cast<int>(size), in, out, FFTW_ESTIMATE | FFTW_NO_SIMD);
}

// The power of two nearest `seconds` at `rate`, and at least 16.
std::size_t windowSize(double seconds, int rate) {
    const double exponent = std::round(std::log2(std::max(16.0, seconds * rate)));
    return std::size_t{1} << static_cast<unsigned>(exponent);
}

// Power spectra of Hann-windowed frames of one size, through one FFTW plan made once.
class Spectrum {
  public:
    Spectrum(std::size_t size, int rate)
        : size_(size), rate_(rate), window_(size),
          in_(static_cast<float*>(fftwf_malloc(sizeof(float) * size))),
          out_(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * bins()))),
          plan_(planSpectrum(size, in_.get(), out_.get())), power_(bins()) {
        for (std::size_t i = 0; i < size; ++i)
            window_[i] = static_cast<float>(
                0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(size)));
    }

    std::size_t bins() const { return size_ / 2 + 1; }
    double frequency(std::size_t bin) const {
        return static_cast<double>(bin) * rate_ / static_cast<double>(size_);
    }
    // The bins from kLowestHz up to below half the rate.
    std::size_t firstBin() const {
        return static_cast<std::size_t>(std::ceil(kLowestHz * static_cast<double>(size_) / rate_));
    }
    std::size_t endBin() const { return size_ / 2; }

    // A full-scale sine's power in its bin.
    double fullScale() const {
        const double sum = static_cast<double>(size_) / 2; // the Hann window's sum
        return sum * sum / 4;
    }

    // |X|^2 per bin for the frame of `x` centred on sample `centre`, reading zeros outside `x`.
    const std::vector<float>& power(const std::vector<float>& x, std::size_t centre) {
        const std::ptrdiff_t first =
            static_cast<std::ptrdiff_t>(centre) - static_cast<std::ptrdiff_t>(size_ / 2);
        const auto size = static_cast<std::ptrdiff_t>(size_);
        const auto length = static_cast<std::ptrdiff_t>(x.size());
        // The window's part that reads `x`, [from, to); zeros either side.
        const std::ptrdiff_t from = std::clamp<std::ptrdiff_t>(-first, 0, size);
        const std::ptrdiff_t to = std::clamp<std::ptrdiff_t>(length - first, from, size);
        float* in = in_.get();
        std::fill(in, in + from, 0.0f);
        for (std::ptrdiff_t i = from; i < to; ++i)
            in[i] = x[static_cast<std::size_t>(first + i)] * window_[static_cast<std::size_t>(i)];
        std::fill(in + to, in + size, 0.0f);
        fftwf_execute(plan_.get());
        for (std::size_t k = 0; k < bins(); ++k)
            power_[k] = out_.get()[k][0] * out_.get()[k][0] + out_.get()[k][1] * out_.get()[k][1];
        return power_;
    }

  private:
    std::size_t size_;
    int rate_;
    std::vector<float> window_;
    std::unique_ptr<float, FftwFree> in_;
    std::unique_ptr<fftwf_complex, FftwFree> out_;
    std::unique_ptr<std::remove_pointer_t<fftwf_plan>, FftwPlanDestroy> plan_;
    std::vector<float> power_;
};

std::size_t frameCount(std::size_t samples, std::size_t hop) {
    return samples == 0 ? 0 : (samples - 1) / hop + 1;
}

// ---- Chroma -----------------------------------------------------------------------------------------

using ChromaVector = std::array<float, 12>;

struct Chroma {
    std::vector<ChromaVector> unit; // each frame's chroma scaled to length 1; zeros when silent
    std::vector<bool> sounding;
};

// The bins of each pitch class (0 = C), in rising order, from the bins used.
using PitchClassBins = std::array<std::vector<std::size_t>, 12>;

PitchClassBins pitchClasses(const Spectrum& fft) {
    PitchClassBins classes;
    for (std::size_t k = fft.firstBin(); k < fft.endBin(); ++k) {
        const long semitone = std::lround(12 * std::log2(fft.frequency(k) / 440.0)) + 9; // from C
        classes[static_cast<std::size_t>((semitone % 12 + 12) % 12)].push_back(k);
    }
    return classes;
}

Chroma chroma(const std::vector<float>& x, std::size_t hop, Spectrum& fft, const PitchClassBins& classes) {
    const std::size_t frames = frameCount(x.size(), hop);
    Chroma c{std::vector<ChromaVector>(frames), std::vector<bool>(frames)};
    std::vector<double> energy(frames);
    for (std::size_t t = 0; t < frames; ++t) {
        const std::vector<float>& power = fft.power(x, t * hop);
        std::array<double, 12> sum{};
        for (std::size_t i = 0; i < 12; ++i) { // a class's sum in a register, its bins in rising order
            double total = 0;
            for (const std::size_t k : classes[i])
                total += power[k];
            sum[i] = total;
        }
        double squares = 0;
        for (const double s : sum) {
            energy[t] += s;
            squares += s * s;
        }
        const double norm = std::sqrt(squares);
        for (std::size_t i = 0; i < 12; ++i)
            c.unit[t][i] = norm > 0 ? static_cast<float>(sum[i] / norm) : 0.0f;
    }
    const double loudest = frames > 0 ? *std::max_element(energy.begin(), energy.end()) : 0;
    for (std::size_t t = 0; t < frames; ++t)
        c.sounding[t] = energy[t] > 0 && energy[t] >= loudest * kSilentShare;
    return c;
}

// ---- Onsets -----------------------------------------------------------------------------------------

// The half-wave rectified flux of the log power, per frame.
std::vector<float> onsetEnvelope(const std::vector<float>& x, std::size_t hop, Spectrum& fft) {
    const std::size_t frames = frameCount(x.size(), hop);
    std::vector<float> envelope(frames);
    float peak = 0;
    for (const float v : x)
        peak = std::max(peak, std::abs(v));
    if (peak == 0) return envelope;
    const double floor = fft.fullScale() * double{peak} * peak * kOnsetFloorShare;
    const std::size_t first = fft.firstBin(), end = fft.endBin();
    std::vector<float> before(fft.bins(), static_cast<float>(10 * std::log10(floor)));
    for (std::size_t t = 0; t < frames; ++t) {
        const std::vector<float>& power = fft.power(x, t * hop);
        double rise = 0;
        for (std::size_t k = first; k < end; ++k) {
            const auto level = static_cast<float>(10 * std::log10(std::max<double>(power[k], floor)));
            rise += std::max(0.0f, level - before[k]);
            before[k] = level;
        }
        envelope[t] = end > first ? static_cast<float>(rise / static_cast<double>(end - first)) : 0.0f;
    }
    return envelope;
}

// ---- Alignment --------------------------------------------------------------------------------------

// A window's figure at one lag, and how much it counts: nothing is compared when `weight` is 0.
struct Score {
    double value = 0;
    double weight = 0;
};

// The windows' figures, each at its best lag, averaged by their weights; 1 when nothing is compared.
template <typename ScoreAt>
double alignedMean(std::size_t frames, std::size_t window, std::ptrdiff_t maxLag, ScoreAt&& scoreAt) {
    double total = 0, weight = 0;
    for (std::size_t begin = 0; begin < frames; begin += window) {
        const std::size_t end = std::min(frames, begin + window);
        Score best;
        for (std::ptrdiff_t lag = -maxLag; lag <= maxLag; ++lag) {
            const Score s = scoreAt(begin, end, lag);
            if (s.weight > 0 && (best.weight == 0 || s.value > best.value)) best = s;
        }
        total += best.value * best.weight;
        weight += best.weight;
    }
    return weight > 0 ? total / weight : 1.0;
}

// The frame `i + lag` of a sequence, if there is one.
bool shifted(std::size_t i, std::ptrdiff_t lag, std::size_t size, std::size_t& at) {
    const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) + lag;
    if (j < 0 || j >= static_cast<std::ptrdiff_t>(size)) return false;
    at = static_cast<std::size_t>(j);
    return true;
}

Score chromaScore(const Chroma& a, const Chroma& b, std::size_t begin, std::size_t end, std::ptrdiff_t lag) {
    Score s;
    for (std::size_t i = begin; i < end; ++i) {
        std::size_t j = 0;
        const bool soundA = i < a.sounding.size() && a.sounding[i];
        const bool soundB = shifted(i, lag, b.sounding.size(), j) && b.sounding[j];
        if (!soundA && !soundB) continue;
        if (soundA && soundB) {
            double dot = 0;
            for (std::size_t k = 0; k < 12; ++k)
                dot += double{a.unit[i][k]} * b.unit[j][k];
            s.value += std::min(dot, 1.0); // unit vectors: only rounding takes it past 1
        }
        s.weight += 1;
    }
    if (s.weight > 0) s.value /= s.weight;
    return s;
}

Score onsetScore(const std::vector<float>& a, const std::vector<float>& b, std::size_t begin, std::size_t end,
                 std::ptrdiff_t lag) {
    const auto n = static_cast<double>(end - begin);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (std::size_t i = begin; i < end; ++i) {
        std::size_t j = 0;
        const double x = i < a.size() ? a[i] : 0.0;
        const double y = shifted(i, lag, b.size(), j) ? b[j] : 0.0;
        sa += x;
        sb += y;
        saa += x * x;
        sbb += y * y;
        sab += x * y;
    }
    const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    constexpr double kFlat = 1e-9;
    if (va <= kFlat * n && vb <= kFlat * n) return {};
    if (va <= kFlat * n || vb <= kFlat * n) return {0, n};
    return {(sab - sa * sb / n) / std::sqrt(va * vb), n};
}

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

bool renderLoaded(const LoadedModule& module, int rate, std::vector<float>& out, std::string& error) {
    const int playRate = moduleRenderRate(rate);
    const xmp_context ctx = module.context();
    if (!startPlayer(module, playRate)) {
        error = "libxmp cannot play the module at " + std::to_string(playRate) + " Hz";
        return false;
    }
    struct PlayerEnd {
        xmp_context ctx;
        ~PlayerEnd() { xmp_end_player(ctx); }
    } const playerEnd{ctx};
    out.clear();
    xmp_frame_info info{};
    while (xmp_play_frame(ctx) == 0) {
        xmp_get_frame_info(ctx, &info);
        if (info.loop_count > 0 || !appendModuleRender(info, playRate, out, measuredSeconds(rate))) break;
    }
    return finishModuleRender(out, playRate, rate, error);
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

struct RenderReading::Frames {
    Chroma chroma;
    std::vector<float> onsets;
};

RenderReading::RenderReading(const std::vector<float>& render, int rate)
    : frames_(std::make_unique<Frames>()), samples_(render.size()), rate_(rate) {
    const auto hop = static_cast<std::size_t>(std::max(1L, std::lround(kFrameSeconds * rate)));
    Spectrum chromaFft(windowSize(kChromaWindowSeconds, rate), rate);
    frames_->chroma = chroma(render, hop, chromaFft, pitchClasses(chromaFft));
    Spectrum onsetFft(windowSize(kOnsetWindowSeconds, rate), rate);
    frames_->onsets = onsetEnvelope(render, hop, onsetFft);
}

RenderReading::~RenderReading() = default;

// Built without threads (the page's importer), a reading is made when it is asked for: the figures are
// the same either way.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
constexpr std::launch kAside = std::launch::deferred;
#else
constexpr std::launch kAside = std::launch::async | std::launch::deferred;
#endif

std::future<std::unique_ptr<RenderReading>> readAside(std::vector<float> render, int rate) {
    return std::async(kAside, [render = std::move(render), rate]() mutable {
        const std::vector<float> mine = std::move(render); // freed once read, not with the answer
        return std::make_unique<RenderReading>(mine, rate);
    });
}

Fidelity compareRenders(const RenderReading& module, const RenderReading& rom) {
    const int rate = module.rate();
    Fidelity f;
    f.moduleSeconds = static_cast<double>(module.samples()) / rate;
    f.romSeconds = static_cast<double>(rom.samples()) / rate;
    f.lengthRatio = module.samples() == 0
                        ? (rom.samples() == 0 ? 1.0 : std::numeric_limits<double>::infinity())
                        : f.romSeconds / f.moduleSeconds;

    const auto hop = static_cast<std::size_t>(std::max(1L, std::lround(kFrameSeconds * rate)));
    const std::size_t frames = std::max(frameCount(module.samples(), hop), frameCount(rom.samples(), hop));
    const auto window = static_cast<std::size_t>(std::lround(kAlignSeconds / kFrameSeconds));
    const auto maxLag = static_cast<std::ptrdiff_t>(std::lround(kMaxLagSeconds / kFrameSeconds));
    const Chroma &a = module.frames().chroma, &b = rom.frames().chroma;
    f.chroma =
        alignedMean(frames, window, maxLag, [&](std::size_t begin, std::size_t end, std::ptrdiff_t lag) {
            return chromaScore(a, b, begin, end, lag);
        });
    const std::vector<float>&x = module.frames().onsets, &y = rom.frames().onsets;
    f.onset =
        alignedMean(frames, window, maxLag, [&](std::size_t begin, std::size_t end, std::ptrdiff_t lag) {
            return onsetScore(x, y, begin, end, lag);
        });
    return f;
}

std::vector<std::pair<double, double>> silentSpans(const RenderReading& module, const RenderReading& rom,
                                                   double longerThan) {
    const std::vector<bool>&m = module.frames().chroma.sounding, &r = rom.frames().chroma.sounding;
    const std::size_t frames = std::min(m.size(), r.size());
    std::vector<std::pair<double, double>> spans;
    for (std::size_t t = 0; t < frames;) {
        std::size_t end = t;
        while (end < frames && m[end] && !r[end])
            ++end;
        if (double(end - t) * kFrameSeconds > longerThan)
            spans.emplace_back(double(t) * kFrameSeconds, double(end) * kFrameSeconds);
        t = std::max(end, t + 1);
    }
    return spans;
}

Fidelity compareRenders(const std::vector<float>& module, const std::vector<float>& rom, int rate) {
    return compareRenders(RenderReading(module, rate), RenderReading(rom, rate));
}

std::vector<double> powerSpectrum(const std::vector<float>& x, std::size_t size,
                                  const std::vector<std::size_t>& centres) {
    Spectrum fft(size, 1);
    std::vector<double> sum(fft.bins());
    for (const std::size_t centre : centres) {
        const std::vector<float>& power = fft.power(x, centre);
        for (std::size_t k = 0; k < sum.size(); ++k)
            sum[k] += power[k];
    }
    return sum;
}

bool renderModule(const std::vector<std::uint8_t>& file, int rate, std::vector<float>& out,
                  std::string& error) {
    LoadedModule module;
    return loadModule(file, module, error) && renderLoaded(module, rate, out, error);
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

bool measureFidelity(const std::vector<std::uint8_t>& module, const std::vector<std::uint8_t>& rom, int rate,
                     Fidelity& out, std::string& error) {
    LoadedModule loaded;
    std::vector<float> moduleRender;
    if (!loadModule(module, loaded, error) || !renderLoaded(loaded, rate, moduleRender, error)) return false;
    out = compareRenders(moduleRender, renderRom(rom, rate), rate);
    out.channels = loaded.module().chn;
    return true;
}
