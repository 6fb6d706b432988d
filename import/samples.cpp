#include "samples.h"

#include <samplerate.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <tuple>

#include "engine/engine.h"
#include "report.h"

namespace {

// Highest and lowest table semitones (tone 0 is semitone 0, tone 60 semitone 59: the extra step of tone
// kUnitTone has no semitone of its own).
constexpr int kTopSemitone = kHighestTone - 1;
// A sample's most played pitch lands here when space allows: tone 33, a step of 518, two bytes per output
// sample, so the stored rate is twice the output rate. Its notes up to an octave lower still read a byte
// or more per output sample, so they keep the treble of the module's sample (stored at the output rate,
// a note an octave down would have none above a quarter of it), and pitch bends move in finer parts of a
// semitone.
constexpr int kPreferredAnchor = 32;
// The lowest a sample's most played pitch should land while the song has room to give: tone 8, a step of
// 130, half a byte per output sample.
constexpr int kComfortableAnchor = 8;
// Loops shorter than this many bytes are repeated before resampling: the loop's length is rounded to
// whole bytes, and short loops would be out of tune (and creep at high steps).
constexpr double kShortestLoop = 200;
constexpr double kPi = 3.14159265358979323846;
constexpr double kOvertoneReach = 5;
// Loops are shortened before rates are lowered only down to this many seconds (0.5 scored lower).
constexpr double kLoopSeconds = 0.25;
// The lowest frequency the fidelity measure hears, in Hz.
constexpr double kLowestHeard = 50;
// A stored peak of 1 is this many 4-bit levels (quantizeNibble's scale).
constexpr double kNibbleLevels = 7.5;
// The peak a sample that would be silence in 4 bits is stored at when it is kept because it sounds alone:
// two levels of the seven and a half either side of silence.
constexpr double kLiftedLevel = 1.5 / kNibbleLevels;
// Quiet samples sounding with nothing else for longer than this would leave the ROM silent: they are kept.
constexpr double kLongestSilence = 0.5;

double tableStep(int semitone) {
    const int tone = semitone < kUnitTone ? semitone : semitone + 1;
    return PeriodTable[std::clamp(tone, 0, int{kHighestTone})];
}

// A note as struck: its volume then, and the seconds it is heard.
struct Strike {
    double volume = 0, seconds = 0, frequency = 0;
};

// What the module does with one sample, over the whole song.
struct Usage {
    double heard = 0;                        // seconds of sounding, weighted by volume
    std::map<int, double> semitones;         // heard time by pitch, in 1/4 semitones of frequency
    std::vector<double> volumes;             // volume per heard tick, for the usual level
    std::map<std::uint32_t, double> offsets; // notes started from a sample offset: heard time by offset
    double lowest = 1e9, highest = 0;        // frequencies heard
    double starts = 0;                       // notes started, weighted by volume
    std::vector<Strike> strikes;             // every note the streams play of it
};

// Whether a stream sounds a sample during a tick.
bool sounding(const StreamTick& st) {
    return st.channel >= 0 && st.sound.sample >= 0 && st.sound.volume > 0 && st.sound.frequency > 0;
}

std::vector<Usage> measureUsage(const Performance& p, const VoicePlan& v) {
    std::vector<Usage> usage(p.samples.size());
    std::array<std::pair<int, std::size_t>, kVoices> note; // each stream's note: its sample and strike
    note.fill({-1, 0});
    for (std::size_t t = 0; t < v.ticks.size(); ++t)
        for (std::size_t k = 0; k < kVoices; ++k) {
            const StreamTick& st = v.ticks[t][k];
            const ChannelTick& s = st.sound;
            if (!sounding(st)) continue;
            Usage& u = usage[static_cast<std::size_t>(s.sample)];
            const double seconds = p.ticks[t].duration;
            if (s.start)
                note[k] = {s.sample, u.strikes.size()}, u.strikes.push_back({s.volume, 0, s.frequency});
            if (note[k].first == s.sample) u.strikes[note[k].second].seconds += seconds;
            u.heard += seconds * s.volume;
            u.semitones[static_cast<int>(std::lround(48 * std::log2(s.frequency)))] += seconds * s.volume;
            u.volumes.push_back(s.volume);
            if (s.start && s.offset > 0) u.offsets[s.offset] += 1;
            if (s.start) u.starts += s.volume;
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

// How much of a sample is kept: all of it, or, to fit, a shorter end (`frames`, for a sample that does
// not loop) or a shorter loop (`loop` frames from the loop's start). A looping sample with a shorter end
// has lost its loop: it plays its first `frames` frames once.
struct Cut {
    std::size_t frames = SIZE_MAX, loop = SIZE_MAX;
};

bool keepsLoop(const SampleData& s, const Cut& cut) {
    return s.loops && cut.frames == SIZE_MAX;
}

// The frames that are ever played: up to the loop's end, or the whole sample, as cut. A two-way loop is
// written out forwards then backwards; a loop shorter than `minLoopFrames` is repeated until it is not.
std::vector<float> playedFrames(const SampleData& s, const Cut& cut, double minLoopFrames,
                                std::size_t& loopStart) {
    loopStart = 0;
    if (!keepsLoop(s, cut)) {
        std::vector<float> frames(s.frames.begin(),
                                  s.frames.begin() + long(std::min(cut.frames, s.frames.size())));
        const std::size_t fade =
            frames.size() < s.frames.size() ? std::min<std::size_t>(frames.size(), 256) : 0;
        for (std::size_t f = 0; f < fade; ++f) // a shortened end fades out
            frames[frames.size() - 1 - f] *= float(f) / float(fade);
        return frames;
    }
    const std::size_t loopEnd = s.loopStart + std::min(cut.loop, s.loopEnd - s.loopStart);
    std::vector<float> frames(s.frames.begin(), s.frames.begin() + long(s.loopStart));
    std::vector<float> loop(s.frames.begin() + long(s.loopStart), s.frames.begin() + long(loopEnd));
    if (s.bidirectional && loop.size() > 2) loop.insert(loop.end(), loop.rbegin() + 1, loop.rend() - 1);
    loopStart = s.loopStart;
    const auto copies = std::max<std::size_t>(1, std::size_t(std::ceil(minLoopFrames / double(loop.size()))));
    for (std::size_t i = 0; i < copies; ++i)
        frames.insert(frames.end(), loop.begin(), loop.end());
    return frames;
}

// The same count, without building the frames.
std::size_t playedLength(const SampleData& s, const Cut& cut, double minLoopFrames) {
    if (!keepsLoop(s, cut)) return std::min(cut.frames, s.frames.size());
    std::size_t loop = std::min(cut.loop, s.loopEnd - s.loopStart);
    if (s.bidirectional && loop > 2) loop = 2 * loop - 2;
    return s.loopStart +
           loop * std::max<std::size_t>(1, std::size_t(std::ceil(minLoopFrames / double(loop))));
}

} // namespace

// A loop is resampled with copies of itself after its end, so that the filter sees what plays after the
// end and the seam stays smooth.
std::vector<float> resampleFrames(const std::vector<float>& in, double ratio, std::size_t loopStart,
                                  bool loops, bool quick) {
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
    if (source.empty() || src_simple(&d, quick ? SRC_SINC_FASTEST : SRC_SINC_MEDIUM_QUALITY, 1) != 0)
        d.output_frames_gen = 0;
    out.resize(static_cast<std::size_t>(d.output_frames_gen));
    const auto wanted = static_cast<std::size_t>(std::lround(double(in.size()) * ratio));
    out.resize(std::max<std::size_t>(1, std::min(out.size(), wanted)));
    return out;
}

std::uint8_t quantizeNibble(float v) {
    const long q = std::lround(v * float(kNibbleLevels));
    return nibbleBits(static_cast<int>(std::clamp<long>(q, kNibbleLowest, kNibbleHighest)));
}

namespace {

// A heard sample, while the bank is planned.
struct Candidate {
    int source;
    Usage usage;
    double frequency; // most played
    int low, high;    // semitones below and above it that are played
    int anchor;       // the table semitone `frequency` lands on
    Cut cut;
    double top = 0.5; // cycles per frame below which the sample's sound lies

    double ratio(int rate) const { return tableStep(anchor) * rate / (256.0 * frequency); }
};

// Stored bytes of a candidate, at its rate and cut.
double storedBytes(const Candidate& c, const SampleData& s, int rate) {
    return std::ceil(double(playedLength(s, c.cut, kShortestLoop / c.ratio(rate))) * c.ratio(rate)) + 1;
}

// The samples left out (whole), with how many notes the module plays of each and where it first plays
// it, those played most first; `heard`: the seconds all the heard samples sound, weighted by volume.
Loss leftOut(LossKind kind, const Performance& p, std::vector<Candidate> samples, double heard) {
    const std::vector<std::size_t> notes = notesPerSample(p);
    const std::vector<double> first = firstHeard(p);
    const auto played = [&](const Candidate& c) { return notes[std::size_t(c.source)]; };
    std::stable_sort(samples.begin(), samples.end(),
                     [&](const Candidate& a, const Candidate& b) { return played(a) > played(b); });
    Loss loss;
    loss.kind = kind;
    for (const Candidate& c : samples) {
        SampleLoss s = sampleLoss(p, c.source);
        s.amount = double(played(c));
        s.firstHeard = first[std::size_t(c.source)];
        loss.samples.push_back(s);
        loss.share += heard > 0 ? c.usage.heard / heard : 0;
    }
    return loss;
}

class Planner {
  public:
    Planner(const Performance& p, std::vector<Candidate>& chosen, int rate, std::size_t space)
        : p_(p), chosen_(chosen), rate_(rate), space_(double(space)) {}

    // Packed two to a byte range, longest with next longest: each pair takes the longer one's bytes.
    double total() const {
        std::vector<double> sizes;
        for (const Candidate& c : chosen_)
            sizes.push_back(bytes(c));
        std::sort(sizes.rbegin(), sizes.rend());
        double sum = 0;
        for (std::size_t i = 0; i < sizes.size(); i += 2)
            sum += sizes[i];
        return sum;
    }

    // What the candidates lose of the measure's band, over all (see `lost`).
    double totalLost() const {
        double sum = 0;
        for (const Candidate& c : chosen_)
            sum += lost(c);
        return sum;
    }

    // Fits the candidates in the space, in steps that cost the sound least first: lower rates where the
    // samples' sound lies below what they keep (a dull sample gives up rate it does not use), long loops
    // shorter (the sound goes on, repeating sooner), lower rates a semitone at a time, the samples that lose
    // least of the measure's band for the bytes they give first (down to where the lowest notes play at
    // the lowest tone), shorter ends and loops, then fewer samples; lower rates below a sample's lowest
    // notes come after shorter ends, as those notes would then all play at the table's lowest tone, and a
    // loop is left out (the part before it shortened) only after that: at high output rates even the
    // lowest stored rates can take more than the image. Reports what it did, sample by sample.
    void fit(std::vector<Loss>& losses) {
        const std::vector<Candidate> before = chosen_;
        while (total() > space_ && lower(false, true)) {
        }
        while (total() > space_ && shorten(false, true)) {
        }
        while (total() > space_ && lower(false)) {
        }
        while (total() > space_ && lowerOrShorten()) {
        }
        while (total() > space_ && shorten(true)) {
        }
        std::vector<Candidate> dropped;
        while (total() > space_ && chosen_.size() > 1)
            dropped.push_back(chosen_.back()), chosen_.pop_back();
        reportFit(before, dropped, losses);
    }

    double bytes(const Candidate& c) const { return storedBytes(c, sample(c), rate_); }

  private:
    // The seconds every candidate sounds, weighted by volume: what a sample's share of the sound is of.
    double heard(const std::vector<Candidate>& all) const {
        double sum = 0;
        for (const Candidate& c : all)
            sum += c.usage.heard;
        return sum;
    }

    // A loss each for the samples stored at lower rates, those shortened and those left out, with how
    // much each lost; the samples that lost most come first.
    void reportFit(const std::vector<Candidate>& before, const std::vector<Candidate>& dropped,
                   std::vector<Loss>& losses) const {
        const double all = heard(before);
        Loss lowered, shortened;
        lowered.kind = LossKind::RatesLowered, shortened.kind = LossKind::SamplesShortened;
        for (std::size_t i = 0; i < chosen_.size(); ++i) {
            const Candidate& now = chosen_[i];
            const Candidate& was = before[i];
            const double share = all > 0 ? now.usage.heard / all : 0;
            SampleLoss item = sampleLoss(p_, now.source);
            item.entry = int(i) + 1;
            if (now.anchor < was.anchor) {
                SampleLoss s = item;
                s.amount = was.anchor - now.anchor;
                // The band its most played notes keep, and where its sound reaches, at the output rate.
                s.neededHz = std::min(now.top * now.frequency, rate_ / 2.0);
                s.keptHz = now.ratio(rate_) / 2 * now.frequency;
                s.outputHz = rate_;
                // Notes it now plays higher than written: below the table's lowest tone.
                for (const Strike& n : now.usage.strikes)
                    s.notes += n.volume > 0 && belowTable(now, n.frequency);
                s.of = now.usage.strikes.size();
                lowered.samples.push_back(s);
                // What it loses of the band the measure hears, on its log scale from 50 Hz.
                if (s.keptHz < s.neededHz && s.neededHz > kLowestHeard)
                    lowered.share += share * std::log(s.neededHz / std::max(s.keptHz, kLowestHeard)) /
                                     std::log(s.neededHz / kLowestHeard);
            }
            const SampleData& d = sample(now);
            const bool loop = keepsLoop(d, now.cut);
            const std::size_t whole = loop ? d.loopEnd - d.loopStart : d.frames.size();
            const std::size_t kept = std::min(loop ? now.cut.loop : now.cut.frames, whole);
            if (kept < whole) {
                SampleLoss s = item;
                s.amount = std::floor(100.0 * double(kept) / double(std::max<std::size_t>(whole, 1)));
                s.kept = loop ? Kept::Loop : d.loops ? Kept::StartWithoutLoop : Kept::Start;
                shortened.samples.push_back(s);
                // A shorter loop still sounds, repeating sooner; a shorter end loses the sample's tail.
                shortened.share += share * (1 - s.amount / 100) * (loop ? 0.25 : 0.5);
            }
        }
        std::stable_sort(lowered.samples.begin(), lowered.samples.end(),
                         [](const SampleLoss& a, const SampleLoss& b) { return a.amount > b.amount; });
        std::stable_sort(shortened.samples.begin(), shortened.samples.end(),
                         [](const SampleLoss& a, const SampleLoss& b) { return a.amount < b.amount; });
        if (!lowered.samples.empty()) losses.push_back(lowered);
        if (!shortened.samples.empty()) losses.push_back(shortened);
        if (!dropped.empty()) losses.push_back(leftOut(LossKind::SamplesDropped, p_, dropped, all));
    }

    const SampleData& sample(const Candidate& c) const { return p_.samples[std::size_t(c.source)]; }

    // The share of the measure's band (up to half the output rate) a candidate's notes lose at its
    // anchor, weighted by the notes it starts: a note at f frames per second keeps what lies below both
    // half its stored bytes per frame and the sample's top, in output terms.
    // A note whose pitch lands below the table's lowest tone plays at that tone, higher than written: it is
    // lost whole, wherever its sound reaches.
    double lost(const Candidate& c) const {
        const double half = rate_ / 2.0, ratio = c.ratio(rate_);
        double loss = 0, time = 0;
        for (const auto& [quarter, heard] : c.usage.semitones) {
            const double f = std::exp2(quarter / 48.0);
            const double needed = std::min(c.top * f, half), kept = std::min(ratio / 2 * f, needed);
            loss += heard * (belowTable(c, f) ? 1 : (needed - kept) / half);
            time += heard;
        }
        return time > 0 ? c.usage.starts * loss / time : 0;
    }

    // Whether a note at frequency `f` lands below the table's lowest tone at the candidate's anchor.
    static bool belowTable(const Candidate& c, double f) {
        return c.anchor + 12 * std::log2(f / c.frequency) < -0.5;
    }

    // What a candidate's cut costs its notes, in the unit of `lost`: a note heard past the part kept (of a
    // sample that does not loop, or whose loop was left out) loses what it would have sounded after it; a
    // loop kept shorter than kLoopSeconds sounds on, repeating sooner (half a note lost for a loop of none).
    double cutLost(const Candidate& c) const {
        const SampleData& s = sample(c);
        if (keepsLoop(s, c.cut)) {
            const double loop = double(std::min(c.cut.loop, s.loopEnd - s.loopStart)) / c.frequency;
            return c.usage.starts * 0.5 * std::max(0.0, 1 - loop / kLoopSeconds);
        }
        const std::size_t frames = std::min(c.cut.frames, s.frames.size());
        if (frames >= s.frames.size() && !s.loops) return 0;
        double loss = 0;
        for (const Strike& n : c.usage.strikes) {
            const double kept = double(frames) / std::max(n.frequency, 1.0);
            if (n.seconds > kept) loss += n.volume * (n.seconds - kept) / n.seconds;
        }
        return loss;
    }

    // The sample that loses least for the bytes it saves the bank a semitone lower (a pair's shorter one
    // saves none); with `belowNotes`, even below its lowest notes; with `freeOnly`, only one that loses
    // nothing.
    bool lower(bool belowNotes, bool freeOnly = false) {
        Candidate* best = nullptr;
        double bestCost = 0;
        for (Candidate& c : chosen_) {
            if (c.anchor <= (belowNotes ? 0 : c.low)) continue;
            const double before = bytes(c), loss = lost(c), whole = total();
            --c.anchor;
            const double saved = whole - total(), own = before - bytes(c), more = lost(c) - loss;
            ++c.anchor;
            if (freeOnly && more > 1e-9) continue;
            // Loss per byte saved; among equal losses (none, mostly) the most bytes saved, then the biggest.
            const double cost = more / std::max({saved, 0.01 * own, 1e-3}) - 1e-9 * saved - 1e-12 * before;
            if (!best || cost < bestCost) best = &c, bestCost = cost;
        }
        if (!best) return false;
        --best->anchor;
        return true;
    }

    // Whether the part before a sample's loop is most of it: shortening the loop gains little.
    bool mostlyBeforeLoop(const Candidate& c) const {
        return double(sample(c).loopStart) * c.ratio(rate_) > bytes(c) / 2;
    }

    // The biggest sample's end or loop an eighth shorter, down to a few hundred bytes. A sample that is
    // mostly its part before the loop is kept whole, unless `evenLoops`: then its loop is left out and
    // that part shortened. With `loopsOnly`, only kept loops still long (longLoop) are shortened.
    // Whether a kept loop is still long enough, an eighth shorter, to be shortened before rates are
    // lowered: a loop cut short of kLoopSeconds at the sample's most played pitch turns a held,
    // changing sound into a buzz or a stutter.
    bool longLoop(const Candidate& c) const {
        const SampleData& s = sample(c);
        const double loop = double(std::min(c.cut.loop, s.loopEnd - s.loopStart));
        return loop * 7 / 8 >= kLoopSeconds * c.frequency;
    }

    bool shortenable(const Candidate& c, bool evenLoops, bool loopsOnly = false) const {
        return bytes(c) > 512 && (evenLoops || !keepsLoop(sample(c), c.cut) || !mostlyBeforeLoop(c)) &&
               (!loopsOnly || (keepsLoop(sample(c), c.cut) && !mostlyBeforeLoop(c) && longLoop(c)));
    }

    // The candidate's cut an eighth shorter: its loop, or (for a sample mostly its part before the loop)
    // its end, the loop left out.
    Cut shorterCut(const Candidate& c) const {
        const SampleData& s = sample(c);
        Cut cut = c.cut;
        if (keepsLoop(s, cut) && !mostlyBeforeLoop(c)) {
            const std::size_t loop = std::min(cut.loop, s.loopEnd - s.loopStart);
            cut.loop = loop - loop / 8;
        } else {
            cut.frames = std::min({cut.frames, s.frames.size(), s.loops ? s.loopStart : SIZE_MAX});
            cut.frames -= cut.frames / 8;
        }
        return cut;
    }

    bool shorten(bool evenLoops, bool loopsOnly = false) {
        Candidate* biggest = nullptr;
        for (Candidate& c : chosen_)
            if (shortenable(c, evenLoops, loopsOnly) && (!biggest || bytes(c) > bytes(*biggest)))
                biggest = &c;
        if (!biggest) return false;
        biggest->cut = shorterCut(*biggest);
        return true;
    }

    // One step of whichever costs the measure least for the bytes it saves: a sample a semitone lower, even
    // below its lowest notes (those play at the table's lowest tone, higher than written), or a sample's end
    // or loop an eighth shorter (as `shorten` does, where it may). A sample played over a wide range of
    // pitches needs a high rate for its lowest notes: at a high output rate it may fit whole only if they
    // give way. False if nothing is left to give.
    bool lowerOrShorten() {
        Candidate* best = nullptr;
        Cut bestCut;
        int bestAnchor = 0;
        double bestCost = 0;
        const double whole = total();
        for (Candidate& c : chosen_) {
            const Candidate was = c;
            const double before = lost(c) + cutLost(c);
            std::vector<std::pair<int, Cut>> steps;
            if (c.anchor > 0) steps.emplace_back(c.anchor - 1, c.cut);
            if (shortenable(c, false)) steps.emplace_back(c.anchor, shorterCut(c));
            for (const auto& [anchor, cut] : steps) {
                c.anchor = anchor, c.cut = cut;
                const double saved = whole - total(), own = bytes(was) - bytes(c);
                const double more = lost(c) + cutLost(c) - before;
                c = was;
                if (own <= 0) continue;
                const double cost = more / std::max({saved, 0.01 * own, 1e-3}) - 1e-9 * saved;
                if (!best || cost < bestCost) best = &c, bestCost = cost, bestAnchor = anchor, bestCut = cut;
            }
        }
        if (!best) return false;
        best->anchor = bestAnchor, best->cut = bestCut;
        return true;
    }

    const Performance& p_;
    std::vector<Candidate>& chosen_;
    int rate_;
    double space_;
};

// Where a sample's sound lies, in cycles per frame (at most half a cycle): the tone its power centres on,
// from the power of its steps from frame to frame against its own (4 sin^2(pi f) for a tone of f cycles
// per frame), times kOvertoneReach for the overtones above it. The measure weighs every band alike on a
// log scale, so quiet overtones count: a reach of 5 scored better than 2 or 3.
double soundTop(const SampleData& s) {
    double power = 0, steps = 0;
    for (std::size_t i = 1; i < s.frames.size(); ++i) {
        const double d = double(s.frames[i]) - double(s.frames[i - 1]);
        power += double(s.frames[i]) * s.frames[i], steps += d * d;
    }
    if (power <= 0) return 0.5;
    const double centre = std::asin(std::min(1.0, std::sqrt(steps / power) / 2)) / kPi;
    return std::min(0.5, kOvertoneReach * centre);
}

// The heard samples, most heard first, each anchored where its notes fit the table.
std::vector<Candidate> candidates(const Performance& p, const std::vector<Usage>& usage) {
    std::vector<Candidate> chosen;
    for (std::size_t i = 0; i < usage.size(); ++i) {
        if (usage[i].heard <= 0) continue;
        Candidate c{static_cast<int>(i), usage[i], mainFrequency(usage[i]), 0, 0, kPreferredAnchor, {}};
        c.top = soundTop(p.samples[i]);
        c.low = static_cast<int>(std::ceil(12 * std::log2(c.frequency / usage[i].lowest) - 0.25));
        c.high = static_cast<int>(std::ceil(12 * std::log2(usage[i].highest / c.frequency) - 0.25));
        // The preferred anchor, raised so the lowest notes fit, then lowered so the highest do: where the
        // notes span more than the table, the highest win. (Not std::clamp: bounds the wrong way round are
        // undefined there, and C++ libraries answer them differently.)
        c.anchor = std::min(std::max(kPreferredAnchor, std::min(c.low, kTopSemitone)),
                            std::max(0, kTopSemitone - c.high));
        chosen.push_back(c);
    }
    // Stable: samples heard as long keep the module's order, whichever C++ library sorts (the page's
    // differs from the native one's where keys tie).
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const Candidate& a, const Candidate& b) { return a.usage.heard > b.usage.heard; });
    return chosen;
}

// A candidate made into a table entry: resampled, at its level, in 4 bits.
KeptSample makeSample(const Candidate& c, const SampleData& s, int entry, double gainTarget, int rate,
                      ResampleCache* cache) {
    KeptSample k;
    k.source = c.source;
    k.entry = entry;
    k.anchorSemitone = c.anchor;
    k.scale = c.ratio(rate);
    ResampleCache local;
    ResampleCache& made = cache ? *cache : local;
    const auto key = std::make_tuple(c.source, k.scale, c.cut.frames, c.cut.loop);
    auto found = made.made.find(key);
    if (found == made.made.end()) {
        ResampleCache::Made m;
        const std::vector<float> frames = playedFrames(s, c.cut, kShortestLoop / k.scale, m.loopStart);
        m.frames = resampleFrames(frames, k.scale, m.loopStart, keepsLoop(s, c.cut), made.quick);
        found = made.made.emplace(key, std::move(m)).first;
    }
    const std::vector<float>& out = found->second.frames;
    const std::size_t loopStart = found->second.loopStart;
    const bool loops = keepsLoop(s, c.cut);
    float peak = 1e-6f;
    for (float f : out)
        peak = std::max(peak, std::fabs(f));
    const auto gain = static_cast<float>(gainTarget / peak);
    // Plain rounding: feeding each value's rounding error into the next (noise shaping) was measured
    // and scored no better on chroma and worse on onsets.
    for (float f : out)
        k.nibbles.push_back(quantizeNibble(f * gain));
    k.loops = loops;
    if (loops)
        k.loopStart = std::min(static_cast<std::size_t>(std::lround(double(loopStart) * k.scale)),
                               k.nibbles.size() - 1);
    return k;
}

} // namespace

