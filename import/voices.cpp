#include "voices.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// Below this volume a channel counts as silent: its stream may go to another channel.
constexpr double kSilent = 1.0 / 64;

// How much a sounding channel matters now: its volume, halved for every second its note has played.
double weight(const ChannelTick& sound, double age) {
    return sound.volume * std::exp2(-age);
}

} // namespace

VoicePlan assignVoices(const Performance& p) {
    VoicePlan plan;
    plan.ticks.resize(p.ticks.size());
    const auto channels = static_cast<std::size_t>(p.channels);
    std::array<int, kVoices> owner;
    owner.fill(-1);
    if (channels <= kVoices)
        std::iota(owner.begin(), owner.begin() + static_cast<std::ptrdiff_t>(channels), 0);
    std::vector<double> noteStart(channels, 0.0); // when each channel's note started, in seconds
    std::vector<std::size_t> order(channels);

    for (std::size_t t = 0; t < p.ticks.size(); ++t) {
        const TickInfo& tick = p.ticks[t];
        for (std::size_t c = 0; c < channels; ++c)
            if (tick.channels[c].start && tick.channels[c].volume >= kSilent) {
                ++plan.notes;
                noteStart[c] = tick.time;
            }
        if (channels > kVoices) {
            // The loudest new notes choose first.
            std::iota(order.begin(), order.end(), 0);
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return tick.channels[a].volume > tick.channels[b].volume;
            });
            for (std::size_t c : order) {
                const ChannelTick& sound = tick.channels[c];
                if (!sound.start || sound.volume < kSilent) continue;
                if (std::find(owner.begin(), owner.end(), static_cast<int>(c)) != owner.end()) continue;
                // The stream whose current sound matters least.
                std::size_t best = 0;
                double bestWeight = 1e9;
                for (std::size_t s = 0; s < kVoices; ++s) {
                    double w = 0;
                    if (owner[s] >= 0) {
                        const auto o = static_cast<std::size_t>(owner[s]);
                        const ChannelTick& held = tick.channels[o];
                        // A channel that starts a note in this very tick already won its stream.
                        w = held.start ? 1e6 : held.volume < kSilent ? 0 : weight(held, tick.time - noteStart[o]);
                    }
                    if (w < bestWeight) bestWeight = w, best = s;
                }
                if (bestWeight < weight(sound, 0)) {
                    owner[best] = static_cast<int>(c);
                } else {
                    ++plan.notesLeftOut;
                }
            }
        }
        for (std::size_t s = 0; s < kVoices; ++s) {
            StreamTick& out = plan.ticks[t][s];
            out.channel = owner[s];
            if (owner[s] >= 0) out.sound = tick.channels[static_cast<std::size_t>(owner[s])];
        }
    }
    return plan;
}
