// Renders for the measure: a module played by libxmp and a ROM played by the engine, once through, mono,
// in -1..1, at the same rate and for as long as the measure reads (measuredSeconds).
#pragma once

#include <xmp.h>

#include <cstdint>
#include <string>
#include <vector>

// How much of a song the renders hold at `rate`: 30 minutes, or the first 16 million samples at the
// higher rates (6 minutes at 44100 Hz, 2.8 at 96000 Hz), which bounds the time and memory a measure takes.
double measuredSeconds(int rate);

// The pieces of a module's render, for a player that is driven frame by frame elsewhere (the capture):
// the rate to start libxmp's player at (mono, 16-bit, linear interpolation) for a render at `rate`; a
// played frame's sound appended (false once the render holds `seconds`: measuredSeconds(rate)); and the
// render brought to `rate` at the end.
int moduleRenderRate(int rate);
bool appendModuleRender(const xmp_frame_info& info, int playRate, std::vector<float>& out, double seconds);
bool finishModuleRender(std::vector<float>& out, int playRate, int rate, std::string& error);

// A song (0-3) of a ROM file played once through by the engine, ending where its second pass begins (see
// SongLines::secondPass; or after measuredSeconds at `rate`), as (byte - 128) / 128. It uses the one engine
// of the process; the trace sink is left as it was found.
std::vector<float> renderRom(const std::vector<std::uint8_t>& rom, int rate, std::uint8_t song = 0);
