#include "voices.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <unordered_map>

#include "measure/measure.h"

namespace {

// Below this volume a channel counts as silent: its stream may go to another channel.
constexpr double kSilent = 1.0 / 64;
constexpr std::size_t kBlock = 256; // frames per loudness reading

// Each sample's loudness (RMS) over blocks of its frames, so that a note's weight follows its sound: a
// struck note fades as its sample does, and a quiet pad weighs less than a loud drum at the same volume.
std::vector<std::vector<float>> loudness(const Performance& p) {
    std::vector<std::vector<float>> out(p.samples.size());
    for (std::size_t i = 0; i < p.samples.size(); ++i) {
        const std::vector<float>& f = p.samples[i].frames;
        for (std::size_t at = 0; at < f.size(); at += kBlock) {
            double sum = 0;
            const std::size_t end = std::min(f.size(), at + kBlock);
            for (std::size_t k = at; k < end; ++k)
                sum += double(f[k]) * f[k];
            out[i].push_back(static_cast<float>(std::sqrt(sum / double(end - at))));
        }
    }
    return out;
}

// Where a channel's note is in its sample, in frames, followed from its start.
struct Playhead {
    double position = 0;
    double started = 0; // seconds
};

class Weigher {
  public:
    explicit Weigher(const Performance& p) : p_(p), loudness_(loudness(p)), heads_(std::size_t(p.channels)) {}

    // Follows every channel through one tick.
    void follow(const TickInfo& tick) {
        for (std::size_t c = 0; c < heads_.size(); ++c) {
            const ChannelTick& sound = tick.channels[c];
            Playhead& h = heads_[c];
            if (sound.start)
                h = {double(sound.offset), tick.time};
            else
                h.position += sound.frequency * tick.duration;
            if (sound.sample < 0) continue;
            const SampleData& s = p_.samples[std::size_t(sound.sample)];
            if (s.loops && h.position >= double(s.loopEnd))
                h.position = double(s.loopStart) +
                             std::fmod(h.position - double(s.loopEnd), double(s.loopEnd - s.loopStart));
        }
    }

    // How much channel c's sound matters now: its volume times the square root of its sample's loudness
    // where it plays (so that quiet tonal sounds are not all pushed out by drums), halved for every second
    // the note has sounded (older notes give way to newer ones).
    double weight(const TickInfo& tick, std::size_t c) const {
        const ChannelTick& sound = tick.channels[c];
        if (sound.sample < 0 || sound.volume < kSilent) return 0;
        const std::vector<float>& l = loudness_[std::size_t(sound.sample)];
        const auto block = static_cast<std::size_t>(std::max(0.0, heads_[c].position)) / kBlock;
        const double level = l.empty() ? 0 : l[std::min(block, l.size() - 1)];
        return sound.volume * std::sqrt(level) * std::exp2(-(tick.time - heads_[c].started));
    }

    // Channel c's sample's loudness where it plays now.
    double level(const TickInfo& tick, std::size_t c) const {
        const ChannelTick& sound = tick.channels[c];
        if (sound.sample < 0) return 0;
        const std::vector<float>& l = loudness_[std::size_t(sound.sample)];
        const auto block = static_cast<std::size_t>(std::max(0.0, heads_[c].position)) / kBlock;
        return l.empty() ? 0 : l[std::min(block, l.size() - 1)];
    }

