#include "rom_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "engine/trace.h"
#include "host/load.h"

bool readRomFile(const std::string& path, RomFile& rom, std::string& error) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open '" + path + "': " + std::strerror(errno != 0 ? errno : ENOENT);
        return false;
    }
    rom.path = path;
    rom.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read '" + path + "': " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

void loadIntoEngine(const std::vector<std::uint8_t>& bytes) {
    flushTrace();
    Trace = TraceSink{[](void*, const char*, std::size_t) {}, nullptr};
    soundInit();
    resolveTables(placeRom(bytes.data(), bytes.size()));
    flushTrace();
}
