#include "jingle.h"

void endOnSilence(CompiledSong& song) {
    if (song.segments.empty() || song.segments.back().lines.empty()) return;
    Segment& last = song.segments.back();
    // The song's last line jumps back to where the song repeats: it now ends its line as any other.
    for (Cell& c : last.lines.back().cells)
        if (c.effect == kPositionJump || c.effect == kPatternBreak) c.effect = 0, c.param = 0;
    SongLine stop, silent;
    for (Cell& c : stop.cells)
        c.effect = kSetVolume; // volume 0: the stream stops
    // The silent line is where the song goes on from: it jumps back to itself (the layout sets where).
    silent.cells[0].effect = kPositionJump;
    silent.cells[1].effect = kPatternBreak;
    silent.cells[1].param = kBreakHere;
    last.lines.push_back(stop);
    last.lines.push_back(silent);
    last.origins.resize(last.lines.size());
    song.loopSegment = song.segments.size() - 1;
    song.loopLine = last.lines.size() - 1;
}
