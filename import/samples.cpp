#include "samples.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "engine/engine.h"

namespace {

// Highest and lowest table semitones (tone 0 is semitone 0, tone 60 semitone 59).
constexpr int kTopSemitone = 59;
// A sample's most played pitch lands here when space allows: tone 21, a step of 259, about one byte per
// output sample, so the stored rate is the output rate and no byte is skipped or repeated much.
constexpr int kPreferredAnchor = 20;
// Loops shorter than this many bytes are repeated before resampling: the loop's length is rounded to
// whole bytes, and short loops would be out of tune (and creep at high steps).
constexpr double kShortestLoop = 200;

double tableStep(int semitone) {
    const int tone = semitone <= 19 ? semitone : semitone + 1;
    return PeriodTable[std::clamp(tone, 0, 60)];
}

// What the module does with one sample, over the whole song.
struct Usage {
    double heard = 0;                 // seconds of sounding, weighted by volume
    std::map<int, double> semitones;  // heard time by pitch, in 1/4 semitones of frequency
    std::vector<double> volumes;      // volume per heard tick, for the usual level
    double lowest = 1e9, highest = 0; // frequencies heard
};

std::vector<Usage> measureUsage(const Performance& p, const VoicePlan& v) {
    std::vector<Usage> usage(p.samples.size());
    for (std::size_t t = 0; t < v.ticks.size(); ++t)
        for (const StreamTick& st : v.ticks[t]) {
            const ChannelTick& s = st.sound;
            if (st.channel < 0 || s.sample < 0 || s.volume <= 0 || s.frequency <= 0) continue;
            Usage& u = usage[static_cast<std::size_t>(s.sample)];
            const double seconds = p.ticks[t].duration;
            u.heard += seconds * s.volume;
            u.semitones[static_cast<int>(std::lround(48 * std::log2(s.frequency)))] += seconds * s.volume;
            u.volumes.push_back(s.volume);
            u.lowest = std::min(u.lowest, s.frequency);
            u.highest = std::max(u.highest, s.frequency);
        }
    return usage;
}

// The frequency the sample is heard at most.
double mainFrequency(const Usage& u) {
    int best = 0;
    double most = -1;
    for (const auto& [quarter, time] : u.semitones)
        if (time > most) most = time, best = quarter;
    return std::exp2(best / 48.0);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                     values.end());
    return values[values.size() / 2];
}

// The frames that are ever played: up to the loop's end, or the whole sample. A short loop is repeated
// so that it lasts at least `minFrames`; a two-way loop is written out forwards then backwards.
std::vector<float> playedFrames(const SampleData& s, double minLoopFrames, std::size_t& loopStart) {
    if (!s.loops) {
        loopStart = 0;
        return s.frames;
    }
    std::vector<float> frames(s.frames.begin(), s.frames.begin() + static_cast<std::ptrdiff_t>(s.loopEnd));
    std::vector<float> loop(frames.begin() + static_cast<std::ptrdiff_t>(s.loopStart), frames.end());
    if (s.bidirectional && loop.size() > 2) loop.insert(loop.end(), loop.rbegin() + 1, loop.rend() - 1);
    frames.resize(s.loopStart);
    loopStart = s.loopStart;
    const std::size_t copies =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(minLoopFrames / double(loop.size()))));
    for (std::size_t i = 0; i < copies; ++i)
        frames.insert(frames.end(), loop.begin(), loop.end());
    return frames;
}

// Resamples by `ratio` with libsamplerate. A loop is resampled with copies of itself after its end, so
// that the filter sees what plays after the end and the seam stays smooth.
std::vector<float> resample(const std::vector<float>& in, double ratio, std::size_t loopStart, bool loops) {
    std::vector<float> source = in;
    const std::size_t loopLength = in.size() - loopStart;
    if (loops)
        for (std::size_t i = 0; i < 64; ++i)
            source.push_back(in[loopStart + i % loopLength]);
    std::vector<float> out(static_cast<std::size_t>(std::ceil(double(source.size()) * ratio)) + 64);
    SRC_DATA d{};
    d.data_in = source.data();
    d.input_frames = static_cast<long>(source.size());
    d.data_out = out.data();
    d.output_frames = static_cast<long>(out.size());
    d.src_ratio = ratio;
    if (source.empty() || src_simple(&d, SRC_SINC_MEDIUM_QUALITY, 1) != 0) d.output_frames_gen = 0;
    out.resize(static_cast<std::size_t>(d.output_frames_gen));
    const auto wanted = static_cast<std::size_t>(std::lround(double(in.size()) * ratio));
    out.resize(std::max<std::size_t>(1, std::min(out.size(), wanted)));
    return out;
}