double SampleBank::step(int source, double frequency, int rate) const {
    if (source < 0 || static_cast<std::size_t>(source) >= entryOf.size() || entryOf[std::size_t(source)] == 0)
        return 0;
    return 256.0 * frequency * kept[std::size_t(entryOf[std::size_t(source)] - 1)].scale / rate;
}

bool SampleBank::audible(int source, double volume) const {
    const int entry = source >= 0 && std::size_t(source) < entryOf.size() ? entryOf[std::size_t(source)] : 0;
    double usual = entry > 0 && std::size_t(entry) <= kept.size() ? kept[std::size_t(entry - 1)].volume : 1;
    for (const LevelEntry& l : levels)
        if (l.sample.source == source) usual = std::min(usual, l.volume);
    return volume >= std::min(kAudibleVolume, usual / 2);
}

int SampleBank::entryFor(int source, std::uint32_t offset, double volume) const {
    if (source < 0 || static_cast<std::size_t>(source) >= entryOf.size()) return 0;
    if (offset > 0)
        for (const OffsetEntry& o : offsets)
            if (o.source == source && o.offset == offset) return o.entry;
    if (volume > 0)
        for (const LevelEntry& l : levels)
            if (l.sample.source == source &&
                std::fabs(std::log(volume / l.volume)) < std::fabs(std::log(volume / l.usual)))
                return l.sample.entry;
    return entryOf[std::size_t(source)];
}

