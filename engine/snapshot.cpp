#include "snapshot.h"

#include "sequencer.h"

EngineSnapshot saveEngine() {
    EngineSnapshot s{};
    for (std::uint8_t i = 0; i < kStreams; ++i) {
        s.as[i] = AS[i];
        s.asEnd[i] = ASEnd[i];
        s.asReload[i] = ASReload[i];
        s.asIncr[i] = ASIncr[i];
        s.asIncrFracCnt[i] = ASIncrFracCnt[i];
        s.asVolume[i] = ASVolume[i];
        s.running[i] = getStreamRunning(i);
        s.nibble[i] = getNibbleSelect(i);
        s.vibratoIdx[i] = vibratoIdx[i];
    }
    s.mix = pendingMix();
    s.patternOrderTable = PatternOrderTable;
    s.pattern = Pattern;
    s.line = Line;
    s.durationLine = durationLine;
    s.durationTick = durationTick;
    s.tick = tick;
    s.subTick = subTick;
    s.nextLine = nextLine;
    s.lineDelayCnt = lineDelayCnt;
    return s;
}

void restoreEngine(const EngineSnapshot& s) {
    for (std::uint8_t i = 0; i < kStreams; ++i) {
        AS[i] = s.as[i];
        ASEnd[i] = s.asEnd[i];
        ASReload[i] = s.asReload[i];
        ASIncr[i] = s.asIncr[i];
        ASIncrFracCnt[i] = s.asIncrFracCnt[i];
        ASVolume[i] = s.asVolume[i];
        setStreamRunning(i, s.running[i]);
        setNibbleSelect(i, s.nibble[i]);
        vibratoIdx[i] = s.vibratoIdx[i];
    }
    setPendingMix(s.mix);
    PatternOrderTable = s.patternOrderTable;
    Pattern = s.pattern;
    Line = s.line;
    durationLine = s.durationLine;
    durationTick = s.durationTick;
    tick = s.tick;
    subTick = s.subTick;
    nextLine = s.nextLine;
    lineDelayCnt = s.lineDelayCnt;
}

void seekSong(std::uint8_t order, std::uint8_t line, std::uint8_t lineTicks, std::uint8_t tickCalls) {
    Pattern = order;
    Line = line;
    durationLine = lineTicks;
    durationTick = tickCalls;
    tick = 0;
    subTick = tickCalls;
    lineDelayCnt = 0;
}
