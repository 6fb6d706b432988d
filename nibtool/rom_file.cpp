#include "rom_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

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
