#include "jingle.h"

void endOnSilence(CompiledSong& song) {
    if (song.positions.empty() || song.positions.back().empty()) return;
    // The song's last line jumps back to where the song repeats: it now ends its line as any other.
    for (Cell& c : song.positions.back().back().cells)
        if (c.effect == kPositionJump || c.effect == kPatternBreak) c.effect = 0, c.param = 0;
    if (song.positions.back().size() + 2 > kLinesPerPattern) { // no room below it: a pattern of its own
        // The last line then ends on line 63, and the song goes on at line 0 of the next order position.
        song.positions.emplace_back();
        song.origins.emplace_back();
    }
    std::vector<SongLine>& lines = song.positions.back();
    SongLine stop, silent;
    for (Cell& c : stop.cells)
        c.effect = kSetVolume; // volume 0: the stream stops
    silent.cells[0].effect = kPatternBreak;
    silent.cells[0].param = static_cast<std::uint8_t>(kBreakHere + lines.size() + 1); // its own line
    lines.push_back(stop);
    lines.push_back(silent);
    const LineOrigin none;
    song.origins.back().resize(lines.size() - 2, none);
    song.origins.back().push_back(none);
    song.origins.back().push_back(none);
}
