#include "compile.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "engine/engine.h"
#include "engine/sequencer.h"
#include "engine/state.h"

namespace {

// A note that fades to this part of its loudest is stopped there: the engine cannot play it quieter.
constexpr double kFadeStop = 0.4;
// The steps a pitch effect may take a stream to: half the table's lowest to half again its highest. Loops
// are at least 200 bytes long, so no stream creeps out of its loop below 51200.
constexpr std::uint16_t kLowestStep = 40, kHighestStep = 3736;
// The most ticks a speed effect can give a line, and the longest tick (in calls) it can give.
constexpr std::size_t kMaxLineTicks = 0xFF - kSpeedLineTicks;
constexpr int kMaxTickCalls = kSpeedLineTicks;
// Two visits of a pattern play alike when their streams' notes differ nowhere past this many seconds from
// the visit's start (notes of the passage before may ring into its first beat, or be cut there), and
// their pitches by less than half a semitone (in octaves).
constexpr double kCarriedIn = 0.25, kSamePitch = 1.0 / 24;

// What the module wants of one stream during one tick.
struct Want {
    bool audible = false;
    bool start = false;   // a note starts
    bool natural = false; // silent because its sample ran out, as the engine's will
    int entry = 0;        // table entry of the sample
    double step = 0;      // the engine step that gives the module's pitch
};

// An event a cell must express, at a tick of its line.
enum class Kind { Start, Stop, Resume };
struct Event {
    Kind kind;
    std::size_t at;
};

// Whether one cell can express a stream's events over a line (`soundingBefore`: the stream sounds as the
// line begins, so a delayed note would cut it early).
bool expressible(const std::vector<Event>& e, bool soundingBefore) {
    if (e.empty()) return true;
    if (e.size() == 1) {
        switch (e[0].kind) {
        case Kind::Start: return e[0].at == 0 || (e[0].at <= kLatestNoteDelay && !soundingBefore);
        case Kind::Stop: return e[0].at <= kLatestNoteCut;
        case Kind::Resume: return e[0].at == 0;
        }
    }
    return e.size() == 2 && e[0].kind == Kind::Start && e[0].at == 0 && e[1].kind == Kind::Stop &&
           e[1].at <= kLatestNoteCut;
}

// What one cell can say of a stream's events over a line: the first note it can start (on tick 0, or
// delayed to tick 15, kLatestNoteDelay, at the latest) and a cut after it; with no note, the first stop, or a
// resume on tick 0. Lines split so that nothing else happens, except coarse lines, which drop the rest.
std::vector<Event> sayable(const std::vector<Event>& e) {
    std::vector<Event> kept;
    for (const Event& ev : e) {
        if (kept.empty()) {
            if ((ev.kind == Kind::Start && ev.at <= kLatestNoteDelay) ||
                (ev.kind == Kind::Stop && ev.at <= kLatestNoteCut) || (ev.kind == Kind::Resume && ev.at == 0))
                kept.push_back(ev);
        } else if (kept[0].kind == Kind::Start && ev.kind == Kind::Stop && ev.at <= kLatestNoteCut) {
            kept.push_back(ev);
            break;
        } else if (ev.kind == Kind::Start && kept[0].kind != Kind::Start && ev.at <= kLatestNoteDelay) {
            kept = {ev}; // a note matters more than a stop before it
        }
    }
    return kept;
}

// The notes among a stream's events over a line that one cell cannot say.
std::size_t notesUnsaid(const std::vector<Event>& e) {
    const auto notes = [](const std::vector<Event>& list) {
        return std::size_t(
            std::count_if(list.begin(), list.end(), [](const Event& ev) { return ev.kind == Kind::Start; }));
    };
    return notes(e) - notes(sayable(e));
}

// The engine's state of one stream, as the compiler follows it.
struct Sim {
    bool running = false;
    bool ended = true; // its sample ran out: a resume would play bytes from outside the sample
    int entry = 0;
    double position = 0; // bytes from the sample's start
    std::uint16_t step = 0;
    std::uint8_t vibrato = 0;
};

// Where a line lands: its segment and line in the engine's song, and what it must carry.
struct Placement {
    std::size_t segment = 0, line = 0;
    bool visitStart = false; // first line of a module order position's visit: speeds are set afresh
    // Last line of a segment whose length is not a whole number of patterns: it breaks to the next
    // segment (one a whole number of patterns long goes on to it without, laid out a pattern to itself).
    bool breakAfter = false;
    bool last = false; // the song's last line: the jump back
};

// A visit of a module order position: known by its module pattern, first row and length in ticks.
using VisitKey = std::vector<std::size_t>; // module patterns, then first row and ticks
struct Visit {
    VisitKey key;
    std::size_t first; // its first tick
    std::size_t lines; // engine lines it takes
    double calls;      // its length in sequencer calls, as the module times it
};
struct CompiledVisit {
    VisitKey key;
    std::size_t first;   // its first tick
    std::size_t segment; // where its lines are
    double calls;        // its length in sequencer calls, as compiled
};

class Compiler {
  public:
    Compiler(const Performance& p, const VoicePlan& v, const SampleBank& b, int rate, const CompileOptions& o)
        : p_(p), v_(v), bank_(b), rate_(rate), reuse_(o.reuse), maxLines_(o.maxLines),
          rowsPerLine_(std::max<std::size_t>(1, o.rowsPerLine)), wants_(p.ticks.size()) {}

