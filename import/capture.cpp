#include "capture.h"

#include "engine/engine.h"
#include "fidelity.h"
#include "large_memory.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

namespace {

// libxmp's mixer plays a sample at 428 * c5speed / period frames per second (its reference period is
// 428), and reports the period scaled by 4096.
constexpr double kReferencePeriod = 428.0;
constexpr double kPeriodScale = 4096.0;
// libxmp's effect numbers for a slide to a note, which does not start it again.
constexpr int kTonePortamento = 0x03, kTonePortamentoVolume = 0x05;
// The shortest and the longest tick the engine can play, in sequencer calls.
constexpr double kShortestTickCalls = 1, kLongestTickCalls = 128;

SampleData copySample(const xmp_sample& s) {
    SampleData d;
    d.name = s.name;
    if ((s.flg & XMP_SAMPLE_SYNTH) != 0 || s.data == nullptr || s.len <= 0) return d;
    const auto length = static_cast<std::size_t>(s.len);
    d.frames.reserve(length); // filled once, without zeroing first: samples run to megabytes
    if ((s.flg & XMP_SAMPLE_16BIT) != 0) {
        for (std::size_t i = 0; i < length; ++i) {
            std::int16_t word = 0;
            std::memcpy(&word, s.data + 2 * i, sizeof word); // libxmp's data holds native 16-bit words
            d.frames.push_back(static_cast<float>(word) / 32768.0f);
        }
    } else {
        for (std::size_t i = 0; i < length; ++i)
            d.frames.push_back(static_cast<float>(static_cast<std::int8_t>(s.data[i])) / 128.0f);
    }
    if ((s.flg & XMP_SAMPLE_LOOP) != 0 && s.lpe > s.lps && s.lps >= 0) {
        d.loops = true;
        d.loopStart = static_cast<std::size_t>(s.lps);
        d.loopEnd = std::min(static_cast<std::size_t>(s.lpe), length);
        d.bidirectional = (s.flg & XMP_SAMPLE_LOOP_BIDIR) != 0;
        if (d.loopEnd <= d.loopStart) d.loops = false;
    }
    return d;
}

// What is known of a channel from the frame before, to tell note starts and loop wraps apart and to
// measure each sample's playing speed from how far its position moves.
struct ChannelHistory {
    int sample = -1;
    std::uint32_t position = 0;
    double advancePerSpeed = 0; // frames the position moves by the next report, per unit of c5speed
};

struct SpeedMeasure {
    double frames = 0;  // frames the position moved, summed over clean runs
    double periods = 0; // seconds * reference period / period, summed over the same runs
};

// The measured reference speed of each sample, or libxmp's usual one where no clean run was seen.
void finishSpeeds(Performance& p, const std::vector<SpeedMeasure>& measures, double fallback) {
    for (std::size_t i = 0; i < p.samples.size(); ++i) {
        const SpeedMeasure& m = measures[i];
        p.samples[i].c5speed = m.frames > 2000 && m.periods > 0 ? m.frames / m.periods : fallback;
    }
}

// One channel in one tick, from libxmp's report and what was known of the channel before. Its frequency
// is left per unit of c5speed: the sample's speed is known only at the end.
ChannelTick readChannel(const Performance& p, const xmp_channel_info& ci, const xmp_frame_info& fi,
                        double duration, ChannelHistory& h, std::vector<SpeedMeasure>& speeds) {
    ChannelTick out;
    const int sample = ci.sample < p.samples.size() ? ci.sample : -1;
    if (sample < 0 || ci.period == 0 || p.samples[std::size_t(sample)].frames.empty()) {
        h = ChannelHistory{};
        return out;
    }
    const SampleData& s = p.samples[static_cast<std::size_t>(sample)];
    const double ratePerPeriod = kReferencePeriod * kPeriodScale / ci.period; // frames/s per c5speed
    // A position that moved back into the loop is a wrap, unless the row starts a note (not a slide to
    // one) on this tick: then it is the note, from its start or a sample offset.
    const auto slidesToNote = [](int fx) { return fx == kTonePortamento || fx == kTonePortamentoVolume; };
    const bool noteNow = fi.frame == 0 && ci.event.note > 0 && ci.event.note <= 128 &&
                         !slidesToNote(ci.event.fxt) && !slidesToNote(ci.event.f2t);
    const bool wrapped = s.loops && ci.position >= s.loopStart && ci.position < h.position && !noteNow;
    out.start = sample != h.sample || (ci.position < h.position && !wrapped);
    out.ended = !s.loops && ci.position + 1 >= s.frames.size();
    out.sample = sample;
    out.volume = out.ended ? 0.0 : std::min(ci.volume / 64.0, 1.0);
    out.offset = out.start ? ci.position : 0;
    out.frequency = ratePerPeriod;
    // Clean runs measure the speed: same sample, moving forward, short of the loop and the end.
    const std::size_t runEnd = s.loops ? s.loopStart : s.frames.size() - 1;
    if (!out.start && ci.position > h.position && ci.position < runEnd) {
        speeds[static_cast<std::size_t>(sample)].frames += ci.position - h.position;
        speeds[static_cast<std::size_t>(sample)].periods += h.advancePerSpeed;
    }
    h.sample = sample;
    h.position = ci.position;
    h.advancePerSpeed = duration * ratePerPeriod;
    return out;
}

// libxmp reports a note's sample offset only from the tick after its start: the position then, less
// about a tick's advance, rounded to the offsets' unit of 256 frames, is where the note started.
void findOffset(Performance& p, std::size_t c, const ChannelTick& now, std::uint32_t position,
                double advance) {
    if (p.ticks.empty() || now.start || now.sample < 0) return;
    ChannelTick& began = p.ticks.back().channels[c];
    if (!began.start || began.offset != 0 || began.sample != now.sample) return;
    const double from = std::max(0.0, double(position) - advance);
    began.offset = static_cast<std::uint32_t>(std::lround(from / 256) * 256);
}

// Where libxmp keeps a sample's name with the instrument that plays it (MOD, S3M), the sample takes it;
// a sample that an instrument numbered otherwise plays (XM) is told by that instrument too.
void nameByInstruments(const xmp_module& mod, Performance& p) {
    for (int i = 0; i < mod.ins; ++i)
        for (int k = 0; k < mod.xxi[i].nsm; ++k) {
            const int sample = mod.xxi[i].sub[k].sid;
            if (sample < 0 || sample >= int(p.samples.size())) continue;
            SampleData& s = p.samples[std::size_t(sample)];
            if (s.name.find_first_not_of(' ') == std::string::npos && mod.xxi[i].nsm == 1)
                s.name = mod.xxi[i].name;
            if (sample != i && s.instrument == 0) s.instrument = i + 1;
        }
}

// The module's title, format, channels, order list and samples.
Performance describe(const xmp_module& mod) {
    Performance p;
    p.title = mod.name;
    p.format = mod.type;
    p.channels = std::clamp(mod.chn, 0, XMP_MAX_CHANNELS);
    for (int i = 0; i < std::clamp(mod.len, 0, XMP_MAX_MOD_LENGTH); ++i)
        p.orderPatterns.push_back(mod.xxo[i]);
    for (int i = 0; i < mod.smp; ++i)
        p.samples.push_back(copySample(mod.xxs[i]));
    nameByInstruments(mod, p);
    return p;
}

// libxmp's search for a song's end gives up on an order position played for more than this many lines in
// one visit (a long pattern loop), and takes the line it stopped at for the song's end.
constexpr int kLongestScannedVisit = 512;
// libxmp's effect number for the extended commands; 6x (x above 0) ends a pattern loop.
constexpr int kFxExtended = 0x0E, kLoopEnd = 0x60;

// What a capture carries from tick to tick.
struct CaptureState {
    xmp_context ctx;
    int playRate = 0, rate = 0;
    double fallbackSpeed = 0, time = 0, maxSeconds = 0;
    double fromSeconds = 0; // a capture from later in the song: the time asked for
    bool rendering = false;
    std::vector<ChannelHistory> history;
    std::vector<SpeedMeasure> speeds;
    // The order position played now and its lines since the visit began; the line before, and whether
    // it jumps back to a pattern loop's start (a step back after it stays in the visit); each channel's
    // loop counter, counted as libxmp counts it.
    int visitOrder = -1, visitLines = 0, lastRow = 0;
    bool lastLoopsBack = false;
    std::vector<int> loopCounts;
    bool pastScan = false;    // playing on past an end libxmp found inside a long visit
    std::vector<bool> played; // by order position and line: played in this capture
    // Loop ends kept out of the module (TimingFix::keptLoops): each channel's count, and the tick at
    // which such a line last played (none yet: SIZE_MAX).
    std::vector<KeptLoop> keptLoops;
    std::vector<int> keptCounts;
    std::size_t keptTick = SIZE_MAX;
    const xmp_module* module = nullptr; // whose kept loops' breaks are set for each line's next pass
    // Loop ends that go back to a loop start of an earlier pattern (TimingFix::carriedLoops): each channel's
    // loop start and count as libxmp keeps them, and the break marked on the pattern's last line for this
    // visit (its order position and line).
    std::vector<CarriedLoop> carriedLoops;
    bool followsEveryLoop = false; // every loop that goes back is followed as a carried one
    std::vector<int> loopStarts, carriedCounts;
    MarkedBreak marked;
    int markedOrder = -1, markedRow = -1;
    // ProTracker keeps each channel's pattern-loop start and count from pattern to pattern and from pass
    // to pass, as libxmp does: a loop left before its count ran out (a jump out of it, a loop end going
    // to a start below it) counts on at the next pass, and that pass plays otherwise. Each channel's start
    // and count, as libxmp keeps them; once the state at libxmp's repeat is not the one its line first
    // played in, the song repeats where its state does (`byState`).
    bool amigaLoops = false, byState = false;
    std::vector<int> amigaLoopStarts, amigaLoopCounts;
    // Where loop counts stay from pass to pass of the song, the walk repeats where a visit begins in a
    // state it was in before: its line and those counts. Each state, with the tick it was first in; the
    // repeat's tick.
    std::map<std::vector<int>, std::size_t> states;
    std::size_t repeatTick = SIZE_MAX;
};

bool countsLoopsAcrossPasses(const CaptureState& s) {
    return !s.keptLoops.empty() || !s.carriedLoops.empty() || s.followsEveryLoop || s.byState;
}

std::size_t lineIndex(int order, int row) {
    return std::size_t(order & 0xFF) * 256 + std::size_t(row & 0xFF);
}

// The walk's state at a line: where it is, and every count that stays from pass to pass.
std::vector<int> walkState(const CaptureState& s, const xmp_frame_info& fi) {
    std::vector<int> state{int(lineIndex(fi.pos, fi.row))};
    state.insert(state.end(), s.keptCounts.begin(), s.keptCounts.end());
    state.insert(state.end(), s.carriedCounts.begin(), s.carriedCounts.end());
    state.insert(state.end(), s.amigaLoopCounts.begin(), s.amigaLoopCounts.end());
    return state;
}

// A line's pattern-loop commands, as libxmp applies them to a ProTracker song: 60 sets the channel's
// loop start, 6x (x above 0) sets its count to x, or counts it down.
void followAmigaLoops(CaptureState& s, const xmp_frame_info& fi) {
    for (std::size_t c = 0; c < s.amigaLoopStarts.size(); ++c) {
        const xmp_event& e = fi.channel_info[c].event;
        for (const auto& [type, param] : {std::pair{e.fxt, e.fxp}, std::pair{e.f2t, e.f2p}}) {
            if (type != kFxExtended || (param & 0xF0) != kLoopEnd) continue;
            int& count = s.amigaLoopCounts[c];
            if ((param & 0x0F) == 0)
                s.amigaLoopStarts[c] = fi.row;
            else
                count = count == 0 ? param & 0x0F : count - 1;
        }
    }
}

// A line of a song with carried loops: libxmp's loop starts and counts follow it; where a carried loop goes
// back, the pattern's last line is marked with a break to the line it goes back to, for this visit, so that
// libxmp starts the next pattern there as the tracker did. The mark goes once its line has played or the
// visit has ended.
void followCarriedLoops(const Performance& p, CaptureState& s, const xmp_frame_info& fi) {
    if (s.carriedLoops.empty() && !s.followsEveryLoop) return;
    if (s.marked.event != nullptr && (fi.pos != s.markedOrder || fi.row == s.markedRow))
        unmarkBreak(s.marked);
    const int pattern = fi.pos >= 0 && std::size_t(fi.pos) < p.orderPatterns.size()
                            ? p.orderPatterns[std::size_t(fi.pos)]
                            : -1;
    for (std::size_t c = 0; c < s.loopStarts.size(); ++c) {
        const xmp_event& e = fi.channel_info[c].event;
        for (const auto& [type, param] : {std::pair{e.f2t, e.f2p}, std::pair{e.fxt, e.fxp}}) {
            if (type != kFxExtended || (param & 0xF0) != kLoopEnd) continue;
            if ((param & 0x0F) == 0) {
                s.loopStarts[c] = fi.row;
                continue;
            }
            int& count = s.carriedCounts[c];
            count = count == 0 ? param & 0x0F : count - 1;
            const bool carried =
                s.followsEveryLoop ||
                std::any_of(s.carriedLoops.begin(), s.carriedLoops.end(), [&](const CarriedLoop& l) {
                    return l.pattern == pattern && l.row == fi.row && l.channel == int(c);
                });
            if (count == 0 || !carried) continue;
            unmarkBreak(s.marked);
            s.marked = markBreak(*s.module, pattern, s.loopStarts[c]);
            if (s.marked.event != nullptr)
                s.markedOrder = fi.pos, s.markedRow = s.module->xxp[pattern]->rows - 1;
        }
    }
}

// Sets every kept loop's breaks for the counts now, or (`reset`) as before the song began.
void setAllKeptBreaks(const CaptureState& s, bool reset) {
    for (const KeptLoop& k : s.keptLoops) {
        const std::size_t c = std::size_t(k.channel);
        setKeptBreaks(*s.module, k, reset || c >= s.keptCounts.size() ? 0 : s.keptCounts[c]);
    }
}

// A line whose loop end was kept out of the module counts its channel's loop down (or sets it, from 0).
void countKeptLoops(const Performance& p, CaptureState& s, const xmp_frame_info& fi) {
    const int pattern = fi.pos >= 0 && std::size_t(fi.pos) < p.orderPatterns.size()
                            ? p.orderPatterns[std::size_t(fi.pos)]
                            : -1;
    for (const KeptLoop& k : s.keptLoops) {
        if (k.pattern != pattern || k.row != fi.row || k.channel < 0) continue;
        const std::size_t c = std::size_t(k.channel);
        if (c >= s.keptCounts.size()) s.keptCounts.resize(c + 1, 0);
        s.keptCounts[c] = s.keptCounts[c] == 0 ? k.count : s.keptCounts[c] - 1;
        s.keptTick = p.ticks.size();
        setAllKeptBreaks(s, false); // the line's next pass breaks as the count now says
    }
}

// The first tick of the repeat, as libxmp reports it: the module goes on from that order position and
// row.
std::size_t findLoopTick(const Performance& p, const xmp_frame_info& fi) {
    for (std::size_t t = 0; t < p.ticks.size(); ++t)
        if (p.ticks[t].order == fi.pos && p.ticks[t].row == fi.row && p.ticks[t].frame == 0) return t;
    return 0;
}

// Whether a kept loop's count holds the song back from its repeat: one is above 0 and its line is played
// in the part that repeats.
bool keptLoopsCounting(const Performance& p, const CaptureState& s, const xmp_frame_info& fi) {
    const bool counting = std::any_of(s.keptCounts.begin(), s.keptCounts.end(), [](int n) { return n > 0; });
    return counting && s.keptTick != SIZE_MAX && s.keptTick >= findLoopTick(p, fi);
}

// Whether the line now jumps back to a pattern loop's start: a loop end (6x) sets its channel's counter
// to x, or counts it down to a value above 0.
bool loopsBack(const xmp_frame_info& fi, std::vector<int>& counts) {
    bool back = false;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        const xmp_event& e = fi.channel_info[c].event;
        for (const auto& [type, param] : {std::pair{e.fxt, e.fxp}, std::pair{e.f2t, e.f2p}})
            if (type == kFxExtended && (param & 0xF0) == kLoopEnd && (param & 0x0F) != 0) {
                counts[c] = counts[c] == 0 ? param & 0x0F : counts[c] - 1;
                back |= counts[c] > 0;
            }
    }
    return back;
}

