#include "load.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/state.h"
#include "engine/trace.h"

std::size_t placeRom(const std::uint8_t* data, std::size_t size) {
    std::fill(std::begin(ROM), std::end(ROM), std::uint8_t{0});
    const std::size_t placed = std::min<std::size_t>(size, kRomSize);
    if (placed > 0) std::memcpy(ROM + kRomBase, data, placed);
    decodeImage();
    return placed;
}

bool loadRomFile(const char* path, std::size_t& placed, std::string& error) {
    const auto fail = [&](const char* what, int err) {
        error = std::string("cannot ") + what + " '" + path + "': " + std::strerror(err);
        return false;
    };
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    const std::unique_ptr<std::FILE, Closer> file(std::fopen(path, "rb"));
    if (!file) return fail("open", errno);

    // The image has room for 32,768 bytes; the rest of a longer file is left unread.
    static std::uint8_t data[kRomSize];
    errno = 0;
    const std::size_t got = std::fread(data, 1, sizeof data, file.get());
    if (std::ferror(file.get())) return fail("read", errno != 0 ? errno : EIO);
    placed = placeRom(data, got);
    return true;
}

void resolveTables(std::size_t placed) {
    traceLine("load of ", placed, " bytes of rom data complete");
    for (std::size_t i = 0; i < kSampleEntries; ++i) {
        const Position entry = sampleEntry(i);
        const std::uint16_t start = imageWord(entry + kEntryStart), end = imageWord(entry + kEntryEnd);
        const std::uint8_t nibble = imageByte(entry + kEntryNibble);
        const std::uint16_t loopStart = imageWord(entry + kEntryLoopStart);
        traceLine("read raw    ", i, ": ", start, " nibble ", nibble, " length ", end, " loopstart ",
                  loopStart);
        SampleInfo[i] = SampleRecord{start, end, nibble, loopStart};
        const SampleRecord& r = SampleInfo[i];
        traceLine("read sample ", i, ": ", r.start, " nibble ", r.nibble, " length ", r.end, " loopstart ",
                  r.loopStart);
    }
    for (std::size_t n = 0; n < kSongs; ++n) {
        const std::uint16_t song = imageWord(songEntry(n));
        SongInfo[n] = song;
        traceLine("read song ", n, ": starting at offset 0x", Hex4{song});
    }
}

void loadIntoEngine(const std::vector<std::uint8_t>& bytes) {
    flushTrace();
    Trace = TraceSink{[](void*, const char*, std::size_t) {}, nullptr};
    resetEngine();
    resolveTables(placeRom(bytes.data(), bytes.size()));
    flushTrace();
}