    CompiledSong run();

  private:
    void collectWants();
    void stopFades();
    std::vector<std::pair<std::size_t, std::size_t>> splitLines() const;
    std::vector<Event> events(std::size_t s, std::size_t a, std::size_t b) const;
    std::vector<Placement> place(const std::vector<std::pair<std::size_t, std::size_t>>& spans) const;
    Visit describeVisit(const std::vector<std::pair<std::size_t, std::size_t>>& spans,
                        const std::vector<Placement>& where, std::size_t first, std::size_t end) const;
    const CompiledVisit* findReplay(const Visit& visit, bool outOfRoom) const;
    bool playAlike(std::size_t a, std::size_t b, std::size_t ticks) const;
    SongLine compileLine(std::size_t a, std::size_t b, const Placement& where);
    LineOrigin originOf(std::size_t a, std::size_t b) const;
    Cell eventCell(std::size_t s, std::size_t a, std::size_t b, int calls, bool& busy) const;
    void placeControls(const std::vector<Cell>& controls, std::size_t a, std::size_t b, SongLine& line,
                       std::array<bool, kVoices>& busy);
    int chooseTickCalls(std::size_t a, std::size_t b) const;
    bool resumable(const Sim& sim, int entry, std::size_t ticks, int calls) const;
    double pitchError(std::size_t s, std::size_t a, std::size_t b, const Cell& cell, int calls,
                      Sim sim) const;
    Cell choosePitch(std::size_t s, std::size_t a, std::size_t b, Cell cell, int calls) const;
    void simulate(std::size_t s, const Cell& cell, std::size_t ticks, int calls, Sim& sim,
                  std::vector<std::uint16_t>* steps) const;
    std::uint8_t toneFor(double step) const;

