// Compares a ROM's render against a reference render made by another player, with the importer's
// figures (import/fidelity.h): bench/fidelity.sh's openmpt123 mode uses it.
//
//   compare_render REFERENCE ROM RATE
//   compare_render REFERENCE MODULE RATE libxmp
//
// REFERENCE is raw mono 32-bit float at RATE Hz (what `openmpt123 --batch --stdout --float --channels 1
// --samplerate RATE` writes). The second form scores libxmp's render of the module instead of a ROM's:
// what two faithful players score against each other. Prints one line: "chroma C onset O length L rom R
// module M" (rom: the second render). Both are compared over at most the span the importer measures
// (import/fidelity.h: measuredSeconds).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "import/fidelity.h"

namespace {

bool readAll(const char* path, std::vector<char>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "libxmp")) {
        std::fprintf(stderr, "usage: compare_render REFERENCE.f32 ROM RATE | REFERENCE.f32 MODULE RATE libxmp\n");
        return 2;
    }
    const int rate = std::atoi(argv[3]);
    std::vector<char> reference, rom;
    if (rate < 1000 || !readAll(argv[1], reference) || !readAll(argv[2], rom)) {
        std::fprintf(stderr, "compare_render: cannot read the inputs\n");
        return 1;
    }
    std::vector<float> module(reference.size() / sizeof(float));
    for (std::size_t i = 0; i < module.size(); ++i) {
        float v;
        std::copy_n(reference.data() + i * sizeof(float), sizeof(float), reinterpret_cast<char*>(&v));
        module[i] = v;
    }
    const std::vector<std::uint8_t> bytes(rom.begin(), rom.end());
    std::vector<float> other;
    std::string error;
    if (argc == 5 && !renderModule(bytes, rate, other, error)) {
        std::fprintf(stderr, "compare_render: %s\n", error.c_str());
        return 1;
    }
    if (argc == 4) other = renderRom(bytes, rate);
    // The second render stops after the span the importer measures (16 million samples: 6 minutes at
    // 44100 Hz); the reference is compared over no more, or a longer song would score its rest as silence.
    const auto measured = static_cast<std::size_t>(measuredSeconds(rate) * rate);
    if (module.size() > measured) module.resize(measured);
    const Fidelity f = compareRenders(module, other, rate);
    std::printf("chroma %.4f onset %.4f length %.4f rom %.1f module %.1f\n", f.chroma, f.onset, f.lengthRatio,
                f.romSeconds, f.moduleSeconds);
    return 0;
}
