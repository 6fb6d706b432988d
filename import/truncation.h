// What a MOD, S3M, XM or IT file cut short has lost. libxmp loads such a file and plays what is there,
// the rest silent, without a word; its headers say where every pattern and sample should lie, so the parts
// past the file's end can be named. (A MOD libxmp turns away, cut inside its patterns, is read by the MOD
// repair, which says the same.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One report line per kind of loss, in the import report's words: the file's size against what its
// headers describe, the sample the file ends inside (with the bytes it keeps), the samples and patterns
// past its end. Empty for a whole file, or a file of another format.
std::vector<std::string> truncationReport(const std::vector<std::uint8_t>& file);

// The line that heads them: the file's size against what its headers describe.
std::string cutShortLine(std::size_t size, std::size_t described);
