// Building the memory image from a ROM file, and resolving the song and sample tables at its top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

// Clears the image and places up to 32,768 bytes of ROM data from 0x8000 on. Returns the number placed;
// bytes the data does not supply stay 0, and data past 32,768 bytes is ignored.
std::size_t placeRom(const std::uint8_t* data, std::size_t size);

// Reads the ROM file at `path` into the image as placeRom does. On failure returns false with a
// message naming the path and the system's reason.
bool loadRomFile(const char* path, std::size_t& placed, std::string& error);

// Fills SampleInfo and SongInfo from the image's tables and writes the load report to the trace: the
// byte count, two lines per sample entry and one per song.
void resolveTables(std::size_t placed);

// Resets the engine, places a ROM file's bytes in the image and resolves the tables, as nibplay loads a
// file. The engine's trace is discarded from here on.
void loadIntoEngine(const std::vector<std::uint8_t>& bytes);