    const Performance& p_;
    const VoicePlan& v_;
    const SampleBank& bank_;
    int rate_;
    bool reuse_;
    std::size_t maxLines_;
    std::size_t rowsPerLine_;
    std::vector<std::array<Want, kVoices>> wants_;
    std::array<Sim, kVoices> sims_{};
    double calls_ = 0;                  // sequencer calls the engine has spent so far
    int lineTicks_ = kDefaultLineTicks; // the engine's speeds as the next line begins
    int tickCalls_ = kDefaultTickCalls + 1;
    std::size_t offsetsFromStart_ = 0; // notes from an offset with no entry of its own
    std::size_t commandsDropped_ = 0;  // cuts, delays and resumes whose cell a control took
    std::size_t notesMerged_ = 0;      // notes lines of several rows could not say
    Placement loopTarget_;
    std::vector<CompiledVisit> compiled_; // visits compiled so far, in song order
};

void Compiler::collectWants() {
    for (std::size_t s = 0; s < kVoices; ++s) {
        int entry = 0; // the entry the stream's note started from
        for (std::size_t t = 0; t < p_.ticks.size(); ++t) {
            const StreamTick& st = v_.ticks[t][s];
            Want& w = wants_[t][s];
            const int sample = st.sound.sample;
            if (st.channel < 0 || bank_.entryFor(sample, 0) == 0) {
                entry = 0;
                continue;
            }
            if (st.sound.start || entry == 0) { // a note takes the entry of its offset, or of its level
                entry = bank_.entryFor(sample, st.sound.start ? st.sound.offset : 0, st.sound.volume);
                if (st.sound.start && st.sound.offset > 0 && !bank_.hasOffsetEntry(sample, st.sound.offset))
                    ++offsetsFromStart_;
            }
            w.natural = st.sound.ended;
            w.audible = bank_.audible(sample, st.sound.volume) && st.sound.frequency > 0;
            w.start = w.audible && st.sound.start;
            w.entry = entry;
            w.step = bank_.step(sample, st.sound.frequency, rate_);
        }
    }
}

// A note that fades (a volume slide, an envelope) ends where it has fallen to `kFadeStop` of its loudest,
// rather than sound at full level to its end. It stays stopped until the next note, so that a tremolo
// does not stop and start it over and over.
void Compiler::stopFades() {
    for (std::size_t s = 0; s < kVoices; ++s) {
        double loudest = 0;
        bool faded = false;
        for (std::size_t t = 0; t < p_.ticks.size(); ++t) {
            Want& w = wants_[t][s];
            const StreamTick& st = v_.ticks[t][s];
            if (w.start || st.channel < 0 || (t > 0 && v_.ticks[t - 1][s].channel != st.channel))
                loudest = 0, faded = false;
            if (!w.audible) continue;
            loudest = std::max(loudest, st.sound.volume);
            faded = faded || st.sound.volume < kFadeStop * loudest;
            if (faded) w.audible = false;
        }
    }
}

std::vector<Event> Compiler::events(std::size_t s, std::size_t a, std::size_t b) const {
    std::vector<Event> e;
    for (std::size_t t = a; t < b; ++t) {
        const Want& w = wants_[t][s];
        const bool before = t > 0 && wants_[t - 1][s].audible;
        if (w.start)
            e.push_back({Kind::Start, t - a});
        else if (w.audible && !before)
            e.push_back({Kind::Resume, t - a});
        else if (!w.audible && before && !w.natural)
            e.push_back({Kind::Stop, t - a});
    }
    return e;
}

// Lines: a new row starts a line; a line ends early where a stream's events no longer fit one cell, at
// the tick the module goes on from when it repeats, and before the song's last tick, which carries the
// jump back.
std::vector<std::pair<std::size_t, std::size_t>> Compiler::splitLines() const {
    std::vector<std::pair<std::size_t, std::size_t>> lines;
    const std::size_t n = p_.ticks.size();
    std::size_t a = 0, row = 0; // row: rows begun in this visit
    for (std::size_t t = 1; t <= n; ++t) {
        const bool newVisit = t < n && p_.ticks[t].order != p_.ticks[t - 1].order;
        const bool newRow = t < n && p_.ticks[t].frame == 0;
        row = newVisit ? 0 : row + (newRow ? 1 : 0);
        bool split = t == n || newVisit || (newRow && row % rowsPerLine_ == 0) || t == p_.loopTick ||
                     t + 1 == n || t - a >= kMaxLineTicks;
        // Coarse lines keep what one cell can say and drop the rest, rather than split.
        for (std::size_t s = 0; s < kVoices && !split && rowsPerLine_ == 1; ++s)
            split = !expressible(events(s, a, t + 1), a > 0 && wants_[a - 1][s].audible);
        if (split) {
            lines.emplace_back(a, t);
            a = t;
        }
    }
    return lines;
}

// A line's tick length in calls: of the whole numbers of calls either side of the module's tick, the one
// that ends the line closest to the module's time since the song's start (the one in use kept when it is
// as close). The engine then never strays more than half a call per tick of a line from the module, at
// any tempo and rate: had it kept to whole ticks, notes would fall up to a tick (20 ms at 125 BPM) off
// the beat, which blurs a fast rhythm.
int Compiler::chooseTickCalls(std::size_t a, std::size_t b) const {
    const double perSecond = rate_ / double(kStepsPerCall);
    const double ideal = p_.ticks[a].duration * perSecond;
    const double end = (p_.ticks[b - 1].time + p_.ticks[b - 1].duration - p_.ticks.front().time) * perSecond;
    const double ticks = double(b - a);
    const auto error = [&](int calls) { return std::fabs(end - (calls_ + ticks * calls)); };
    const int low = std::clamp(static_cast<int>(std::floor(ideal)), 1, kMaxTickCalls);
    const int high = std::clamp(low + 1, 1, kMaxTickCalls);
    const int closest = error(low) <= error(high) ? low : high;
    return error(tickCalls_) <= error(closest) ? tickCalls_ : closest;
}

// Lines go into segments visit by visit: each visit of a module order position starts a new segment.
std::vector<Placement> Compiler::place(const std::vector<std::pair<std::size_t, std::size_t>>& spans) const {
    std::vector<Placement> where(spans.size());
    std::size_t segment = 0, line = 0, visits = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const std::size_t t = spans[i].first;
        // Coarse lines put `rowsPerLine_` visits of order positions in one segment.
        where[i].visitStart =
            t == 0 || (p_.ticks[t].order != p_.ticks[t - 1].order && ++visits % rowsPerLine_ == 0);
        if (where[i].visitStart && i > 0) {
            where[i - 1].breakAfter = line % kLinesPerPattern != 0;
            ++segment, line = 0;
        }
        where[i].segment = segment;
        where[i].line = line++;
    }
    where.back().last = true;
    where.back().breakAfter = false;
    return where;
}

