// nibtool info: the sample and song tables, each song's order list and patterns, and warnings for what
// will sound wrong or read past the image.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cells.h"
#include "cli.h"
#include "commands.h"
#include "engine/sequencer.h"
#include "host/load.h"
#include "import/report.h"
#include "notes.h"
#include "policy/policy.h"
#include "song_file.h"
#include "walk/song_walk.h"

namespace {

std::string hex4(Position v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(v));
    return text;
}

// A tone as the reports and the bank's header give it, with the note a tracker shows: "tone 20 (G+2)".
std::string toneText(std::uint8_t tone) {
    return "tone " + std::to_string(tone) + " (" + noteName(tone) + ")";
}

CellView cellAt(Position song, std::uint8_t pattern, std::uint8_t line, std::uint8_t channel) {
    std::uint8_t bytes[kCellBytes];
    imageBytes(song + songOffset(pattern, line, channel), bytes, kCellBytes);
    return cellFromBytes(bytes);
}

// A pattern's lines, in tracker form. With `played` (the lines the song plays in it), the runs of other
// lines are named, not shown: a song's lines need not fill its patterns (a break can enter one anywhere),
// and what lies between them can be another song's or a sample's bytes.
void printPattern(Position song, std::uint8_t pattern, const std::vector<int>& orders,
                  const std::set<int>* played = nullptr) {
    std::printf("\nPattern %d", pattern);
    if (!orders.empty()) {
        std::printf(" (order position%s", orders.size() > 1 ? "s" : "");
        for (std::size_t i = 0; i < orders.size(); ++i)
            std::printf("%s%d", i ? ", " : " ", orders[i]);
        std::printf(")");
    }
    const Position start = song + songOffset(pattern);
    std::printf(" at %s\nline  channel 0    channel 1    channel 2    channel 3\n", hex4(start).c_str());
    for (int line = 0; line < kLinesPerPattern;) {
        if (played && played->count(line) == 0) {
            int end = line;
            while (end + 1 < kLinesPerPattern && played->count(end + 1) == 0)
                ++end;
            if (end == line)
                std::printf(" %02d   (not played here)\n", line);
            else
                std::printf(" %02d-%02d (not played here)\n", line, end);
            line = end + 1;
            continue;
        }
        std::printf(" %02d ", line);
        for (std::uint8_t ch = 0; ch < kChannels; ++ch)
            std::printf("  %s", cellText(cellAt(song, pattern, static_cast<std::uint8_t>(line), ch)).c_str());
        std::printf("\n");
        ++line;
    }
}

// What one pass through a song reads: the rows of each tick, and where it first repeats.
struct Walk : WalkVisitor {
    std::vector<std::pair<int, int>> orderVisits; // (order position, pattern), in order of first visit
    std::set<std::pair<int, int>> rows;           // (order position, line) of every row read
    std::size_t calls = 0;                        // sequencer calls until the song repeats
    bool repeats = false, ends = false;
    LineState repeatAt{};
    bool visited[kOrderPositions] = {};

    bool call(const WalkCall& c, const SongLines& lines) {
        calls = c.number;
        if (c.lineStarted && lines.repeated()) { // the second pass starts: its rows are known
            repeatAt = lines.secondPassStart();
            return false;
        }
        if (!c.tick) return true;
        rows.insert({c.order, c.line});
        if (!visited[c.order]) {
            visited[c.order] = true;
            orderVisits.push_back({c.order, imageByte(PatternOrderTable + c.order)});
        }
        return true;
    }
};

Walk walkSong(std::uint8_t number, int rate) {
    Walk walk;
    const SongLength length = walkSong(songStart(number), {longestSongCalls(rate)}, walk);
    if (length.repeats) {
        walk.repeats = true;
        walk.ends = length.ends;
        walk.calls = length.onceThroughCalls - 1; // the calls before the one that starts the second pass
    }
    return walk;
}

class Warnings {
  public:
    void add(const std::string& text) {
        if (seen_.insert(text).second) list_.push_back(text);
    }
    void print(const std::string& about) const {
        if (list_.empty()) {
            std::printf("\nNo warnings%s.\n", about.c_str());
            return;
        }
        std::printf("\nWarnings%s\n", about.c_str());
        for (const std::string& w : list_)
            std::printf("  %s\n", w.c_str());
    }