bool SampleBank::hasOffsetEntry(int source, std::uint32_t offset) const {
    return std::any_of(offsets.begin(), offsets.end(),
                       [&](const OffsetEntry& o) { return o.source == source && o.offset == offset; });
}

EntryShape SampleBank::shape(int entry) const {
    for (const LevelEntry& l : levels)
        if (l.sample.entry == entry) return {l.sample.nibbles.size(), l.sample.loops, l.sample.loopStart};
    std::size_t skip = 0;
    int base = entry;
    for (const OffsetEntry& o : offsets)
        if (o.entry == entry) skip = o.skip, base = entryOf[std::size_t(o.source)];
    if (base <= 0 || static_cast<std::size_t>(base) > kept.size()) return {};
    const KeptSample& k = kept[std::size_t(base - 1)];
    EntryShape shape{k.nibbles.size() - skip, k.loops, k.loopStart > skip ? k.loopStart - skip : 0};
    return shape;
}

// The table entries the kept samples leave free go to the offsets notes start from most often (notes
// from other offsets play from the sample's start; the compiler counts them).
void addOffsetEntries(const std::vector<Candidate>& chosen, SampleBank& bank, int entries) {
    std::vector<std::tuple<double, int, std::uint32_t>> wanted; // count, source, offset
    for (const Candidate& c : chosen)
        for (const auto& [offset, count] : c.usage.offsets)
            wanted.emplace_back(count, c.source, offset);
    std::sort(wanted.rbegin(), wanted.rend());
    for (const auto& [count, source, offset] : wanted) {
        const int entry = int(bank.kept.size() + bank.offsets.size()) + 1;
        if (entry > entries) break;
        const KeptSample& k = bank.kept[std::size_t(bank.entryOf[std::size_t(source)] - 1)];
        const auto skip = static_cast<std::size_t>(std::lround(offset * k.scale));
        if (skip >= k.nibbles.size()) continue; // the offset lies past the part kept
        bank.offsets.push_back({source, offset, entry, skip});
    }
}

