// nibtool's one reading of a file and one command line: every command answers a wrong input with the same
// one line and exit 1 (writing nothing), a bad command line with one line and exit 2; a ROM remembers
// its rate; outputs are written whole, never over an input; render writes to standard output.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

#include "fuzz/test_modules.h"
#include "policy/policy.h"
#include "rom/rom_builder.h"
#include "scratch_folder.h"

namespace {

class NibtoolInputs : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return folder_.path(name); }
    void write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        folder_.write(name, bytes);
    }
    std::vector<std::uint8_t> read(const std::string& name) const { return folder_.read(name); }
    std::string text(const std::string& name) const { return folder_.text(name); }
    bool exists(const std::string& name) const { return folder_.exists(name); }
    std::string listing() const { return folder_.listing(); }
    // Runs a bash script in the test's folder, SDL's disk driver capturing into 'capture.raw' as fast as
    // it goes.
    int run(const std::string& script) const {
        return folder_.run(script, "export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=capture.raw "
                                   "SDL_DISKAUDIODELAY=0\n");
    }

    ScratchFolder folder_{"nibtool-inputs-test"};
};

// Four lines at the default speed, then a break back to line 0.
RomBuilder fourLineLoop() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000).song(0, 0x8000).orders(0x8000, {0});
    rom.cell(0x8000, 0, 0, 0, {1, 24})
        .cell(0x8000, 0, 2, 1, {1, 31, 4, 1})
        .cell(0x8000, 0, 3, 2, {0, 0, 13, 0});
    return rom;
}

