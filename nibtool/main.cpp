// nibtool: inspect a ROM image, render it to an audio file, and more, with the same engine as nibplay.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "play/source.h"

const char* const kInfoUsage =
    "usage: nibtool info FILE... [--song N] [--pattern N] [--rate HZ] [--force-rom] [-q]\n"
    "\n"
    "Shows what a ROM image holds: what it was made for (rate, titles, effects), the sample and song\n"
    "tables, then for every song the table holds its order list, each pattern it plays (line, then per\n"
    "channel: sample, note, effect and parameter in hex) and warnings for what will sound wrong or read\n"
    "past the image. A module is imported in memory first, as nibtool import writes it at HZ (default\n"
    "8000), and the import's report and fidelity follow. --song N (0-3) shows song N alone; --pattern N\n"
    "shows pattern N of song 0 (or of song N) alone; --force-rom reads any file as a ROM image.\n";

const char* const kRenderUsage =
    "usage: nibtool render FILE... OUT [--rate HZ] [--seconds S | --loops N | --loop] [--format F]\n"
    "                      [--song N] [--sfx N[@SECONDS] ...] [--force-rom] [-q]\n"
    "\n"
    "Plays song 0 (--song N: song N, 0-3, as a game starts it with playSong) of a ROM image (or of a module, "
    "imported in memory as nibtool import writes it) with\n"
    "the same engine as nibplay and writes its bytes as an audio file, in the format --format F or OUT's\n"
    "ending names (wav, flac, aiff, au, caf, w64, ogg, raw). OUT - writes to standard output (raw bytes\n"
    "unless --format says otherwise); with several files, OUT is - (they play in turn) or a folder (a\n"
    "file each). The rate is HZ, else the one the ROM was made for, else 8000. By default the song plays\n"
    "once through, ending where it would repeat (a song that ends, where it falls silent); --loops N\n"
    "plays it N times through, --seconds S a fixed length, --loop (to - only) for ever. Songs that never\n"
    "repeat stop after 30 minutes. --sfx N@SECONDS starts effect N (a sample entry, or an effect's name\n"
    "from the bank) over the song at that time, as a game's playSample does, on the stream and at the\n"
    "tone the bank names; --sfx N without a time renders the effect alone (several: one after another).\n";

const char* const kImportUsage =
    "usage: nibtool import SONG... OUT [--rate HZ] [-q]\n"
    "\n"
    "Converts a tracker song (MOD, S3M, XM, IT and whatever else libxmp reads) into a ROM image meant\n"
    "to be played at HZ (default 8000), which the ROM remembers: libxmp plays the song, and what it plays\n"
    "is compiled for this engine: four streams, its samples resampled to 4 bits, its pitches and timing\n"
    "followed tick by tick. What had to go is reported, a line per kind; the last line gives the fidelity\n"
    "measured against libxmp's render (pitch-class and onset similarity, length ratio). With several\n"
    "songs, OUT is a folder and each ROM is named after its song. OUT never replaces a song.\n";

const char* const kPlayUsage =
    "usage: nibtool play FILE... [--rate HZ] [--seconds S | --loops N | --loop] [--watch] [--song N]\n"
    "                    [--sfx N] [--force-rom] [-q]\n"
    "\n"
    "Plays a ROM image's song 0, or a module imported in memory (anything libxmp reads), through the\n"
    "sound card at HZ (else the rate the ROM was made for, else 8000): the device gets nibplay's bytes.\n"
    "Several files play in turn. Each song plays once through and ends where render ends it; --loop\n"
    "plays on for ever, --seconds S stops after S seconds. --song N (0-3) plays song N of the image, as\n"
    "a game starts it with playSong(N). --sfx N starts sample entry N over the song as it begins, as a\n"
    "game plays an effect: on stream 3 (the stream a song of fewer than four channels leaves free), at\n"
    "the tone the bank stored it for.\n"
    "\n"
    "On a terminal it shows the song's place, the playing pattern, each channel's note and level, and\n"
    "takes keys: space pause, left/right previous/next order position (a module's own), n/p next and\n"
    "previous file, q quit. Otherwise it writes a status line a second on standard error; -q writes none\n"
    "and shows nothing. A module plays at once from a quick first import of its opening seconds; the\n"
    "whole import takes over at a line start when it is ready.\n"
    "\n"
    "--watch loads the file again whenever it is saved and goes on at the same order position and line\n"
    "(it then plays until q, unless --seconds is given); a version that does not load is reported and\n"
    "the last good one plays on. Without an audio device it says so and exits with status 1.\n";