// Each sample's level: its usual volume times its peak.
std::vector<double> levels(const Performance& p, const std::vector<Candidate>& chosen) {
    std::vector<double> level(chosen.size());
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        float peak = 1e-6f;
        for (float f : p.samples[std::size_t(chosen[i].source)].frames)
            peak = std::max(peak, std::fabs(f));
        level[i] = median(chosen[i].usage.volumes) * peak;
    }
    return level;
}

// The peak a sample is stored at, of the 4 bits' full scale: its level beside the loudest's, which uses
// them all; quiet samples are lifted somewhat, so that they keep more than a level or two.
double storedLevel(double level, double loudest) {
    return std::pow(level / std::max(loudest, 1e-9), 0.75);
}

// The candidates that sound in 4 bits beside the loudest. Those that would be silence there take neither
// an entry nor room (`tooQuiet` gets them), unless the streams sound nothing else for long enough to leave
// the ROM silent without them (a quiet intro of pads): those are kept, lifted to be heard.
std::vector<Candidate> audible(const Performance& p, const VoicePlan& v, const std::vector<Candidate>& all,
                               std::vector<int>* tooQuiet) {
    if (all.empty()) return all;
    const std::vector<double> level = levels(p, all);
    const double loudest = *std::max_element(level.begin(), level.end());
    // A sample whose frames hold no sound at all (an empty slot a song plays) is silent in the module too.
    std::vector<bool> quiet(p.samples.size(), false), silent(p.samples.size(), false);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto s = std::size_t(all[i].source);
        quiet[s] = storedLevel(level[i], loudest) * kNibbleLevels < 0.5;
        silent[s] = !holdsSound(p.samples[s]);
    }
    std::vector<double> exposed(p.samples.size(), 0); // seconds the streams sound only quiet samples
    for (std::size_t t = 0; t < v.ticks.size(); ++t) {
        const auto& streams = v.ticks[t];
        const auto heard = [&](const StreamTick& st) {
            return sounding(st) && !silent[std::size_t(st.sound.sample)];
        };
        const bool onlyQuiet = std::all_of(streams.begin(), streams.end(), [&](const StreamTick& st) {
            return !heard(st) || quiet[std::size_t(st.sound.sample)];
        });
        if (onlyQuiet)
            for (const StreamTick& st : streams)
                if (heard(st)) exposed[std::size_t(st.sound.sample)] += p.ticks[t].duration;
    }
    std::vector<Candidate> heard;
    for (const Candidate& c : all) {
        const auto s = std::size_t(c.source);
        if (!quiet[s] || exposed[s] > kLongestSilence)
            heard.push_back(c);
        else if (tooQuiet)
            tooQuiet->push_back(c.source);
    }
    return heard;
}

