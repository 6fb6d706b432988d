// The sequencer: the song clock, walking the order list, patterns and lines of a song, triggering
// samples on tick 0 of each line and applying every cell's effect on every tick. The song data's layout
// is in format.h. There is no end marker: songs repeat by position jumps and pattern breaks. Nothing is
// validated; every read goes through imageByte, so rows and order bytes past the image read as 0.
#include "sequencer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include "trace.h"

Position PatternOrderTable = kNoSong;
std::uint8_t Pattern;
std::uint8_t Line;
std::uint8_t durationLine;
std::uint8_t durationTick;
std::uint8_t tick;
std::uint8_t subTick;
std::uint8_t nextLine;
std::uint8_t vibratoIdx[kStreams];
std::uint8_t lineDelayCnt;

namespace {
std::uint8_t u8(int v) {
    return static_cast<std::uint8_t>(v);
}

// The note line, "playing smp <sample> ch <channel> per <tone>", is the trace's most frequent: up to
// four on every line start. Its head up to the tone is the same for each sample number and channel, so
// it is kept ready: the text, and its length in the last byte. One copy writes it.
using NoteHead = std::array<char, 32>;
constexpr char kNoteSample[] = "playing smp ", kNoteChannel[] = " ch ", kNotePer[] = " per ";

constexpr auto NoteHeads = [] {
    std::array<NoteHead, kSampleNumbers * kChannels> heads{};
    for (unsigned sample = 0; sample < kSampleNumbers; ++sample)
        for (unsigned c = 0; c < kChannels; ++c) {
            NoteHead& head = heads[sample * kChannels + c];
            std::size_t n = 0;
            const auto text = [&](const char* t) {
                while (*t != '\0')
                    head[n++] = *t++;
            };
            const auto number = [&](unsigned v) {
                if (v >= 10) head[n++] = static_cast<char>('0' + v / 10);
                head[n++] = static_cast<char>('0' + v % 10);
            };
            text(kNoteSample), number(sample), text(kNoteChannel), number(c), text(kNotePer);
            head.back() = static_cast<char>(n);
        }
    return heads;
}();

void traceNote(std::uint8_t sampleNumber, std::uint8_t c, std::uint8_t tone) {
    const NoteHead& head = NoteHeads[sampleNumber * kChannels + c];
    char* p = beginTraceLine();
    std::memcpy(p, head.data(), head.size());
    p = trace_detail::put(p + head.back(), tone);
    *p++ = '\n';
    endTraceLine(p);
}
} // namespace

Position rowPosition(std::uint8_t order, std::uint8_t line) {
    const std::uint8_t pattern = imageByte(PatternOrderTable + order);
    return PatternOrderTable + songOffset(pattern, line);
}

void playSong(std::uint8_t n) {
    Pattern = 0;
    Line = 0;
    PatternOrderTable = SongInfo[n];
}

void stopSong() {
    PatternOrderTable = kNoSong;
}

void songTick() {
    if (PatternOrderTable == kNoSong) {
        // No song: keep the speed defaults, primed so that a song's first call plays its line 0.
        durationLine = kDefaultLineTicks;
        durationTick = kDefaultTickCalls;
        tick = 0;
        subTick = durationTick;
        return;
    }
    const std::uint8_t calls = subTick;
    subTick = u8(calls + 1);
    if (calls < durationTick) return;

    // A new tick. The row is located afresh on every tick, so a position jump earlier in the line makes
    // the rest of its ticks read the same line of the new order position's pattern.
    const Position at = rowPosition(Pattern, Line);
    std::uint8_t copy[kLineBytes];
    const std::uint8_t* row = copy;
    if (at <= kImageSize - kLineBytes)
        row = ROM + at;
    else // past the image's end, rows read as 0
        imageBytes(at, copy, kLineBytes);
    nextLine = u8(Line + 1);
    subTick = 0;
    const bool lineStart = tick == 0; // notes start on tick 0 only
    // Unrolled: each channel's stream arrays are then reached at fixed addresses.
#pragma GCC unroll 4
    for (std::uint8_t c = 0; c < kStreams; ++c) {
        const std::uint8_t* cell = row + kCellBytes * c;
        const std::uint8_t head = cell[kCellHead], tone = cell[kCellTone], param = cell[kCellParam];
        const std::uint8_t sampleNumber = cellSample(head);
        if (lineStart && sampleNumber != 0) {
            traceNote(sampleNumber, c, tone);
            playSample(sampleNumber, c, tone);
        }
        // Most cells carry no effect: an arpeggio with parameter 0 does nothing.
        const std::uint8_t effect = cellEffect(head);
        if (effect != kArpeggio || param != 0) applyEffect(c, effect, tone, param);
    }

    tick = u8(tick + 1);
    if (tick != durationLine) return;
    tick = 0;
    Line = nextLine;
    if (Line >= kLinesPerPattern) {
        Line = u8(Line - kLinesPerPattern);
        Pattern = u8(Pattern + 1);
    }
    traceLine("next: order ", Pattern, " line ", Line);
}

