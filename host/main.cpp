// nibplay: loads a ROM image, plays its song 0 for ever as raw unsigned 8-bit mono PCM on standard output,
// and writes the load report and the song's trace on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "load.h"
#include "output.h"
#include "playback.h"

namespace {

constexpr char kUsage[] = "usage: program <rom image> <Pn or Sn for play Pattern n or play Sample n>\n";

// Audio goes out in blocks of this many bytes; the trace of each block goes out just before it.
constexpr std::size_t kBlockBytes = 32 * 1024;

void appendTrace(void* context, const char* text, std::size_t length) {
    static_cast<std::string*>(context)->append(text, length);
}

} // namespace

int main(int argc, char** argv) {
    // The second argument is expected but never used: song 0 always plays.
    if (argc != 3) std::fputs(kUsage, stderr);
    if (argc < 2) return 2;

    std::size_t placed = 0;
    std::string error;
    if (!loadRomFile(argv[1], placed, error)) {
        std::fprintf(stderr, "nibplay: %s\n", error.c_str());
        return 1;
    }

    std::string trace;
    trace.reserve(1 << 20);
    Trace = TraceSink{appendTrace, &trace};
    resolveTables(placed);
    Playback playback;
    playback.start();

    std::vector<std::uint8_t> block(kBlockBytes);
    for (;;) {
        playback.render(block.data(), block.size());
        // The trace is never behind the audio: a failed write to standard error changes nothing else.
        writeAll(2, trace.data(), trace.size());
        trace.clear();
        switch (writeAll(1, block.data(), block.size())) {
        case WriteResult::Done: break;
        case WriteResult::ReaderGone: return 0;
        case WriteResult::Failed:
            std::fprintf(stderr, "nibplay: cannot write audio: %s\n", std::strerror(errno));
            return 1;
        }
    }
}
