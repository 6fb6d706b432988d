// What the module sounds that the ROM does not, found once the song is laid out, so that no loss goes
// unsaid: the samples the module plays that the ROM never sounds, each with where it is first heard and
// why (its notes left out of the four streams, dropped, or too quiet for an engine without volume), and
// the spans of more than half a second where the ROM is silent while the module sounds.
#pragma once

#include <vector>

#include "compile.h"
#include "loss.h"
#include "measure/measure.h"
#include "samples.h"

// The samples the module plays that the ROM never sounds, those the report names elsewhere (left out as
// a ROM names only 14, or to fit) aside; no samples when there are none.
Loss unheardSamples(const Performance& performance, const VoicePlan& voices, const SampleBank& bank,
                    const CompiledSong& song);

// The spans where the ROM's render is silent and the module's sounds, each with the samples the module
// plays there (and the entries they went to).
std::vector<Loss> silentSpans(const Performance& performance, const SampleBank& bank,
                              const RenderReading& module, const RenderReading& rom);
