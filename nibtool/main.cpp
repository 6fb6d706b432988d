// nibtool: inspect a ROM image, render it to an audio file, and more, with the same engine as nibplay.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "play/source.h"

const char* const kInfoUsage =
    "usage: nibtool info ROM [--pattern N]\n"
    "\n"
    "Shows the sample and song tables, song 0's order list, each pattern song 0 plays (line, then per\n"
    "channel: sample, note, effect and parameter in hex) and warnings for what will sound wrong or read\n"
    "past the image. --pattern N shows pattern N alone.\n";

const char* const kRenderUsage =
    "usage: nibtool render ROM OUT [--rate HZ] [--seconds S | --loops N]\n"
    "\n"
    "Plays song 0 with the same engine as nibplay and writes its bytes as an audio file, in the format\n"
    "OUT's ending names (.wav, .flac, .aiff, .au, .caf, .w64, .ogg, .raw). By default the file is marked\n"
    "8000 Hz and holds the song once through, ending where it would repeat; --loops N plays it N times\n"
    "through, --seconds S a fixed length. Songs that never repeat stop after 30 minutes.\n";

const char* const kImportUsage =
    "usage: nibtool import SONG OUT.rom [--rate HZ]\n"
    "\n"
    "Converts a tracker song (MOD, S3M, XM, IT and whatever else libxmp reads) into a ROM image meant\n"
    "to be played at HZ (default 8000): libxmp plays the song, and what it plays is compiled for this\n"
    "engine: four streams, its samples resampled to 4 bits, its pitches and timing followed tick by tick.\n"
    "What had to go is reported, a line per kind; the last line gives the fidelity measured against\n"
    "libxmp's render (pitch-class and onset similarity, length ratio).\n";

const char* const kPlayUsage =
    "usage: nibtool play FILE [--rate HZ] [--loop | --seconds S] [--watch] [-q]\n"
    "\n"
    "Plays a ROM image's song 0, or a module imported in memory (anything libxmp reads), through the\n"
    "sound card at HZ (default 8000): the device gets nibplay's bytes. The song plays once through and\n"
    "ends where render ends it; --loop plays on for ever, --seconds S stops after S seconds.\n"
    "\n"
    "On a terminal it shows the song's place, the playing pattern, each channel's note and level, and\n"
    "takes keys: space pause, left/right previous/next order position, q quit. Otherwise it writes a\n"
    "status line a second on standard error; -q writes none and shows nothing.\n"
    "\n"
    "--watch loads the file again whenever it is saved and goes on at the same order position and line\n"
    "(it then plays until q, unless --seconds is given); a version that does not load is reported and\n"
    "the last good one plays on. Without an audio device it says so and exits with status 1.\n";

const char* const kBankUsage =
    "usage: nibtool bank OUT.rom SONG... [--sfx NAME=FILE.wav ...] [--rate HZ] [--header OUT.h]\n"
    "\n"
    "Makes a game's sound bank: up to four songs (anything import takes) become songs 0-3 of one ROM\n"
    "image, in the order given, sharing its sample entries and its 32 KB; each --sfx recording becomes a\n"
    "sample entry for the game to start with playSample, stored so that the tone the report names plays\n"
    "it at its recorded pitch at HZ (default 8000). The report gives a block per song (the import's\n"
    "lines, what sharing cost it, its fidelity), the effects, and the bank's use of entries and space.\n"
    "--header OUT.h writes a C header naming every song and effect for the game's code.\n";

namespace {

const char* const kUsage =
    "usage: nibtool COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  info ROM [--pattern N]                       show what a ROM image holds, with warnings\n"
    "  render ROM OUT [--rate HZ] [--seconds S | --loops N]\n"
    "                                               render song 0 to an audio file\n"
    "  import SONG OUT.rom [--rate HZ]              turn a tracker song into a ROM\n"
    "  play FILE [--rate HZ] [--loop | --seconds S] [--watch] [-q]\n"
    "                                               play a ROM or a module on the sound card\n"
    "  bank OUT.rom SONG... [--sfx NAME=FILE.wav ...] [--rate HZ] [--header OUT.h]\n"
    "                                               songs and effects into one ROM, for a game\n"
    "  help [COMMAND]                               show this, or a command's help\n"
    "\n"
    "nibtool --version shows the version; nibtool COMMAND --help a command's help.\n";

} // namespace

int fail(const std::string& message) {
    std::fprintf(stderr, "nibtool: %s\n", message.c_str());
    return 1;
}

int usageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "nibtool %s: %s (see nibtool %s --help)\n", command.c_str(), message.c_str(),
                 command.c_str());
    return 2;
}

bool parseNumber(const std::string& text, long low, long high, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

bool parseNumber(const std::string& text, double low, double high, double& value) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= low && v <= high)) return false;
    value = v;
    return true;
}

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
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
        else
            return fail("no command '" + topic + "' (see nibtool help)");
        return 0;
    }
    if (command == "info") return runInfo(rest);
    if (command == "render") return runRender(rest);
    if (command == "import") return runImport(rest);
    if (command == "play") return runPlay(rest);
    if (command == "bank") return runBank(rest);
    if (command == kPlayChildCommand) return runPlayChild(rest); // play's own: a file prepared in a child
    std::fprintf(stderr, "nibtool: no command '%s'\n\n%s", command.c_str(), kUsage);
    return 2;
}
