#include "timing.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "mod_layout.h"

namespace {

// libxmp's effect numbers.
constexpr std::uint8_t kFxJump = 0x0B, kFxBreak = 0x0D, kFxExtended = 0x0E, kFxSpeed = 0x0F;
constexpr std::uint8_t kFxHexBreak = 0x8E;  // a pattern break whose parameter is the line in hex
constexpr std::uint8_t kPatternLoop = 0x60; // extended command 6x: loop start (x = 0) or end
constexpr std::uint8_t kUsualTempoByte = 0x78, kHighestTempoByte = 220;
// ProTracker's CIA tempo commands below this are what a VBlank song's slow speeds look like.
constexpr int kSlowTempo = 100;
// A ProTracker song this long with CIA timing is taken for a VBlank song if VBlank timing makes it shorter.
constexpr double kVblankSuspect = 480;

// Calls `visit(pattern, row, event)` for every event of every stored pattern, row by row.
template <class Visit> void forEachRow(const xmp_module& m, Visit visit) {
    for (int p = 0; p < m.pat; ++p) {
        const xmp_pattern* pattern = m.xxp[p];
        if (pattern == nullptr) continue;
        for (int row = 0; row < pattern->rows; ++row) {
            std::vector<xmp_event*> events;
            for (int c = 0; c < m.chn; ++c) {
                const int t = pattern->index[c];
                if (t < 0 || t >= m.trk || m.xxt[t] == nullptr || row >= m.xxt[t]->rows) continue;
                events.push_back(&m.xxt[t]->event[row]);
            }
            visit(p, row, events);
        }
    }
}

// The once-through length libxmp finds, in seconds, with or without VBlank timing.
double scannedLength(xmp_context ctx, bool vblank) {
    const int flags = xmp_get_player(ctx, XMP_PLAYER_CFLAGS);
    xmp_set_player(ctx, XMP_PLAYER_CFLAGS, vblank ? flags | XMP_FLAGS_VBLANK : flags & ~XMP_FLAGS_VBLANK);
    xmp_frame_info fi{};
    xmp_get_frame_info(ctx, &fi);
    xmp_set_player(ctx, XMP_PLAYER_CFLAGS, flags);
    return fi.total_time / 1000.0;
}

// A ProTracker (M.K.) song timed by the vertical blank, found as module players find it: it has speed
// commands of 32-99 (slow tempos, or speeds), no line sets both a speed and a tempo, and it lasts 8
// minutes or more read with tempos, but less with those commands read as speeds.
void findVblank(xmp_context ctx, const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (rules.alwaysVblank) {
        // Startrekker times every song by the vertical blank, with at most 31 ticks a line.
        bool capped = false;
        forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
            for (xmp_event* e : events)
                if (e->fxt == kFxSpeed && e->fxp > 0x1F) e->fxp = 0x1F, capped = true;
        });
        fix.vblank = true;
        if (capped)
            fix.report.push_back("Startrekker song: speed commands of 32 and more play 31 ticks a line, as "
                                 "Startrekker timed them");
        return;
    }
    if (!rules.mayBeVblank) return;
    bool slowTempos = false, speedAndTempo = false;
    forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
        bool speed = false, tempo = false;
        for (const xmp_event* e : events)
            for (const auto& [type, param] : {std::pair{e->fxt, e->fxp}, std::pair{e->f2t, e->f2p}}) {
                if (type != kFxSpeed) continue;
                (param < 0x20 ? speed : tempo) = true;
                slowTempos |= param >= 0x20 && param < kSlowTempo;
            }
        speedAndTempo |= speed && tempo;
    });
    if (!slowTempos || speedAndTempo) return;
    const double cia = scannedLength(ctx, false);
    if (cia < kVblankSuspect) return;
    const double vblank = scannedLength(ctx, true);
    if (vblank <= 0 || vblank >= cia) return;
    fix.vblank = true;
    char line[200];
    std::snprintf(line, sizeof line,
                  "timed by the vertical blank: speed commands of 32 and more set ticks per line (read as "
                  "tempos the song lasts %.0f s, 8 minutes or more, and has no line with both a speed and a "
                  "tempo); it plays %.0f s",
                  cia, vblank);
    fix.report.push_back(line);
}

