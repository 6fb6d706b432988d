// A song that already is a ROM image, as a performance: the engine plays the image's song 0 once through,
// and every tick is written down as a module's capture writes it (which sample entry each stream plays,
// at what frequency, whether it sounds, where notes start). So a bank takes a ROM's song through the same
// stages as a module's, sharing samples and space with the other songs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"

// Plays song 0 of `rom` (the file's bytes) at `songRate` Hz, the rate it was made for, and writes its
// ticks down in seconds; the reference sound is rendered at `renderRate` Hz. The image's sample entries
// become the performance's samples (index = entry). False, with one line in `error`, when the song plays
// no sample. The engine is left holding the image, reset.
bool captureRomSong(const std::vector<std::uint8_t>& rom, int songRate, int renderRate, Performance& out,
                    std::string& error);
