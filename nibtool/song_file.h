// A file a command plays or shows, as a ROM image for the engine: a ROM as it is, a module imported in
// memory exactly as `nibtool import` writes it; and the rate it plays at (--rate, else the rate the ROM's
// signature names, else 8000 Hz).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "file_kind.h"
#include "import/import.h"
#include "policy/policy.h"
#include "rom/signature.h"

struct SongRequest {
    std::optional<int> rate;   // --rate, when given
    bool forceRom = false;     // --force-rom
    bool measure = false;      // measure an import's fidelity
    int song = 0;              // --song: the song of the image it plays or shows (0-3)
    double previewSeconds = 0; // above 0: a module's quick first import of that many seconds (play)
    double previewFrom = 0;    // where in the song that preview starts, in seconds
};

struct SongFile {
    InputFile file;
    std::vector<std::uint8_t> rom; // what the engine loads: a ROM file's bytes, or the import's image
    int rate = kDefaultRate;       // the rate it plays at
    int number = 0;                // the song of the image it plays or shows (0-3)
    std::string title;             // the module's title, or the signature's title of that song; may be empty
    bool signedRom = false;        // the ROM names what it was made for in `signature`
    RomSignature signature;
    ImportResult import;               // a module's import: its report and fidelity
    std::vector<std::string> notes;    // one line each, for standard error: a ROM longer than its image
    std::string importNote;            // a module's line saying it was imported in memory
    std::vector<std::string> warnings; // a rate other than the one the ROM was made for
};

// The address song n's table entry names (0: none), as the file's bytes hold it.
Position songAddress(const std::vector<std::uint8_t>& rom, std::size_t n);

// The songs whose table entries are not empty ("0, 1 and 3"), for messages.
std::string songsHeld(const std::vector<std::uint8_t>& rom);

// Reads, recognises and (for a module) imports a file. False with one line in `error`, also when the
// song asked for has an empty table entry (unless the file is forced to be read as a ROM).
bool openSong(const std::string& path, const SongRequest& request, SongFile& song, std::string& error);

// Writes the song's lines on standard error: its warnings always, its notes (and the import's line, with
// `withImport`) unless `quiet`.
void printNotes(const SongFile& song, bool quiet, bool withImport);
