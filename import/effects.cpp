#include "effects.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "engine/engine.h"

namespace {

constexpr std::uint8_t kOneBytePerSample = 20; // step 256
constexpr std::size_t kShortestEffect = 256;   // bytes an effect keeps however tight the space
constexpr std::size_t kFade = 64;              // bytes a shortened effect fades out over

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};

// Stored bytes per recorded frame when `tone` plays the recording at its pitch at `rate`.
double storedRatio(const EffectRecording& r, std::uint8_t tone, int rate) {
    return PeriodTable[tone] / 256.0 * rate / r.rate;
}

std::size_t storedBytes(const EffectRecording& r, std::uint8_t tone, int rate, std::size_t cut) {
    const auto bytes =
        static_cast<std::size_t>(std::ceil(double(r.frames.size()) * storedRatio(r, tone, rate)));
    return std::max<std::size_t>(1, std::min(bytes, cut));
}

// The tone that stores the recording at the rate nearest above the lesser of its own and the output rate.
std::uint8_t preferredTone(const EffectRecording& r, int rate) {
    for (std::uint8_t tone = 0; tone < kOneBytePerSample; ++tone)
        if (PeriodTable[tone] / 256.0 * rate >= std::min(r.rate, rate)) return tone;
    return kOneBytePerSample;
}

} // namespace

bool readRecording(const std::string& path, EffectRecording& out, std::string& error) {
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = "cannot read '" + path + "' as audio: " + sf_strerror(nullptr);
        return false;
    }
    // An effect longer than 10 s is no effect; the caps also bound what a hostile header can ask for.
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1000 || info.samplerate > 384000 ||
        info.frames < 1 || double(info.frames) / info.samplerate > 10) {
        error = "'" + path +
                "' is not a recording an effect can be made of (1000-384000 Hz, 1-64 channels, "
                "up to 10 s)";
        return false;
    }
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * channels);
    const sf_count_t read = sf_readf_float(file.get(), interleaved.data(), info.frames);
    if (read <= 0) {
        error = "'" + path + "' holds no sound";
        return false;
    }
    out.rate = info.samplerate;
    out.frames.assign(static_cast<std::size_t>(read), 0);
    for (std::size_t f = 0; f < out.frames.size(); ++f) {
        float sum = 0;
        for (std::size_t c = 0; c < channels; ++c)
            sum += interleaved[f * channels + c];
        out.frames[f] = sum / float(channels);
    }
    return true;
}

std::vector<StoredEffect> storeEffects(const std::vector<EffectRecording>& recordings, int rate,
                                       std::size_t space, std::vector<std::string>& report) {
    const std::size_t n = recordings.size();
    std::vector<std::uint8_t> tones(n);
    std::vector<std::size_t> cuts(n, SIZE_MAX);
    for (std::size_t i = 0; i < n; ++i)
        tones[i] = preferredTone(recordings[i], rate);
    const auto sizes = [&] {
        std::vector<std::size_t> s(n);
        for (std::size_t i = 0; i < n; ++i)
            s[i] = storedBytes(recordings[i], tones[i], rate, cuts[i]);
        return s;
    };
    // The biggest one a tone lower, then the biggest shortened by an eighth, until they fit.
    int lowered = 0, shortened = 0;
    for (bool lowering = true; n > 0 && pairedBytes(sizes()) > space;) {
        const std::vector<std::size_t> s = sizes();
        std::size_t biggest = n;
        for (std::size_t i = 0; i < n; ++i)
            if ((lowering ? tones[i] > 0 : s[i] > kShortestEffect) && (biggest == n || s[i] > s[biggest]))
                biggest = i;
        if (biggest == n) {
            if (!lowering) break;
            lowering = false;
            continue;
        }
        if (lowering)
            --tones[biggest], ++lowered;
        else
            cuts[biggest] = s[biggest] - s[biggest] / 8, ++shortened;
    }
    if (lowered > 0)
        report.push_back("effects stored at a lower rate to fit: " + std::to_string(lowered) +
                         " semitone step(s) in all (each still plays at its pitch from its tone)");
    if (shortened > 0) report.push_back("the longest effects were shortened to fit");

    std::vector<StoredEffect> stored;
    for (std::size_t i = 0; i < n; ++i) {
        const EffectRecording& r = recordings[i];
        StoredEffect e;
        e.name = r.name;
        e.tone = tones[i];
        e.recordedSeconds = double(r.frames.size()) / r.rate;
        const double ratio = storedRatio(r, tones[i], rate);
        std::vector<float> out = resampleFrames(r.frames, ratio, 0, false);
        out.resize(std::min(out.size(), cuts[i]));
        const std::size_t fade = cuts[i] < SIZE_MAX ? std::min(out.size(), kFade) : 0;
        for (std::size_t f = 0; f < fade; ++f)
            out[out.size() - 1 - f] *= float(f) / float(fade);
        float peak = 1e-6f;
        for (float f : out)
            peak = std::max(peak, std::fabs(f));
        for (float f : out)
            e.sample.nibbles.push_back(quantizeNibble(f / peak));
        e.sample.scale = ratio;
        e.seconds = double(e.sample.nibbles.size()) * 256.0 / PeriodTable[tones[i]] / rate;
        stored.push_back(std::move(e));
    }
    return stored;
}