std::uint8_t quantize(float v) {
    const long q = std::lround(v * 7.5f);
    return static_cast<std::uint8_t>(std::clamp(q, -8L, 7L) & 15);
}

struct Candidate {
    int source;
    Usage usage;
    double frequency; // most played
    int low, high;    // semitones below and above it that are played
    int anchor;       // the table semitone `frequency` lands on
    std::size_t frames; // played frames (loops repeated)
};

double ratioFor(const Candidate& c, int rate) {
    return tableStep(c.anchor) * rate / (256.0 * c.frequency);
}

} // namespace

double SampleBank::step(int source, double frequency, int rate) const {
    if (source < 0 || static_cast<std::size_t>(source) >= entryOf.size() || entryOf[std::size_t(source)] == 0)
        return 0;
    return 256.0 * frequency * kept[std::size_t(entryOf[std::size_t(source)] - 1)].scale / rate;
}

SampleBank buildSamples(const Performance& p, const VoicePlan& v, int rate, std::size_t space) {
    SampleBank bank;
    bank.entryOf.assign(p.samples.size(), 0);
    const std::vector<Usage> usage = measureUsage(p, v);

    std::vector<Candidate> chosen;
    for (std::size_t i = 0; i < usage.size(); ++i)
        if (usage[i].heard > 0) {
            Candidate c{static_cast<int>(i), usage[i], mainFrequency(usage[i]), 0, 0, kPreferredAnchor, 0};
            c.low = static_cast<int>(std::ceil(12 * std::log2(c.frequency / usage[i].lowest) - 0.25));
            c.high = static_cast<int>(std::ceil(12 * std::log2(usage[i].highest / c.frequency) - 0.25));
            c.anchor = std::clamp(kPreferredAnchor, std::min(c.low, kTopSemitone), std::max(0, kTopSemitone - c.high));
            chosen.push_back(c);
        }
    std::sort(chosen.begin(), chosen.end(),
              [](const Candidate& a, const Candidate& b) { return a.usage.heard > b.usage.heard; });
    if (chosen.size() > kReachableEntries) {
        std::string names;
        for (std::size_t i = kReachableEntries; i < chosen.size(); ++i)
            names += (names.empty() ? "" : ", ") + std::to_string(chosen[i].source + 1);
        bank.report.push_back(std::to_string(chosen.size() - kReachableEntries) +
                              " sample(s) heard least left out, as only 14 can be named: " + names);
        chosen.resize(kReachableEntries);
    }

    // Space: lower the rate of the biggest sample a semitone at a time until all fit, two to a byte.
    for (Candidate& c : chosen) {
        std::size_t loopStart = 0;
        const SampleData& s = p.samples[static_cast<std::size_t>(c.source)];
        const double loopFrames = s.loops ? kShortestLoop / std::max(1e-6, ratioFor(c, rate)) : 0;
        c.frames = playedFrames(s, loopFrames, loopStart).size();
    }
    const auto bytesOf = [&](const Candidate& c) { return double(c.frames) * ratioFor(c, rate); };
    // Packed two to a byte range, longest with next longest: each pair takes the longer one's bytes.
    const auto total = [&] {
        std::vector<double> sizes;
        for (const Candidate& c : chosen) sizes.push_back(std::ceil(bytesOf(c)) + 1);
        std::sort(sizes.rbegin(), sizes.rend());
        double sum = 0;
        for (std::size_t i = 0; i < sizes.size(); i += 2) sum += sizes[i];
        return sum;
    };
    int lowered = 0;
    while (total() > double(space)) {
        Candidate* biggest = nullptr;
        for (Candidate& c : chosen)
            if (c.anchor > c.low && (!biggest || bytesOf(c) > bytesOf(*biggest))) biggest = &c;
        if (!biggest) {
            for (Candidate& c : chosen) // every sample at its lowest: go below the lowest notes
                if (c.anchor > 0 && (!biggest || bytesOf(c) > bytesOf(*biggest))) biggest = &c;
            if (!biggest) break;
        }
        --biggest->anchor;
        ++lowered;
    }
    // Still too big: the longest samples that do not loop lose their ends.
    std::size_t trimmed = 0;
    for (int guard = 0; guard < 400 && total() > double(space); ++guard) {
        Candidate* longest = nullptr;
        for (Candidate& c : chosen)
            if (!p.samples[std::size_t(c.source)].loops && c.frames > 64 && (!longest || bytesOf(c) > bytesOf(*longest)))
                longest = &c;
        if (!longest) break;
        longest->frames -= longest->frames / 8;
        ++trimmed;
    }
    if (trimmed > 0) bank.report.push_back("the longest samples were shortened to fit");
    if (lowered > 0)
        bank.report.push_back("samples stored at a lower rate to fit: " + std::to_string(lowered) +
                              " semitone step(s) in all");

    // Levels: each sample at its usual volume, the loudest using the full 4 bits; quiet samples are
    // lifted somewhat so that they keep more than a level or two.
    std::vector<double> level(chosen.size());
    double loudest = 1e-9;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const SampleData& s = p.samples[static_cast<std::size_t>(chosen[i].source)];
        float peak = 1e-6f;
        for (float f : s.frames) peak = std::max(peak, std::fabs(f));
        level[i] = median(chosen[i].usage.volumes) * peak;
        loudest = std::max(loudest, level[i]);
    }

    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const Candidate& c = chosen[i];
        const SampleData& s = p.samples[static_cast<std::size_t>(c.source)];
        KeptSample k;
        k.source = c.source;
        k.entry = static_cast<int>(i) + 1;
        k.anchorSemitone = c.anchor;
        k.scale = ratioFor(c, rate);
        std::size_t loopStart = 0;
        std::vector<float> frames = playedFrames(s, kShortestLoop / k.scale, loopStart);
        if (!s.loops && frames.size() > c.frames) { // shortened to fit: fade out over its last frames
            frames.resize(c.frames);
            const std::size_t fade = std::min<std::size_t>(frames.size(), 256);
            for (std::size_t f = 0; f < fade; ++f)
                frames[frames.size() - 1 - f] *= float(f) / float(fade);
        }
        std::vector<float> out = resample(frames, k.scale, loopStart, s.loops);
        float peak = 1e-6f;
        for (float f : out) peak = std::max(peak, std::fabs(f));
        const double target = std::pow(level[i] / loudest, 0.5); // the balance, lifted for quiet ones
        const float gain = static_cast<float>(target / peak);
        for (float f : out) k.nibbles.push_back(quantize(f * gain));
        k.loops = s.loops;
        k.loopStart = s.loops ? std::min(static_cast<std::size_t>(std::lround(double(loopStart) * k.scale)),
                                         k.nibbles.size() - 1)
                              : 0;
        bank.entryOf[static_cast<std::size_t>(c.source)] = k.entry;
        bank.kept.push_back(std::move(k));
    }
    return bank;
}