  private:
    std::set<std::string> seen_;
    std::vector<std::string> list_;
};

// Whether an address lies in what the file supplied.
bool inFile(Position address, std::size_t fileSize) {
    return address >= kRomBase && address < kRomBase + std::min<Position>(fileSize, kRomSize);
}

// `highestTone`: the highest tone each sample plays at in the songs shown.
void checkSamples(std::size_t fileSize, const std::map<int, int>& highestTone, Warnings& warnings) {
    for (std::size_t i = 1; i < kSampleEntries; ++i) {
        const SampleRecord& r = SampleInfo[i];
        if (r.start == 0 && r.end == 0 && r.loopStart == 0) continue; // an empty entry
        const auto played = highestTone.find(static_cast<int>(i));
        const std::string name = "sample " + std::to_string(i);
        const std::string unplayed = played == highestTone.end() ? " (no song shown plays it)" : "";
        if (!inFile(r.start, fileSize) || (r.end > r.start && !inFile(r.end - 1, fileSize)))
            warnings.add(name + " (" + hex4(r.start) + "-" + hex4(r.end) +
                         ") lies outside the file's data: it plays bytes the file did not supply, as 0" +
                         unplayed);
        if (r.end < r.start)
            warnings.add(name + " ends before it starts: it plays one byte, then loops or stops" + unplayed);
        if (r.loopStart >= kLowestLoopStart) {
            const Position loopLength = r.end > r.loopStart ? r.end - r.loopStart : 0;
            const auto tone =
                static_cast<std::uint8_t>(played == highestTone.end() ? kHighestTone : played->second);
            if (loopLength == 0)
                warnings.add(name + " loops from " + hex4(r.loopStart) + ", at or past its end " +
                             hex4(r.end) + ": its position creeps past the image" + unplayed);
            else if (toneStep(tone) > 256 * loopLength)
                warnings.add(name + "'s loop of " + std::to_string(loopLength) +
                             " bytes is shorter than one step at " + toneText(tone) +
                             ": its position creeps past the image" + unplayed);
        }
    }
}

void checkRows(const Walk& walk, Position song, std::size_t fileSize, Warnings& warnings,
               std::map<int, int>& highestTone) {
    // Order positions past 63 read their pattern numbers from the bytes after the order list, pattern 0's
    // first lines: a song may keep those lines for them and never play them; if it plays one of them, its
    // cells are read as both.
    std::set<Position> rowsRead;
    for (const auto& [order, line] : walk.rows)
        rowsRead.insert(song + songOffset(imageByte(song + static_cast<Position>(order)), std::size_t(line)));
    const auto inARow = [&](Position address) {
        const auto after = rowsRead.upper_bound(address);
        return after != rowsRead.begin() && address < *std::prev(after) + kLineBytes;
    };
    for (const auto& [order, line] : walk.rows) {
        if (order >= int{kOrderListBytes} && inARow(song + static_cast<Position>(order)))
            warnings.add("order position " + std::to_string(order) +
                         " is past the order list: its pattern number is read from a line the song plays");
        const std::uint8_t pattern = imageByte(song + static_cast<Position>(order));
        const Position row = song + songOffset(pattern, static_cast<std::size_t>(line));
        const std::string where = "order " + std::to_string(order) + " line " + std::to_string(line);
        if (row + kLineBytes > kImageSize)
            warnings.add(where + " (pattern " + std::to_string(pattern) +
                         ") lies past the image: it reads as empty");
        else if (!inFile(row, fileSize) || !inFile(row + kLineBytes - 1, fileSize))
            warnings.add(where + " (pattern " + std::to_string(pattern) + ") lies outside the file's data");
        if (line >= kLinesPerPattern) warnings.add(where + ": the line is past the end of its pattern");
        for (std::uint8_t ch = 0; ch < kChannels; ++ch) {
            const CellView c = cellAt(song, pattern, static_cast<std::uint8_t>(line), ch);
            const std::string at = where + " channel " + std::to_string(ch);
            if (c.sample != 0) {
                int& high = highestTone[c.sample];
                high = std::max(high, std::min<int>(c.tone, kHighestTone));
            }
            if (c.sample == kSampleEntries)
                warnings.add(at + ": sample 15 has no table entry (it plays one byte of address 0)");
            if (c.tone > kHighestTone && (c.sample != 0 || (c.effect == kArpeggio && c.param != 0)))
                warnings.add(at + ": tone " + std::to_string(c.tone) + " is above 60 and plays as tone 60");
            if (c.effect == kArpeggio && c.param != 0 &&
                (c.tone + paramHigh(c.param) > kHighestTone || c.tone + paramLow(c.param) > kHighestTone))
                warnings.add(at + ": the arpeggio reaches above tone 60 and plays those notes as tone 60");
            if (c.effect == kPatternBreak && c.param >= kLinesPerPattern && c.param < kBreakHere)
                warnings.add(at + ": pattern break " + std::to_string(c.param) +
                             " goes to a line past the end of the next pattern");
        }
    }
}