// Whether the tick libxmp reports as the song's repeat is one: not if it goes on with the visit that made
// libxmp's search give up, nor while a kept loop counts. Past an end found inside a long visit, the song
// repeats where a new visit begins on a line played before (or where libxmp finds another end).
bool repeats(const Performance& p, CaptureState& s, const xmp_frame_info& fi, bool newVisit, int& loops) {
    if (countsLoopsAcrossPasses(s)) {
        loops = std::max(loops, fi.loop_count);
        // A ProTracker loop can go on for ever within a visit: its lines are checked too.
        if (!newVisit && !(s.byState && fi.frame == 0)) return false;
        const auto seen = s.states.find(walkState(s, fi));
        if (seen == s.states.end()) return false;
        s.repeatTick = seen->second;
        loops = std::max(loops, 1);
        return true;
    }
    if (fi.loop_count > loops) {
        loops = fi.loop_count;
        if (!newVisit && s.visitLines >= kLongestScannedVisit) {
            s.pastScan = true;
            return false;
        }
        if (keptLoopsCounting(p, s, fi)) return false;
        if (s.amigaLoops) { // a repeat only where the line comes back in the loops' state it played in
            const auto seen = s.states.find(walkState(s, fi));
            if (seen == s.states.end()) return !(s.byState = true);
            s.repeatTick = seen->second;
        }
        return true;
    }
    return s.pastScan && newVisit && s.played[lineIndex(fi.pos, fi.row)];
}