bool placeSamples(SampleBank& bank, RomBuilder& rom, std::uint32_t address, std::uint32_t limit) {
    // Longest first, paired: each pair takes the longer one's bytes.
    std::vector<KeptSample*> bySize;
    for (KeptSample& k : bank.kept) bySize.push_back(&k);
    std::sort(bySize.begin(), bySize.end(),
              [](const KeptSample* a, const KeptSample* b) { return a->nibbles.size() > b->nibbles.size(); });
    const std::uint32_t first = address;
    std::size_t total = 0;
    for (std::size_t i = 0; i < bySize.size(); i += 2) total += bySize[i]->nibbles.size();
    bank.bytes = total;
    if (address + total > limit) return false;
    for (std::size_t i = 0; i < bySize.size(); i += 2) {
        KeptSample& low = *bySize[i];
        KeptSample* high = i + 1 < bySize.size() ? bySize[i + 1] : nullptr;
        std::vector<std::uint8_t> bytes(low.nibbles.size(), 0);
        for (std::size_t b = 0; b < bytes.size(); ++b)
            bytes[b] = static_cast<std::uint8_t>(low.nibbles[b] |
                                                 (high && b < high->nibbles.size() ? high->nibbles[b] << 4 : 0));
        low.address = address, low.nibble = 0;
        if (high) high->address = address, high->nibble = 1;
        rom.poke(address, bytes);
        address += static_cast<std::uint32_t>(bytes.size());
    }
    (void)first;
    for (const KeptSample& k : bank.kept) {
        const auto start = static_cast<std::uint16_t>(k.address);
        const auto end = static_cast<std::uint16_t>(k.address + k.nibbles.size());
        const auto loop = static_cast<std::uint16_t>(k.loops ? k.address + k.loopStart : 0);
        rom.sample(static_cast<std::size_t>(k.entry), start, end, k.nibble, loop);
    }
    return true;
}