// Where a game starts effect `i` in each song (a version-2 signature): "; stream 3" when it is the same in
// every song, else "; stream 2 in song 0, stream 3 in song 1".
std::string effectStreams(const RomSignature& sig, std::size_t i) {
    std::vector<int> streams;
    for (const SignatureSong& s : sig.songs)
        streams.push_back(i < s.streams.size() ? s.streams[i].stream : -1);
    if (streams.empty() || std::count(streams.begin(), streams.end(), -1) > 0) return "";
    if (std::count(streams.begin(), streams.end(), streams[0]) == static_cast<long>(streams.size()))
        return ", stream " + std::to_string(streams[0]);
    std::string text;
    for (std::size_t n = 0; n < streams.size(); ++n)
        text += ", stream " + std::to_string(streams[n]) + " in song " + std::to_string(n);
    return text;
}

// The head of the listing: the file, what it holds, what it was made for.
void printHead(const SongFile& song) {
    const InputFile& file = song.file;
    if (file.kind == FileKind::Module) {
        std::printf("%s: a module (%s, %zu bytes), imported in memory at %d Hz: a ROM of %zu bytes\n",
                    file.path.c_str(), file.format.c_str(), file.bytes.size(), song.rate, song.rom.size());
        std::printf("Title: \"%s\"\n", song.title.c_str());
        return;
    }
    std::printf("%s: %zu bytes", file.path.c_str(), file.bytes.size());
    if (file.bytes.size() > kRomSize) std::printf(" (only the first %zu are loaded)", std::size_t{kRomSize});
    std::printf("\n");
    if (!song.signedRom) {
        std::printf("No signature: the ROM does not say what it was made for; it plays at %d Hz\n",
                    song.rate);
        return;
    }
    const RomSignature& sig = song.signature;
    std::printf("Made for %u Hz%s\n", sig.rate,
                static_cast<int>(sig.rate) == song.rate
                    ? ""
                    : (", shown at " + std::to_string(song.rate) + " Hz").c_str());
    for (std::size_t n = 0; n < sig.titles.size(); ++n)
        std::printf("Song %zu: \"%s\"%s\n", n, sig.titles[n].c_str(),
                    n < sig.songs.size() && sig.songs[n].ends ? " (ends on silence after one pass)" : "");
    for (std::size_t i = 0; i < sig.effects.size(); ++i) {
        const SignatureEffect& e = sig.effects[i];
        std::printf("Effect \"%s\": sample entry %d, %s%s\n", e.name.c_str(), e.entry,
                    toneText(e.tone).c_str(), effectStreams(sig, i).c_str());
    }
}

// A module's import: what it had to give up, and how close it came.
void printImport(const SongFile& song) {
    const ImportResult& result = song.import;
    std::printf("\nImport (as nibtool import writes it at %d Hz)\n", song.rate);
    std::vector<std::string> lines = result.report;
    if (lines.empty()) lines.push_back("nothing given up");
    if (result.measured) {
        for (const std::string& line : fidelityLines(result.fidelity))
            lines.push_back(line);
    } else {
        lines.push_back("fidelity: not measured (libxmp could not render the module)");
    }
    for (const std::string& line : adviceLines(result.losses, song.rate))
        lines.push_back(line);
    for (const std::string& line : lines)
        for (const std::string& part : wrapLine(line, 78))
            std::printf("  %s\n", part.c_str());
}