  private:
    const Performance& p_;
    std::vector<std::vector<float>> loudness_;
    std::vector<Playhead> heads_;
};

// ---- What each channel adds to the mix's pitch classes ---------------------------------------------

constexpr double kLowestMidi = 31.35, kHighestMidi = 107.21; // 50 Hz to 4 kHz: where chroma is read
constexpr std::size_t kToneFrames = 4096;                    // frames per spectrum of a sample
constexpr int kToneBins = 12 * 14; // semitones below half a cycle per frame that a sample's power is kept in

using PitchClasses = std::array<float, 12>;

// A sample's power by semitone below half a cycle per frame, as shares of its whole power: its attack,
// and where it loops, its loop played on.
std::vector<float> semitoneShares(const SampleData& s) {
    std::vector<float> shares(kToneBins, 0.0f);
    std::size_t size = 64;
    while (size < kToneFrames && size < s.frames.size())
        size *= 2;
    std::vector<float> sound(s.frames.begin(),
                             s.frames.begin() + std::ptrdiff_t(std::min(s.frames.size(), 2 * size)));
    if (s.loops && s.loopEnd > s.loopStart && s.loopEnd <= s.frames.size()) {
        sound.resize(std::min(sound.size(), s.loopEnd));
        while (sound.size() < 2 * size)
            sound.insert(sound.end(), s.frames.begin() + std::ptrdiff_t(s.loopStart),
                         s.frames.begin() + std::ptrdiff_t(s.loopEnd));
    }
    if (sound.empty()) return shares;
    std::vector<std::size_t> centres{size / 2};
    if (sound.size() > size) centres.push_back(size + size / 2);
    const std::vector<double> power = powerSpectrum(sound, size, centres);
    double total = 0;
    std::vector<double> bins(kToneBins, 0.0);
    for (std::size_t k = 1; k < power.size(); ++k) {
        total += power[k];
        const long below = std::lround(12 * std::log2(double(size) / 2 / double(k)));
        if (below < kToneBins) bins[std::size_t(below)] += power[k];
    }
    if (total > 0)
        for (std::size_t j = 0; j < bins.size(); ++j)
            shares[j] = float(bins[j] / total);
    return shares;
}

// The pitch classes of a sample played at a frequency, as shares of its power, kept once per sample and
// semitone: a note's tone.
class Tones {
  public:
    explicit Tones(const Performance& p) : p_(p), shares_(p.samples.size()), index_(p.samples.size()) {}

    std::uint32_t of(std::size_t sample, double frequency) {
        if (shares_[sample].empty()) shares_[sample] = semitoneShares(p_.samples[sample]);
        // The semitone (as a MIDI note) half a cycle per frame sounds at.
        const long nyquist = std::lround(12 * std::log2(std::clamp(frequency, 1.0, 1e9) / 2 / 440)) + 69;
        const auto [at, added] = index_[sample].emplace(nyquist, std::uint32_t(classes_.size()));
        if (!added) return at->second;
        PitchClasses pc{};
        for (long j = 0; j < kToneBins; ++j) {
            const long midi = nyquist - j;
            if (double(midi) < kLowestMidi || double(midi) > kHighestMidi) continue;
            pc[std::size_t((midi % 12 + 12) % 12)] += shares_[sample][std::size_t(j)];
        }
        classes_.push_back(pc);
        return at->second;
    }
    const PitchClasses& classes(std::uint32_t tone) const { return classes_[tone]; }

  private:
    const Performance& p_;
    std::vector<std::vector<float>> shares_;
    std::vector<std::unordered_map<long, std::uint32_t>> index_;
    std::vector<PitchClasses> classes_;
};

using Chroma = std::array<double, 12>;

double cosine(const Chroma& a, const Chroma& b) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < 12; ++i)
        ab += a[i] * b[i], aa += a[i] * a[i], bb += b[i] * b[i];
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// Every channel's sound through the song: its power in the mix (volume and sample loudness where it
// plays, squared) and its tone, tick by tick; and the whole mix's pitch classes summed from the start.
class Mix {
  public:
    explicit Mix(const Performance& p) : channels_(std::size_t(p.channels)), tones_(p) {
        Weigher follower(p);
        sounds_.resize(p.ticks.size() * channels_);
        summed_.assign(p.ticks.size() + 1, Chroma{});
        struct Last { // each channel's last tone, which a held note keeps
            int sample = -1;
            double frequency = 0;
            std::uint32_t tone = 0;
        };
        std::vector<Last> last(channels_);
        for (std::size_t t = 0; t < p.ticks.size(); ++t) {
            const TickInfo& tick = p.ticks[t];
            follower.follow(tick);
            summed_[t + 1] = summed_[t];
            for (std::size_t c = 0; c < channels_; ++c) {
                const ChannelTick& sound = tick.channels[c];
                if (sound.sample < 0 || !(sound.volume >= kSilent) || !(sound.frequency > 0)) continue;
                const double level = follower.level(tick, c);
                Sounding& s = sounds_[t * channels_ + c];
                s.energy = float(sound.volume * sound.volume * level * level * tick.duration);
                Last& l = last[c];
                if (sound.sample != l.sample || sound.frequency != l.frequency)
                    l = {sound.sample, sound.frequency,
                         tones_.of(std::size_t(sound.sample), sound.frequency)};
                s.tone = l.tone;
                add(summed_[t + 1], s);
            }
        }
    }

