// Rendering into memory through the playback loop, as nibplay does, for the two benchmark songs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_roms.h"
#include "engine/state.h"
#include "engine/trace.h"
#include "host/load.h"
#include "host/playback.h"

namespace {

// Counts the trace's bytes, so that writing it is not optimized away.
void countTrace(void* context, const char*, std::size_t length) {
    *static_cast<std::size_t*>(context) += length;
}

void renderSong(benchmark::State& state, const RomBuilder& rom) {
    const std::vector<std::uint8_t> file = rom.build();
    std::size_t traceBytes = 0;
    resetEngine();
    Trace = TraceSink{countTrace, &traceBytes};
    resolveTables(placeRom(file.data(), file.size()));
    Playback playback;
    playback.start();
    std::vector<std::uint8_t> block(32 * 1024);
    for (auto _ : state) {
        playback.render(block.data(), block.size());
        flushTrace();
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}

void BM_NoteEveryCell(benchmark::State& state) {
    renderSong(state, noteEveryCellSong());
}
void BM_NoteEveryCall(benchmark::State& state) {
    renderSong(state, noteEveryCallSong());
}

} // namespace

BENCHMARK(BM_NoteEveryCell);
BENCHMARK(BM_NoteEveryCall);
BENCHMARK_MAIN();
