// The desktop engine behind the target's operations: the engine nibplay runs, one step at a time.
#include "bridge.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "engine/engine.h"
#include "host/load.h"

namespace {

void (*Write)(std::uint8_t, void*) = nullptr; // null: standard output
void* Context = nullptr;

} // namespace

void nibBridgeSongTick() {
    songTick();
}

void nibBridgePlaySong(std::uint8_t n) {
    if (n < kSongs) playSong(n);
}

void nibBridgeStopSong() {
    stopSong();
}

void nibBridgePlaySample(std::uint8_t n, std::uint8_t s, std::uint8_t tone) {
    if (n < kSampleEntries) playSample(n, s, tone); // the tables hold entries 0-14
}

void nibBridgeSetSampleTone(std::uint8_t s, std::uint8_t tone) {
    setSampleTone(s, tone);
}

std::uint8_t nibBridgeGetRunning(std::uint8_t s) {
    return getStreamRunning(s);
}

void nibBridgeSetRunning(std::uint8_t s, std::uint8_t v) {
    setStreamRunning(s, v);
}

void nibBridgeStep() {
    std::uint8_t byte = 0;
    timer0_isr(&byte, 1);
    if (Write)
        Write(byte, Context);
    else
        std::putchar(byte);
}

int nibBridgeLoad(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return -1;
    std::vector<std::uint8_t> bytes(kRomSize);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        if (errno == 0) errno = EIO;
        return -1;
    }
    bytes.resize(got);
    loadIntoEngine(bytes);
    return 0;
}

void nibBridgeOutput(void (*write)(std::uint8_t, void*), void* context) {
    Write = write;
    Context = context;
}