// The table rises, so the nearest tone is one of the two either side of the step: only the tones around
// them are weighed (the whole table for a step that is not a positive number).
std::uint8_t Compiler::toneFor(double step) const {
    std::uint8_t from = 0, to = kHighestTone;
    if (step > 0 && step < HUGE_VAL) {
        const auto* tones = std::begin(PeriodTable);
        const auto above = std::lower_bound(tones, tones + kHighestTone + 1, step) - tones;
        from = static_cast<std::uint8_t>(std::max<std::ptrdiff_t>(above - 2, 0));
        to = static_cast<std::uint8_t>(std::min<std::ptrdiff_t>(above + 1, kHighestTone));
    }
    std::uint8_t best = from;
    double bestError = 1e9;
    for (std::uint8_t t = from; t <= to; ++t) {
        const double e = std::fabs(std::log2(PeriodTable[t] / step));
        if (e < bestError) bestError = e, best = t;
    }
    return best;
}

// Runs a stream through a line with the engine's own code: the note on tick 0, then the cell's effect
// on every tick, and the stream's position moving on so that a sample that runs out stops. The engine
// works from a fresh state holding only the stream's step, vibrato and running flag, and is given back
// as it was found.
void Compiler::simulate(std::size_t s, const Cell& cell, std::size_t ticks, int calls, Sim& sim,
                        std::vector<std::uint16_t>* steps) const {
    const EngineSnapshot found = snapshotEngine();
    const auto c = static_cast<std::uint8_t>(s);
    EngineSnapshot state;
    state.mixer.step[c] = sim.step;
    state.mixer.running[c] = sim.running ? 1 : 0;
    state.sequencer.vibratoIdx[c] = sim.vibrato;
    const bool pitchOrGate = cell.effect <= kVibrato || cell.effect == kSetVolume || cell.effect == kExtended;
    for (std::size_t k = 0; k < ticks; ++k) {
        state.sequencer.tick = static_cast<std::uint8_t>(k);
        restoreEngine(state);
        if (k == 0 && cell.sample != 0) {
            setSampleTone(c, cell.tone);
            setStreamRunning(c, 1);
            sim.entry = cell.sample;
            sim.position = 0;
            sim.ended = false;
        }
        if (pitchOrGate) applyEffect(c, cell.effect, cell.tone, cell.param);
        if (steps) steps->push_back(ASIncr[c]);
        if (getStreamRunning(c) != 0 && !sim.ended) {
            sim.position += double(calls) * kStepsPerCall * ASIncr[c] / 256.0;
            const EntryShape k = bank_.shape(sim.entry);
            const double length = double(k.length);
            if (sim.position >= length) {
                if (k.loops)
                    sim.position =
                        double(k.loopStart) +
                        std::fmod(sim.position - length, std::max(1.0, length - double(k.loopStart)));
                else
                    sim.ended = true, setStreamRunning(c, 0);
            }
        }
        state = snapshotEngine();
    }
    sim.step = state.mixer.step[c];
    sim.vibrato = state.sequencer.vibratoIdx[c];
    sim.running = state.mixer.running[c] != 0 && !sim.ended;
    restoreEngine(found);
}