// An early Soundtracker song (15 samples, no tag) keeps its tempo in the restart byte. libxmp reads it as
// BPM in the songs it takes for Ultimate Soundtracker's, else not at all (nor in a repaired copy, which
// plays at 125).
void findSoundtrackerTempo(const xmp_module& m, const std::vector<std::uint8_t>& original,
                           const TrackerRules& rules, TimingFix& fix) {
    if (!rules.soundtrackerTempo || original.size() < kModPatternsAt15 || m.bpm <= 0) return;
    const std::uint8_t byte = original[modRestartAt(kModSamples15)];
    const double bpm = soundtrackerTempo(byte);
    if (bpm <= 0 || std::fabs(bpm - m.bpm) < 0.01) return;
    fix.tempoFactor = m.bpm / bpm;
    char line[160];
    std::snprintf(line, sizeof line, "Soundtracker tempo byte %d plays at %.1f BPM, as Soundtracker timed it",
                  byte, bpm);
    fix.report.push_back(line);
}

// Scream Tracker 3 keeps one pattern-loop counter for all channels, and the line's last loop end decides:
// two loop ends of one pass on one line (say on channels 0 and 1) set the counter and count it down to
// 0 again, so the loop is over at once and the song goes on. libxmp counts per channel and plays the
// loop. Such lines lose their loop ends.
void mendSharedLoops(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.sharedLoopCounter) return;
    int mended = 0;
    forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
        std::vector<xmp_event*> ends;
        for (xmp_event* e : events)
            if (e->fxt == kFxExtended && (e->fxp & 0xF0) == kPatternLoop && (e->fxp & 0x0F) != 0)
                ends.push_back(e);
        int count = 0; // from 0: a loop end sets the counter, the next ones count it down
        for (const xmp_event* e : ends)
            count = count == 0 ? e->fxp & 0x0F : count - 1;
        if (ends.size() < 2 || count != 0) return;
        for (xmp_event* e : ends)
            e->fxt = 0, e->fxp = 0;
        ++mended;
    });
    if (mended > 0) {
        fix.mendedLines = true;
        fix.report.push_back(std::to_string(mended) +
                             " pattern loop(s) ended on several channels of one line play once, as Scream "
                             "Tracker 3 (one loop counter for all channels) played them");
    }
}

// NoiseTracker's pattern break always goes to line 0 of the next position, whatever its parameter. Its
// songs are told as module players tell them: the tags N.T., M&K! and FEST, and M.K. songs that use only
// what NoiseTracker has (notes of the Amiga's three octaves, no commands 7-9, no extended command but
// the filter's E0x/E1x, speeds below 32, at most one pattern break a pattern, samples below 64 KB).
// ProTracker reads the parameter as a line; libxmp does too. Their breaks lose it.
void mendNoiseTrackerBreaks(const xmp_module& m, const std::vector<std::uint8_t>& f,
                            const TrackerRules& rules, TimingFix& fix) {
    constexpr unsigned kLowestAmigaPeriod = 110, kHighestAmigaPeriod = 881; // half a semitone beyond
    const bool tagged = rules.breaksToLineZero;
    if (!tagged && !rules.mayBreakToLineZero) return;
    for (std::size_t i = 0; i < kModSamples && !tagged; ++i) {
        const std::size_t at = modSampleHeaderAt(i) + kModSampleWords;
        if (2u * (unsigned(f[at]) << 8 | f[at + 1]) > 0xFFFF) return;
    }
    const std::size_t stored = std::min<std::size_t>(std::size_t(std::max(m.pat, 0)),
                                                     (f.size() - kModPatternsAt) / kModPatternBytes);
    for (std::size_t p = 0; p < stored && !tagged; ++p) {
        int breaks = 0;
        for (std::size_t cell = 0; cell < kModRows * kModChannels; ++cell) {
            const std::uint8_t* c = f.data() + kModPatternsAt + p * kModPatternBytes + cell * kModCellBytes;
            const unsigned period = unsigned(c[0] & 0x0F) << 8 | c[1], effect = c[kModCellEffect] & 0x0Fu,
                           param = c[kModCellParam];
            const bool amiga = period == 0 || (period >= kLowestAmigaPeriod && period <= kHighestAmigaPeriod);
            if (!amiga || (effect >= 7 && effect <= 9) || (effect == 0xE && param > 1) ||
                (effect == 0xF && param > 0x1F) || (effect == 0xD && ++breaks > 1))
                return;
        }
    }
    int mended = 0;
    forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
        for (xmp_event* e : events)
            if (e->fxt == kFxBreak && e->fxp != 0) e->fxp = 0, ++mended;
    });
    if (mended == 0) return;
    fix.mendedLines = true;
    fix.report.push_back(std::to_string(mended) +
                         " pattern break(s) go to line 0 of the next position, as NoiseTracker played them "
                         "(a NoiseTracker song: it uses only NoiseTracker's commands)");
}

