#include "song_file.h"

#include <cstdio>

bool openSong(const std::string& path, const SongRequest& request, SongFile& song, std::string& error) {
    song = SongFile{};
    if (!readInput(path, request.forceRom, song.file, error)) return false;
    const InputFile& file = song.file;
    if (file.kind == FileKind::Module) {
        song.rate = request.rate.value_or(kDefaultRate);
        ImportOptions options;
        options.rate = song.rate;
        options.measure = request.measure;
        options.previewSeconds = request.previewSeconds;
        if (!importModule(file.bytes, options, song.import, error)) {
            error = "cannot import '" + path + "': " + error;
            return false;
        }
        song.rom = song.import.rom;
        song.title = song.import.title;
        song.importNote = path + ": a module (" + file.format + "), imported in memory at " +
                          std::to_string(song.rate) + " Hz as nibtool import writes it";
        return true;
    }
    song.rom = file.bytes;
    if (song.rom.size() > kRomImageBytes) {
        const std::string size = request.forceRom
                                     ? "more than 32768"
                                     : std::to_string(file.bytes.size()); // a forced read stops there
        song.notes.push_back(path + ": " + size +
                             " bytes; only the first 32768 are the ROM image, as nibplay reads it");
        song.rom.resize(kRomImageBytes);
    }
    song.signedRom = readSignature(song.rom, song.signature);
    const int made = song.signedRom ? static_cast<int>(song.signature.rate) : kDefaultRate;
    song.rate = request.rate.value_or(made);
    if (song.signedRom && !song.signature.titles.empty()) song.title = song.signature.titles[0];
    if (song.signedRom && song.rate != made)
        song.warnings.push_back(path + ": made for " + std::to_string(made) + " Hz, played at " +
                                std::to_string(song.rate) + " Hz as --rate asks");
    return true;
}

void printNotes(const SongFile& song, bool quiet, bool withImport) {
    for (const std::string& line : song.warnings)
        std::fprintf(stderr, "%s\n", line.c_str());
    if (quiet) return;
    if (withImport && !song.importNote.empty()) std::fprintf(stderr, "%s\n", song.importNote.c_str());
    for (const std::string& line : song.notes)
        std::fprintf(stderr, "%s\n", line.c_str());
}
