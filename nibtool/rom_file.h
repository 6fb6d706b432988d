// Reading a ROM file and placing it in the engine's image, as nibplay does, with the trace silenced
// (loadIntoEngine, in host/load.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/load.h"

struct RomFile {
    std::string path;
    std::vector<std::uint8_t> bytes; // the whole file, however long
};

// Reads the file; on failure returns false with a message naming the path and the reason.
bool readRomFile(const std::string& path, RomFile& rom, std::string& error);
