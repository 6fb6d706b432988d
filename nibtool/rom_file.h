// Reading a ROM file and placing it in the engine's image, as nibplay does, with the trace silenced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RomFile {
    std::string path;
    std::vector<std::uint8_t> bytes; // the whole file, however long
};

// Reads the file; on failure returns false with a message naming the path and the reason.
bool readRomFile(const std::string& path, RomFile& rom, std::string& error);

// Resets the engine, places the file in the image and resolves the tables. The engine's trace is
// discarded from here on.
void loadIntoEngine(const std::vector<std::uint8_t>& bytes);