// Whether a stopped stream can be started again where it stopped: its sample is the one wanted and has
// not run out, nor will within the line (the engine would then go on from below the image's ROM half).
bool Compiler::resumable(const Sim& sim, int entry, std::size_t ticks, int calls) const {
    if (sim.ended || sim.entry != entry || entry <= 0) return false;
    const EntryShape k = bank_.shape(entry);
    const double advance = double(ticks + 2) * calls * kStepsPerCall * sim.step / 256.0;
    return k.loops || sim.position + advance < double(k.length);
}

// How far, in semitones summed over the line's sounding ticks, the engine's pitch is from the module's.
double Compiler::pitchError(std::size_t s, std::size_t a, std::size_t b, const Cell& cell, int calls,
                            Sim sim) const {
    std::vector<std::uint16_t> steps;
    simulate(s, cell, b - a, calls, sim, &steps);
    double error = 0;
    for (std::size_t t = a; t < b; ++t) {
        const Want& w = wants_[t][s];
        // A step far outside the table (a slide gone below zero wraps to a huge one) would carry the
        // stream past its loop and out of its sample: never chosen.
        if (steps[t - a] < kLowestStep || steps[t - a] > kHighestStep) return HUGE_VAL;
        if (!w.audible || w.step <= 0) continue;
        const double step = std::max<double>(1, steps[t - a]);
        // The line's last tick counts twice: its error is where the next line starts from.
        error += (t + 1 == b ? 2 : 1) * std::min(3.0, std::fabs(12 * std::log2(step / w.step)));
    }
    return error;
}

// The pitch effect that brings the engine closest to the module over a line, or none.
Cell Compiler::choosePitch(std::size_t s, std::size_t a, std::size_t b, Cell cell, int calls) const {
    const Sim& sim = sims_[s];
    std::vector<Cell> candidates;
    const std::size_t n = b - a;
    // Slides: the least-squares step change per tick, and its neighbours.
    double start = cell.sample != 0 ? PeriodTable[cell.tone] : sim.step, num = 0, den = 0;
    for (std::size_t t = a; t < b; ++t)
        if (wants_[t][s].audible) {
            const double k = double(t - a + 1);
            num += k * (wants_[t][s].step - start);
            den += k * k;
        }
    if (den > 0) {
        const long slide = std::lround(num / den);
        for (long d = slide - 2; d <= slide + 2; ++d)
            if (d != 0 && std::labs(d) <= 255) {
                Cell c = cell;
                c.effect = d > 0 ? kSlideUp : kSlideDown;
                c.param = static_cast<std::uint8_t>(std::labs(d));
                candidates.push_back(c);
            }
    }
    // Arpeggio: the tones of ticks 0, 1 and 2 relative to the base.
    if (n >= 2 && wants_[a][s].audible) {
        const std::uint8_t base = cell.sample != 0 ? cell.tone : toneFor(wants_[a][s].step);
        const auto offset = [&](std::size_t k) {
            return k < n && wants_[a + k][s].audible ? int(toneFor(wants_[a + k][s].step)) - base : 0;
        };
        const int x = offset(1), y = offset(2);
        if (x >= 0 && y >= 0 && x <= kParamNibbleMax && y <= kParamNibbleMax && (x | y) != 0) {
            Cell c = cell;
            c.tone = base;
            c.effect = kArpeggio;
            c.param = paramOf(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y));
            candidates.push_back(c);
        }
    }
    Cell vibrato = cell;
    vibrato.effect = kVibrato;
    vibrato.param = 1;
    candidates.push_back(vibrato);

    Cell best = cell;
    double bestError = pitchError(s, a, b, cell, calls, sim) - 0.25; // an effect must earn its place
    for (const Cell& c : candidates) {
        const double e = pitchError(s, a, b, c, calls, sim);
        if (e < bestError) bestError = e, best = c;
    }
    return best;
}