// A tick's length as module players mixing at `rate` Hz play it: a whole number of output samples, the
// fraction dropped (libxmp and openmpt both do), so a song's lines keep to their renders' time. libxmp
// reports the tick's exact length in whole microseconds; half a microsecond more is its middle.
double playedTickSeconds(const xmp_frame_info& fi, int rate) {
    const double exact = (fi.frame_time + 0.5) / 1e6;
    const double samples = std::floor(exact * rate);
    return samples > 0 ? samples / rate : exact;
}

// Plays ticks into the performance until libxmp reports the song repeating (its loop count passes
// `loops`) or the time runs out. Returns the loop count then, with the repeat's first tick in `fi`.
int playSong(Performance& p, CaptureState& s, int loops, xmp_frame_info& fi) {
    s.played.assign(256 * 256, false);
    for (const TickInfo& t : p.ticks)
        s.played[lineIndex(t.order, t.row)] = true;
    s.visitOrder = -1, s.pastScan = false;
    while (s.time < s.maxSeconds && xmp_play_frame(s.ctx) == 0) {
        xmp_get_frame_info(s.ctx, &fi);
        const bool line = fi.frame == 0;
        const bool newVisit = line && (fi.pos != s.visitOrder || (fi.row < s.lastRow && !s.lastLoopsBack));
        if (repeats(p, s, fi, newVisit, loops)) return loops;
        if (line) {
            if (countsLoopsAcrossPasses(s) || s.amigaLoops)
                s.states.emplace(walkState(s, fi), p.ticks.size());
            if (s.amigaLoops) followAmigaLoops(s, fi);
            countKeptLoops(p, s, fi);
            followCarriedLoops(p, s, fi);
            if (fi.pos != s.visitOrder) s.loopCounts.assign(std::size_t(p.channels), 0);
            s.visitLines = newVisit ? 1 : s.visitLines + 1;
            s.visitOrder = fi.pos, s.lastRow = fi.row;
            s.lastLoopsBack = loopsBack(fi, s.loopCounts);
            s.played[lineIndex(fi.pos, fi.row)] = true;
        }
        if (p.ticks.empty()) {
            // A capture from later in the song starts at an order position's start: the time asked
            // for is counted from there. libxmp's clock reads the end of the tick just played.
            p.startSeconds = std::max(0.0, fi.time / 1000.0 - fi.frame_time / 1e6);
            // libxmp's clock adds exact tick lengths, the song's whole samples: at the tempo playing
            // here the one runs this much of the other.
            if (fi.frame_time > 0) p.startSeconds *= playedTickSeconds(fi, s.rate) / (fi.frame_time / 1e6);
            if (s.fromSeconds > 0) s.maxSeconds += std::max(0.0, s.fromSeconds - p.startSeconds);
        }
        if (s.rendering) s.rendering = appendModuleRender(fi, s.playRate, p.render, measuredSeconds(s.rate));
        TickInfo tick{s.time,   playedTickSeconds(fi, s.rate),
                      fi.pos,   fi.row,
                      fi.frame, decltype(TickInfo::channels)(BulkAllocator<ChannelTick>(p.tickMemory.get()))};
        tick.channels.reserve(std::size_t(p.channels));
        for (std::size_t c = 0; c < std::size_t(p.channels); ++c) {
            const double advance = s.history[c].advancePerSpeed * s.fallbackSpeed; // frames, about
            tick.channels.push_back(
                readChannel(p, fi.channel_info[c], fi, tick.duration, s.history[c], s.speeds));
            findOffset(p, c, tick.channels[c], fi.channel_info[c].position, advance);
        }
        s.time += tick.duration;
        p.ticks.push_back(std::move(tick));
    }
    return loops;
}