const char* const kBankUsage =
    "usage: nibtool bank OUT.rom [NAME=]SONG... [--sfx NAME=FILE.wav ...] [--once NAME ...] [--rate HZ]\n"
    "                    [--header OUT.h] [--asm OUT.inc] [-q]\n"
    "\n"
    "Makes a game's sound bank: up to four songs (anything import takes, or a ROM image's song 0 as the\n"
    "engine plays it at the rate the ROM was made for) become songs 0-3 of one ROM image, in the order\n"
    "given, sharing its sample entries and its 32 KB; NAME=SONG names a song for the header (else its\n"
    "title names it). Each --sfx recording becomes a sample entry for the game to start with playSample,\n"
    "stored so that the tone the report names plays it at its recorded pitch at HZ (default 8000), with\n"
    "the stream to start it on: the one whose loss costs the songs' music least. --once NAME (a song's\n"
    "NAME or number) makes that song end on silence after one pass, as a jingle. The report gives a block\n"
    "per song (the import's lines, what sharing cost it, its fidelity), the effects, and the bank's use\n"
    "of entries and space. --header OUT.h writes a C header naming every song and effect for the game's\n"
    "code; --asm OUT.inc the same constants as NAME equ VALUE lines.\n";

namespace {

const char* const kUsage =
    "usage: nibtool COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  info FILE...                                 show what a ROM (or an imported module) holds\n"
    "  render FILE... OUT                           render song 0 to an audio file, or - for raw bytes\n"
    "  import SONG... OUT                           turn tracker songs into ROMs\n"
    "  play FILE...                                 play ROMs or modules on the sound card\n"
    "  bank OUT.rom [NAME=]SONG... [--sfx NAME=FILE.wav ...] [--header OUT.h]\n"
    "                                               songs and effects into one ROM, for a game\n"
    "  help [COMMAND]                               show this, or a command's help\n"
    "\n"
    "Every command takes a ROM image or a module; options: --rate HZ (1000-96000), --seconds S, --loops N,\n"
    "--loop, -q, --force-rom, each the same wherever it fits, as --opt value or --opt=value.\n"
    "nibtool --version shows the version; nibtool COMMAND --help a command's help.\n";

} // namespace

int fail(const std::string& message) {
    std::fprintf(stderr, "nibtool: %s\n", message.c_str());
    return 1;
}

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs("nibtool: name a command: info, render, import or play (see nibtool help)\n", stderr);
        return 2;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    // play's own, before any parsing: a file prepared in a child process (play/source.h).
    if (command == kPlayChildCommand) return runPlayChild(rest);
    if (command == "--version" || command == "version") {
        std::printf("nibtool %s\n", NIBPLAY_VERSION);
        return 0;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        const std::string topic = rest.empty() ? "" : rest[0];
        if (topic == "info")
            std::fputs(kInfoUsage, stdout);
        else if (topic == "render")
            std::fputs(kRenderUsage, stdout);
        else if (topic == "import")
            std::fputs(kImportUsage, stdout);
        else if (topic == "play")
            std::fputs(kPlayUsage, stdout);
        else if (topic == "bank")
            std::fputs(kBankUsage, stdout);
        else if (topic.empty())
            std::fputs(kUsage, stdout);
        else {
            std::fprintf(stderr, "nibtool: no command '%s' (see nibtool help)\n", topic.c_str());
            return 2;
        }
        return 0;
    }
    if (command == "info") return runInfo(rest);
    if (command == "render") return runRender(rest);
    if (command == "import") return runImport(rest);
    if (command == "play") return runPlay(rest);
    if (command == "bank") return runBank(rest);
    std::fprintf(stderr, "nibtool: no command '%s' (see nibtool help)\n", command.c_str());
    return 2;
}