// The sample table; an entry that holds an effect the signature names says so.
void printSamples(const SongFile& song) {
    const std::vector<SignatureEffect> none;
    const std::vector<SignatureEffect>& effects = song.signedRom ? song.signature.effects : none;
    const bool effectAtZero =
        std::any_of(effects.begin(), effects.end(), [](const SignatureEffect& e) { return e.entry == 0; });
    std::printf("\nSamples (a cell names 1-15; %s, 15 has no entry)\n",
                effectAtZero ? "entry 0 holds an effect, which a game starts with playSample"
                             : "entry 0 is never played by a song");
    std::printf("  #  start   end     bytes  nibble  loop\n");
    for (std::size_t i = 0; i < kSampleEntries; ++i) {
        const SampleRecord& r = SampleInfo[i];
        const long long bytes = static_cast<long long>(r.end) - static_cast<long long>(r.start);
        std::string loop = r.loopStart >= kLowestLoopStart ? "from " + hex4(r.loopStart) : "none";
        for (const SignatureEffect& e : effects)
            if (e.entry == i)
                loop += std::string(11 - std::min<std::size_t>(loop.size(), 11), ' ') + "  effect \"" +
                        e.name + "\"";
        std::printf(" %2zu  %s  %s  %5lld  %-6s  %s\n", i, hex4(r.start).c_str(), hex4(r.end).c_str(), bytes,
                    r.nibble != 0 ? "high" : "low", loop.c_str());
    }
}

// The songs to show: the one asked for, else each song whose table entry names an address no earlier
// song has (an importer leaves the entries of songs it did not make empty).
std::vector<std::uint8_t> songsToShow(const SongFile& song, bool onlyOne) {
    if (onlyOne) return {static_cast<std::uint8_t>(song.number)};
    std::vector<std::uint8_t> shown;
    for (std::uint8_t n = 0; n < kSongs; ++n) {
        bool repeated = false;
        for (const std::uint8_t earlier : shown)
            repeated |= SongInfo[earlier] == SongInfo[n];
        if (n == 0 || (SongInfo[n] != 0 && !repeated)) shown.push_back(n);
    }
    return shown;
}

void printSongTable(const std::vector<std::uint8_t>& shown) {
    std::printf("\nSongs (nibplay plays song 0; a game starts any with playSong)\n");
    for (std::uint8_t n = 0; n < kSongs; ++n) {
        std::string note = std::find(shown.begin(), shown.end(), n) != shown.end() ? "  (shown)" : "";
        if (note.empty() && SongInfo[n] == 0) note = "  (empty)";
        for (std::uint8_t earlier = 0; earlier < n && note.empty(); ++earlier)
            if (SongInfo[earlier] == SongInfo[n])
                note = "  (the same as song " + std::to_string(earlier) + ")";
        std::printf("  %d  %s%s\n", n, hex4(SongInfo[n]).c_str(), note.c_str());
    }
}

// One song: its order list, how it plays once through, the patterns it plays and its warnings.
void showOneSong(std::uint8_t number, int rate, std::size_t fileSize, std::map<int, int>& highestTone) {
    const Position start = SongInfo[number];
    std::printf("\nSong %d order list (positions 0-63)\n", number);
    constexpr std::size_t kPerRow = 16;
    for (std::size_t row = 0; row < kOrderListBytes / kPerRow; ++row) {
        std::printf("  %02zu:", row * kPerRow);
        for (std::size_t i = 0; i < kPerRow; ++i)
            std::printf(" %02X", imageByte(start + row * kPerRow + i));
        std::printf("\n");
    }

    const Walk walk = walkSong(number, rate);
    std::printf("\nSong %d once through: %zu sequencer calls, %.1f s at %d Hz; order positions played:",
                number, walk.calls, static_cast<double>(walk.calls * kStepsPerCall) / rate, rate);
    for (const auto& [order, pattern] : walk.orderVisits)
        std::printf(" %d", order);
    if (walk.repeats)
        std::printf(
            walk.ends ? "\nthen it ends: order %d line %d stops every stream, and a silent line repeats for "
                        "ever.\n"
                      : "\nthen it repeats from order %d line %d.\n",
            walk.repeatAt.order, walk.repeatAt.line);
    else
        std::printf("\nand it has not repeated after %d minutes.\n", kLongestSongMinutes);

    std::map<int, std::vector<int>> patternOrders;
    std::map<int, std::set<int>> patternLines; // the lines each pattern plays, at any of its positions
    for (const auto& [order, pattern] : walk.orderVisits)
        patternOrders[pattern].push_back(order);
    for (const auto& [order, line] : walk.rows)
        patternLines[imageByte(start + static_cast<Position>(order))].insert(line);
    for (const auto& [pattern, orders] : patternOrders)
        printPattern(start, static_cast<std::uint8_t>(pattern), orders, &patternLines[pattern]);

    Warnings warnings;
    if (!inFile(start, fileSize))
        warnings.add("song " + std::to_string(number) + " starts at " + hex4(start) +
                     ", outside the file's data");
    checkRows(walk, start, fileSize, warnings, highestTone);
    warnings.print(" for song " + std::to_string(number));
}