// The order list's further songs (libxmp's sequences after the first), each played from its first
// position to its repeat, after the first song.
void playHiddenSongs(Performance& p, CaptureState& s, int loops, xmp_frame_info& fi) {
    xmp_module_info info{};
    xmp_get_module_info(s.ctx, &info);
    // A further song ends where it reaches what the first played: kept loops hold it back no more, and
    // loops are left to libxmp.
    setAllKeptBreaks(s, true);
    unmarkBreak(s.marked);
    s.keptLoops.clear();
    s.keptCounts.clear();
    s.carriedLoops.clear();
    s.followsEveryLoop = false;
    s.carriedCounts.clear();
    s.byState = s.amigaLoops = false;
    for (int k = 1; k < std::min(info.num_sequences, XMP_MAX_MOD_LENGTH) && s.time < s.maxSeconds; ++k) {
        const int entry = info.seq_data[k].entry_point;
        const bool played =
            std::any_of(p.ticks.begin(), p.ticks.end(), [&](const TickInfo& t) { return t.order == entry; });
        if (played || xmp_set_position(s.ctx, entry) < 0) continue; // played past an end libxmp found early
        const double start = s.time, most = s.maxSeconds;
        const std::size_t first = p.ticks.size();
        // A song libxmp's walk does not bring back to its repeat ends at twice the length libxmp found.
        s.maxSeconds = std::min(most, start + 2 * info.seq_data[k].duration / 1000.0 + 1);
        loops = playSong(p, s, loops, fi);
        s.maxSeconds = most;
        if (p.ticks.size() > first) p.hidden.push_back({entry, s.time - start});
    }
}

} // namespace