// The event of channel `c` at `row` of pattern `p`, or null where the pattern holds none.
xmp_event* eventAt(const xmp_module& m, int p, int c, int row) {
    const int t = m.xxp[p]->index[c];
    if (t < 0 || t >= m.trk || m.xxt[t] == nullptr || row < 0 || row >= m.xxt[t]->rows) return nullptr;
    return &m.xxt[t]->event[row];
}

bool loopEnd(const xmp_event& e) {
    return e.fxt == kFxExtended && (e.fxp & 0xF0) == kPatternLoop && (e.fxp & 0x0F) != 0;
}

// The line a pattern break goes to, for libxmp's two kinds (decimal and hex parameters), else -1.
int breakLine(const xmp_event& e) {
    if (e.fxt == kFxBreak) return 10 * (e.fxp >> 4) + (e.fxp & 0x0F);
    return e.fxt == kFxHexBreak ? e.fxp : -1;
}

bool loopStart(const xmp_event& e) {
    return e.fxt == kFxExtended && e.fxp == kPatternLoop;
}

// The line a loop ending on channel `c` at `row` of pattern `p` goes back to: the channel's last loop start
// above it in the pattern, else line 0.
int loopStartAbove(const xmp_module& m, int p, int c, int row) {
    for (int r = row - 1; r >= 0; --r)
        if (const xmp_event* e = eventAt(m, p, c, r); e != nullptr && loopStart(*e)) return r;
    return 0;
}

