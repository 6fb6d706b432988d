// The tools' policies, in one place: what nibtool, the importer, the walk of a song and the bank choose
// where the ROM format leaves the choice to them. The rate a song is made for when none is asked, the
// rates they take, how long a song that never repeats is followed, and how much of a file they read.
// The ROM format itself is engine/format.h's; this header needs nothing but the language.
#pragma once

#include <cstddef>
#include <cstdint>

// The output rate, in Hz, a module is imported for and a ROM without a signature plays at when no --rate
// is given.
constexpr int kDefaultRate = 8000;

// The output rates an image may be made for (its signature holds one of them) and every command plays
// at, in Hz.
constexpr std::uint32_t kLowestRate = 1000, kHighestRate = 96000;

// A song that never comes back to a line in the same state is followed this long, and every tool ends it
// there: the import's capture of a module, a render, play, a measure, a bank's header.
constexpr int kLongestSongMinutes = 30;
constexpr double kLongestSongSeconds = kLongestSongMinutes * 60;

// The largest module file read and imported. libxmp holds its samples, and the capture a copy of them in
// floats, four bytes a frame; the largest modules in the wild are a few MB.
constexpr std::size_t kMostModuleBytes = std::size_t{32} << 20;
// The most a ROM file may hold: a longer file is not taken for one (its first 32 KB are played).
constexpr std::size_t kRomFileCap = std::size_t{64} << 10;
