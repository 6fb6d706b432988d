// Starts the engine from a clean state on a built ROM, as the host does, and records what it writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/playback.h"
#include "rom/rom_builder.h"

struct TraceEvent {
    std::size_t byte; // output bytes rendered when the line was written
    std::string text; // without its newline
    bool operator==(const TraceEvent& o) const { return byte == o.byte && text == o.text; }
};

class EngineHarness {
  public:
    // Resets the engine, places the ROM's first `length` bytes, resolves the tables (the load report is
    // recorded) and starts song 0.
    explicit EngineHarness(const RomBuilder& rom, std::size_t length = RomBuilder::kSize);
    explicit EngineHarness(const std::vector<std::uint8_t>& file);
    ~EngineHarness();

    std::vector<std::uint8_t> render(std::size_t size);
    // Renders whole sequencer calls' worth of bytes (13 each).
    std::vector<std::uint8_t> renderCalls(std::size_t calls) { return render(calls * kStepsPerCall); }

    // Everything written to the trace so far, and the lines with the byte count at which each came.
    const std::string& traceText() const { return text_; }
    const std::vector<TraceEvent>& events() const { return events_; }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const;

  private:
    static void record(void* context, const char* text, std::size_t length);
    Playback playback_;
    std::size_t rendered_ = 0;
    std::string text_;
    std::vector<TraceEvent> events_;
};