// Scream Tracker 3 keeps one pattern-loop start for all channels: a loop start (SB0) on any channel sets
// it, a loop that is over sets it to the line after its end, and each new pattern sets it to line 0. A loop
// end goes back to it, whichever channel either stands on. libxmp keeps a start per channel, kept from
// pattern to pattern. A channel whose loop end would go back elsewhere gets a loop start of its own on the
// shared start's line (in the cell's second command, or its first where that is free).
void mendSharedLoopStarts(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.sharedLoopStart) return;
    // A channel with no loop start and loop ends in one pattern only goes back to line 0 in libxmp too.
    const std::size_t channels = std::size_t(std::max(m.chn, 0));
    std::vector<int> starts(channels, 0), endPatterns(channels, 0);
    for (int p = 0; p < m.pat; ++p)
        for (std::size_t c = 0; c < channels && m.xxp[p] != nullptr; ++c) {
            bool ends = false;
            for (int row = 0; row < m.xxp[p]->rows; ++row)
                if (const xmp_event* e = eventAt(m, p, int(c), row); e != nullptr)
                    starts[c] += loopStart(*e), ends |= loopEnd(*e);
            endPatterns[c] += ends;
        }
    int mended = 0;
    for (int p = 0; p < m.pat; ++p) {
        if (m.xxp[p] == nullptr) continue;
        int shared = 0;
        std::vector<int> own(channels, -1); // each channel's start in libxmp, where set in this pattern
        for (int row = 0; row < m.xxp[p]->rows; ++row) {
            for (std::size_t c = 0; c < channels; ++c) {
                const xmp_event* e = eventAt(m, p, int(c), row);
                if (e == nullptr || !loopEnd(*e) || own[c] == shared) continue;
                if (own[c] < 0 && shared == 0 && starts[c] == 0 && endPatterns[c] == 1) continue;
                xmp_event* at = eventAt(m, p, int(c), shared);
                if (at == nullptr || (at->f2t != 0 && at->fxt != 0)) continue;
                if (at->f2t == 0)
                    at->f2t = kFxExtended, at->f2p = kPatternLoop;
                else
                    at->fxt = kFxExtended, at->fxp = kPatternLoop;
                own[c] = shared;
                ++mended;
            }
            for (std::size_t c = 0; c < channels; ++c)
                if (const xmp_event* e = eventAt(m, p, int(c), row); e != nullptr) {
                    if (loopStart(*e)) shared = own[c] = row;
                    if (loopEnd(*e)) shared = own[c] = row + 1;
                }
        }
    }
    if (mended == 0) return;
    fix.mendedLines = true;
    fix.report.push_back(std::to_string(mended) +
                         " pattern loop(s) go back to the loop start of another channel or to the pattern's "
                         "first line, as Scream Tracker 3 (one loop start for all channels) played them");
}

// In FastTracker 2 a loop start (E60) only marks the line a loop end goes back to; libxmp also starts the
// next pattern on it, as the tracker does after a loop that went back there. A loop start that no loop end
// after it in its pattern uses (and whose channel has no loop end anywhere without a loop start above it
// in its pattern, which would go back to it) leaves the line.
void dropLoneLoopStarts(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.carriedLoopStarts) return;
    const std::size_t channels = std::size_t(std::max(m.chn, 0));
    std::vector<bool> endsWithoutStart(channels, false);
    for (int p = 0; p < m.pat; ++p)
        for (std::size_t c = 0; c < channels && m.xxp[p] != nullptr; ++c) {
            bool started = false;
            for (int row = 0; row < m.xxp[p]->rows; ++row)
                if (const xmp_event* e = eventAt(m, p, int(c), row); e != nullptr) {
                    started |= loopStart(*e);
                    if (loopEnd(*e) && !started) endsWithoutStart[c] = true;
                }
        }
    int dropped = 0;
    for (int p = 0; p < m.pat; ++p)
        for (std::size_t c = 0; c < channels && m.xxp[p] != nullptr; ++c) {
            if (endsWithoutStart[c]) continue;
            xmp_event* start = nullptr;
            for (int row = 0; row < m.xxp[p]->rows; ++row)
                if (xmp_event* e = eventAt(m, p, int(c), row); e != nullptr) {
                    if (loopStart(*e)) start = e;
                    if (loopEnd(*e)) start = nullptr;
                }
            if (start == nullptr) continue;
            start->fxt = start->fxp = 0;
            ++dropped;
        }
    if (dropped == 0) return;
    fix.mendedLines = true;
    fix.report.push_back(std::to_string(dropped) +
                         " loop start(s) with no loop end after them in their pattern: the next pattern "
                         "starts on its first line, as FastTracker 2 played them");
}