std::size_t pairedBytes(std::vector<std::size_t> sizes) {
    std::sort(sizes.rbegin(), sizes.rend());
    std::size_t sum = 0;
    for (std::size_t i = 0; i < sizes.size(); i += 2)
        sum += sizes[i];
    return sum;
}

namespace {

std::size_t bankBytes(const SampleBank& bank) {
    std::vector<std::size_t> sizes;
    for (const KeptSample& k : bank.kept)
        sizes.push_back(k.nibbles.size());
    for (const LevelEntry& l : bank.levels)
        sizes.push_back(l.sample.nibbles.size());
    return pairedBytes(sizes);
}

// A second level is worth an entry where notes are struck at least this many times quieter or louder than
// the usual level, and make up this share of the sample's time heard.
constexpr double kLevelsApart = 2, kLeastLevelShare = 0.1;
// A note struck this many times louder or quieter than it plays loses as much of the measure as one that
// loses the measure's whole band (the planner's unit, Planner::lost): an echo at full level is a note too
// many, not one with less treble.
constexpr double kLevelsLost = 16;

// The level that best serves a sample's notes struck clearly quieter (or louder) than `usual`: the
// median, by time heard, of their volumes. What it gains, in the planner's unit: for each note nearer it
// than the usual level, its volume times the part of kLevelsLost its level comes nearer.
struct LevelChoice {
    double volume = 0, gain = 0;
    std::size_t notes = 0;
};
LevelChoice chooseLevel(const Usage& u, double usual) {
    LevelChoice best;
    double heard = 0;
    for (const Strike& n : u.strikes)
        heard += n.seconds;
    for (const double side : {-1.0, 1.0}) {
        std::vector<std::pair<double, double>> group; // log volume, seconds
        double seconds = 0;
        for (const Strike& n : u.strikes)
            if (n.volume > 0 && side * std::log(n.volume / usual) > std::log(kLevelsApart) / 2)
                group.emplace_back(std::log(n.volume), n.seconds), seconds += n.seconds;
        if (group.empty() || seconds < kLeastLevelShare * heard) continue;
        std::sort(group.begin(), group.end());
        double half = 0, level = group.back().first;
        for (const auto& [lv, w] : group)
            if ((half += w) >= seconds / 2) {
                level = lv;
                break;
            }
        if (side * (level - std::log(usual)) < std::log(kLevelsApart)) continue;
        LevelChoice c{std::exp(level), 0, 0};
        for (const Strike& n : u.strikes) {
            if (n.volume <= 0) continue;
            const double nearer =
                std::fabs(std::log(n.volume / usual)) - std::fabs(std::log(n.volume) - level);
            if (nearer > 0) c.gain += n.volume * std::min(1.0, nearer / std::log(kLevelsLost)), ++c.notes;
        }
        if (c.gain > best.gain) best = c;
    }
    return best;
}

// A kept sample (by its place among the chosen) to store at a second level too.
struct LevelPlan {
    std::size_t kept;
    LevelChoice level;
    double usual;
};

// The samples struck at two levels that gain more from a second entry than the room it takes costs the
// others: each, most gain per byte first, where the samples fitted again in less room lose less than it
// gains (and none is shortened or left out for it), with the entries left for it. `chosen` is fitted
// again for them.
std::vector<LevelPlan> planLevels(const Performance& p, const std::vector<Candidate>& unfitted,
                                  std::vector<Candidate>& chosen, int rate, std::size_t space, int entries,
                                  std::vector<Loss>& losses) {
    std::vector<LevelPlan> options, plans;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const double usual = median(chosen[i].usage.volumes);
        const LevelChoice level = usual > 0 ? chooseLevel(chosen[i].usage, usual) : LevelChoice{};
        if (level.gain > 0) options.push_back({i, level, usual});
    }
    const auto bytes = [&](const Candidate& c) { return Planner(p, chosen, rate, space).bytes(c); };
    std::stable_sort(options.begin(), options.end(), [&](const LevelPlan& a, const LevelPlan& b) {
        return a.level.gain / bytes(chosen[a.kept]) > b.level.gain / bytes(chosen[b.kept]);
    });
    double reserved = 0;
    for (const LevelPlan& o : options) {
        if (int(plans.size()) >= entries) break;
        const double more = bytes(chosen[o.kept]);
        if (reserved + more >= double(space)) continue;
        std::vector<Candidate> trial = unfitted;
        std::vector<Loss> trialLosses;
        Planner(p, trial, rate, std::size_t(double(space) - reserved - more)).fit(trialLosses);
        bool kept = trial.size() == chosen.size();
        for (std::size_t k = 0; k < trial.size() && kept; ++k)
            kept = trial[k].cut.frames >= chosen[k].cut.frames && trial[k].cut.loop >= chosen[k].cut.loop;
        const double lossNow = Planner(p, chosen, rate, space).totalLost();
        if (!kept || Planner(p, trial, rate, space).totalLost() - lossNow >= o.level.gain) continue;
        chosen = std::move(trial);
        losses = std::move(trialLosses);
        reserved += more;
        plans.push_back(o);
    }
    return plans;
}

