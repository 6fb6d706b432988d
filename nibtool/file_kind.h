// One reading of what a file is, for every nibtool command, in this order: a ROM image beyond doubt (a
// plausible one of exactly 32,768 bytes, or one whose signature checks); a module (libxmp knows its
// format, or the MOD repair reads it as a song); a plausible ROM image (unless libsndfile knows it as a
// sound file by its marks: a guess of libsndfile's at a format without any does not count); or something
// else, refused with one line saying what it is and is not. Reads are capped, so an endless stream is
// refused rather than read for ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format.h"
#include "import/load.h"
#include "policy/policy.h"

enum class FileKind { Rom, Module };

constexpr std::size_t kRomImageBytes = kRomSize;
// The tables end at the image's last byte but one: a shorter file cannot hold them.
constexpr std::size_t kRomTablesEnd = kImageSize - 1 - kRomBase;

struct InputFile {
    std::string path;
    FileKind kind = FileKind::Rom;
    std::vector<std::uint8_t> bytes;      // the file as read (all of it: reads stop past the caps)
    std::string format;                   // a module's format, as libxmp names it
    std::shared_ptr<LoadedModule> module; // a module as loaded to tell its kind, for the import to use
};

// Reads `path` and decides its kind. `forceRom` takes any file for a ROM image (reading at most its first
// 32 KB), as nibplay does. False with one line (the file, what it is and what it is not) in `error`.
bool readInput(const std::string& path, bool forceRom, InputFile& file, std::string& error);