// FastTracker 2 breaks or jumps at once from a line that ends a pattern loop (E6x) and breaks or jumps,
// wherever the commands stand; a break on a channel left of the loop end goes to the loop's start line
// on the passes where the loop counts, and to its own line on the last (setKeptBreaks). Impulse Tracker
// jumps at once where a position jump stands right of the loop end (SBx); one left of it waits for the
// loop, as a break does. Either way the loop's count stays: each later pass over the line counts it
// down, and the song is over only when it is back at 0. The loop end leaves the line and is counted
// while capturing.
void keepBrokenLoops(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    const bool fastTracker = rules.breaksOutOfLoops;
    if (!fastTracker && !rules.jumpsOutOfLoops) return;
    for (int p = 0; p < m.pat; ++p) {
        if (m.xxp[p] == nullptr) continue;
        for (int row = 0; row < m.xxp[p]->rows; ++row) {
            int end = -1;
            for (int c = 0; c < m.chn && end < 0; ++c)
                if (const xmp_event* e = eventAt(m, p, c, row); e != nullptr && loopEnd(*e)) end = c;
            bool goes = false;
            for (int c = 0; c < m.chn && end >= 0; ++c)
                if (const xmp_event* e = eventAt(m, p, c, row); e != nullptr)
                    goes |=
                        fastTracker ? breakLine(*e) >= 0 || e->fxt == kFxJump : c > end && e->fxt == kFxJump;
            if (!goes) continue;
            const int start = loopStartAbove(m, p, end, row);
            xmp_event* loop = eventAt(m, p, end, row);
            KeptLoop kept{p, row, end, loop->fxp & 0x0F, std::uint8_t((start / 10) << 4 | start % 10), {}};
            for (int c = 0; c < end && fastTracker; ++c)
                if (const xmp_event* e = eventAt(m, p, c, row); e != nullptr && e->fxt == kFxBreak)
                    kept.breaks.emplace_back(c, e->fxp);
            setKeptBreaks(m, kept, 0);
            fix.keptLoops.push_back(std::move(kept));
            loop->fxt = loop->fxp = 0;
        }
    }
    if (fix.keptLoops.empty()) return;
    fix.mendedLines = true;
    fix.report.push_back(std::to_string(fix.keptLoops.size()) +
                         " line(s) end a pattern loop and break or jump at once: the loop's count stays, and "
                         "the song plays through again until it is counted down, as " +
                         rules.name + " played them");
}

// Whether the cell's command (its first, or `second`) is free: no command and no parameter.
bool freeCommand(const xmp_event& e, bool second) {
    return second ? e.f2t == 0 && e.f2p == 0 : e.fxt == 0 && e.fxp == 0;
}

// Whether either of the cell's commands is a pattern break or a position jump.
bool breaksOrJumps(const xmp_event& e) {
    return breakLine(e) >= 0 || e.fxt == kFxJump || e.f2t == kFxBreak || e.f2t == kFxHexBreak ||
           e.f2t == kFxJump;
}

