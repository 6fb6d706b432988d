#include "import_check.h"

#include <algorithm>
#include <cstdio>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "engine/trace.h"
#include "host/load.h"
#include "import/bank.h"
#include "import/import.h"

namespace {

std::string hex(Position v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(v));
    return text;
}

bool inFile(Position address) {
    return address >= kRomBase && address < kImageSize;
}

// The tables as the engine resolved them.
std::string checkTables(std::uint8_t song) {
    if (!inFile(SongInfo[song]))
        return "song " + std::to_string(song) + " starts at " + hex(SongInfo[song]) + ", outside the file";
    for (std::size_t i = 1; i < kSampleEntries; ++i) {
        const SampleRecord& r = SampleInfo[i];
        if (r.start == 0 && r.end == 0 && r.loopStart == 0) continue; // an unused entry
        const std::string name = "sample entry " + std::to_string(i) + " (" + hex(r.start) + "-" + hex(r.end);
        if (!inFile(r.start) || r.end < r.start || r.end > kImageSize)
            return name + ") lies outside the file";
        if (r.loopStart >= kLowestLoopStart && (r.loopStart < r.start || r.loopStart >= r.end))
            return name + ") loops from " + hex(r.loopStart) + ", outside the sample";
    }
    return "";
}

// What the song has played so far. Order positions past 63 read their pattern numbers from the bytes
// after the order list, where pattern 0's first lines lie: a song may keep those lines for them, as long
// as it never plays a row holding an order byte it reads.
struct SongReads {
    int highestOrder = -1;           // the highest order position played
    Position lowestRow = kImageSize; // the lowest row read
};

// Where the sequencer's next call reads, if it plays a tick.
std::string checkNextRow(SongReads& song) {
    if (PatternOrderTable == kNoSong || subTick < durationTick) return "";
    const std::string where = "order " + std::to_string(Pattern) + " line " + std::to_string(Line);
    if (Line > 63) return where + ": the line is past the end of its pattern";
    if (!inFile(PatternOrderTable + Pattern)) return where + ": the order byte lies outside the file";
    const Position row = rowPosition(Pattern, Line);
    if (!inFile(row) || !inFile(row + 11))
        return where + ": the row at " + hex(row) + " lies outside the file";
    song.highestOrder = std::max(song.highestOrder, int{Pattern});
    song.lowestRow = std::min(song.lowestRow, row);
    if (song.highestOrder >= int{kOrderListBytes} &&
        song.lowestRow <= PatternOrderTable + Position(song.highestOrder))
        return where + ": order position " + std::to_string(song.highestOrder) +
               " is past the order list, and its order byte lies in a row the song plays (at " +
               hex(song.lowestRow) + ")";
    return "";
}

std::string checkStreams() {
    for (std::uint8_t s = 0; s < kStreams; ++s)
        if (getStreamRunning(s) != 0 && !inFile(AS[s]))
            return "stream " + std::to_string(s) + " reads " + hex(AS[s]) + ", outside the file";
    return "";
}

} // namespace

std::string checkRomReads(const std::vector<std::uint8_t>& rom, std::size_t calls, std::uint8_t song) {
    const TraceSink saved = Trace;
    flushTrace();
    Trace = TraceSink{[](void*, const char*, std::size_t) {}, nullptr};
    resetEngine();
    resolveTables(placeRom(rom.data(), rom.size()));
    std::string failure = checkTables(song);
    songTick(); // as the playback loop starts: one call with no song, then the song
    playSong(song);
    std::uint8_t out = 0;
    SongReads reads;
    for (std::size_t call = 0; call < calls && failure.empty(); ++call) {
        for (std::size_t step = 0; step < kStepsPerCall && failure.empty(); ++step) {
            failure = checkStreams();
            timer0_isr(&out, 1);
        }
        if (failure.empty()) failure = checkNextRow(reads);
        if (!failure.empty()) failure = "after " + std::to_string(call) + " calls, " + failure;
        songTick();
    }
    flushTrace();
    Trace = saved;
    return failure;
}

std::string checkImport(const std::uint8_t* data, std::size_t size, std::size_t calls) {
    const std::vector<std::uint8_t> file(data, data + size);
    ImportResult result;
    std::string error;
    if (!importModule(file, ImportOptions{}, result, error)) {
        if (error.empty()) return "refused with no reason";
        if (error.find('\n') != std::string::npos) return "refused with more than one line: " + error;
        return "";
    }
    if (result.rom.size() != kRomSize)
        return "the ROM is " + std::to_string(result.rom.size()) + " bytes, not " + std::to_string(kRomSize);
    for (const std::string& line : result.report)
        if (line.empty() || line.find('\n') != std::string::npos)
            return "a report line is empty or more than one line: '" + line + "'";
    return checkRomReads(result.rom, calls);
}

std::string checkBank(const std::uint8_t* data, std::size_t size, std::size_t calls) {
    if (size < 2) return "";
    const std::size_t split = std::min<std::size_t>(size - 2, std::size_t{data[0]} << 8 | data[1]);
    const std::vector<BankSongInput> songs{{"first", {data + 2, data + 2 + split}},
                                           {"second", {data + 2 + split, data + size}}};
    BankOptions options;
    options.measure = false;
    BankResult bank;
    std::string error;
    if (!buildBank(songs, {}, options, bank, error)) {
        if (error.empty()) return "refused with no reason";
        if (error.find('\n') != std::string::npos) return "refused with more than one line: " + error;
        return "";
    }
    if (bank.rom.size() != kRomSize)
        return "the ROM is " + std::to_string(bank.rom.size()) + " bytes, not " + std::to_string(kRomSize);
    for (const BankSong& song : bank.songs)
        for (const std::string& line : song.report)
            if (line.empty() || line.find('\n') != std::string::npos)
                return "a report line is empty or more than one line: '" + line + "'";
    for (std::uint8_t n = 0; n < bank.songs.size(); ++n)
        if (std::string failure = checkRomReads(bank.rom, calls, n); !failure.empty())
            return "song " + std::to_string(n) + ": " + failure;
    return "";
}