bool holdsSound(const SampleData& sample) {
    return std::any_of(sample.frames.begin(), sample.frames.end(),
                       [](float f) { return std::fabs(f) >= kLeastSound; });
}

Performance capturePerformance(LoadedModule& loaded, int rate, double maxSeconds, bool render,
                               double fromSeconds) {
    const xmp_module& mod = loaded.module();
    Performance p = describe(mod);
    CaptureState s;
    s.ctx = loaded.context();
    s.rate = rate;
    s.playRate = moduleRenderRate(rate);
    s.maxSeconds = maxSeconds;
    // Amiga formats play at the PAL clock's rate (8287 frames per second at the reference period);
    // the others at 8363.
    s.fallbackSpeed = loaded.tracker.amigaSpeeds ? 8287.0 : 8363.0;
    if (!startPlayer(loaded, s.playRate)) return p;
    if (fromSeconds > 0) xmp_seek_time(s.ctx, static_cast<int>(std::min(fromSeconds, 1e6) * 1000));
    s.fromSeconds = fromSeconds;
    s.rendering = render;
    if (render) { // pages are taken as the render fills them; it is never moved as it grows
        p.render.reserve(static_cast<std::size_t>(measuredSeconds(rate) * s.playRate));
        adviseLargePages(p.render);
    }
    p.tickMemory = makeBulkMemory();
    s.history.resize(static_cast<std::size_t>(p.channels));
    s.speeds.resize(p.samples.size());
    s.keptLoops = loaded.timing.keptLoops;
    s.keptCounts.assign(s.keptLoops.empty() ? 0 : std::size_t(p.channels), 0);
    s.carriedLoops = loaded.timing.carriedLoops;
    s.loopStarts.assign(std::size_t(p.channels), 0);
    s.followsEveryLoop = loaded.timing.followsEveryLoop;
    s.carriedCounts.assign(s.carriedLoops.empty() && !s.followsEveryLoop ? 0 : std::size_t(p.channels), 0);
    s.module = &mod;
    s.amigaLoops = s.byState = loaded.tracker.amigaSpeeds;
    s.amigaLoopStarts.assign(s.amigaLoops ? std::size_t(p.channels) : 0, 0);
    s.amigaLoopCounts = s.amigaLoopStarts;
    xmp_frame_info fi{};
    const int loops = playSong(p, s, 0, fi);
    if (loops > 0) {
        p.loopTick = s.repeatTick != SIZE_MAX ? s.repeatTick : findLoopTick(p, fi);
        playHiddenSongs(p, s, loops, fi);
    }
    setAllKeptBreaks(s, true); // the module as it was loaded, for the next capture
    unmarkBreak(s.marked);
    xmp_end_player(s.ctx);
    std::string error;
    p.rendered = render && finishModuleRender(p.render, s.playRate, rate, error);
    p.length = s.time;
    p.cappedLength = s.time >= s.maxSeconds;
    finishSpeeds(p, s.speeds, s.fallbackSpeed);
    for (TickInfo& t : p.ticks)
        for (ChannelTick& c : t.channels)
            if (c.sample >= 0) c.frequency *= p.samples[static_cast<std::size_t>(c.sample)].c5speed;
    return p;
}