// FastTracker 2 keeps each channel's loop start from pattern to pattern, and starts the next pattern on the
// line the last loop went back to (see CarriedLoop); libxmp starts it on line 0, or (for songs it takes for
// FastTracker 2's) on the line of the last loop start played. The loop ends that go back to a start of an
// earlier pattern are followed while capturing. A pattern with a loop start that only such a loop end uses,
// and no loop end of its own, goes on at line 0 of the next pattern in the tracker: a pattern break to
// line 0 on its last line keeps libxmp there too (a line with no break or jump of its own, where the
// pattern ends anyway).
void carryLoopStarts(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.carriedLoopStarts) return;
    const std::size_t channels = std::size_t(std::max(m.chn, 0));
    std::vector<bool> starts(channels, false), carried(channels, false);
    for (int p = 0; p < m.pat; ++p)
        for (std::size_t c = 0; c < channels && m.xxp[p] != nullptr; ++c)
            for (int row = 0; row < m.xxp[p]->rows; ++row)
                if (const xmp_event* e = eventAt(m, p, int(c), row); e != nullptr && loopStart(*e))
                    starts[c] = true;
    for (int p = 0; p < m.pat; ++p)
        for (std::size_t c = 0; c < channels && m.xxp[p] != nullptr; ++c) {
            bool started = false;
            for (int row = 0; row < m.xxp[p]->rows; ++row)
                if (const xmp_event* e = eventAt(m, p, int(c), row); e != nullptr) {
                    started |= loopStart(*e);
                    if (!loopEnd(*e) || started || !starts[c]) continue;
                    fix.carriedLoops.push_back({p, row, int(c)});
                    carried[c] = true;
                }
        }
    if (fix.carriedLoops.empty()) return;
    for (int p = 0; p < m.pat; ++p) {
        if (m.xxp[p] == nullptr || m.xxp[p]->rows <= 0) continue;
        bool uses = false, ends = false;
        for (int row = 0; row < m.xxp[p]->rows; ++row)
            for (std::size_t c = 0; c < channels; ++c)
                if (const xmp_event* e = eventAt(m, p, int(c), row); e != nullptr) {
                    uses |= carried[c] && loopStart(*e);
                    ends |= loopEnd(*e);
                }
        const int last = m.xxp[p]->rows - 1;
        xmp_event* free = nullptr;
        bool second = false, breaks = false;
        for (int c = 0; c < m.chn; ++c)
            if (xmp_event* e = eventAt(m, p, c, last); e != nullptr) {
                breaks |= breaksOrJumps(*e);
                if (free == nullptr && (freeCommand(*e, false) || freeCommand(*e, true)))
                    free = e, second = !freeCommand(*e, false);
            }
        if (!uses || ends || breaks || free == nullptr) continue;
        (second ? free->f2t : free->fxt) = kFxBreak;
        fix.mendedLines = true;
    }
    fix.report.push_back(std::to_string(fix.carriedLoops.size()) +
                         " pattern loop end(s) go back to a loop start of an earlier pattern, in their own "
                         "pattern, and the next pattern starts on that line, as FastTracker 2 played them");
}

// FastTracker 2 starts the next pattern on the line the last pattern loop went back to. libxmp does so (on
// the line of the last loop start played) only in XMs whose tracker field names FastTracker 2 or OpenMPT;
// in the others (MilkyTracker's, MadTracker's) the next pattern starts on line 0. There every loop that
// goes back is followed while capturing, as a carried one is (see CarriedLoop).
void followEveryLoop(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.nextPatternOnLoopLine) return;
    int ends = 0;
    forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
        for (const xmp_event* e : events)
            ends += loopEnd(*e);
    });
    if (ends == 0) return;
    fix.followsEveryLoop = true;
    fix.report.push_back(std::to_string(ends) +
                         " pattern loop end(s) start the next pattern on the line they went back to, as "
                         "FastTracker 2 played them (libxmp does so only in songs saved by FastTracker 2 "
                         "or OpenMPT)");
}

// Scream Tracker 3 and Impulse Tracker take a position jump and a pattern break on one line to the break's
// line of the jump's position, wherever they stand. libxmp's jump sets the line back to 0 when it comes
// after the break (on a channel right of it). Such a line's break and jump change places.
void orderJumpsAndBreaks(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.jumpTakesBreakLine) return;
    int mended = 0;
    forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
        xmp_event *firstBreak = nullptr, *lastJump = nullptr;
        for (xmp_event* e : events) {
            if (breakLine(*e) >= 0 && firstBreak == nullptr) firstBreak = e;
            if (e->fxt == kFxJump && firstBreak != nullptr) lastJump = e;
        }
        if (lastJump == nullptr) return;
        std::swap(firstBreak->fxt, lastJump->fxt);
        std::swap(firstBreak->fxp, lastJump->fxp);
        ++mended;
    });
    if (mended == 0) return;
    fix.mendedLines = true;
    fix.report.push_back(std::to_string(mended) +
                         " line(s) jump and break with the break first: the jump goes to the break's line, "
                         "as " +
                         rules.name + " played them");
}