Visit Compiler::describeVisit(const std::vector<std::pair<std::size_t, std::size_t>>& spans,
                              const std::vector<Placement>& where, std::size_t first, std::size_t end) const {
    const std::size_t a = spans[first].first, b = spans[end - 1].second;
    VisitKey key;
    for (std::size_t t = a; t < b; ++t)
        if (t == a || p_.ticks[t].order != p_.ticks[t - 1].order) {
            const auto order = static_cast<std::size_t>(p_.ticks[t].order);
            key.push_back(order < p_.orderPatterns.size() ? std::size_t(p_.orderPatterns[order]) : order);
        }
    key.push_back(std::size_t(p_.ticks[a].row));
    key.push_back(b - a);
    const double calls =
        (p_.ticks[b - 1].time + p_.ticks[b - 1].duration - p_.ticks[a].time) * rate_ / double(kStepsPerCall);
    return {key, a, where[end - 1].line + 1, calls};
}

// Whether the visits from ticks `a` and `b`, `ticks` long, play alike on the four streams: the same
// notes start, sound and stop on the same ticks, from the same samples at the same pitches. A pattern
// played again is not always played alike: a long note from the passage before may ring on through it,
// or the streams may take other channels. Its first playing's lines would then drop or add whole notes.
bool Compiler::playAlike(std::size_t a, std::size_t b, std::size_t ticks) const {
    std::size_t from = 0;
    while (from < ticks && p_.ticks[b + from].time - p_.ticks[b].time < kCarriedIn)
        ++from;
    for (std::size_t t = from; t < ticks; ++t)
        for (std::size_t s = 0; s < kVoices; ++s) {
            const Want &x = wants_[a + t][s], &y = wants_[b + t][s];
            if (x.audible != y.audible || x.start != y.start) return false;
            if (x.audible && (x.entry != y.entry || std::fabs(std::log2(std::max(x.step, 1.0) /
                                                                        std::max(y.step, 1.0))) > kSamePitch))
                return false;
        }
    return true;
}

// An earlier visit whose lines this one can play again: the same visit of the same pattern, played alike,
// or, when the image is out of room, the latest visit that lasts as long (within 1%).
const CompiledVisit* Compiler::findReplay(const Visit& visit, bool outOfRoom) const {
    const CompiledVisit* found = nullptr;
    for (const CompiledVisit& c : compiled_)
        if (c.key == visit.key && playAlike(c.first, visit.first, visit.key.back())) found = &c;
    if (found || !outOfRoom) return found;
    for (const CompiledVisit& c : compiled_)
        if (std::fabs(c.calls - visit.calls) <= 0.01 * visit.calls) found = &c;
    return found;
}

// The cell that says a stream's events over a line: a note (delayed, or cut after), a stop or a resume.
// `busy` tells whether that took the cell's effect.
Cell Compiler::eventCell(std::size_t s, std::size_t a, std::size_t b, int calls, bool& busy) const {
    Cell cell;
    busy = false;
    for (const Event& ev : sayable(events(s, a, b))) {
        const Want& w = wants_[a + ev.at][s];
        const auto at = static_cast<std::uint8_t>(ev.at);
        switch (ev.kind) {
        case Kind::Start:
            cell.sample = static_cast<std::uint8_t>(w.entry);
            cell.tone = toneFor(w.step);
            if (at > 0) cell.effect = kExtended, cell.param = paramOf(kNoteDelay, at), busy = true;
            break;
        case Kind::Stop:
            if (at == 0)
                cell.effect = kSetVolume, cell.param = 0;
            else
                cell.effect = kExtended, cell.param = paramOf(kNoteCut, static_cast<std::uint8_t>(at + 1));
            busy = true;
            break;
        case Kind::Resume:
            if (resumable(sims_[s], w.entry, b - a, calls)) {
                cell.effect = kSetVolume, cell.param = 64, busy = true;
            } else { // nothing to resume: play it again
                cell.sample = static_cast<std::uint8_t>(w.entry);
                cell.tone = toneFor(w.step);
            }
            break;
        }
    }
    return cell;
}

