// Samples stage: the module's samples that are heard become 4-bit samples in the image. Each is resampled
// so that the pitch it is most played at falls exactly on a tone of the step table, with its usual
// volume baked in (the engine's mix has no volume), then quantized to 4 bits. Two samples share each byte
// range, one in the low nibbles and one in the high. Cells can name table entries 1-14 only, so at most
// 14 samples are kept: those heard the most.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine/format.h"
#include "loss.h"
#include "rom/rom_builder.h"
#include "voices.h"

// Table entries 1-14: entry 0 is never played, and a cell's sample number 15 names no entry.
constexpr int kReachableEntries = static_cast<int>(kSampleEntries) - 1;
// Below this volume a module note is silence (see SampleBank::audible).
constexpr double kAudibleVolume = 0.03;

struct KeptSample {
    int source = -1;                   // libxmp sample index
    int entry = 0;                     // table entry, 1-14
    double scale = 1;                  // stored bytes per frame of the module's sample
    int anchorSemitone = 20;           // the table semitone its most played pitch lands on
    std::vector<std::uint8_t> nibbles; // 4-bit values, two's complement
    bool loops = false;
    std::size_t loopStart = 0; // in stored bytes; the loop runs to the end
    std::uint32_t address = 0; // image address of its first byte, once placed
    std::uint8_t nibble = 0;   // 0: low nibbles, 1: high nibbles
    double volume = 1;         // the module volume it is usually heard at, which its level bakes in
};

// A table entry that starts a kept sample part-way, for notes started from a sample offset: it shares
// the sample's bytes, from a later start.
struct OffsetEntry {
    int source = -1;          // libxmp sample index
    std::uint32_t offset = 0; // frames into the module's sample
    int entry = 0;            // table entry, after the kept samples'
    std::size_t skip = 0;     // stored bytes skipped
};

// A second table entry for a kept sample whose notes are struck at two clearly different levels (an echo,
// accents): the sample's sound at the level of the notes its usual level does not serve, in bytes of its
// own (the engine has no volume). A note takes the entry whose level is nearer its own.
struct LevelEntry {
    KeptSample sample;             // its entry, and its bytes at `volume`
    double volume = 0;             // the volume of the notes it plays
    double usual = 0;              // the volume the kept sample's own entry is stored for
    std::size_t notes = 0, of = 0; // the notes it plays, of the sample's
};

// What a stream plays from an entry: bytes from the entry's start.
struct EntryShape {
    std::size_t length = 0;
    bool loops = false;
    std::size_t loopStart = 0;
};

struct SampleBank {
    std::vector<KeptSample> kept;     // by entry - 1
    std::vector<OffsetEntry> offsets; // entries the kept samples leave free, for the most used offsets
    std::vector<LevelEntry> levels;   // entries left then, for samples struck at two levels
    std::vector<int> entryOf;         // by libxmp sample index: its table entry, 0 if not kept
    std::vector<Loss> losses;         // samples left out, stored at lower rates or shortened
    std::vector<int> tooQuiet;        // libxmp samples left out as silence in 4 bits beside the loudest
    std::size_t bytes = 0;            // bytes the placed samples take

    // The engine step that plays a kept sample at a frequency (frames per second of the module's
    // sample) at `rate`; 0 if the sample is not kept.
    double step(int source, double frequency, int rate) const;

    // Whether a module note of a sample at `volume` sounds in the ROM. The engine has no volume and
    // plays every note at the level of its sample's entry: a note is silence below kAudibleVolume, or
    // below half the sample's usual volume (its quieter level's, with two) for a sample usually heard
    // quieter than that (a quiet pad plays).
    bool audible(int source, double volume) const;

    // The entry that starts a note of a sample from an offset (frames) at a volume: an offset entry for
    // that very offset, else the entry at the level nearer the volume (a negative volume: the usual level),
    // the sample's own (0 if not kept).
    int entryFor(int source, std::uint32_t offset, double volume = -1) const;
    bool hasOffsetEntry(int source, std::uint32_t offset) const;
    EntryShape shape(int entry) const;
};

// The bytes the heard samples take with their most played pitches no more than an octave below where
// they would best land: what the song should leave them when it can.
std::size_t comfortableSpace(const Performance& performance, const VoicePlan& voices, int rate);

// A module's samples as resampled so far, by sample, ratio and cut: a song laid out again and again (for
// another space, another step of compactness) resamples each sample at each ratio once.
struct ResampleCache {
    bool quick = false; // a preview's: libsamplerate's fastest converter, not its medium one
    struct Made {
        std::vector<float> frames;
        std::size_t loopStart = 0;
    };
    std::map<std::tuple<int, double, std::size_t, std::size_t>, Made> made;
};

// Chooses, resamples and packs the heard samples into at most `space` bytes and `entries` table entries
// (from entry 1 on). With `cache`, resampled frames are kept there and taken from there. With `twoLevels`,
// the room and entries left go to samples struck at two levels (LevelEntry), those the measure gains most
// from for the bytes first.
SampleBank buildSamples(const Performance& performance, const VoicePlan& voices, int rate, std::size_t space,
                        int entries = kReachableEntries, ResampleCache* cache = nullptr,
                        bool twoLevels = false);

// Resamples a sample's frames by `ratio` (stored frames per frame) with libsamplerate; a looping sample
// from `loopStart` to its end. `quick`: the fastest converter, for a preview (in 4 bits the two sound
// alike; the medium one is kept for the ROMs written).
std::vector<float> resampleFrames(const std::vector<float>& in, double ratio, std::size_t loopStart,
                                  bool loops, bool quick = false);
// A value in -1..1 as a 4-bit two's-complement nibble.
std::uint8_t quantizeNibble(float v);

// The bytes samples (or effects) of these lengths take, packed two to a byte range, longest with next
// longest.
std::size_t pairedBytes(std::vector<std::size_t> sizes);

// Writes the samples' bytes from `address` on and fills the sample table; false, writing nothing, if
// they do not fit below `limit` (`bank.bytes` tells how many they need).
bool placeSamples(SampleBank& bank, RomBuilder& rom, std::uint32_t address, std::uint32_t limit);