// A line of a ProTracker, Scream Tracker 3 or Impulse Tracker song holding both a pattern loop's end
// (E6x, SBx) and a pattern break or a position jump (for Impulse Tracker, one left of the loop end: see
// keepBrokenLoops) plays the loop first, and
// breaks or jumps once the loop is over. libxmp breaks at once (and takes the loop's jump a line later, in
// the next pattern), or plays the loop, but either way its walk and the end it finds part ways. The break
// moves to the next line, which the song then never plays otherwise (its other commands and notes go):
// the loop plays, then one line more (its break's), as it did. A break or jump on the pattern's last line
// cannot move; pattern breaks to line 0 there are left out, the pattern ending on its own.
void mendLoopBreaks(const xmp_module& m, const TrackerRules& rules, TimingFix& fix) {
    if (!rules.loopBeforeBreak) return;
    std::vector<bool> target(257, false); // lines some pattern break goes to: they stay as they are
    forEachRow(m, [&](int, int, const std::vector<xmp_event*>& events) {
        for (const xmp_event* e : events)
            if (breakLine(*e) >= 0) target[std::size_t(breakLine(*e) & 0xFF)] = true;
    });
    int mended = 0;
    for (int p = 0; p < m.pat; ++p) {
        if (m.xxp[p] == nullptr) continue;
        for (int row = 0; row < m.xxp[p]->rows; ++row) {
            std::vector<xmp_event*> breaks;
            bool loops = false, toLineZero = true;
            for (int c = 0; c < m.chn; ++c)
                if (xmp_event* e = eventAt(m, p, c, row); e != nullptr) {
                    loops |= loopEnd(*e);
                    if (breakLine(*e) < 0 && e->fxt != kFxJump) continue;
                    breaks.push_back(e);
                    toLineZero &= breakLine(*e) == 0;
                }
            if (!loops || breaks.empty()) continue;
            const bool last = row + 1 == m.xxp[p]->rows;
            if ((last && !toLineZero) || (!last && target[std::size_t(row + 1)])) continue;
            std::vector<xmp_event> moved;
            for (xmp_event* e : breaks) {
                moved.push_back(xmp_event{});
                moved.back().fxt = e->fxt, moved.back().fxp = e->fxp;
                e->fxt = e->fxp = 0;
            }
            for (int c = 0; c < m.chn && !last; ++c)
                if (xmp_event* e = eventAt(m, p, c, row + 1); e != nullptr)
                    *e = std::size_t(c) < moved.size() ? moved[std::size_t(c)] : xmp_event{};
            ++mended;
        }
    }
    if (mended == 0) return;
    fix.mendedLines = true;
    fix.report.push_back(std::to_string(mended) +
                         " line(s) end a pattern loop and break or jump: the loop plays first, then the "
                         "break or jump, as " +
                         rules.name + " played them");
}

} // namespace

double soundtrackerTempo(std::uint8_t tempoByte) {
    if (tempoByte == 0 || tempoByte == kUsualTempoByte) return 125;
    if (tempoByte > kHighestTempoByte) return 0;
    return 709379.0 * 125.0 / 50.0 / ((240.0 - tempoByte) * 122.0);
}

