// nibplay: loads a ROM image, plays its song 0 for ever as raw unsigned 8-bit mono PCM on standard output,
// and writes the load report and the song's trace on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/trace.h"
#include "load.h"
#include "output.h"
#include "playback.h"

namespace {

constexpr char kUsage[] = "usage: program <rom image> <Pn or Sn for play Pattern n or play Sample n>\n";

// Audio goes out in blocks of this many bytes; the trace of each block goes out just before it.
constexpr std::size_t kBlockBytes = 32 * 1024;

// The trace goes to standard error as it is flushed; a failed write there changes nothing else.
void writeTrace(void*, const char* text, std::size_t length) {
    writeAll(2, text, length);
}

} // namespace

int main(int argc, char** argv) {
    // The second argument is expected but never used: song 0 always plays.
    if (argc != 3) std::fputs(kUsage, stderr);
    if (argc < 2) return 2;
    // Raw audio on a terminal is a screenful of binary; it is meant for a player's pipe.
    if (isatty(1)) {
        std::fprintf(stderr,
                     "nibplay: standard output is a terminal; pipe it to a player (nibplay %s x | aplay "
                     "-q -t raw -f U8 -c 1 -r 8000) or use nibtool play %s\n",
                     argv[1], argv[1]);
        return 2;
    }

    std::size_t placed = 0;
    std::string error;
    if (!loadRomFile(argv[1], placed, error)) {
        std::fprintf(stderr, "nibplay: %s\n", error.c_str());
        return 1;
    }

    Trace = TraceSink{writeTrace, nullptr};
    resolveTables(placed);
    Playback playback;
    playback.start();

    std::vector<std::uint8_t> block(kBlockBytes);
    for (;;) {
        playback.render(block.data(), block.size());
        flushTrace(); // the trace is never behind the audio
        switch (writeAll(1, block.data(), block.size())) {
        case WriteResult::Done: break;
        case WriteResult::ReaderGone: return 0;
        case WriteResult::Failed:
            std::fprintf(stderr, "nibplay: cannot write audio: %s\n", std::strerror(errno));
            return 1;
        }
    }
}
