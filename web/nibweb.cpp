// The page's way into nibtool's code, built with emscripten into one module that the page loads twice:
// in a worker, which reads and imports files (as nibtool does, with its one-line answers and its
// report) and writes the downloads; and in the audio worklet, which plays prepared songs on the engine,
// as nibtool play does, and the module beside them through libxmp for A/B.
//
// Files live in the module's memory file system: the page writes a dropped file there and names its
// path, so every answer is nibtool's own. Every function here returns plain numbers; texts and bytes are
// left in one buffer that the page copies out (nibweb_data, nibweb_size) before the next call.
#include <emscripten.h>
#include <xmp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "engine/engine.h"
#include "import/report.h"
#include "nibtool/commands.h"
#include "nibtool/play/message.h"
#include "nibtool/play/song.h"
#include "nibtool/play/source.h"
#include "nibtool/play/view.h"
#include "nibtool/report_text.h"
#include "nibtool/song_file.h"
#include "policy/policy.h"

// nibtool's main, under another name here (see CMakeLists.txt).
int nibtool_main(int argc, char** argv);

namespace {

// emscripten's file system starts with a umask that takes every permission away (so nibtool's outputs,
// made with 0666 less the umask, could not be read back); a shell's usual one instead.
const mode_t kUmask = umask(022);

std::vector<std::uint8_t> out; // what the last call gave: a text or bytes

void give(const std::string& text) {
    out.assign(text.begin(), text.end());
}

// ---- The worker: reading, importing, preparing ------------------------------------------------------

SongFile opened; // the file the last nibweb_open read
bool isOpen = false;

// ---- The worklet: the song on the engine, and the module through libxmp ----------------------------

std::unique_ptr<SongPlayer> player;
std::shared_ptr<const Playable> playing;
std::string shownFile;
xmp_context xmp = nullptr;
bool xmpPlaying = false;

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const std::uint8_t* nibweb_data() {
    return out.data();
}

EMSCRIPTEN_KEEPALIVE int nibweb_size() {
    return static_cast<int>(out.size());
}

// A buffer of `size` bytes the page fills before a call that takes bytes.
EMSCRIPTEN_KEEPALIVE std::uint8_t* nibweb_buffer(int size) {
    out.assign(static_cast<std::size_t>(std::max(size, 0)), 0);
    return out.data();
}

// Runs nibtool's command line (`nibtool ARGS...`: info, import, render, bank) on files in the memory file
// system; its lines go to standard error and standard output. Returns its exit status.
EMSCRIPTEN_KEEPALIVE int nibweb_command(int argc, char** argv) {
    return nibtool_main(argc, argv);
}

// Reads the file at `path` as every nibtool command does: a ROM image, or a module imported at `rate`
// (0: the file's own rate) as `nibtool import` writes it; with `previewSeconds` above 0, a module's
// quick first import of its first seconds, as nibtool play's preview. Song `number` of the image.
// 0: read (nibweb_kind and the rest describe it); 1: refused, with nibtool's line in the buffer.
EMSCRIPTEN_KEEPALIVE int nibweb_open(const char* path, int rate, double previewSeconds, int number) {
    SongRequest request;
    if (rate > 0) request.rate = rate;
    request.measure = previewSeconds <= 0; // the whole import measures, and chooses by it
    request.previewSeconds = previewSeconds;
    request.song = std::clamp(number, 0, static_cast<int>(kSongs) - 1);
    opened = SongFile();
    std::string error;
    isOpen = openSong(path, request, opened, error);
    // A module silent in its opening seconds has nothing to preview there: a longer preview, as play's.
    for (int longer = 0; !isOpen && request.previewSeconds > 0 && longer < 2; ++longer) {
        request.previewSeconds *= 4;
        opened = SongFile();
        isOpen = openSong(path, request, opened, error);
    }
    if (!isOpen) give("nibtool: " + error);
    return isOpen ? 0 : 1;
}

// 0: a ROM image, 1: a module; -1 with nothing open.
EMSCRIPTEN_KEEPALIVE int nibweb_kind() {
    return !isOpen ? -1 : opened.file.kind == FileKind::Module ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int nibweb_rate() {
    return isOpen ? opened.rate : 0;
}

// The open file's image, as `nibtool import` writes it for a module.
EMSCRIPTEN_KEEPALIVE int nibweb_rom() {
    if (!isOpen) return 1;
    out = opened.file.kind == FileKind::Module ? opened.import.rom : opened.rom;
    return 0;
}

// The lines `nibtool import` writes for the open module, with its output named `name`; then the
// verdict alone on a last line ("" when not measured).
EMSCRIPTEN_KEEPALIVE int nibweb_report(const char* name) {
    if (!isOpen || opened.file.kind != FileKind::Module) return 1;
    std::string text;
    // As nibtool writes it where standard error is not a terminal: wrapped to 80 columns.
    for (const std::string& line : wrappedLines(importReport(name, opened.import, opened.rate), 80))
        text += line + "\n";
    text += opened.import.measured ? fidelityVerdict(opened.import.fidelity) : "";
    give(text);
    return 0;
}

// The lines every command writes about the open file (a long ROM, a rate other than its own).
EMSCRIPTEN_KEEPALIVE int nibweb_notes() {
    std::string text;
    for (const std::string& line : opened.warnings)
        text += "nibtool: " + line + "\n";
    for (const std::string& line : opened.notes)
        text += line + "\n";
    give(text);
    return 0;
}

// How long a song that never repeats is followed, in seconds: the window a whole import can take over a
// preview in, wherever the preview has got to.
EMSCRIPTEN_KEEPALIVE double nibweb_longest_song_seconds() {
    return kLongestSongSeconds;
}

// Makes the open file ready to play, as nibtool play's children do, and leaves it in the buffer as bytes
// for nibweb_play. With `order` 0 or more, it can take over from a version playing at that place (a
// module's order position and row, a ROM's order position and line).
EMSCRIPTEN_KEEPALIVE int nibweb_prepare(int order, int row, double windowSeconds, int preview) {
    if (!isOpen) return 1;
    Playable song;
    prepareSong(std::move(opened), song);
    isOpen = false;
    song.preview = preview != 0;
    const Place near{order, row};
    addResumes(song, order >= 0 ? &near : nullptr, windowSeconds);
    out = encodeSong(song);
    return 0;
}

// ---- The worklet ----

// A player that ends the song once through, or loops it.
EMSCRIPTEN_KEEPALIVE void nibweb_player(int loop) {
    SongPlayer::Ending ending;
    ending.loop = loop != 0;
    player = std::make_unique<SongPlayer>(ending);
    playing.reset();
}

// Plays the prepared song in the buffer (nibweb_prepare's bytes): from its start, or with `takeOver`
// from where the song playing is, at its next line start (a quick first import's whole one). False if
// the bytes do not hold a song.
EMSCRIPTEN_KEEPALIVE int nibweb_play(int takeOver, const char* file) {
    auto song = std::make_shared<Playable>();
    if (!player || !decodeSong(out, *song)) return 1;
    shownFile = file;
    if (takeOver && playing)
        player->offer(song);
    else
        player->start(song);
    playing = song;
    return 0;
}

// The next `size` bytes of the song (silence while paused or ended) into the buffer.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* nibweb_fill(int size) {
    out.resize(static_cast<std::size_t>(std::max(size, 0)));
    if (player)
        player->fill(out.data(), out.size());
    else
        std::fill(out.begin(), out.end(), kSilence);
    return out.data();
}

EMSCRIPTEN_KEEPALIVE void nibweb_pause(int paused) {
    if (player) player->setPaused(paused != 0);
}

EMSCRIPTEN_KEEPALIVE void nibweb_loop(int loop) {
    if (player) player->setLoop(loop != 0);
}

// To the first line of the previous (-1) or next (+1) order position the song plays.
EMSCRIPTEN_KEEPALIVE void nibweb_step(int direction) {
    if (player) player->step(direction < 0 ? -1 : 1);
}

// Key e: the next of the effects the ROM's signature names, started over the song as a game starts one,
// on the stream the ROM gives it. Returns which (from 0), or -1 where the image names none.
EMSCRIPTEN_KEEPALIVE int nibweb_effect() {
    static std::size_t next = 0;
    const std::shared_ptr<const Playable> song = player ? player->shared() : nullptr;
    if (!song || song->effects.empty()) return -1;
    const std::size_t index = next++ % song->effects.size();
    const SignatureEffect& e = song->effects[index];
    player->playEffect(e.entry, e.tone, song->effectStream(e.entry));
    return static_cast<int>(index);
}

// The engine's line playing, as order position * 256 + line; -1 with no player. Cheap: the worklet asks
// after every buffer, and draws the view only when it changes.
EMSCRIPTEN_KEEPALIVE int nibweb_line() {
    if (!player) return -1;
    const SongPosition at = player->position();
    return at.order * 256 + at.line;
}

// What the view shows now, as nibtool play draws it on a terminal of `rows` by `columns`, and the
// figures the page follows, a number a line after it: order, line (the engine's), the place's order and
// row, the song's position and once-through length in bytes, finished, paused, whether the song
// repeats, whether a newer version waits to take over.
EMSCRIPTEN_KEEPALIVE int nibweb_look(int rows, int columns) {
    if (!player) return 1;
    ViewData view;
    view.state = player->look();
    view.rate = view.state.rate;
    view.title = view.state.title;
    view.file = shownFile;
    const PlayerState& s = view.state;
    std::string text = drawScreen(view, rows, columns);
    char figures[256];
    std::snprintf(figures, sizeof figures, "\n\x1f%d %d %d %d %llu %llu %d %d %d %d\n", s.at.order, s.at.line,
                  s.place.order, s.place.row, static_cast<unsigned long long>(s.songBytes),
                  static_cast<unsigned long long>(s.onceThroughBytes), s.finished ? 1 : 0, s.paused ? 1 : 0,
                  s.repeats ? 1 : 0, player->offered() ? 1 : 0);
    give(text + figures);
    return 0;
}

// The module as libxmp plays it, for A/B: loaded from the buffer, mixed at `rate` Hz in mono.
EMSCRIPTEN_KEEPALIVE int nibweb_xmp_load(int rate) {
    if (!xmp) xmp = xmp_create_context();
    if (xmpPlaying) xmp_end_player(xmp), xmp_release_module(xmp), xmpPlaying = false;
    if (xmp_load_module_from_memory(xmp, out.data(), static_cast<long>(out.size())) != 0) return 1;
    if (xmp_start_player(xmp, rate, XMP_FORMAT_MONO) != 0) {
        xmp_release_module(xmp);
        return 1;
    }
    xmpPlaying = true;
    return 0;
}

// Moves libxmp to a module order position and row.
EMSCRIPTEN_KEEPALIVE void nibweb_xmp_seek(int order, int row) {
    if (!xmpPlaying) return;
    xmp_set_position(xmp, order);
    if (row > 0) xmp_set_row(xmp, row);
}

// The next `frames` of libxmp's playback as 16-bit samples into the buffer (silence without a module);
// then, in nibweb_xmp_place, the order position and row it plays.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* nibweb_xmp_fill(int frames) {
    out.assign(static_cast<std::size_t>(std::max(frames, 0)) * 2, 0);
    if (xmpPlaying) xmp_play_buffer(xmp, out.data(), static_cast<int>(out.size()), 0);
    return out.data();
}

EMSCRIPTEN_KEEPALIVE int nibweb_xmp_place() {
    if (!xmpPlaying) return -1;
    xmp_frame_info info;
    xmp_get_frame_info(xmp, &info);
    return info.pos * 1024 + info.row;
}

} // extern "C"