    // The mix's pitch classes over ticks [from, to).
    Chroma whole(std::size_t from, std::size_t to) const {
        Chroma c;
        for (std::size_t i = 0; i < 12; ++i)
            c[i] = summed_[to][i] - summed_[from][i];
        return c;
    }
    // Channel c's pitch classes over ticks [from, to).
    Chroma channel(std::size_t c, std::size_t from, std::size_t to) const {
        Chroma sum{};
        for (std::size_t t = from; t < to; ++t)
            add(sum, sounds_[t * channels_ + c]);
        return sum;
    }

  private:
    struct Sounding {
        float energy = 0; // power times seconds
        std::uint32_t tone = 0;
    };
    void add(Chroma& sum, const Sounding& s) const {
        if (s.energy <= 0) return;
        const PitchClasses& pc = tones_.classes(s.tone);
        for (std::size_t i = 0; i < 12; ++i)
            sum[i] += double(s.energy) * pc[i];
    }
    std::size_t channels_;
    Tones tones_;
    std::vector<Sounding> sounds_;
    std::vector<Chroma> summed_;
};

double total(const Chroma& c) {
    double sum = 0;
    for (double v : c)
        sum += v;
    return sum;
}

// A new note's choice of stream looks this far ahead at what the streams and the mix sound.
constexpr double kAheadSeconds = 0.5;
// The weighing's choice stands unless another keeps the kept sound's pitch classes nearer the mix's by more
// than this (in cosine over the time ahead): weight keeps the drums and new notes that carry the rhythm,
// the pitch classes keep melody and bass where the weighing would lose them.
constexpr double kChromaMargin = 0.1;

// The streams during one tick of a module of more channels than streams: who holds each, and what each
// holder sounds over the time ahead.
struct Holders {
    std::array<int, kVoices>& owner;
    std::array<Chroma, kVoices> ahead{}; // each holder's pitch classes over the time ahead
    std::array<bool, kVoices> won{};     // its holder starts a note in this very tick: it keeps the stream
    Chroma sum{};                        // all four streams' pitch classes

    // How near the kept sound's pitch classes are to the mix's when stream s (or none, at kVoices) gives
    // its sound up for `add`.
    double nearness(std::size_t s, const Chroma& add, const Chroma& whole) const {
        Chroma with = sum;
        if (s < kVoices)
            for (std::size_t i = 0; i < 12; ++i)
                with[i] += add[i] - ahead[s][i];
        return cosine(with, whole);
    }
};

// The weighing's choice for channel c's new note: the stream whose sound weighs least now, if it weighs
// less than the new note; kVoices for none.
std::size_t weighedChoice(const TickInfo& tick, std::size_t c, const Weigher& weigher, const Holders& h) {
    std::size_t best = 0;
    double least = HUGE_VAL;
    for (std::size_t s = 0; s < kVoices; ++s) {
        const int o = h.owner[s];
        const double w = o < 0 ? 0 : h.won[s] ? HUGE_VAL : weigher.weight(tick, std::size_t(o));
        if (w < least) least = w, best = s;
    }
    return least < weigher.weight(tick, c) ? best : kVoices;
}

// The pitch classes' choice: the stream whose giving way brings the kept sound nearest the mix over the time
// ahead (a stream silent all that time first), or none where leaving the note out keeps it nearest.
std::size_t chromaChoice(const Chroma& add, const Chroma& whole, const Holders& h, double& nearness) {
    nearness = h.nearness(kVoices, add, whole);
    std::size_t choice = kVoices;
    for (std::size_t s = 0; s < kVoices; ++s) {
        if (h.won[s]) continue;
        if (total(h.ahead[s]) <= 0) return s;
        const double n = h.nearness(s, add, whole);
        if (n > nearness) nearness = n, choice = s;
    }
    return choice;
}

// Where each channel's notes begin to sound: a note is heard from its first tick at a volume, which is
// its start, or later where it starts silent (a volume envelope's attack from 0, a volume that rises).
// A note that starts silent takes a stream where it is first heard, as a note from there.
class Onsets {
  public:
    explicit Onsets(std::size_t channels) : waiting_(channels, false), now_(channels, false) {}

    // Reads one tick: which channels' notes begin to sound in it.
    void read(const TickInfo& tick) {
        for (std::size_t c = 0; c < now_.size(); ++c) {
            const ChannelTick& sound = tick.channels[c];
            const bool heard = sound.sample >= 0 && sound.volume >= kSilent;
            if (sound.start) waiting_[c] = true;
            if (sound.sample < 0) waiting_[c] = false;
            now_[c] = waiting_[c] && heard;
            if (heard) waiting_[c] = false;
        }
    }
    bool operator[](std::size_t c) const { return now_[c]; }

