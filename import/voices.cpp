#include "voices.h"

#include <algorithm>
#include <cmath>
#include <numeric>

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

  private:
    const Performance& p_;
    std::vector<std::vector<float>> loudness_;
    std::vector<Playhead> heads_;
};

// New notes of one tick take streams: the weightiest first, each the stream whose sound weighs least
// now, if it weighs less than the new note.
void takeStreams(const TickInfo& tick, const Weigher& weigher, std::array<int, kVoices>& owner,
                 VoicePlan& plan) {
    std::vector<std::size_t> starts;
    for (std::size_t c = 0; c < tick.channels.size(); ++c)
        if (tick.channels[c].start && tick.channels[c].volume >= kSilent) starts.push_back(c);
    std::sort(starts.begin(), starts.end(), [&](std::size_t a, std::size_t b) {
        return weigher.weight(tick, a) > weigher.weight(tick, b);
    });
    for (std::size_t c : starts) {
        if (std::find(owner.begin(), owner.end(), static_cast<int>(c)) != owner.end()) continue;
        std::size_t best = 0;
        double least = HUGE_VAL;
        for (std::size_t s = 0; s < kVoices; ++s) {
            const int o = owner[s];
            // A channel that starts a note in this very tick already won its stream.
            const double w = o < 0                                 ? 0
                             : tick.channels[std::size_t(o)].start ? HUGE_VAL
                                                                   : weigher.weight(tick, std::size_t(o));
            if (w < least) least = w, best = s;
        }
        if (least < weigher.weight(tick, c))
            owner[best] = static_cast<int>(c);
        else
            ++plan.notesLeftOut, ++plan.leftOutByChannel[c];
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

    for (std::size_t t = 0; t < p.ticks.size(); ++t) {
        const TickInfo& tick = p.ticks[t];
        weigher.follow(tick);
        for (std::size_t c = 0; c < channels; ++c)
            if (tick.channels[c].start && tick.channels[c].volume >= kSilent) ++plan.notes;
        if (channels > kVoices) takeStreams(tick, weigher, owner, plan);
        for (std::size_t s = 0; s < kVoices; ++s) {
            StreamTick& out = plan.ticks[t][s];
            out.channel = owner[s];
            if (owner[s] >= 0) out.sound = tick.channels[static_cast<std::size_t>(owner[s])];
        }
    }
    return plan;
}
