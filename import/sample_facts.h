// What became of each of a module's samples, as facts a build can read (nibtool's --json): the entry it
// was stored in, at what rate and in how many bytes, or that it was left out.
#pragma once

#include <string>
#include <vector>

#include "capture.h"
#include "samples.h"

struct SampleFacts {
    int song = 0;          // the bank's song it belongs to (0 for an import)
    int number = 0;        // its number in the module, from 1
    std::string name;      // its name in the module
    int entry = 0;         // the table entry it plays from, 1-14; 0: left out
    double rate = 0;       // stored bytes per frame of the module's sample (1: its own rate; less: lower)
    std::size_t bytes = 0; // bytes stored
    bool loops = false;
    bool heard = false; // the song plays it
};

// The facts of every sample of `performance` (by libxmp index i; `shared[i]` its index in `bank`, or i
// itself when `shared` is empty), placed as `bank` says.
std::vector<SampleFacts> sampleFacts(const SampleBank& bank, const Performance& performance, int song,
                                     const std::vector<int>& shared = {});
