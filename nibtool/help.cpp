#include "help.h"

#include "cli.h"
#include "policy/policy.h"

namespace {

// The rates --rate takes ("1000-96000"), the default rate ("8000") and the passes --loops takes ("1-1000"),
// as every help words them.
const std::string kRates = std::to_string(kLowestRate) + "-" + std::to_string(kHighestRate);
const std::string kDefault = std::to_string(kDefaultRate);
const std::string kLoops = "1-" + std::to_string(kMostLoops);

// Options several commands share, worded the same in each.
const HelpItem kQuiet{"-q, --quiet", "nothing on standard error but errors and warnings"};
const HelpItem kForceRom{"--force-rom", "read any file as a ROM image, as nibplay does"};
const HelpItem kSong{"--song N", "song N of the image (0-3), as a game starts it with playSong(N)"};
const HelpItem kPlayRate{"--rate HZ", "the output rate, " + kRates +
                                          " (default: the rate the ROM was made for, else " + kDefault +
                                          "; a module is imported for it)"};

std::vector<CommandHelp> makeHelps() {
    CommandHelp info;
    info.name = "info";
    info.summary = "show what a ROM image (or an imported module) holds";
    info.usage = "FILE... [options]";
    info.description = {
        "Shows what a ROM image holds: what it was made for (rate, song titles, effects), the sample and "
        "song tables, then for every song the table holds its order list, each pattern it plays (line, then "
        "per channel: sample, note, effect and parameter in hex) and warnings for what will sound wrong or "
        "read past the image. A module is imported in memory first, as nibtool import writes it, and the "
        "import's report and fidelity follow."};
    info.options = {
        {"--song N", "show song N of the image alone (0-3)"},
        {"--pattern N", "show pattern N alone (0-255), of song 0 or of --song N"},
        {"--rate HZ", "the rate lengths are given at, " + kRates +
                          " (default: the rate the ROM was made for, else " + kDefault +
                          "; a module is imported for it)"},
        kForceRom,
        kQuiet,
    };
    info.examples = {
        {"nibtool info song.rom", "the tables, each song's patterns, and the warnings"},
        {"nibtool info song.xm --pattern 3", "pattern 3 of the ROM the module imports to"},
        {"nibtool info game.rom --song 2", "song 2 of a bank alone"},
    };

    CommandHelp render;
    render.name = "render";
    render.summary = "write a song as an audio file, or to standard output";
    render.usage = "FILE... OUT [options]";
    render.description = {
        "Plays song 0 of a ROM image (or of a module, imported in memory as nibtool import writes it) with "
        "the same engine as nibplay and writes its bytes as an audio file, in the format OUT's ending names "
        "(in any case) or --format gives. OUT - is standard output: raw bytes unless --format says "
        "otherwise. With several files, OUT is - (they play in turn, at one rate) or a folder (a file each, "
        "named after its song). A FIFO or a device as OUT is written through, not replaced.",
        "By default the song plays once through, ending where it would repeat (a song that ends, where it "
        "falls silent); a song that never repeats stops after " +
            std::to_string(kLongestSongMinutes) + " minutes."};
    render.options = {
        kPlayRate,
        {"--seconds S", "play S seconds (up to 14400)"},
        {"--loops N", "play the song N times through (" + kLoops + ")"},
        {"--loop", "play for ever: to - or a FIFO, as raw, flac, au or ogg"},
        {"--format F", "wav, flac, aiff, au, caf, w64, ogg or raw (wav, w64 and raw hold nibplay's bytes "
                       "as they are, the others as 8-bit samples)"},
        kSong,
        {"--sfx N[@SECONDS]", "start effect N (a sample entry, or an effect's name from the bank) over the "
                              "song at that time, as a game's playSample does, on the stream and at the tone "
                              "the bank names; without a time, the effects alone, one after another; "
                              "may be given several times"},
        kForceRom,
        kQuiet,
    };
    render.examples = {
        {"nibtool render song.rom song.wav", "song 0 once through, at the rate the ROM was made for"},
        {"nibtool render song.xm - -q | aplay -q -t raw -f U8 -c 1 -r 8000",
         "a module, imported in memory, to a player as it renders"},
        {"nibtool render a.mod b.xm renders --loops 2",
         "each song twice through: renders/a.wav, renders/b.wav"},
        {"nibtool render game.rom level.wav --song 1 --sfx jump@1.5",
         "song 1 of a bank, the effect jump at 1.5 s"},
    };

    CommandHelp import;
    import.name = "import";
    import.summary = "turn tracker songs into ROM images";
    import.usage = "SONG... OUT [options]";
    import.description = {
        "Converts a tracker song (MOD, S3M, XM, IT and whatever else libxmp reads) into a ROM image made for "
        "an output rate (--rate, else " +
        kDefault +
        " Hz), which the ROM remembers: libxmp plays the song, and what it "
        "plays is compiled for this engine: four streams, its samples resampled to 4 bits, its pitches and "
        "timing followed tick by tick. What had to go is reported on standard error, every sample it "
        "concerns named, then the fidelity measured against libxmp's render and the changes to the module "
        "that would lose least. With several songs, OUT is a folder and each ROM is named after its song."};
    import.options = {
        {"--rate HZ", "the rate the ROM is made for, " + kRates + " (default " + kDefault + ")"},
        {"--json FILE", "also write the import's facts (song, samples, losses, fidelity, budget) as JSON; "
                        "one song only"},
        {"-v, --verbose", "name every channel that lost notes, not only those that lost most"},
        {"-q, --quiet", "no report: nothing on standard error but errors and warnings"},
    };
    import.examples = {
        {"nibtool import song.xm song.rom", "the ROM, and what the import lost"},
        {"nibtool import song.it song.rom --rate 16000",
         "for a game mixing at 16000 Hz: more treble, samples take more room"},
        {"nibtool import a.mod b.s3m roms", "roms/a.rom and roms/b.rom"},
    };

    CommandHelp play;
    play.name = "play";
    play.summary = "play ROM images or modules on the sound card";
    play.usage = "FILE... [options]";
    play.description = {
        "Plays a ROM image's song 0, or a module imported in memory, through the sound card: the device gets "
        "nibplay's bytes. Several files play in turn. Each song plays once through and ends where render "
        "ends it. A module plays at once from a quick import of its opening seconds; the whole import takes "
        "over at a line start when it is ready.",
        "On a terminal it shows the song's place, the playing pattern and each stream's note and level, and "
        "takes the keys below; otherwise it writes a status line a second on standard error. Without an "
        "audio device it says so, with how to render instead, and exits with status 1."};
    play.options = {
        kPlayRate,
        {"--seconds S", "stop after S seconds of song (up to 14400)"},
        {"--loops N", "play each song N times through (" + kLoops + ")"},
        {"--loop", "play on for ever"},
        {"--watch", "load the file again whenever it is saved and go on at the same place; it then plays "
                    "until q, unless --seconds is given"},
        {"--song N", "play song N of the image (0-3), as a game starts it with playSong(N)"},
        {"--sfx N", "start sample entry N (0-14) over the song as it begins, as a game plays an effect: on "
                    "the stream and at the tone the bank chose for it (else stream 3, tone 20)"},
        kForceRom,
        {"-q, --quiet", "no view and no status lines: nothing on standard error but errors and warnings"},
    };
    play.sections = {
        {"Keys",
         {
             {"space", "pause, and go on"},
             {"left, right", "the previous or next order position (a module's own)"},
             {"1-4", "songs 0-3 of the image, from their start"},
             {"e",
              "the next of the effects the ROM names, over the song, on the stream the bank chose for it"},
             {"n, p", "the next or previous file"},
             {"q", "quit"},
         }}};
    play.examples = {
        {"nibtool play song.rom", "song 0 once through, with the live view"},
        {"nibtool play song.xm --watch", "follows song.xm as a tracker saves it"},
        {"nibtool play game.rom --song 2 --loop", "song 2 of a bank, for ever"},
    };

    CommandHelp bank;
    bank.name = "bank";
    bank.summary = "make a game's sound bank: songs and effects in one ROM image";
    bank.usage = "OUT.rom [NAME=]SONG... [options]";
    bank.description = {
        "Makes a game's sound bank: up to four songs (anything import takes, or a ROM image's song 0 as the "
        "engine plays it) become songs 0-3 of one ROM image, in the order given, sharing its sample entries "
        "and its 32 KB; NAME=SONG names a song for the header (else its title names it). Each --sfx "
        "recording becomes a sample entry for the game to start with playSample, stored so that the tone the "
        "report names plays it at its recorded pitch, with the stream to start it on: the one whose loss "
        "costs the songs' music least. The report gives a block per song (the import's lines, what sharing "
        "cost it, its fidelity), the effects, and the bank's use of entries and space."};
    bank.options = {
        {"--sfx NAME=FILE", "a recording (WAV, FLAC, AIFF: anything libsndfile reads, up to 10 s) as the "
                            "effect NAME; up to 8"},
        {"--once NAME", "song NAME (or number) ends on silence after one pass, as a jingle; may be given "
                        "several times"},
        {"--rate HZ", "the rate the bank is made for, " + kRates + " (default " + kDefault + ")"},
        {"--header OUT.h", "also write a C header naming every song and effect for the game's code"},
        {"--asm OUT.inc", "also write the header's constants as NAME equ VALUE lines"},
        {"--json FILE", "also write the bank's facts (songs, effects, samples, losses, fidelity, budget) "
                        "as JSON"},
        {"-v, --verbose", "name every channel that lost notes, not only those that lost most"},
        {"-q, --quiet", "no report: nothing on standard error but errors and warnings"},
    };
    bank.examples = {
        {"nibtool bank game.rom title=t.mod level=l.xm --header game.h", "two songs, and their names for C"},
        {"nibtool bank game.rom win=fanfare.mod --once win", "a jingle that ends after one pass"},
        {"nibtool bank game.rom music.it --sfx jump=jump.wav", "a song and an effect"},
    };
    return {info, render, import, play, bank};
}

// `text` wrapped to the help's width, every line starting with `indent` spaces (the first with `first`
// instead, where given).
std::string wrap(const std::string& text, std::size_t indent, const std::string& first = "") {
    std::string out, line = first.empty() ? std::string(indent, ' ') : first;
    std::size_t start = line.size();
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t space = text.find(' ', at);
        const std::string word = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
        at = space == std::string::npos ? text.size() : space + 1;
        if (line.size() > start && line.size() + 1 + word.size() > kHelpColumns) {
            out += line + "\n";
            line = std::string(indent, ' ');
            start = indent;
        }
        line += (line.size() > start ? " " : "") + word;
    }
    return out + line + "\n";
}