// One pattern of a song, with warnings when the song never plays it or it lies past the file's data.
void showPattern(const SongFile& song, std::uint8_t pattern) {
    const Position start = SongInfo[song.number];
    std::vector<int> orders;
    std::set<int> played;
    for (const auto& [order, p] : walkSong(static_cast<std::uint8_t>(song.number), song.rate).orderVisits) {
        played.insert(p);
        if (p == pattern) orders.push_back(order);
    }
    printPattern(start, pattern, orders);
    Warnings warnings;
    const std::string name = "pattern " + std::to_string(pattern);
    if (orders.empty()) {
        std::string list;
        for (const int p : played)
            list += (list.empty() ? "" : ", ") + std::to_string(p);
        warnings.add("song " + std::to_string(song.number) + " never plays " + name + " (it plays pattern" +
                     (played.size() == 1 ? " " : "s ") + list + ")");
    }
    const Position first = start + songOffset(pattern), last = first + kPatternBytes - 1;
    if (last >= kImageSize)
        warnings.add(name + " (" + hex4(first) + "-" + hex4(last) + ") lies past the image" +
                     (first >= kImageSize ? ": it reads as empty" : ": its lines past 0xFFFF read as empty"));
    else if (!inFile(first, song.rom.size()) || !inFile(last, song.rom.size()))
        warnings.add(name + " (" + hex4(first) + "-" + hex4(last) + ") lies outside the file's data");
    warnings.print(" for " + name);
}

void showSong(const SongFile& song, int onlyPattern, bool onlyOne) {
    loadIntoEngine(song.rom);
    if (onlyPattern >= 0) {
        showPattern(song, static_cast<std::uint8_t>(onlyPattern));
        return;
    }
    printHead(song);
    printSamples(song);
    const std::vector<std::uint8_t> shown = songsToShow(song, onlyOne);
    printSongTable(shown);
    const std::size_t fileSize = song.rom.size();
    std::map<int, int> highestTone;
    for (const std::uint8_t number : shown)
        showOneSong(number, song.rate, fileSize, highestTone);
    Warnings warnings;
    checkSamples(fileSize, highestTone, warnings);
    warnings.print(" for the samples");
    if (song.file.kind == FileKind::Module) printImport(song);
}

} // namespace

int runInfo(const std::vector<std::string>& args) {
    CommandLine line("info");
    std::optional<int> rate;
    int onlyPattern = -1;
    bool quiet = false, forceRom = false;
    std::vector<std::string> files;
    int number = -1;
    line.number("--pattern", onlyPattern, 0, 255, "a pattern number");
    line.song(number);
    line.rate(rate);
    line.quiet(quiet);
    line.forceRom(forceRom);
    line.files(files);
    if (const int status = line.parse(args); status >= 0) return status;
    if (files.empty()) return line.mistake("needs a ROM or module file");
    int status = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        SongRequest request;
        request.rate = rate;
        request.forceRom = forceRom;
        request.measure = onlyPattern < 0;
        request.song = std::max(number, 0);
        SongFile song;
        std::string error;
        if (!openSong(files[i], request, song, error)) {
            status = fail(error);
            continue;
        }
        printNotes(song, quiet, true);
        if (i > 0) std::printf("\n");
        showSong(song, onlyPattern, number >= 0);
    }
    return status;
}