// Speeds, breaks and the jump back take cells whose effect is free, the stream that sounds least in
// the line first; with none free, they win over a cut, delay or resume.
void Compiler::placeControls(const std::vector<Cell>& controls, std::size_t a, std::size_t b, SongLine& line,
                             std::array<bool, kVoices>& busy) {
    std::array<std::size_t, kVoices> sounding{};
    for (std::size_t t = a; t < b; ++t)
        for (std::size_t s = 0; s < kVoices; ++s)
            sounding[s] += wants_[t][s].audible;
    std::array<std::size_t, kVoices> order{0, 1, 2, 3};
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return sounding[x] < sounding[y]; });
    const auto isControl = [](const Cell& c) {
        return c.effect == kSpeed || c.effect == kPositionJump || c.effect == kPatternBreak;
    };
    for (const Cell& c : controls) {
        auto slot = std::find_if(order.begin(), order.end(), [&](std::size_t s) { return !busy[s]; });
        if (slot == order.end()) {
            slot = std::find_if(order.begin(), order.end(),
                                [&](std::size_t s) { return !isControl(line.cells[s]); });
            if (slot == order.end()) break; // four controls already: cannot happen, a line needs at most four
            ++commandsDropped_;
        }
        line.cells[*slot].effect = c.effect;
        line.cells[*slot].param = c.param;
        busy[*slot] = true;
    }
}

LineOrigin Compiler::originOf(std::size_t a, std::size_t b) const {
    LineOrigin origin;
    origin.order = p_.ticks[a].order;
    origin.row = p_.ticks[a].row;
    // The channel a stream plays in the line: the first it takes (a delayed note takes it mid-line).
    for (std::size_t s = 0; s < kVoices; ++s)
        for (std::size_t t = a; t < b && origin.channels[s] < 0; ++t)
            origin.channels[s] = v_.ticks[t][s].channel;
    return origin;
}

SongLine Compiler::compileLine(std::size_t a, std::size_t b, const Placement& where) {
    SongLine line;
    const std::size_t n = b - a;
    const int calls = chooseTickCalls(a, b);
    std::array<bool, kVoices> busy{}; // the cell's effect is taken
    for (std::size_t s = 0; s < kVoices; ++s) {
        line.cells[s] = eventCell(s, a, b, calls, busy[s]);
        if (rowsPerLine_ > 1) notesMerged_ += notesUnsaid(events(s, a, b));
    }

    // The jump back and the breaks go where the layout puts their targets: it sets their parameters.
    std::vector<Cell> controls;
    if (where.last) {
        controls.push_back({0, 0, kPositionJump, 0});
        controls.push_back({0, 0, kPatternBreak, kBreakHere});
    }
    if (where.breakAfter) controls.push_back({0, 0, kPatternBreak, 0});
    const bool forceSpeeds =
        where.visitStart || (where.segment == loopTarget_.segment && where.line == loopTarget_.line);
    if (forceSpeeds || int(n) != lineTicks_)
        controls.push_back({0, 0, kSpeed, static_cast<std::uint8_t>(kSpeedLineTicks + n)});
    if (forceSpeeds || calls != tickCalls_)
        controls.push_back({0, 0, kSpeed, static_cast<std::uint8_t>(calls - 1)});
    placeControls(controls, a, b, line, busy);

    for (std::size_t s = 0; s < kVoices; ++s) {
        if (!busy[s]) line.cells[s] = choosePitch(s, a, b, line.cells[s], calls);
        simulate(s, line.cells[s], n, calls, sims_[s], nullptr);
    }
    lineTicks_ = static_cast<int>(n);
    tickCalls_ = calls;
    calls_ += double(n) * calls;
    return line;
}

} // namespace

