// A MOD file's layout, in one place: every reader and writer of MOD bytes here (the loader, the repair,
// the account of a cut file, the tracker rules, the timing fixes, the modules the tests and fuzzers
// build) takes its offsets from here. Two-byte numbers are big-endian.
//
//   0-19                  the song's title
//   20 + 30 i             sample i's header (i 0-30, or 0-14 in an untagged 15-sample song):
//                           0-21 name, 22-23 length in words, 24 finetune, 25 volume (0-64),
//                           26-27 loop start (in words; in bytes in a 15-sample song), 28-29 loop length
//   950 (470)             the song's length in order positions
//   951 (471)             the restart byte (a 15-sample song's tempo)
//   952-1079 (472-599)    the order list: 128 pattern numbers
//   1080-1083             the tag ("M.K.", "FLT4", ...): none in a 15-sample song
//   1084 (600)            the patterns: 1024 bytes each, 64 rows of 4 cells of 4 bytes: the sample
//                           number's high nibble and a 12-bit period, then its low nibble and the
//                           effect, then the effect's parameter
//
// The numbers in brackets are a 15-sample song's.
#pragma once

#include <cstddef>

constexpr std::size_t kModTitleBytes = 20;
constexpr std::size_t kModSamples = 31, kModSamples15 = 15;

// A sample's header: its offset, and the fields' offsets within it.
constexpr std::size_t kModSampleHeaderBytes = 30;
constexpr std::size_t kModSampleNameBytes = 22;
constexpr std::size_t kModSampleWords = 22;     // 2 bytes: the length in 2-byte words
constexpr std::size_t kModSampleFinetune = 24;  // 1 byte
constexpr std::size_t kModSampleVolume = 25;    // 1 byte
constexpr std::size_t kModSampleLoopStart = 26; // 2 bytes
constexpr std::size_t kModSampleLoopWords = 28; // 2 bytes: the loop's length in words
constexpr std::size_t modSampleHeaderAt(std::size_t i) {
    return kModTitleBytes + kModSampleHeaderBytes * i;
}

// After the sample headers: the song's length, the restart byte, the order list.
constexpr std::size_t kModOrderEntries = 128;
constexpr std::size_t modSongLengthAt(std::size_t samples) {
    return modSampleHeaderAt(samples);
}
constexpr std::size_t modRestartAt(std::size_t samples) {
    return modSongLengthAt(samples) + 1;
}
constexpr std::size_t modOrdersAt(std::size_t samples) {
    return modSongLengthAt(samples) + 2;
}

// The tag of a 31-sample module, then the patterns (a 15-sample song's follow its order list).
constexpr std::size_t kModTagAt = modOrdersAt(kModSamples) + kModOrderEntries;
constexpr std::size_t kModTagBytes = 4;
constexpr std::size_t kModPatternsAt = kModTagAt + kModTagBytes;
constexpr std::size_t kModPatternsAt15 = modOrdersAt(kModSamples15) + kModOrderEntries;

constexpr std::size_t kModRows = 64, kModChannels = 4, kModCellBytes = 4;
constexpr std::size_t kModPatternBytes = kModRows * kModChannels * kModCellBytes;
// A cell's bytes: 0-1 the period (and the sample number's high nibble), 2 the effect in its low nibble
// (the sample number's low nibble above it), 3 the effect's parameter.
constexpr std::size_t kModCellEffect = 2, kModCellParam = 3;

static_assert(modSongLengthAt(kModSamples) == 950 && kModTagAt == 1080 && kModPatternsAt == 1084);
static_assert(modRestartAt(kModSamples15) == 471 && kModPatternsAt15 == 600 && kModPatternBytes == 1024);