// The planned second levels, made as the kept samples are, while the entries last and the bank fits;
// `loudest` places a level in the balance the kept samples are stored in (storedLevel).
void addLevelEntries(const Performance& p, const std::vector<Candidate>& chosen,
                     const std::vector<LevelPlan>& plans, double loudest, SampleBank& bank, int entries,
                     std::size_t space, int rate, ResampleCache* cache) {
    Loss told;
    told.kind = LossKind::SecondLevels;
    for (const LevelPlan& plan : plans) {
        const int entry = int(bank.kept.size() + bank.offsets.size() + bank.levels.size()) + 1;
        if (entry > entries) break;
        const Candidate& c = chosen[plan.kept];
        const SampleData& s = p.samples[std::size_t(c.source)];
        float peak = 1e-6f;
        for (float f : s.frames)
            peak = std::max(peak, std::fabs(f));
        const double target = std::min(1.0, storedLevel(plan.level.volume * peak, loudest));
        bank.levels.push_back({makeSample(c, s, entry, target, rate, cache), plan.level.volume, plan.usual,
                               plan.level.notes, c.usage.strikes.size()});
        bank.levels.back().sample.volume = plan.level.volume;
        if (bankBytes(bank) > space) {
            bank.levels.pop_back();
            continue;
        }
        SampleLoss item = sampleLoss(p, c.source);
        item.entry = entry;
        item.amount = 100 * plan.level.volume / plan.usual;
        item.notes = plan.level.notes;
        item.of = c.usage.strikes.size();
        told.samples.push_back(item);
    }
    if (!told.samples.empty()) bank.losses.push_back(told);
}

} // namespace

