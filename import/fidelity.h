// Fidelity stage: how close the ROM sounds to the module, as three figures (measure/measure.h). The
// module is played once through by libxmp and the ROM once through by the engine, both mono at the same
// rate (measure/renders.h), and the two renders are compared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure/measure.h"
#include "measure/renders.h"

// The module played once through by libxmp (linear interpolation) at `rate` Hz, mono, in -1..1:
// it ends where libxmp's own loop detection sees the song start again, or after measuredSeconds. Rates
// outside 4000-48000 Hz are played at the nearest of those and resampled. False, with one line in
// `error`, if it cannot be loaded or played.
bool renderModule(const std::vector<std::uint8_t>& file, int rate, std::vector<float>& out,
                  std::string& error);

// All three figures for a module file and the ROM imported from it, at `rate` Hz. False, with one line in
// `error`, if the module cannot be rendered.
bool measureFidelity(const std::vector<std::uint8_t>& module, const std::vector<std::uint8_t>& rom, int rate,
                     Fidelity& out, std::string& error);