// Half a second of a tone as a sound file of `format` (libsndfile's), 8000 Hz mono.
std::vector<std::uint8_t> soundFile(int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    std::vector<short> tone(4000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<short>((i % 20) * 1000);
    const std::string name = "/tmp/nibtool-inputs-test-sound-" + std::to_string(getpid());
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open(name.c_str(), SFM_WRITE, &info);
    sf_write_short(f, tone.data(), static_cast<sf_count_t>(tone.size()));
    sf_close(f);
    std::ifstream in(name, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::remove(name.c_str());
    return bytes;
}

std::vector<std::uint8_t> cut(std::vector<std::uint8_t> bytes, std::size_t size) {
    bytes.resize(std::min(bytes.size(), size));
    return bytes;
}

TEST_F(NibtoolInputs, EveryCommandRefusesWhatIsNeitherKindWithTheSameLine) {
    const std::vector<std::uint8_t> mod = buildMod(smallModLayout());
    run("mkdir folder");
    write("empty.rom", {});
    write("notes.txt", std::vector<std::uint8_t>(27, 'a'));
    write("sound.wav", soundFile());
    write("sound.mp3", soundFile(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III));
    // An MPEG frame's header, then bytes that are no next frame: libmpg123 would write notes about them.
    std::vector<std::uint8_t> sync = {0xFF, 0xFB, 0x90, 0x00};
    for (int i = 0; i < 2048; ++i)
        sync.push_back(static_cast<std::uint8_t>(i * 7));
    write("sync.bin", sync);
    write("cut-1k.mod", cut(mod, 1024));
    write("cut-in-patterns.mod", cut(mod, 1084 + 1500));
    write("short.rom", cut(fourLineLoop().build(), 100));
    struct Case {
        const char* file;
        std::string line;
    };
    const Case cases[] = {
        {"folder", "nibtool: 'folder' is a folder, not a ROM image or a module"},
        {"missing.rom", "nibtool: cannot open 'missing.rom': No such file or directory"},
        {"empty.rom", "nibtool: 'empty.rom' is empty, not a ROM image or a module"},
        {"notes.txt", "nibtool: 'notes.txt' is text, not a ROM image or a module"},
        {"sound.wav", "nibtool: 'sound.wav' is a sound file (WAV (Microsoft)), not a ROM image or a module"},
        {"sound.mp3", "nibtool: 'sound.mp3' is a sound file (MPEG-1/2 Audio), not a ROM image or a module"},
        {"sync.bin",
         "nibtool: 'sync.bin' (2052 bytes) is not a ROM image (32768 bytes, with the song and sample "
         "tables at the top) nor a module libxmp reads"},
        {"cut-1k.mod",
         "nibtool: 'cut-1k.mod' (1024 bytes) is not a ROM image (32768 bytes, with the song and "
         "sample tables at the top) nor a module libxmp reads"},
        {"cut-in-patterns.mod",
         "nibtool: 'cut-in-patterns.mod' is a module (MOD 'M.K.', cut short) that nibtool cannot take: the "
         "file ends before its samples: it holds 2584 of the 5132 bytes its headers describe; nor is it a "
         "ROM "
         "image"},
        {"short.rom", "nibtool: 'short.rom' (100 bytes) is not a ROM image (32768 bytes, with the song and "
                      "sample tables at the top) nor a module libxmp reads"},
    };
    const char* const commands[] = {"info F", "render F out.wav", "import F out.rom", "play F -q"};
    for (const Case& c : cases) {
        std::string first;
        for (const std::string command : commands) {
            const std::string line =
                command.substr(0, command.find(' ') + 1) + c.file + command.substr(command.find('F') + 1);
            EXPECT_EQ(run("$NIBTOOL " + line + " >out 2>err"), 1) << line;
            const std::string err = text("err");
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << line << "\n" << err;
            EXPECT_EQ(err.rfind("nibtool: ", 0), 0u) << line << "\n" << err;
            EXPECT_NE(err.find(c.line), std::string::npos) << line << "\n" << err;
            if (first.empty()) first = err;
            EXPECT_EQ(err, first) << line << ": every command says the same";
            EXPECT_FALSE(exists("out.wav") || exists("out.rom") || exists("capture.raw")) << line;
            EXPECT_TRUE(read("out").empty()) << line;
        }
    }
}

// A MOD cut inside its samples is repaired the same way by every command: it plays, with the repair
// reported where the import is reported.
TEST_F(NibtoolInputs, AModCutInItsSamplesPlaysInEveryCommand) {
    const std::vector<std::uint8_t> mod = buildMod(smallModLayout());
    write("cut.mod", cut(mod, mod.size() - 700));
    for (const char* line :
         {"info cut.mod", "render cut.mod out.wav", "import cut.mod out.rom", "play cut.mod -q"})
        EXPECT_EQ(run(std::string("$NIBTOOL ") + line + " >out 2>err"), 0) << line << "\n" << text("err");
    EXPECT_EQ(run("$NIBTOOL render cut.mod a.raw && $NIBTOOL render out.rom b.raw && cmp a.raw b.raw"), 0)
        << "render imports in memory exactly as import writes";
}

// A module is read, and imported, up to the most an import takes; a byte more and every command refuses
// it as it reads it, before libxmp loads anything.
TEST_F(NibtoolInputs, AModuleIsTakenUpToTheSizeCapAndRefusedPastIt) {
    std::vector<std::uint8_t> mod = buildMod(smallModLayout());
    mod.resize(kMostModuleBytes); // zeros after the samples, which a MOD's reader passes over
    write("at-cap.mod", mod);
    mod.push_back(0);
    write("past-cap.mod", mod);
    const char* const commands[] = {"info F", "render F out.wav", "import F out.rom", "play F -q"};
    struct Case {
        const char* file;
        int status;
        std::string line; // the one line on standard error; "" for a song that plays
    };
    const Case cases[] = {
        {"at-cap.mod", 0, ""},
        {"past-cap.mod", 1,
         "nibtool: 'past-cap.mod' is longer than 32 MB: not a ROM image (32768 bytes), and more than nibtool "
         "reads of a module\n"},
    };
    for (const Case& c : cases)
        for (const std::string command : commands) {
            const std::string line =
                command.substr(0, command.find(' ') + 1) + c.file + command.substr(command.find('F') + 1);
            EXPECT_EQ(run("rm -f out.wav out.rom; $NIBTOOL " + line + " >out 2>err"), c.status)
                << line << "\n"
                << text("err");
            if (!c.line.empty()) {
                EXPECT_EQ(text("err"), c.line) << line;
            }
        }
}

TEST_F(NibtoolInputs, ALongRomPlaysItsFirst32KbWithANote) {
    std::vector<std::uint8_t> rom = fourLineLoop().build();
    write("exact.rom", rom);
    rom.resize(33 * 1024, 0x77);
    write("long.rom", rom);
    for (const char* command : {"render long.rom long.raw", "play long.rom"}) {
        ASSERT_EQ(run(std::string("$NIBTOOL ") + command + " 2>err"), 0) << command;
        EXPECT_EQ(
            text("err").rfind("long.rom: 33792 bytes; only the first 32768 are the ROM image, as nibplay "
                              "reads it\n",
                              0),
            0u)
            << command << "\n"
            << text("err");
    }
    ASSERT_EQ(run("$NIBTOOL render exact.rom exact.raw -q 2>err"), 0) << text("err");
    EXPECT_EQ(read("long.raw"), read("exact.raw"));
    EXPECT_EQ(read("capture.raw"), read("exact.raw"));
}

int wavRate(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f) sf_close(f);
    return f ? info.samplerate : 0;
}

TEST_F(NibtoolInputs, ARomPlaysAtTheRateItWasMadeFor) {
    write("song.mod", buildMod(smallModLayout()));
    ASSERT_EQ(run("$NIBTOOL import song.mod song.rom --rate 44100 -q"), 0);
    ASSERT_EQ(run("$NIBTOOL render song.rom made.wav --seconds 1 2>err"), 0);
    EXPECT_EQ(wavRate(path("made.wav")), 44100);
    ASSERT_EQ(run("$NIBTOOL info song.rom >info"), 0);
    EXPECT_NE(text("info").find("Made for 44100 Hz\nSong 0: \"small song\"\n"), std::string::npos)
        << text("info");
    // --rate wins, with a warning, even with -q; both spellings mean the same.
    ASSERT_EQ(run("$NIBTOOL render song.rom spaced.wav --rate 22050 --seconds 1 -q 2>err"), 0);
    EXPECT_EQ(text("err"), "song.rom: made for 44100 Hz, played at 22050 Hz as --rate asks\n");
    ASSERT_EQ(run("$NIBTOOL render song.rom --rate=22050 joined.wav --seconds=1 -q 2>err"), 0);
    EXPECT_EQ(wavRate(path("spaced.wav")), 22050);
    EXPECT_EQ(read("spaced.wav"), read("joined.wav"));
    // A ROM without a signature plays at 8000 Hz.
    write("plain.rom", fourLineLoop().build());
    ASSERT_EQ(run("$NIBTOOL render plain.rom plain.wav -q"), 0);
    EXPECT_EQ(wavRate(path("plain.wav")), 8000);
}

TEST_F(NibtoolInputs, RenderToStandardOutputIsTheFilesBytes) {
    write("loop.rom", fourLineLoop().build());
    write("song.mod", buildMod(smallModLayout()));
    ASSERT_EQ(run("$NIBTOOL render loop.rom loop.raw -q && $NIBTOOL render loop.rom - -q >stdout.raw"), 0);
    EXPECT_EQ(read("stdout.raw"), read("loop.raw"));
    ASSERT_EQ(
        run("$NIBTOOL render loop.rom --format wav - -q >stdout.wav && $NIBTOOL render loop.rom loop.wav -q"),
        0);
    EXPECT_EQ(read("stdout.wav").size(), read("loop.wav").size());
    // Several songs to standard output play in turn; into a folder, a file each.
    ASSERT_EQ(
        run("$NIBTOOL render song.mod song.raw -q && $NIBTOOL render loop.rom song.mod - -q >both.raw && "
            "mkdir rendered && $NIBTOOL render loop.rom song.mod rendered -q"),
        0);
    std::vector<std::uint8_t> both = read("loop.raw");
    const std::vector<std::uint8_t> song = read("song.raw");
    both.insert(both.end(), song.begin(), song.end());
    EXPECT_EQ(read("both.raw"), both);
    EXPECT_EQ(wavRate(path("rendered/loop.wav")), 8000);
    EXPECT_EQ(wavRate(path("rendered/song.wav")), 8000);
}

TEST_F(NibtoolInputs, OutputsAreWholeAndNeverAnInput) {
    const std::vector<std::uint8_t> mod = buildMod(smallModLayout());
    write("song.mod", mod);
    struct Case {
        const char* command;
        const char* line;
    };
    const Case cases[] = {
        {"import song.mod song.mod", "nibtool: the output 'song.mod' is the input 'song.mod'"},
        {"import song.mod ./song.mod", "nibtool: the output './song.mod' is the input 'song.mod'"},
        {"render song.mod song.mod --format raw", "nibtool: the output 'song.mod' is the input 'song.mod'"},
        {"render song.mod nowhere/out.wav",
         "nibtool: cannot write 'nowhere/out.wav': No such file or directory"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(std::string("$NIBTOOL ") + c.command + " -q 2>err"), 1) << c.command;
        const std::string err = text("err");
        EXPECT_EQ(err.rfind(c.line, 0), 0u) << c.command << "\n" << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(read("song.mod"), mod) << c.command;
    }
    // Interrupted, a render leaves neither the target nor its temporary file.
    write("loop.rom", fourLineLoop().build());
    const std::string before = listing();
    EXPECT_EQ(
        run("$NIBTOOL render loop.rom long.wav --rate 96000 --seconds 14400 -q & sleep 0.5; kill -INT $!; "
            "wait $!"),
        128 + SIGINT);
    EXPECT_EQ(listing(), before);
}

TEST_F(NibtoolInputs, ABadCommandLineIsOneLineAndStatus2) {
    write("loop.rom", fourLineLoop().build());
    struct Case {
        const char* args;
        const char* line;
    };
    const Case cases[] = {
        {"render loop.rom out.wav --rate 10",
         "nibtool: --rate needs a rate in Hz from 1000 to 96000, not '10' (see nibtool render --help)"},
        {"play loop.rom --rate=200000",
         "nibtool: --rate needs a rate in Hz from 1000 to 96000, not '200000' (see nibtool play --help)"},
        {"import loop.rom out.rom --rate", "nibtool: --rate needs a value (see nibtool import --help)"},
        {"info loop.rom --frobnicate", "nibtool: unknown option '--frobnicate' (see nibtool info --help)"},
        {"render loop.rom out.wav --loops 2 --seconds 1",
         "nibtool: give --seconds or --loops, not both (see nibtool render --help)"},
        {"play loop.rom --loops=0",
         "nibtool: --loops needs a count of times through from 1 to 1000, not '0' (see nibtool play --help)"},
        {"render loop.rom out.wav --loop", "nibtool: --loop plays for ever: only with - (standard output) or "
                                           "a FIFO (see nibtool render --help)"},
        {"render loop.rom out.xyz", "nibtool: cannot tell the format of 'out.xyz'"},
        {"info", "nibtool: needs a ROM or module file (see nibtool info --help)"},
        {"frobnicate", "nibtool: no command 'frobnicate' (see nibtool help)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(std::string("$NIBTOOL ") + c.args + " 2>err"), 2) << c.args;
        const std::string err = text("err");
        EXPECT_EQ(err.rfind(c.line, 0), 0u) << c.args << "\n" << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.args << "\n" << err;
    }
}

} // namespace