std::size_t comfortableSpace(const Performance& p, const VoicePlan& v, int rate) {
    std::vector<Candidate> chosen = audible(p, v, candidates(p, measureUsage(p, v)), nullptr);
    chosen.resize(std::min<std::size_t>(chosen.size(), kReachableEntries));
    for (Candidate& c : chosen)
        c.anchor = std::min(c.anchor, std::max(c.low, kComfortableAnchor));
    return static_cast<std::size_t>(Planner(p, chosen, rate, 0).total());
}

SampleBank buildSamples(const Performance& p, const VoicePlan& v, int rate, std::size_t space, int entries,
                        ResampleCache* cache, bool twoLevels) {
    SampleBank bank;
    bank.entryOf.assign(p.samples.size(), 0);
    std::vector<Candidate> chosen = audible(p, v, candidates(p, measureUsage(p, v)), &bank.tooQuiet);
    const auto named = static_cast<std::size_t>(std::max(entries, 1));
    if (chosen.size() > named) {
        const std::vector<Candidate> left(chosen.begin() + static_cast<std::ptrdiff_t>(named), chosen.end());
        double heard = 0;
        for (const Candidate& c : chosen)
            heard += c.usage.heard;
        bank.losses.push_back(leftOut(LossKind::SamplesUnnamed, p, left, heard));
        bank.losses.back().count = named;
        chosen.resize(named);
    }
    const std::vector<Candidate> unfitted = chosen;
    std::vector<Loss> fitted;
    Planner(p, chosen, rate, space).fit(fitted);
    // Entries a second level can have: those the kept samples and their offsets leave.
    std::size_t offsetsWanted = 0;
    for (const Candidate& c : chosen)
        offsetsWanted += c.usage.offsets.size();
    const int free = std::max(0, entries - int(chosen.size() + offsetsWanted));
    const std::vector<LevelPlan> plans = twoLevels && free > 0
                                             ? planLevels(p, unfitted, chosen, rate, space, free, fitted)
                                             : std::vector<LevelPlan>{};
    bank.losses.insert(bank.losses.end(), fitted.begin(), fitted.end());

    const std::vector<double> level = levels(p, chosen);
    const double loudest = *std::max_element(level.begin(), level.end());
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const double natural = storedLevel(level[i], loudest);
        const double target = natural * kNibbleLevels < 0.5 ? kLiftedLevel : natural;
        bank.kept.push_back(
            makeSample(chosen[i], p.samples[std::size_t(chosen[i].source)], int(i) + 1, target, rate, cache));
        bank.kept.back().volume = median(chosen[i].usage.volumes);
        bank.entryOf[std::size_t(chosen[i].source)] = int(i) + 1;
    }
    addOffsetEntries(chosen, bank, entries);
    addLevelEntries(p, chosen, plans, loudest, bank, entries, space, rate, cache);
    return bank;
}

