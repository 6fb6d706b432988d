#include "engine_harness.h"

#include <algorithm>

#include "engine/state.h"
#include "engine/trace.h"
#include "host/load.h"

EngineHarness::EngineHarness(const RomBuilder& rom, std::size_t length) : EngineHarness(rom.build(length)) {}

EngineHarness::EngineHarness(const std::vector<std::uint8_t>& file) {
    resetEngine();
    Trace = TraceSink{record, this};
    const std::size_t placed = placeRom(file.data(), file.size());
    resolveTables(placed);
    playback_.start();
    flushTrace();
}

EngineHarness::~EngineHarness() {
    Trace = TraceSink{[](void*, const char*, std::size_t) {}, nullptr};
}

void EngineHarness::record(void* context, const char* text, std::size_t length) {
    auto* self = static_cast<EngineHarness*>(context);
    self->text_.append(text, length);
    const std::string chunk(text, length);
    for (std::size_t at = 0; at < chunk.size();) {
        const std::size_t newline = std::min(chunk.find('\n', at), chunk.size());
        self->events_.push_back({self->rendered_, chunk.substr(at, newline - at)});
        at = newline + 1;
    }
}

std::vector<std::uint8_t> EngineHarness::render(std::size_t size) {
    std::vector<std::uint8_t> out(size);
    // One sequencer call's worth at a time, so that each trace line is stamped with the byte count.
    for (std::size_t done = 0; done < size;) {
        const std::size_t run = std::min(size - done, kStepsPerCall - rendered_ % kStepsPerCall);
        rendered_ += run; // lines written at the end of this run come after its bytes
        playback_.render(out.data() + done, run);
        flushTrace();
        done += run;
    }
    return out;
}

std::vector<std::string> EngineHarness::linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const TraceEvent& e : events_)
        if (e.text.rfind(prefix, 0) == 0) lines.push_back(e.text);
    return lines;
}