std::size_t fitTicksToRate(Performance& p, int rate) {
    const double callsPerSecond = rate / double(kStepsPerCall);
    std::size_t shorter = 0, longer = 0;
    for (const TickInfo& t : p.ticks) {
        const double calls = t.duration * callsPerSecond;
        shorter += calls < kShortestTickCalls;
        longer += calls > kLongestTickCalls;
    }
    if (longer == 0) return shorter;
    std::vector<TickInfo> ticks;
    std::size_t loopTick = 0;
    for (std::size_t i = 0; i < p.ticks.size(); ++i) {
        const TickInfo& t = p.ticks[i];
        if (i == p.loopTick) loopTick = ticks.size();
        const auto parts = static_cast<int>(std::ceil(t.duration * callsPerSecond / kLongestTickCalls));
        for (int k = 0; k < std::max(parts, 1); ++k) {
            TickInfo part = t;
            part.duration = t.duration / parts;
            part.time = t.time + k * part.duration;
            part.frame = t.frame * parts + k; // only a row's first tick has frame 0
            if (k > 0)
                for (ChannelTick& c : part.channels)
                    c.start = false, c.offset = 0;
            ticks.push_back(std::move(part));
        }
    }
    p.ticks = std::move(ticks);
    p.loopTick = loopTick;
    return shorter;
}
