#include "song_file.h"

#include <cstdio>

Position songAddress(const std::vector<std::uint8_t>& rom, std::size_t n) {
    const std::size_t at = songEntry(n) - kRomBase;
    const auto byte = [&](std::size_t i) -> Position { return i < rom.size() ? rom[i] : 0; };
    return byte(at) << 8 | byte(at + 1);
}

std::string songsHeld(const std::vector<std::uint8_t>& rom) {
    std::vector<std::string> held;
    for (std::size_t n = 0; n < kSongs; ++n)
        if (songAddress(rom, n) != 0) held.push_back(std::to_string(n));
    if (held.empty()) return "none";
    std::string text = held[0];
    for (std::size_t i = 1; i < held.size(); ++i)
        text += (i + 1 == held.size() ? " and " : ", ") + held[i];
    return text;
}

namespace {

// A song asked for by --song must have an address in the song table: an empty entry (which the importer
// leaves for songs it did not make) would play whatever lies at address 0.
bool checkSong(const SongFile& song, bool forced, std::string& error) {
    const auto n = static_cast<std::size_t>(song.number);
    if (forced || songAddress(song.rom, n) != 0) return true;
    error = "'" + song.file.path + "' has no song " + std::to_string(n) +
            ": its song table entry is empty (the songs it holds: " + songsHeld(song.rom) + ")";
    return false;
}

} // namespace

bool openSong(const std::string& path, const SongRequest& request, SongFile& song, std::string& error) {
    song = SongFile{};
    song.number = request.song;
    if (!readInput(path, request.forceRom, song.file, error)) return false;
    const InputFile& file = song.file;
    if (file.kind == FileKind::Module) {
        song.rate = request.rate.value_or(kDefaultRate);
        ImportOptions options;
        options.rate = song.rate;
        options.measure = request.measure;
        options.previewSeconds = request.previewSeconds;
        options.previewFrom = request.previewFrom;
        options.loaded = file.module.get();
        const bool imported = importModule(file.bytes, options, song.import, error);
        song.file.module.reset(); // played through by the capture: of no further use
        if (!imported) {
            error = "cannot import '" + path + "': " + error;
            return false;
        }
        song.rom = song.import.rom;
        song.title = song.import.title;
        song.importNote = path + ": a module (" + file.format + "), imported in memory at " +
                          std::to_string(song.rate) + " Hz as nibtool import writes it";
        return checkSong(song, false, error);
    }
    song.rom = file.bytes;
    if (song.rom.size() > kRomImageBytes) {
        const std::string size = request.forceRom
                                     ? "more than " + std::to_string(kRomImageBytes)
                                     : std::to_string(file.bytes.size()); // a forced read stops there
        song.notes.push_back(path + ": " + size + " bytes; only the first " + std::to_string(kRomImageBytes) +
                             " are the ROM image, as nibplay reads it");
        song.rom.resize(kRomImageBytes);
    }
    song.signedRom = readSignature(song.rom, song.signature);
    const int made = song.signedRom ? static_cast<int>(song.signature.rate) : kDefaultRate;
    song.rate = request.rate.value_or(made);
    const auto number = static_cast<std::size_t>(song.number);
    if (song.signedRom && number < song.signature.titles.size()) song.title = song.signature.titles[number];
    if (song.signedRom && song.rate != made)
        song.warnings.push_back(path + ": made for " + std::to_string(made) + " Hz, played at " +
                                std::to_string(song.rate) + " Hz as --rate asks");
    return checkSong(song, request.forceRom, error);
}

void printNotes(const SongFile& song, bool quiet, bool withImport) {
    for (const std::string& line : song.warnings)
        std::fprintf(stderr, "%s\n", line.c_str());
    if (quiet) return;
    if (withImport && !song.importNote.empty()) std::fprintf(stderr, "%s\n", song.importNote.c_str());
    for (const std::string& line : song.notes)
        std::fprintf(stderr, "%s\n", line.c_str());
}