// An option's, key's or example's line(s): its name, then what it does beside it or under it.
std::string itemText(const HelpItem& item, std::size_t column) {
    const std::string name = "  " + item.name;
    if (name.size() + 2 <= column)
        return wrap(item.text, column, name + std::string(column - name.size(), ' '));
    return name + "\n" + wrap(item.text, column);
}

} // namespace

const std::vector<CommandHelp>& commandHelps() {
    static const std::vector<CommandHelp> helps = makeHelps();
    return helps;
}

const CommandHelp* helpFor(const std::string& command) {
    for (const CommandHelp& help : commandHelps())
        if (help.name == command) return &help;
    return nullptr;
}

std::string helpText(const CommandHelp& help) {
    constexpr std::size_t kColumn = 20; // where an option's text starts
    std::string out = wrap(help.usage, 16 + help.name.size(), "usage: nibtool " + help.name + " ");
    for (const std::string& paragraph : help.description)
        out += "\n" + wrap(paragraph, 0);
    out += "\nOptions:\n";
    for (const HelpItem& option : help.options)
        out += itemText(option, kColumn);
    for (const HelpSection& section : help.sections) {
        out += "\n" + section.title + ":\n";
        for (const HelpItem& item : section.items)
            out += itemText(item, kColumn);
    }
    out += "\nExamples:\n";
    for (const HelpItem& example : help.examples)
        out += wrap(example.name, 6, "  ") + wrap(example.text, 6);
    return out;
}

std::string overallHelp() {
    std::string out = "usage: nibtool COMMAND [ARGS]\n\nCommands:\n";
    for (const CommandHelp& help : commandHelps())
        out += itemText({help.name, help.summary}, 12);
    out += itemText(
        {"help", "this list, or a command's help: nibtool help COMMAND (or nibtool COMMAND --help)"}, 12);
    out +=
        "\n" +
        wrap("Every command takes ROM images and modules. Options mean the same in every command where they "
             "fit, given as --opt value or --opt=value: --rate HZ (" +
                 kRates +
                 "), --seconds S, --loops N, "
                 "--loop, --song N, --force-rom, -q.",
             0);
    out += "\nExamples:\n";
    for (const HelpItem& example : {HelpItem{"nibtool play examples/demo.rom", "listen to the demo song"},
                                    HelpItem{"nibtool import song.xm song.rom", "a tracker song into a ROM"},
                                    HelpItem{"nibtool help render", "render's options and examples"},
                                    HelpItem{"nibtool --version", "the version"}})
        out += wrap(example.name, 6, "  ") + wrap(example.text, 6);
    return out;
}
