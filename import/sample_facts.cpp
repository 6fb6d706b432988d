#include "sample_facts.h"

std::vector<SampleFacts> sampleFacts(const SampleBank& bank, const Performance& performance, int song,
                                     const std::vector<int>& shared) {
    std::vector<bool> heard(performance.samples.size(), false);
    for (const TickInfo& t : performance.ticks)
        for (const ChannelTick& c : t.channels)
            if (c.sample >= 0 && std::size_t(c.sample) < heard.size() && c.volume > 0 && c.frequency > 0)
                heard[std::size_t(c.sample)] = true;
    std::vector<SampleFacts> facts;
    for (std::size_t i = 0; i < performance.samples.size(); ++i) {
        SampleFacts f;
        f.song = song;
        f.number = static_cast<int>(i) + 1;
        f.name = performance.samples[i].name;
        f.heard = heard[i];
        const int source = shared.empty() ? static_cast<int>(i) : shared[i];
        if (source >= 0 && std::size_t(source) < bank.entryOf.size())
            f.entry = bank.entryOf[std::size_t(source)];
        for (const KeptSample& k : bank.kept)
            if (k.source == source && k.entry == f.entry && f.entry != 0) {
                f.rate = k.scale;
                f.bytes = k.nibbles.size();
                f.loops = k.loops;
            }
        if (f.heard || f.entry != 0) facts.push_back(f);
    }
    return facts;
}
