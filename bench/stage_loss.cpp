// Where an import loses the module's sound, stage by stage. For each module it renders, from the
// capture, idealized versions of the ROM that lose one stage more each time, and scores each against
// libxmp's render with the importer's figures (import/fidelity.h):
//   all        every channel, the module's samples, pitch and volume as captured (the measure's ceiling)
//   voices     only what the four streams play (the voice plan)
//   volume     as voices, each note at its sample's usual level, on or off (the engine has no volume)
//   stored     as volume, from the kept samples as resampled to their stored rates and levels, before 4 bits
//   4-bit      as stored, from the stored 4-bit samples
//   rom        the ROM itself: tones, effects, lines and compaction
// The drop from one to the next is what that stage costs.
//
//   stage_loss RATE MODULE...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "engine/format.h"
#include "import/capture.h"
#include "import/import.h"
#include "import/load.h"
#include "import/samples.h"
#include "import/voices.h"
#include "measure/measure.h"

namespace {

enum class Stage { All, Voices, Volume, Stored, Samples };

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A sample's value at a (fractional) frame position, following its loop; false once it has run out.
bool frameAt(const SampleData& s, double position, float& out) {
    if (position < 0 || s.frames.empty()) return false;
    if (s.loops && position >= double(s.loopEnd)) {
        const double loop = double(s.loopEnd - s.loopStart);
        double into = std::fmod(position - double(s.loopStart), s.bidirectional ? 2 * loop : loop);
        if (s.bidirectional && into >= loop) into = 2 * loop - into - 1e-6;
        position = double(s.loopStart) + into;
    }
    const auto i = static_cast<std::size_t>(position);
    if (i >= s.frames.size()) return false;
    out = s.frames[i];
    return true;
}

// The resampled frames a kept sample was made from, before 4 bits, scaled to its stored level.
std::vector<float> storedFrames(const KeptSample& k, const ResampleCache& cache) {
    std::vector<float> frames;
    for (const auto& [key, made] : cache.made)
        if (std::get<0>(key) == k.source && std::get<1>(key) == k.scale &&
            (frames.empty() || made.frames.size() < frames.size()))
            frames = made.frames;
    float peak = 1e-6f, stored = 0;
    for (float f : frames)
        peak = std::max(peak, std::fabs(f));
    for (std::uint8_t n : k.nibbles)
        stored = std::max(stored, std::fabs(float((n & 8) ? int(n) - 16 : int(n))));
    frames.resize(std::min(frames.size(), k.nibbles.size()));
    for (float& f : frames)
        f *= stored / 7.5f / peak;
    return frames;
}

bool storedAt(const KeptSample& k, const std::vector<float>* frames, double position, float& out) {
    const double length = double(k.nibbles.size());
    if (position >= length) {
        if (!k.loops || length <= double(k.loopStart)) return false;
        position = double(k.loopStart) + std::fmod(position - length, length - double(k.loopStart));
    }
    const auto at = static_cast<std::size_t>(position);
    if (frames) {
        out = at < frames->size() ? (*frames)[at] : 0.0f;
        return true;
    }
    const std::uint8_t n = k.nibbles[at];
    out = float((n & 8) ? int(n) - 16 : int(n)) / 7.5f;
    return true;
}

std::vector<float> renderStage(const Performance& p, const VoicePlan& v, const SampleBank& bank,
                               const std::vector<std::vector<float>>& stored, int rate, Stage stage) {
    const std::size_t sources = stage == Stage::All ? std::size_t(p.channels) : kVoices;
    std::vector<double> position(sources, 0);
    std::vector<float> level(p.samples.size(), 0);
    std::vector<std::vector<double>> volumes(p.samples.size());
    for (const auto& ticks : v.ticks)
        for (const StreamTick& st : ticks)
            if (st.channel >= 0 && st.sound.sample >= 0 && st.sound.volume > 0)
                volumes[std::size_t(st.sound.sample)].push_back(st.sound.volume);
    for (std::size_t i = 0; i < level.size(); ++i)
        level[i] = float(median(volumes[i]));
    std::vector<float> out;
    double time = 0;
    for (std::size_t t = 0; t < p.ticks.size(); ++t) {
        const TickInfo& tick = p.ticks[t];
        const auto begin = static_cast<std::size_t>(std::lround(time * rate));
        time += tick.duration;
        const auto end = static_cast<std::size_t>(std::lround(time * rate));
        out.resize(end, 0);
        for (std::size_t c = 0; c < sources; ++c) {
            ChannelTick sound;
            if (stage == Stage::All)
                sound = tick.channels[c];
            else if (v.ticks[t][c].channel >= 0)
                sound = v.ticks[t][c].sound;
            if (sound.start) position[c] = sound.offset;
            if (sound.sample < 0 || sound.frequency <= 0) continue;
            const auto sample = std::size_t(sound.sample);
            const int entry = bank.entryOf[sample];
            float gain = float(sound.volume);
            if (stage >= Stage::Volume) gain = sound.volume >= 0.03 ? level[sample] : 0;
            // The stored samples carry their levels.
            if (stage >= Stage::Stored) gain = entry > 0 && sound.volume >= 0.03 ? 1.0f : 0.0f;
            const double perOut = sound.frequency / rate;
            for (std::size_t i = begin; i < end; ++i) {
                float value = 0;
                const bool sounds =
                    stage >= Stage::Stored
                        ? entry > 0 &&
                              storedAt(bank.kept[std::size_t(entry - 1)],
                                       stage == Stage::Stored ? &stored[std::size_t(entry - 1)] : nullptr,
                                       position[c] * bank.kept[std::size_t(entry - 1)].scale, value)
                        : frameAt(p.samples[sample], position[c], value);
                if (sounds) out[i] += gain * value / 4;
                position[c] += perOut;
            }
        }
    }
    return out;
}

// The bytes the ROM's samples take, read from its sample table: the room the importer gave them.
std::size_t sampleRoom(const std::vector<std::uint8_t>& rom) {
    std::uint32_t low = 0xFFFF, high = 0;
    for (std::size_t e = 0; e < kSampleEntries; ++e) {
        const std::size_t at = sampleEntry(e) - kRomBase;
        if (at + kSampleEntryBytes > rom.size()) break;
        const std::uint32_t start = std::uint32_t{rom[at]} << 8 | rom[at + 1],
                            end = std::uint32_t{rom[at + 2]} << 8 | rom[at + 3];
        if (start < kRomBase || end <= start) continue;
        low = std::min(low, start), high = std::max(high, end);
    }
    return high > low ? high - low : 8192;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: stage_loss RATE MODULE...\n");
        return 2;
    }
    const int rate = std::atoi(argv[1]);
    std::printf("%-34s %3s  %-11s %-11s %-11s %-11s %-11s %-11s\n", "module", "ch", "all", "voices", "volume",
                "stored", "4-bit", "rom");
    for (int a = 2; a < argc; ++a) {
        std::ifstream in(argv[a], std::ios::binary);
        const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>()};
        std::string error;
        ImportOptions options;
        options.rate = rate;
        options.measure = true;
        ImportResult result;
        LoadedModule module;
        if (!importModule(file, options, result, error) || !loadModule(file, module, error)) {
            std::printf("%-34s  %s\n", argv[a], error.c_str());
            continue;
        }
        const Performance p = capturePerformance(module, rate);
        const VoicePlan v = assignVoices(p);
        ResampleCache cache;
        const SampleBank bank = buildSamples(p, v, rate, sampleRoom(result.rom), kReachableEntries, &cache);
        std::vector<std::vector<float>> stored;
        for (const KeptSample& k : bank.kept)
            stored.push_back(storedFrames(k, cache));
        std::string name = argv[a];
        name = name.substr(name.find_last_of('/') + 1);
        std::printf("%-34s %3d ", name.c_str(), p.channels);
        for (Stage stage : {Stage::All, Stage::Voices, Stage::Volume, Stage::Stored, Stage::Samples}) {
            const Fidelity f = compareRenders(p.render, renderStage(p, v, bank, stored, rate, stage), rate);
            std::printf(" %.2f/%.2f  ", f.chroma, f.onset);
        }
        std::printf(" %.2f/%.2f\n", result.fidelity.chroma, result.fidelity.onset);
        std::fflush(stdout);
    }
    return 0;
}
