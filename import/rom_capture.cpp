#include "rom_capture.h"

#include <vector>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "host/load.h"
#include "measure/renders.h"
#include "rom/signature.h"
#include "walk/song_walk.h"

namespace {

// A sample entry's nibbles as the mixer reads them, 0-15 around 7.5, in -1..1. An entry that ends
// before it starts, or reaches past the image, holds nothing: the bank has no sound to keep from it.
SampleData entrySample(std::size_t entry) {
    const SampleRecord& r = SampleInfo[entry];
    SampleData s;
    if (r.start < kRomBase || r.end <= r.start || r.end > kImageSize) return s;
    s.frames.reserve(r.end - r.start);
    for (Position p = r.start; p < r.end; ++p) {
        // The nibble as the mixer plays it (-8 to 7), on the scale a module's samples are stored at (a peak
        // of 1 is 7.5 levels), so that the bank stores it back as the same nibble.
        const int value = nibbleValue(imageByte(p), r.nibble != 0);
        s.frames.push_back(static_cast<float>(value / 7.5));
    }
    s.loops = r.loopStart >= kLowestLoopStart && r.loopStart >= r.start && r.loopStart < r.end;
    if (s.loops) s.loopStart = r.loopStart - r.start, s.loopEnd = s.frames.size();
    return s;
}

// What the streams do, followed call by call: the entry each last started, and whether the mixer ran it
// to its end (a stream the song stops and resumes keeps its place; one that ran out has none).
struct Streams {
    int entry[kStreams] = {-1, -1, -1, -1};
    bool ended[kStreams] = {};

    // The tick the sequencer call just played, with the line it read (`cells`) and the tick within it.
    TickInfo tick(const std::uint8_t* cells, std::uint8_t lineTick, int rate) {
        TickInfo t;
        t.channels.resize(kStreams);
        for (std::uint8_t c = 0; c < kStreams; ++c) {
            ChannelTick& ch = t.channels[c];
            const std::uint8_t number = cellSample(cells[kCellBytes * c + kCellHead]);
            if (lineTick == 0 && number != 0) { // the cell started its sample on this tick
                entry[c] = number < kSampleEntries ? number - 1 : -1;
                ended[c] = false;
                ch.start = entry[c] >= 0;
            }
            ch.sample = entry[c];
            ch.ended = ended[c];
            const bool sounds = entry[c] >= 0 && !ended[c] && getStreamRunning(c) != 0;
            ch.volume = sounds ? 1.0 : 0.0;
            ch.frequency = sounds ? ASIncr[c] / 256.0 * rate : 0.0;
        }
        return t;
    }
};

// The song's first pass written down tick by tick, with its sound for the measure.
struct RomTicks : WalkVisitor {
    Performance& out;
    int rate;
    std::size_t renderCalls; // the calls whose sound the measure takes
    std::size_t calls = 0;   // calls whose steps have run
    Streams streams;
    bool running[kStreams] = {};        // as the last call left the streams
    std::vector<std::size_t> lineTicks; // the tick each line starts with
    double passEnd = -1; // where the first pass ends, when the second began before the repeat was seen
    std::uint64_t repeatCall = 0;

    RomTicks(Performance& p, int r) : out(p), rate(r) {
        renderCalls = static_cast<std::size_t>(measuredSeconds(rate) * rate / kStepsPerCall);
    }
    void steps(const std::uint8_t* bytes) {
        if (calls++ < renderCalls)
            for (std::size_t i = 0; i < kStepsPerCall; ++i)
                out.render.push_back(static_cast<float>((bytes[i] - 128) / 128.0));
        for (std::uint8_t c = 0; c < kStreams; ++c) // a stream the mixer stopped ran to its end
            if (running[c] && getStreamRunning(c) == 0) streams.ended[c] = true;
    }
    bool call(const WalkCall& c, const SongLines& lines) {
        for (std::uint8_t s = 0; s < kStreams; ++s)
            running[s] = getStreamRunning(s) != 0;
        if (c.lineStarted) {
            lineTicks.push_back(out.ticks.size());
            if (lines.repeated()) { // it plays on from a line it has played in this state
                repeatCall = c.number;
                out.loopTick = lineTicks[lines.loopLine()];
                const std::size_t last = lineTicks[lines.secondPass()]; // the second pass's first tick
                if (last < out.ticks.size()) {
                    passEnd = out.ticks[last].time;
                    out.ticks.resize(last);
                    out.render.resize(std::min(out.render.size(), std::size_t(passEnd * rate + 0.5)));
                }
                return false;
            }
        }
        if (!c.tick) return true;
        std::uint8_t cells[kLineBytes];
        imageBytes(rowPosition(c.order, c.line), cells, kLineBytes);
        TickInfo t = streams.tick(cells, c.lineTick, rate);
        t.time = static_cast<double>(c.number * kStepsPerCall) / rate;
        t.order = c.order, t.row = c.line, t.frame = c.lineTick;
        out.ticks.push_back(std::move(t));
        return true;
    }
};

} // namespace

bool captureRomSong(const std::vector<std::uint8_t>& rom, int songRate, int renderRate, Performance& out,
                    std::string& error) {
    out = Performance{};
    loadIntoEngine(rom);
    RomSignature signature;
    if (readSignature(rom, signature) && !signature.titles.empty()) out.title = signature.titles[0];
    out.format = "ROM image";
    out.channels = kStreams;
    for (std::size_t order = 0; order < kOrderPositions; ++order)
        out.orderPatterns.push_back(imageByte(SongInfo[0] + order));
    for (std::size_t i = 1; i < kSampleEntries; ++i) // sample k is entry k + 1, as cells number them
        out.samples.push_back(entrySample(i));

    RomTicks ticks(out, songRate);
    const std::uint64_t mostCalls = longestSongCalls(songRate);
    const SongLength length = walkSong(songStart(0), {mostCalls, true}, ticks);
    // The calls before the one that saw the repeat, or (capped) one more than the walk made.
    const std::uint64_t calls = length.repeats ? ticks.repeatCall - 1 : mostCalls;
    const double end =
        ticks.passEnd >= 0 ? ticks.passEnd : static_cast<double>((calls + 1) * kStepsPerCall) / songRate;
    out.cappedLength = !length.repeats;
    for (std::size_t i = 0; i < out.ticks.size(); ++i)
        out.ticks[i].duration = (i + 1 < out.ticks.size() ? out.ticks[i + 1].time : end) - out.ticks[i].time;
    // The song's time counts from its first tick, as a module's does.
    const double first = out.ticks.empty() ? 0 : out.ticks.front().time;
    for (TickInfo& t : out.ticks)
        t.time -= first;
    out.length = end - first;
    resetEngine();

    bool sounds = false;
    for (const TickInfo& t : out.ticks)
        for (const ChannelTick& ch : t.channels)
            sounds |= ch.volume > 0 && ch.frequency > 0;
    if (!sounds) {
        error = "its song 0 plays no sample: there is nothing to take";
        return false;
    }
    out.render.erase(out.render.begin(),
                     out.render.begin() + static_cast<std::ptrdiff_t>(std::min(
                                              out.render.size(), std::size_t(first * songRate + 0.5))));
    out.rendered = finishModuleRender(out.render, songRate, renderRate, error);
    return true;
}