TimingFix findTimingFix(xmp_context ctx, const xmp_module& module, const std::vector<std::uint8_t>& original,
                        const TrackerRules& rules, bool repaired) {
    // The order matters: each fix reads the lines as the fixes before it left them.
    // - The tempo byte is read from the file, before anything changes.
    // - Scream Tracker 3's loop ends that cancel each other leave before the shared loop start is given
    //   out, so that no channel gets a start for a loop that no longer ends.
    // - NoiseTracker's breaks go to line 0 before mendLoopBreaks reads which lines breaks go to.
    // - keepBrokenLoops takes out the loop ends of lines that break or jump at once before: FastTracker 2's
    //   loop starts are weighed (a start whose only end went is lone and dropped), the loop ends that every
    //   pass follows are counted, and the lines that end a loop and break are moved (so an Impulse Tracker
    //   jump right of its loop end breaks at once, and only the rest wait for the loop).
    // - Lone loop starts are dropped before the starts carried from pattern to pattern are found.
    // - A line's jump and break change places before mendLoopBreaks moves them past the loop, in order.
    // The vertical blank is found last, by the song's length on a player started on the mended lines (with
    // ProTracker's reading of the commands where libxmp took the song for NoiseTracker's).
    TimingFix fix;
    findSoundtrackerTempo(module, original, rules, fix);
    mendSharedLoops(module, rules, fix);
    mendSharedLoopStarts(module, rules, fix);
    mendNoiseTrackerBreaks(module, original, rules, fix);
    keepBrokenLoops(module, rules, fix);
    dropLoneLoopStarts(module, rules, fix);
    carryLoopStarts(module, rules, fix);
    followEveryLoop(module, rules, fix);
    orderJumpsAndBreaks(module, rules, fix);
    mendLoopBreaks(module, rules, fix);
    if (!repaired && xmp_start_player(ctx, 8000, XMP_FORMAT_MONO) == 0) {
        if (rules.protrackerCommands) xmp_set_player(ctx, XMP_PLAYER_MODE, XMP_MODE_PROTRACKER);
        findVblank(ctx, module, rules, fix);
        xmp_end_player(ctx);
    }
    return fix;
}

void setKeptBreaks(const xmp_module& module, const KeptLoop& loop, int channelCount) {
    if (loop.pattern < 0 || loop.pattern >= module.pat || module.xxp[loop.pattern] == nullptr) return;
    for (const auto& [channel, param] : loop.breaks)
        if (channel >= 0 && channel < module.chn)
            if (xmp_event* e = eventAt(module, loop.pattern, channel, loop.row);
                e != nullptr && e->fxt == kFxBreak)
                e->fxp = channelCount == 1 ? param : loop.startParam;
}

MarkedBreak markBreak(const xmp_module& module, int pattern, int line) {
    MarkedBreak mark;
    if (pattern < 0 || pattern >= module.pat || module.xxp[pattern] == nullptr || line < 0 || line > 99)
        return mark;
    const int last = module.xxp[pattern]->rows - 1;
    for (int c = 0; c < module.chn; ++c)
        if (const xmp_event* e = eventAt(module, pattern, c, last);
            e != nullptr && (breaksOrJumps(*e) || loopEnd(*e) || e->f2t == kFxExtended))
            return mark;
    for (int c = 0; c < module.chn && mark.event == nullptr; ++c)
        if (xmp_event* e = eventAt(module, pattern, c, last);
            e != nullptr && (freeCommand(*e, false) || freeCommand(*e, true))) {
            mark.event = e;
            mark.second = !freeCommand(*e, false);
        }
    if (mark.event == nullptr) return mark;
    (mark.second ? mark.event->f2t : mark.event->fxt) = kFxBreak;
    (mark.second ? mark.event->f2p : mark.event->fxp) =
        static_cast<std::uint8_t>((line / 10) << 4 | line % 10);
    return mark;
}

void unmarkBreak(MarkedBreak& mark) {
    if (mark.event == nullptr) return;
    (mark.second ? mark.event->f2t : mark.event->fxt) = 0;
    (mark.second ? mark.event->f2p : mark.event->fxp) = 0;
    mark = MarkedBreak{};
}

void applyTimingFix(xmp_context ctx, const TimingFix& fix) {
    // A change of the VBlank flag makes libxmp find the song's end again: where lines were mended, the
    // flag is changed there and back, so that the end is found with the mended lines.
    const int flags = xmp_get_player(ctx, XMP_PLAYER_CFLAGS);
    const int wanted = fix.vblank ? flags | XMP_FLAGS_VBLANK : flags;
    if (fix.mendedLines) xmp_set_player(ctx, XMP_PLAYER_CFLAGS, wanted ^ XMP_FLAGS_VBLANK);
    if (fix.mendedLines || wanted != flags) xmp_set_player(ctx, XMP_PLAYER_CFLAGS, wanted);
    if (fix.tempoFactor != 1) xmp_set_tempo_factor(ctx, fix.tempoFactor);
}
