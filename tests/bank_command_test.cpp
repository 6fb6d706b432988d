// nibtool bank's own part: its command line (songs named or not, --once, --sfx, --rate, the outputs asked
// for), what it writes, and its report, read against the ROM it wrote: each song's address and ending,
// each effect's entry, tone and stream, the entries' use and the 32 KB's, from the song table, the
// sample table and the signature. Mistakes in the command line exit 2 and write nothing.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "engine/format.h"
#include "fuzz/test_modules.h"
#include "rom/signature.h"
#include "scratch_folder.h"

namespace {

// The report with every run of spaces and line breaks as one space: the lines' wrapping undone.
std::string unwrapped(const std::string& text) {
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

// "1-3, 7" (or "none") as the set it names.
std::set<int> entriesOf(const std::string& runs) {
    std::set<int> entries;
    const std::regex run("(\\d+)(?:-(\\d+))?");
    for (auto it = std::sregex_iterator(runs.begin(), runs.end(), run); it != std::sregex_iterator(); ++it)
        for (int e = std::stoi((*it)[1]); e <= std::stoi((*it)[(*it)[2].matched ? 2 : 1]); ++e)
            entries.insert(e);
    return entries;
}

std::uint16_t wordAt(const std::vector<std::uint8_t>& rom, Position address) {
    const std::size_t at = address - kRomBase;
    return static_cast<std::uint16_t>(rom.at(at) << 8 | rom.at(at + 1));
}

// The bytes sample entry i holds in the image.
int entryBytes(const std::vector<std::uint8_t>& rom, std::size_t i) {
    return wordAt(rom, sampleEntry(i) + kEntryEnd) - wordAt(rom, sampleEntry(i) + kEntryStart);
}

// An 8-channel MOD with a note on every channel every 2 rows: more than the four streams can play.
ModLayout eightChannels() {
    ModLayout layout;
    layout.title = "eight";
    layout.tag = "8CHN";
    layout.samples = {{"saw", 300, 0, 64, 0, 300}, {"tri", 200, 0, 48, 0, 1}};
    for (std::size_t row = 0; row < 64; row += 2)
        for (std::size_t ch = 0; ch < 8; ++ch)
            layout.cells.push_back(
                {0, row, ch, std::uint8_t(1 + ch % 2), std::uint16_t(214 + 20 * ch), 0, 0});
    return layout;
}

// Reads a report against the ROM `rom` it describes (`out`: the name the command gave it).
void checkReport(const std::string& report, const std::vector<std::uint8_t>& rom, const std::string& out,
                 std::size_t songs, std::size_t effects, const std::string& header) {
    const std::string text = unwrapped(report);
    RomSignature signature;
    ASSERT_TRUE(readSignature(rom, signature));
    ASSERT_EQ(signature.titles.size(), songs);
    ASSERT_EQ(signature.effects.size(), effects);
    for (std::size_t n = 0; n < songs; ++n) {
        char address[16];
        std::snprintf(address, sizeof address, "0x%04X", wordAt(rom, songEntry(n)));
        std::smatch m;
        const std::regex head("song " + std::to_string(n) + ": \"[^\"]*\" \\([^)]*\\) at (0x[0-9A-F]{4}), " +
                              "[0-9,]+ bytes(, ends on silence after one pass)?");
        ASSERT_TRUE(std::regex_search(text, m, head)) << "song " << n << " in " << report;
        EXPECT_EQ(m[1], address) << "song " << n << "'s address, as the song table has it";
        const bool ends = !signature.songs.empty() && signature.songs[n].ends;
        EXPECT_EQ(m[2].matched, ends) << "song " << n << " ends as its signature says";
    }
    std::set<int> effectEntries;
    for (std::size_t i = 0; i < effects; ++i) {
        const SignatureEffect& e = signature.effects[i];
        effectEntries.insert(e.entry);
        std::smatch m;
        const std::regex line(
            e.name + ": entry (\\d+), tone (\\d+), [0-9.]+ s, ([0-9,]+) bytes, stream (\\d)" +
            " \\(music \\d+% of the time\\)((?:[;,] in song \\d stream \\d \\(music \\d+%\\))*)");
        ASSERT_TRUE(std::regex_search(text, m, line)) << e.name << " in " << report;
        EXPECT_EQ(std::stoi(m[1]), e.entry);
        EXPECT_EQ(std::stoi(m[2]), e.tone);
        EXPECT_EQ(std::regex_replace(m[3].str(), std::regex(","), ""),
                  std::to_string(entryBytes(rom, e.entry)));
        const int stream = std::stoi(m[4]);
        EXPECT_NE(header.find("_STREAM = " + std::to_string(stream)), std::string::npos) << e.name;
        // The songs named apart are those whose stream, in the signature, is another.
        for (std::size_t n = 0; n < songs; ++n) {
            const int own = signature.songs.at(n).streams.at(i).stream;
            const std::string apart = "in song " + std::to_string(n) + " stream " + std::to_string(own);
            EXPECT_EQ(m[5].str().find(apart) != std::string::npos, own != stream) << e.name << " song " << n;
        }
    }
    // The entries' use: songs, effects and free ones part entries 0-14 as the sample table fills them.
    std::smatch use;
    ASSERT_TRUE(std::regex_search(
        text, use,
        std::regex(
            "entries: songs ([0-9, -]+|none) \\(\\d+ sample\\(s\\) shared by several songs\\), effects "
            "([0-9, -]+|none), free ([0-9, -]+|none)")))
        << report;
    const std::set<int> songEntries = entriesOf(use[1]), freeEntries = entriesOf(use[3]);
    EXPECT_EQ(entriesOf(use[2]), effectEntries);
    for (int e = 1; e < int(kSampleEntries); ++e) {
        const int named = int(songEntries.count(e) + effectEntries.count(e) + freeEntries.count(e));
        EXPECT_EQ(named, 1) << "entry " << e << " is the songs', an effect's or free";
        if (freeEntries.count(e)) {
            EXPECT_EQ(entryBytes(rom, std::size_t(e)), 0) << "free entry " << e;
        }
        if (songEntries.count(e)) {
            EXPECT_GT(entryBytes(rom, std::size_t(e)), 0) << "song entry " << e;
        }
    }
    // The 32 KB: the parts add up, and the signature's is the block the ROM holds.
    std::smatch budget;
    ASSERT_TRUE(
        std::regex_search(text, budget,
                          std::regex("32 KB: songs ([0-9,]+), samples and effects ([0-9,]+), signature "
                                     "([0-9,]+), tables (\\d+), free ([0-9,]+) bytes")))
        << report;
    long sum = 0;
    for (std::size_t k = 1; k <= 5; ++k)
        sum += std::stol(std::regex_replace(budget[k].str(), std::regex(","), ""));
    EXPECT_EQ(sum, 32768);
    EXPECT_EQ(std::stoul(budget[3]), signatureSize(signature));
    EXPECT_EQ(std::stoul(budget[4]), kImageSize - kSongTable);
    const std::string written = out + ": " + std::to_string(songs) + " song(s) and " +
                                std::to_string(effects) + " effect(s), written for " +
                                std::to_string(signature.rate) + " Hz";
    EXPECT_NE(text.find(written), std::string::npos) << written << " in " << report;
}

TEST(BankCommand, WritesWhatItIsAskedAndReportsTheRomItWrote) {
    ScratchFolder folder("bank-command-test");
    folder.write("song.mod", buildMod(smallModLayout()));
    folder.write("tiny.xm", tinyXm());
    folder.write("eight.mod", buildMod(eightChannels()));
    ASSERT_EQ(folder.run("sox -D -n -r 8000 -b 16 jump.wav synth 0.3 sine 300:1200 && "
                         "sox -D -n -r 22050 -b 16 coin.wav synth 0.1 square 1800 && "
                         "$NIBTOOL import song.mod song.rom --rate 11025 -q && echo text >notes.txt"),
              0);
    struct Case {
        const char* what;
        std::string args;
        std::size_t songs, effects; // as the signature names them
        unsigned rate;
        std::vector<std::string> outputs, said; // files beside b.rom; words the report holds
    };
    const Case cases[] = {
        {"one module", "song.mod", 1, 0, 8000, {}, {"song 0: \"small song\" (song.mod, "}},
        {"named songs, a jingle, an effect, every output, a rate",
         "calm=song.mod win=tiny.xm --once win --sfx jump=jump.wav --header b.h --asm b.inc --json b.json "
         "--rate 11025",
         2,
         1,
         11025,
         {"b.h", "b.inc", "b.json"},
         {"song 1: \"win\" (tiny.xm, ", "effects: playSample"}},
        {"a jingle by its number, two effects recorded at other rates",
         "song.mod tiny.xm --once 0 --sfx jump=jump.wav --sfx coin=coin.wav --header b.h",
         2,
         2,
         8000,
         {"b.h"},
         {}},
        {"a ROM image's song 0, made for another rate, beside a module",
         "old=song.rom song.mod --header b.h",
         2,
         0,
         8000,
         {"b.h"},
         {"song 0: \"old\" (song.rom, "}},
        {"more channels than streams: the import's loss lines in the song's block",
         "eight.mod -v",
         1,
         0,
         8000,
         {},
         {"notes left out, as the ROM plays four at once"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        folder.run("rm -f b.rom b.h b.inc b.json");
        ASSERT_EQ(folder.run("$NIBTOOL bank b.rom " + c.args + " 2>report"), 0) << folder.text("report");
        const std::string report = folder.text("report");
        for (const std::string& name : c.outputs)
            EXPECT_TRUE(folder.exists(name)) << name;
        for (const std::string& words : c.said)
            EXPECT_NE(unwrapped(report).find(words), std::string::npos) << words << " in " << report;
        const std::vector<std::uint8_t> rom = folder.read("b.rom");
        ASSERT_EQ(rom.size(), kRomSize);
        RomSignature signature;
        ASSERT_TRUE(readSignature(rom, signature));
        EXPECT_EQ(signature.rate, c.rate);
        checkReport(report, rom, "b.rom", c.songs, c.effects, folder.exists("b.h") ? folder.text("b.h") : "");
        if (folder.exists("b.inc")) {
            EXPECT_NE(folder.text("b.inc").find(" equ "), std::string::npos);
        }
        // -q: the same ROM, and not a word.
        ASSERT_EQ(folder.run("$NIBTOOL bank q.rom " + c.args + " -q 2>said"), 0);
        EXPECT_EQ(folder.text("said"), "");
        EXPECT_EQ(folder.read("q.rom"), rom);
    }
}

TEST(BankCommand, RefusesAMistakeWithOneLineAndWritesNothing) {
    ScratchFolder folder("bank-command-test");
    folder.write("song.mod", buildMod(smallModLayout()));
    ASSERT_EQ(folder.run("sox -D -n -r 8000 -b 16 jump.wav synth 0.2 sine 500 && echo text >notes.txt"), 0);
    const std::string nine = [] {
        std::string effects;
        for (int i = 0; i < 9; ++i)
            effects += " --sfx e" + std::to_string(i) + "=jump.wav";
        return effects;
    }();
    struct Case {
        std::string args;
        int status;
        std::string said; // the one line holds it
    };
    const Case cases[] = {
        {"", 2, "needs an output ROM file and 1 to 4 songs"},
        {"song.mod song.mod song.mod song.mod song.mod", 2, "a bank holds at most 4 songs"},
        {"song.mod" + nine, 2, "a bank holds at most 8 effects"},
        {"song.mod --sfx jump.wav", 2, "--sfx needs NAME=FILE, not 'jump.wav'"},
        {"song.mod --sfx =jump.wav", 2, "--sfx needs NAME=FILE"},
        {"a=song.mod --once b", 2, "--once names no song: 'b' is neither a song's NAME nor its number 0-0"},
        {"song.mod --header b.wav", 2, "a C header"},
        {"song.mod --asm b.h", 2, "an assembler include"},
        {"notes.txt", 1, "'notes.txt' is text, not a ROM image or a module"},
        {"song.mod --sfx jump=notes.txt", 1, "notes.txt"},
        {"song.mod --sfx jump=missing.wav", 1, "missing.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(folder.run("$NIBTOOL bank b.rom " + c.args + " 2>said"), c.status);
        const std::string said = folder.text("said");
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(said.find("nibtool"), 0u) << said;
        EXPECT_FALSE(folder.exists("b.rom"));
        EXPECT_FALSE(folder.exists("b.h"));
    }
    // Its own ending: the ROM named as a WAV is refused too.
    EXPECT_EQ(folder.run("$NIBTOOL bank b.wav song.mod 2>said"), 2);
    EXPECT_NE(folder.text("said").find("a ROM image"), std::string::npos) << folder.text("said");
    EXPECT_FALSE(folder.exists("b.wav"));
}

} // namespace
