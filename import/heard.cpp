#include "heard.h"

#include <algorithm>
#include <cmath>

#include "report.h"

namespace {

// A silence of the ROM this long where the module sounds is said.
constexpr double kLongestUnsaidSilence = 0.5;

// How much each sample sounds in the module, on any channel: seconds weighted by volume and by the
// sample's peak, so that a sample of near silence counts for little.
std::vector<double> heardSeconds(const Performance& p) {
    std::vector<double> heard(p.samples.size(), 0);
    for (const TickInfo& tick : p.ticks)
        for (const ChannelTick& c : tick.channels)
            if (c.sample >= 0 && std::size_t(c.sample) < heard.size())
                heard[std::size_t(c.sample)] += c.volume * tick.duration;
    for (std::size_t s = 0; s < heard.size(); ++s) {
        float peak = 0;
        for (float f : p.samples[s].frames)
            peak = std::max(peak, std::fabs(f));
        heard[s] *= peak;
    }
    return heard;
}

} // namespace

Loss unheardSamples(const Performance& p, const VoicePlan& v, const SampleBank& bank,
                    const CompiledSong& song) {
    Loss loss;
    loss.kind = LossKind::SamplesUnheard;
    const std::vector<double> first = firstHeard(p);
    const std::vector<double> heard = heardSeconds(p);
    double all = 0;
    for (double h : heard)
        all += h;
    // The loudest each sample plays on a stream.
    std::vector<double> loudest(p.samples.size(), 0);
    for (const auto& streams : v.ticks)
        for (const StreamTick& st : streams)
            if (st.channel >= 0 && st.sound.sample >= 0 && std::size_t(st.sound.sample) < loudest.size() &&
                st.sound.frequency > 0)
                loudest[std::size_t(st.sound.sample)] =
                    std::max(loudest[std::size_t(st.sound.sample)], st.sound.volume);
    const std::vector<int> entries = entriesNamed(song);
    const auto named = [&](int entry) { return std::binary_search(entries.begin(), entries.end(), entry); };
    for (std::size_t s = 0; s < p.samples.size(); ++s) {
        if (first[s] < 0 || heard[s] <= 0 || !holdsSound(p.samples[s])) continue;
        const int entry = s < bank.entryOf.size() ? bank.entryOf[s] : 0;
        const bool quiet =
            std::find(bank.tooQuiet.begin(), bank.tooQuiet.end(), int(s)) != bank.tooQuiet.end();
        Unheard why = Unheard::Streams;
        if (entry == 0) {
            if (quiet)
                why = Unheard::FourBits;
            else if (loudest[s] > 0)
                continue; // left out by the samples stage, which names it
        } else {
            bool sounds = named(entry);
            for (const OffsetEntry& o : bank.offsets)
                sounds = sounds || (o.source == int(s) && named(o.entry));
            for (const LevelEntry& l : bank.levels)
                sounds = sounds || (l.sample.source == int(s) && named(l.sample.entry));
            const std::vector<std::uint8_t>& nibbles = bank.kept[std::size_t(entry - 1)].nibbles;
            const bool silent =
                std::all_of(nibbles.begin(), nibbles.end(), [](std::uint8_t n) { return n == 0; });
            if (!sounds)
                why = bank.audible(int(s), loudest[s]) ? Unheard::Lines : Unheard::BelowVolume;
            else if (silent)
                why = Unheard::FourBits;
            else
                continue;
        }
        SampleLoss item = sampleLoss(p, int(s));
        item.entry = entry;
        item.firstHeard = first[s];
        item.unheard = why;
        loss.samples.push_back(item);
        loss.share += all > 0 ? heard[s] / all : 0;
    }
    std::stable_sort(loss.samples.begin(), loss.samples.end(),
                     [](const SampleLoss& a, const SampleLoss& b) { return a.firstHeard < b.firstHeard; });
    return loss;
}

std::vector<Loss> silentSpans(const Performance& p, const SampleBank& bank, const RenderReading& module,
                              const RenderReading& rom) {
    std::vector<Loss> losses;
    for (const auto& [from, to] : silentSpans(module, rom, kLongestUnsaidSilence)) {
        Loss loss;
        loss.kind = LossKind::SilentSpan;
        loss.from = from, loss.to = to;
        loss.share = p.length > 0 ? (to - from) / p.length : 0;
        std::vector<double> heard(p.samples.size(), 0); // what the module plays in the span, by sample
        for (const TickInfo& tick : p.ticks)
            if (tick.time + tick.duration > from && tick.time < to)
                for (const ChannelTick& c : tick.channels)
                    if (c.sample >= 0 && std::size_t(c.sample) < heard.size())
                        heard[std::size_t(c.sample)] += c.volume * tick.duration;
        for (std::size_t s = 0; s < heard.size(); ++s)
            if (heard[s] > 0) {
                SampleLoss item = sampleLoss(p, int(s));
                item.entry = s < bank.entryOf.size() ? bank.entryOf[s] : 0;
                item.amount = heard[s];
                loss.samples.push_back(item);
            }
        std::stable_sort(loss.samples.begin(), loss.samples.end(),
                         [](const SampleLoss& a, const SampleLoss& b) { return a.amount > b.amount; });
        losses.push_back(loss);
    }
    return losses;
}