CompiledSong Compiler::run() {
    CompiledSong song;
    collectWants();
    stopFades();
    const auto spans = splitLines();
    const std::vector<Placement> where = place(spans);
    for (std::size_t i = 0; i < spans.size(); ++i)
        if (spans[i].first == p_.loopTick) loopTarget_ = where[i];
    song.loopSegment = loopTarget_.segment;
    song.loopLine = loopTarget_.line;
    std::size_t fresh = 0;             // lines compiled
    std::vector<std::size_t> replaced; // module order positions that replay another pattern's lines
    for (std::size_t i = 0; i < spans.size();) {
        std::size_t end = i + 1; // the segment's spans: [i, end)
        while (end < spans.size() && !where[end].visitStart)
            ++end;
        const Visit visit = describeVisit(spans, where, i, end);
        const bool movable = reuse_ && !where[end - 1].last && loopTarget_.segment != where[i].segment;
        const CompiledVisit* source = movable ? findReplay(visit, fresh + visit.lines > maxLines_) : nullptr;
        Segment segment;
        if (source) {
            // The earlier visit's lines; the module rows are this visit's, line for line as far as its
            // lines go.
            segment = song.segments[source->segment];
            for (std::size_t k = 0; k < segment.origins.size() && i + k < end; ++k)
                segment.origins[k] = originOf(spans[i + k].first, spans[i + k].second);
            calls_ += source->calls;
            sims_ = {}; // the streams' state after a repeated visit is not followed
            if (source->key != visit.key) replaced.push_back(std::size_t(p_.ticks[spans[i].first].order));
        } else {
            const double start = calls_;
            for (std::size_t k = i; k < end; ++k) {
                segment.lines.push_back(compileLine(spans[k].first, spans[k].second, where[k]));
                segment.origins.push_back(originOf(spans[k].first, spans[k].second));
            }
            fresh += visit.lines;
            compiled_.push_back({visit.key, visit.first, song.segments.size(), calls_ - start});
        }
        song.segments.push_back(std::move(segment));
        i = end;
    }
    song.seconds = (calls_ + 1) * kStepsPerCall / double(rate_);
    const double notes = double(std::max<std::size_t>(v_.notes, 1));
    const auto counted = [&](LossKind kind, std::size_t count) {
        if (count == 0) return;
        Loss loss;
        loss.kind = kind;
        loss.count = count;
        loss.share = double(count) / notes;
        song.losses.push_back(loss);
    };
    counted(LossKind::OffsetsFromStart, offsetsFromStart_);
    counted(LossKind::CommandsDropped, commandsDropped_);
    if (rowsPerLine_ > 1) {
        Loss loss;
        loss.kind = LossKind::RowsShared;
        loss.count = rowsPerLine_;
        loss.of = notesMerged_;
        loss.share = double(notesMerged_) / notes;
        song.losses.push_back(loss);
    }
    if (!replaced.empty()) {
        Loss loss;
        loss.kind = LossKind::PatternsReplaced;
        loss.count = replaced.size();
        loss.orders = replaced;
        loss.share = std::min(1.0, double(replaced.size()) /
                                       double(std::max<std::size_t>(p_.orderPatterns.size(), 1)));
        song.losses.push_back(loss);
    }
    return song;
}

CompiledSong compileSong(const Performance& p, const VoicePlan& v, const SampleBank& b, int rate,
                         const CompileOptions& options) {
    if (p.ticks.empty()) return {};
    return Compiler(p, v, b, rate, options).run();
}

std::vector<int> entriesNamed(const CompiledSong& song) {
    std::vector<int> entries;
    for (const Segment& segment : song.segments)
        for (const SongLine& line : segment.lines)
            for (const Cell& c : line.cells)
                if (c.sample != 0) entries.push_back(c.sample);
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    return entries;
}