void applyEffect(std::uint8_t c, std::uint8_t effect, std::uint8_t tone, std::uint8_t param) {
    switch (effect) {
    case kArpeggio: // the cell's tone, then tone + x, then tone + y, by tick
        if (param == 0) break;
        switch (tick % 3) {
        case 0: setSampleTone(c, tone); break;
        case 1: setSampleTone(c, u8(tone + paramHigh(param))); break;
        default: setSampleTone(c, u8(tone + paramLow(param))); break;
        }
        break;
    case kSlideUp: // a larger step is a higher pitch; carries into later lines
        ASIncr[c] = static_cast<std::uint16_t>(ASIncr[c] + param);
        break;
    case kSlideDown: ASIncr[c] = static_cast<std::uint16_t>(ASIncr[c] - param); break;
    case kVibrato: // fixed depth and rate; a non-zero parameter restarts its shape on tick 0
        if (tick == 0 && param != 0) vibratoIdx[c] = 0;
        ASIncr[c] = static_cast<std::uint16_t>(ASIncr[c] + VibratoTable[vibratoIdx[c]]);
        vibratoIdx[c] = u8(vibratoIdx[c] + 1);
        if (vibratoIdx[c] >= std::size(VibratoTable)) vibratoIdx[c] = 0;
        break;
    case kVolumeSlide: { // up x, down y, kept to 0-15; a result above 100 is an underflow to 0
        std::uint8_t v = u8(ASVolume[c] + paramHigh(param) - paramLow(param));
        if (v > kVolumeUnderflow) v = 0;
        if (v > kVolumeSlideTop) v = kVolumeSlideTop;
        ASVolume[c] = v;
        setStreamRunning(c, v != 0 ? 1 : 0);
        break;
    }
    case kPositionJump: // takes effect at once, the rest of the line reads the new pattern
        Pattern = param;
        break;
    case kSetVolume: // stored unclamped; zero stops the stream, anything else starts it
        ASVolume[c] = param;
        setStreamRunning(c, param != 0 ? 1 : 0);
        break;
    case kPatternBreak: // a plain line number, counted from line 0 of the next order position
        nextLine = u8(param + kLinesPerPattern);
        traceLine("pattern break to ", nextLine);
        break;
    case kExtended: {
        const std::uint8_t y = paramLow(param);
        switch (paramHigh(param)) {
        case kNoteCut: // on tick y - 1; y = 0 never cuts
            if (tick == y - 1) setStreamRunning(c, 0);
            break;
        case kNoteDelay: // silent and held until tick y, then sounds on
            setStreamRunning(c, tick < y ? 0 : 1);
            break;
        case kSongDelay: // the line plays y more times, counted on its last tick
            if (tick == durationLine - 1) {
                traceLine("song delay");
                const std::uint8_t passes = lineDelayCnt;
                lineDelayCnt = u8(passes + 1);
                if (passes >= y)
                    lineDelayCnt = 0;
                else
                    nextLine = Line;
            }
            break;
        default: break; // other extended commands do nothing
        }
        break;
    }
    case kSpeed: // kSpeedLineTicks and above set ticks per line, below set calls per tick
        if (param >= kSpeedLineTicks)
            durationLine = u8(param - kSpeedLineTicks);
        else
            durationTick = param;
        break;
    default: break; // 3 and 5-9 do nothing
    }
}

SequencerState snapshotSequencer() {
    SequencerState s;
    s.patternOrderTable = PatternOrderTable;
    s.pattern = Pattern, s.line = Line, s.durationLine = durationLine, s.durationTick = durationTick;
    s.tick = tick, s.subTick = subTick, s.nextLine = nextLine;
    std::copy(std::begin(vibratoIdx), std::end(vibratoIdx), s.vibratoIdx);
    s.lineDelayCnt = lineDelayCnt;
    return s;
}

void restoreSequencer(const SequencerState& s) {
    PatternOrderTable = s.patternOrderTable;
    Pattern = s.pattern, Line = s.line, durationLine = s.durationLine, durationTick = s.durationTick;
    tick = s.tick, subTick = s.subTick, nextLine = s.nextLine;
    std::copy(std::begin(s.vibratoIdx), std::end(s.vibratoIdx), vibratoIdx);
    lineDelayCnt = s.lineDelayCnt;
}

SongPlace songPlace() {
    return {Pattern, Line, durationLine, durationTick, lineDelayCnt};
}

void seekSong(const SongPlace& place) {
    Pattern = place.order;
    Line = place.line;
    durationLine = place.durationLine;
    durationTick = place.durationTick;
    lineDelayCnt = place.lineDelayCnt;
    // Tick 0 of the line comes on the next call: the sub-tick gate lets it through at once.
    tick = 0;
    subTick = durationTick;
}