bool placeSamples(SampleBank& bank, RomBuilder& rom, std::uint32_t address, std::uint32_t limit) {
    // Longest first, paired: each pair takes the longer one's bytes.
    std::vector<KeptSample*> bySize;
    for (KeptSample& k : bank.kept)
        bySize.push_back(&k);
    for (LevelEntry& l : bank.levels)
        bySize.push_back(&l.sample);
    std::stable_sort(bySize.begin(), bySize.end(), [](const KeptSample* a, const KeptSample* b) {
        return a->nibbles.size() > b->nibbles.size(); // samples of one length stay in entry order
    });
    std::size_t total = 0;
    for (std::size_t i = 0; i < bySize.size(); i += 2)
        total += bySize[i]->nibbles.size();
    bank.bytes = total;
    if (address + total > limit) return false;
    for (std::size_t i = 0; i < bySize.size(); i += 2) {
        KeptSample& low = *bySize[i];
        KeptSample* high = i + 1 < bySize.size() ? bySize[i + 1] : nullptr;
        std::vector<std::uint8_t> bytes(low.nibbles.size(), 0);
        for (std::size_t b = 0; b < bytes.size(); ++b)
            bytes[b] = nibbleByte(low.nibbles[b], high && b < high->nibbles.size() ? high->nibbles[b] : 0);
        low.address = address, low.nibble = 0;
        if (high) high->address = address, high->nibble = 1;
        rom.poke(address, bytes);
        address += static_cast<std::uint32_t>(bytes.size());
    }
    // A table entry from `skip` bytes into a kept sample to its end, looping as it does; an entry that
    // starts inside the loop loops from its own start, so that it never reaches back before it.
    const auto entry = [&](int number, const KeptSample& k, std::size_t skip) {
        const auto start = static_cast<std::uint16_t>(k.address + skip);
        const auto end = static_cast<std::uint16_t>(k.address + k.nibbles.size());
        const auto loop = static_cast<std::uint16_t>(k.loops ? k.address + std::max(k.loopStart, skip) : 0);
        rom.sample(static_cast<std::size_t>(number), start, end, k.nibble, loop);
    };
    for (const KeptSample& k : bank.kept)
        entry(k.entry, k, 0);
    for (const LevelEntry& l : bank.levels)
        entry(l.sample.entry, l.sample, 0);
    for (const OffsetEntry& o : bank.offsets)
        entry(o.entry, bank.kept[std::size_t(bank.entryOf[std::size_t(o.source)] - 1)], o.skip);
    return true;
}
