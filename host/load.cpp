#include "load.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/trace.h"

std::size_t placeRom(const std::uint8_t* data, std::size_t size) {
    std::fill(std::begin(ROM), std::end(ROM), std::uint8_t{0});
    const std::size_t placed = std::min<std::size_t>(size, kRomSize);
    if (placed > 0) std::memcpy(ROM + kRomBase, data, placed);
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

void resolveTables(std::size_t placed, const TraceSink& sink) {
    TraceLine().text("load of ").num(placed).text(" bytes of rom data complete").emit(sink);
    for (std::size_t i = 0; i < kSampleEntries; ++i) {
        const Position entry = kSampleTable + kSampleEntryBytes * i;
        const std::uint16_t start = imageWord(entry), end = imageWord(entry + 2);
        const std::uint8_t nibble = imageByte(entry + 4);
        const std::uint16_t loopStart = imageWord(entry + 5);
        SampleInfo[i] = SampleRecord{start, end, nibble, loopStart};
        TraceLine()
            .text("read raw    ")
            .num(i)
            .text(": ")
            .num(start)
            .text(" nibble ")
            .num(nibble)
            .text(" length ")
            .num(end)
            .text(" loopstart ")
            .num(loopStart)
            .emit(sink);
        const SampleRecord& r = SampleInfo[i];
        TraceLine()
            .text("read sample ")
            .num(i)
            .text(": ")
            .num(r.start)
            .text(" nibble ")
            .num(r.nibble)
            .text(" length ")
            .num(r.end)
            .text(" loopstart ")
            .num(r.loopStart)
            .emit(sink);
    }
    for (std::size_t n = 0; n < kSongs; ++n) {
        SongInfo[n] = imageWord(kSongTable + 2 * n);
        TraceLine().text("read song ").num(n).text(": starting at offset 0x").hex(SongInfo[n], 4).emit(sink);
    }
}
