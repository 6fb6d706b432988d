// Load stage: a module's bytes into libxmp. libxmp reads the tracker formats; a few four-channel MOD
// variants that other players accept and libxmp turns away are repaired in memory and handed over again.
#pragma once

#include <xmp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "loss.h"
#include "timing.h"
#include "tracker.h"

// A module loaded into its own libxmp context; the context is freed with it.
class LoadedModule {
  public:
    LoadedModule();
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    xmp_context context() const { return ctx_; }
    const xmp_module& module() const { return *info_.mod; } // valid once loaded
    bool loaded() const { return loaded_; }

    std::vector<Loss> repairs; // each repair made before libxmp took the file, and each part a file cut
                               // short has lost
    TrackerRules tracker;      // how the tracker that made the file played it, where libxmp differs
    TimingFix timing;          // where libxmp's timing is corrected to the tracker's

  private:
    friend bool loadModule(const std::vector<std::uint8_t>&, LoadedModule&, std::string&);
    xmp_context ctx_;
    xmp_module_info info_{};
    bool loaded_ = false;
};

// What libxmp takes the file for, by its format's name ("" for none), as every command and the import
// read it. Two of libxmp's answers are mended: a four-channel MOD whose file ends inside its patterns
// (libxmp's MOD reader turns it away, and its readers of packed formats then take it for "UNIC Tracker")
// is a cut MOD; and what libxmp's "Images Music System" probe claims of a file shorter than a MOD's
// header is not a module (the probe reads its order list and tag past such a file, from memory it never
// set, so that one file would get two answers).
std::string moduleFormat(const std::vector<std::uint8_t>& file);

// Loads a module, read as moduleFormat reads it. False, with one line saying why in `error`, for what
// neither libxmp nor a repair loads, and for modules with no sampled instrument.
bool loadModule(const std::vector<std::uint8_t>& file, LoadedModule& out, std::string& error);

// Starts libxmp's player on a loaded module as every stage plays it: mono, 16-bit, at `rate`, with
// linear interpolation: the reference sound is read as pitch classes and onsets, which a spline's finer
// treble hardly moves, and a song of many channels mixes in less time. A MOD that libxmp takes for a
// Noisetracker song is played with ProTracker's reading of its commands (a speed of 32 or more sets the
// tempo), and the module's timing corrections (timing.h) are applied. False if libxmp cannot play it at that
// rate.
bool startPlayer(const LoadedModule& module, int rate);

// Repairs a four-channel MOD that libxmp refuses (an untagged 15-sample song its checks turn away, a
// file that ends inside its patterns or samples) into a standard copy. False if it is not such a file.
// `fifteenSamples`: set to whether it is an untagged 15-sample song.
bool repairMod(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& repaired,
               std::vector<Loss>& repairs, bool* fifteenSamples = nullptr);

// Whether the file is a four-channel MOD of a tag libxmp knows that ends inside (or before) its
// patterns; `tag` is its tag.
bool modCutInsidePatterns(const std::vector<std::uint8_t>& file, std::string& tag);