  private:
    std::vector<bool> waiting_; // a note started and not yet heard
    std::vector<bool> now_;
};

// New notes of one tick (ticks [t, end) being the time ahead) take streams, those that sound most over the
// time ahead first: each the weighing's choice, unless the pitch classes' choice is clearly nearer the mix.
void takeStreams(const Performance& p, std::size_t t, std::size_t end, const Weigher& weigher, const Mix& mix,
                 const Onsets& onsets, std::array<int, kVoices>& owner, VoicePlan& plan) {
    const TickInfo& tick = p.ticks[t];
    struct Start {
        double energy;
        std::size_t channel;
        Chroma ahead;
    };
    std::vector<Start> starts;
    for (std::size_t c = 0; c < tick.channels.size(); ++c)
        if (onsets[c] && std::find(owner.begin(), owner.end(), int(c)) == owner.end()) {
            const Chroma ahead = mix.channel(c, t, end);
            starts.push_back({total(ahead), c, ahead});
        }
    if (starts.empty()) return;
    std::stable_sort(starts.begin(), starts.end(),
                     [](const Start& a, const Start& b) { return a.energy > b.energy; });
    const Chroma whole = mix.whole(t, end);
    Holders h{owner};
    for (std::size_t s = 0; s < kVoices; ++s) {
        if (owner[s] < 0) continue;
        h.won[s] = onsets[std::size_t(owner[s])];
        h.ahead[s] = mix.channel(std::size_t(owner[s]), t, end);
        for (std::size_t i = 0; i < 12; ++i)
            h.sum[i] += h.ahead[s][i];
    }
    for (const Start& start : starts) {
        std::size_t choice = kVoices;
        if (start.energy > 0) {
            double nearest = 0;
            choice = chromaChoice(start.ahead, whole, h, nearest);
            const std::size_t weighed = weighedChoice(tick, start.channel, weigher, h);
            if (h.nearness(weighed, start.ahead, whole) >= nearest - kChromaMargin) choice = weighed;
        }
        if (choice == kVoices) {
            ++plan.notesLeftOut, ++plan.leftOutByChannel[start.channel];
            continue;
        }
        for (std::size_t i = 0; i < 12; ++i)
            h.sum[i] += start.ahead[i] - h.ahead[choice][i];
        h.ahead[choice] = start.ahead;
        h.won[choice] = true;
        owner[choice] = int(start.channel);
    }
}

} // namespace

VoicePlan assignVoices(const Performance& p) {
    VoicePlan plan;
    plan.ticks.resize(p.ticks.size());
    const auto channels = static_cast<std::size_t>(p.channels);
    plan.leftOutByChannel.assign(channels, 0);
    std::array<int, kVoices> owner;
    owner.fill(-1);
    if (channels <= kVoices)
        std::iota(owner.begin(), owner.begin() + static_cast<std::ptrdiff_t>(channels), 0);
    Weigher weigher(p);
    const std::unique_ptr<Mix> mix = channels > kVoices ? std::make_unique<Mix>(p) : nullptr;

    Onsets onsets(channels);
    std::size_t ahead = 0; // the end of the time ahead
    for (std::size_t t = 0; t < p.ticks.size(); ++t) {
        const TickInfo& tick = p.ticks[t];
        weigher.follow(tick);
        onsets.read(tick);
        for (std::size_t c = 0; c < channels; ++c)
            if (onsets[c]) ++plan.notes;
        const std::array<int, kVoices> before = owner;
        if (mix) {
            ahead = std::max(ahead, t + 1);
            while (ahead < p.ticks.size() && p.ticks[ahead].time < tick.time + kAheadSeconds)
                ++ahead;
            takeStreams(p, t, ahead, weigher, *mix, onsets, owner, plan);
        }
        for (std::size_t s = 0; s < kVoices; ++s) {
            StreamTick& out = plan.ticks[t][s];
            out.channel = owner[s];
            if (owner[s] < 0) continue;
            out.sound = tick.channels[static_cast<std::size_t>(owner[s])];
            // A note taken where it is first heard, after a silent start, starts there.
            if (owner[s] != before[s]) out.sound.start = true;
        }
    }
    return plan;
}
