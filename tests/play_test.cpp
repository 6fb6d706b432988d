// nibtool play: the song handed to the device in buffers of any size ends where render ends it, moves
// between order positions and reloads at a line as if it had played there; the screen fits its
// terminal; the disk capture is cut to what was played. End to end through SDL's disk driver, the
// device gets nibplay's bytes for ROMs and imported modules; the view follows the song and its keys in
// a pseudo-terminal and always gives the terminal back; --watch picks up a rewritten file; and the
// refusals (no device, nibplay on a terminal) are one line each.
#include <gtest/gtest.h>
#include <xmp.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "engine/sequencer.h"
#include "engine_harness.h"
#include "fuzz/test_modules.h"
#include "nibtool/play/audio.h"
#include "nibtool/play/song.h"
#include "nibtool/play/source.h"
#include "nibtool/play/view.h"
#include "scratch_folder.h"

namespace {

constexpr std::size_t kLineBytes858 = 858; // a line at the default speed: 6 ticks of 11 calls of 13 bytes

// The first byte of line k of a song at the default speed without breaks: one priming call, then 66
// calls a line.
std::size_t lineStart(std::size_t k) {
    return kStepsPerCall * (1 + 66 * k);
}

// Four lines at the default speed, then a break back to line 0.
RomBuilder fourLineLoop(std::uint8_t fill = 0x35, std::uint8_t tone = 24) {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, fill).sample(1, 0x9000, 0x9100, 0, 0x9000).song(0, 0x8000).orders(0x8000, {0});
    rom.cell(0x8000, 0, 0, 0, {1, tone})
        .cell(0x8000, 0, 2, 1, {1, 31, kVibrato, 1})
        .cell(0x8000, 0, 3, 2, {0, 0, kPatternBreak, 0xC0});
    return rom;
}

// fourLineLoop at 3 ticks a line, set on its line 0: it comes back to line 0 with those speeds, not the
// defaults it started with, so its state repeats only from line 1 on; its passes are 4 lines of 429 bytes.
RomBuilder ownSpeedLoop() {
    RomBuilder rom = fourLineLoop();
    rom.cell(0x8000, 0, 0, 3, {0, 0, kSpeed, kSpeedLineTicks + 3});
    return rom;
}

// A note, then the end of a jingle: a line that stops every stream, and a silent line that repeats itself.
// It ends where the stopping line starts, after one pass however many are asked for.
RomBuilder jingle() {
    RomBuilder rom = fourLineLoop();
    for (std::uint8_t c = 0; c < 4; ++c)
        rom.cell(0x8000, 0, 1, c, {0, 0, kSetVolume, 0}).cell(0x8000, 0, 2, c, {});
    rom.cell(0x8000, 0, 2, 0, {0, 0, kPatternBreak, kBreakHere + 2}).cell(0x8000, 0, 3, 2, {});
    return rom;
}

// Three patterns of notes that change every line; after order 2 the order list holds pattern 0, so the
// song walks every order position before it repeats.
RomBuilder threeOrders(std::uint8_t fill = 0x35) {
    RomBuilder rom;
    rom.fill(0x9000, 0x400, fill).sample(1, 0x9000, 0x9400, 0, 0x9000).song(0, 0x8000);
    rom.orders(0x8000, {0, 1, 2});
    for (std::size_t p = 0; p < 3; ++p)
        for (std::size_t line = 0; line < 64; ++line)
            rom.cell(0x8000, p, line, line % 4, {1, static_cast<std::uint8_t>((p * 7 + line) % 40 + 10)});
    return rom;
}

// A ROM made ready to play, as a child of nibtool play makes it; with `near`, with the states to go on
// from near that place.
std::shared_ptr<const Playable> prepared(const std::vector<std::uint8_t>& rom, const Place* near = nullptr) {
    auto song = std::make_shared<Playable>();
    SongFile file;
    file.rom = rom;
    prepareSong(std::move(file), *song);
    addResumes(*song, near, 4);
    return song;
}

std::vector<std::uint8_t> play(SongPlayer& player, std::size_t size, std::size_t buffer) {
    std::vector<std::uint8_t> out(size);
    for (std::size_t at = 0; at < size; at += buffer)
        player.fill(out.data() + at, std::min(buffer, size - at));
    return out;
}

TEST(SongPlayer, HandsOutTheEnginesBytesAndEndsWhereRenderEnds) {
    struct Case {
        const char* what;
        RomBuilder (*song)();
        SongPlayer::Ending ending;
        std::size_t bytes; // where the song ends; 0 for never
    };
    const auto defaults = [] { return fourLineLoop(); };
    const Case cases[] = {
        {"once through", defaults, {}, 13 + 4 * kLineBytes858},
        {"a fixed length inside a call", defaults, {false, 22051}, 22051},
        {"looping", defaults, {true, 0}, 0},
        {"twice through", defaults, {false, 0, 0, 2}, 13 + 8 * kLineBytes858},
        {"seconds of song at its rate", defaults, {false, 0, 1.5, 1}, 12000},
        {"its own speeds, once through", ownSpeedLoop, {}, 13 + 4 * 429},
        {"its own speeds, three times", ownSpeedLoop, {false, 0, 0, 3}, 13 + 12 * 429},
        {"a song that ends, twice through", jingle, {false, 0, 0, 2}, 13 + kLineBytes858},
    };
    for (const Case& c : cases) {
        for (const std::size_t buffer : {1u, 13u, 128u, 1000u}) {
            const std::size_t size = 30000;
            std::vector<std::uint8_t> expected = EngineHarness(c.song()).render(size);
            if (c.bytes > 0)
                std::fill(expected.begin() + static_cast<std::ptrdiff_t>(c.bytes), expected.end(), 128);
            SongPlayer player(c.ending);
            player.start(prepared(c.song().build()));
            EXPECT_EQ(play(player, size, buffer), expected) << c.what << ", buffers of " << buffer;
            EXPECT_EQ(player.finished(), c.bytes > 0) << c.what;
            EXPECT_EQ(player.deliveredBytes(), c.bytes > 0 ? c.bytes : size) << c.what;
        }
    }
}

TEST(SongPlayer, StepsBetweenOrderPositionsAndPlaysOnFromThere) {
    struct Case {
        std::size_t playFirst; // bytes played before the step
        int direction;
        SongPosition expected;
    };
    const Case cases[] = {
        {lineStart(5), +1, {1, 0}},
        {lineStart(64 + 5), +1, {2, 0}},
        {lineStart(64 + 5), -1, {0, 0}},
        {lineStart(5), -1, {0, 0}}, // the first position restarts
    };
    for (const Case& c : cases) {
        SongPlayer player({});
        player.start(prepared(threeOrders().build()));
        play(player, c.playFirst, 500);
        player.step(c.direction);
        play(player, 20, 20); // the rest of the call in hand, then the new line's first call
        const PlayerState s = player.look();
        EXPECT_EQ(s.at.order, c.expected.order) << c.playFirst << " " << c.direction;
        EXPECT_EQ(s.at.line, c.expected.line) << c.playFirst << " " << c.direction;
        play(player, 10 * kLineBytes858, 500);
        EXPECT_FALSE(player.finished()) << "going back does not end the song at a line it played";
    }
}

TEST(SongPlayer, NewVersionTakesOverAtTheNextLineAsIfPlayedFromTheStart) {
    const std::vector<std::uint8_t> before = threeOrders(0x35).build(), after = threeOrders(0x7A).build();
    for (const std::size_t line : {0u, 5u, 64u + 17u, 128u + 62u}) {
        // Prepared first: preparing and the player share the one engine.
        const std::vector<std::uint8_t> expected = EngineHarness(after).render(lineStart(line + 3));
        const Place at{static_cast<int>(line / 64), static_cast<int>(line % 64)};
        const std::shared_ptr<const Playable> next = prepared(after, &at), first = prepared(before);
        SongPlayer player({});
        player.start(first);
        const std::size_t played = lineStart(line) + 300;
        play(player, played, 256);
        player.offer(next);
        const std::vector<std::uint8_t> out = play(player, lineStart(line + 3) - played, 100);
        EXPECT_FALSE(player.offered()) << "line " << line;
        const std::size_t from = lineStart(line + 1); // the next line start takes the new version
        EXPECT_TRUE(std::equal(out.begin() + static_cast<std::ptrdiff_t>(from - played), out.end(),
                               expected.begin() + static_cast<std::ptrdiff_t>(from)))
            << "line " << line;
    }
}

TEST(PlayView, KeysFromTerminalBytes) {
    const std::pair<std::string, std::vector<Key>> cases[] = {
        {" ", {Key::Pause}},
        {"q", {Key::Quit}},
        {"\x1b[C\x1b[D", {Key::Next, Key::Previous}},
        {"\x1bOC\x1bOD", {Key::Next, Key::Previous}},   // application cursor mode
        {"\x1b[1;5C", {Key::Next}},                     // with a modifier
        {"14e", {Key::Song0, Key::Song3, Key::Effect}}, // songs 0 and 3 of the image, the next effect
        {"x\x1b[A\x1b", {}},                            // other keys, a cut sequence
    };
    for (const auto& [bytes, keys] : cases)
        EXPECT_EQ(decodeKeys(bytes), keys) << bytes.size();
}

// The screen's lines as the terminal shows them, escape sequences removed.
std::vector<std::string> screenLines(const std::string& screen) {
    const std::string text = std::regex_replace(screen, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line, '\n');)
        lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

TEST(PlayView, ScreenFitsItsTerminalAndMarksThePlayingLine) {
    SongPlayer player({});
    player.start(prepared(threeOrders().build()));
    play(player, lineStart(64 + 40) + 5, 500);
    ViewData view;
    view.title = std::string(100, 't');
    view.file = "song.mod";
    view.state = player.look();
    view.message = std::string(200, 'm');
    for (const auto& [rows, columns] : {std::pair{24, 80}, {12, 80}, {24, 40}, {80, 200}}) {
        const std::vector<std::string> lines = screenLines(drawScreen(view, rows, columns));
        EXPECT_LE(lines.size(), static_cast<std::size_t>(rows));
        for (const std::string& line : lines)
            EXPECT_LT(line.size(), static_cast<std::size_t>(columns)) << rows << "x" << columns;
        const auto playing = std::count_if(lines.begin(), lines.end(),
                                           [](const std::string& l) { return l.rfind(">40 ", 0) == 0; });
        EXPECT_EQ(playing, 1) << rows << "x" << columns;
        EXPECT_EQ(lines[1].rfind("order   1/", 0), 0u) << lines[1];
    }
    EXPECT_EQ(screenLines(drawScreen(view, 24, 80)).size(), 24u) << "an 80x24 terminal is filled";
}

// The place and the legend fit 80 columns whole, for any song (a module of 64 channels, 255 order
// positions, 4 hours long, previewed or paused), and say "loading" until a song is there.
TEST(PlayView, PlaceLineFitsWholeAndSaysLoadingUntilASongIsThere) {
    ViewData view;
    view.file = "song.it";
    EXPECT_EQ(screenLines(drawScreen(view, 24, 80))[1], "loading");
    for (const std::string& line : screenLines(drawScreen(view, 24, 80)))
        EXPECT_EQ(line.find("speed"), std::string::npos) << line;

    PlayerState& s = view.state;
    s.playing = s.repeats = s.preview = true;
    s.rate = 1000;
    s.lineTicks = s.tickCalls = 255;
    s.place = {255, 255};
    s.at = {255, 63};
    s.pattern = 255;
    s.lastOrder = 255;
    s.onceThroughBytes = s.songBytes = 4 * 3600 * 1000ull - 1;
    view.rate = 1000;
    for (const int channels : {0, 64}) {
        s.moduleChannels = channels;
        const std::vector<std::string> narrow = screenLines(drawScreen(view, 24, 80));
        const std::vector<std::string> wide = screenLines(drawScreen(view, 24, 200));
        ASSERT_EQ(narrow.size(), wide.size());
        for (std::size_t i = 1; i < narrow.size(); ++i) // all but the title, which may be cut
            EXPECT_EQ(narrow[i], wide[i]) << channels << " channels: cut at 80 columns";
        EXPECT_NE(narrow[1].find("239:59.9 / 239:59.9  preview"), std::string::npos) << narrow[1];
    }
}

TEST(DiskCapture, CutToThePlayedBytesWhereverSdlPutThem) {
    char name[] = "/tmp/nibplay-capture-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string path = name;
    std::vector<std::uint8_t> written(1000);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<std::uint8_t>(i * 7);
    const std::uint64_t hash = captureHash(kCaptureHashStart, written.data(), written.size());
    const auto part = [&](std::size_t from, std::size_t to) {
        return std::vector<std::uint8_t>(written.begin() + static_cast<std::ptrdiff_t>(from),
                                         written.begin() + static_cast<std::ptrdiff_t>(to));
    };
    struct Case {
        std::vector<CaptureRun> runs;
        std::vector<std::uint8_t> kept;
    };
    std::vector<std::uint8_t> twoSongs = part(0, 500);
    const std::vector<std::uint8_t> second = part(600, 950);
    twoSongs.insert(twoSongs.end(), second.begin(), second.end());
    const Case cases[] = {
        {{{0, 900}}, part(0, 900)},         // one song, then silence after its end
        {{{0, 500}, {600, 350}}, twoSongs}, // a wait between two files is left out
        {{{0, 1000}}, part(0, 1000)},       // every byte
    };
    for (const Case& c : cases) {
        for (const std::size_t leading : {0u, 1u, 3u}) {
            std::vector<std::uint8_t> file(leading * 64, 128);
            file.insert(file.end(), written.begin(), written.end());
            file.insert(file.end(), 128, 128);
            writeBytes(path, file);
            ASSERT_TRUE(trimDiskCapture(path, 64, written.size(), hash, c.runs)) << leading;
            std::ifstream in(path, std::ios::binary);
            const std::vector<std::uint8_t> kept{std::istreambuf_iterator<char>(in),
                                                 std::istreambuf_iterator<char>()};
            EXPECT_EQ(kept, c.kept) << leading << " buffers before, " << c.runs.size() << " runs";
        }
    }
    // Bytes that are not in the file, or runs outside those written, leave it alone.
    writeBytes(path, std::vector<std::uint8_t>(2000, 1));
    EXPECT_FALSE(trimDiskCapture(path, 64, written.size(), hash, {{0, 900}}));
    writeBytes(path, written);
    EXPECT_FALSE(trimDiskCapture(path, 64, written.size(), hash, {{900, 101}}));
    EXPECT_FALSE(trimDiskCapture(path, 64, written.size(), hash, {{0, 500}, {400, 10}}));
    EXPECT_EQ(std::filesystem::file_size(path), written.size());
    std::remove(path.c_str());
}

// ---- The command, end to end --------------------------------------------------------------------------

// The bytes a module's quick preview plays from its start, `bytes` of them: the preview made as play's
// child makes it, of the module at `rate` (0: its own).
std::vector<std::uint8_t> previewBytes(const std::string& module, int rate, std::size_t bytes) {
    SongRequest request;
    if (rate > 0) request.rate = rate;
    request.previewSeconds = kPreviewSeconds;
    SongFile file;
    std::string error;
    if (!openToPlay(module, request, file, error)) return {};
    return EngineHarness(file.rom).render(bytes);
}

// Where the whole import took over in `captured`, a module as play sends it to the device: its preview's
// bytes from its start (`preview`), then, from one of its lines' starts, the whole import's (`whole`,
// render's): to where it ends (`toItsEnd`), or else at the song's time the preview had reached. 0: the
// whole import was ready first. npos: the capture is not that. `lines` is the whole import's ROM as play
// prepares it, for where its lines start.
std::size_t takeover(const std::vector<std::uint8_t>& captured, const std::vector<std::uint8_t>& preview,
                     const std::vector<std::uint8_t>& whole, const Playable& lines, bool toItsEnd) {
    using Index = std::int64_t;
    const auto n = static_cast<Index>(captured.size()), wholeSize = static_cast<Index>(whole.size());
    const Index shift = toItsEnd ? wholeSize - n : 0; // a captured byte's place in `whole`, less its own
    Index fromPreview = 0;                            // the capture is the preview's up to here
    while (fromPreview < std::min(n, static_cast<Index>(preview.size())) &&
           captured[static_cast<std::size_t>(fromPreview)] == preview[static_cast<std::size_t>(fromPreview)])
        ++fromPreview;
    Index toWhole = n; // the capture is the whole import's from here on
    for (Index at = toWhole - 1;
         at >= 0 && at + shift >= 0 && at + shift < wholeSize &&
         captured[static_cast<std::size_t>(at)] == whole[static_cast<std::size_t>(at + shift)];
         --at)
        toWhole = at;
    if (toWhole == 0 && shift == 0) return 0;
    // The whole import's bytes from a line on: those after the sequencer call that starts it. Its first
    // line counts too: a preview that repeats while the whole import is made comes round to the song's
    // start, and the whole import takes over there (the slower the machine, the likelier).
    std::set<Index> lineBytes;
    for (const LineStart& line : lines.facts.lines)
        lineBytes.insert(static_cast<Index>(line.call * kStepsPerCall));
    for (Index at = toWhole; at <= fromPreview; ++at)
        if (at % static_cast<Index>(kStepsPerCall) == 0 && lineBytes.count(at + shift))
            return static_cast<std::size_t>(at);
    return std::string::npos;
}

class PlayCommand : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return folder_.path(name); }
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        return folder_.write(name, bytes);
    }
    std::vector<std::uint8_t> read(const std::string& name) const { return folder_.read(name); }
    std::string text(const std::string& name) const { return folder_.text(name); }

    // Runs a bash script in the test's folder with SDL's disk driver capturing into 'capture.raw' (as
    // fast as it goes when `fast`); returns its exit status.
    int run(const std::string& script, bool fast = true) const {
        return folder_.run(script,
                           std::string("export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=capture.raw\n") +
                               (fast ? "export SDL_DISKAUDIODELAY=0\n" : ""));
    }

    ScratchFolder folder_{"nibtool-play-test"};
};

TEST_F(PlayCommand, TheDeviceGetsNibplaysBytesForRomsAndImportedModules) {
    struct Case {
        std::string name, file, options;
    };
    std::vector<Case> cases = {
        {"a ROM once through", write("loop.rom", fourLineLoop().build()), ""},
        {"a ROM for a time at a rate", write("loop.rom", fourLineLoop().build()),
         "--seconds 1.5 --rate 11025"},
        {"the demo ROM", std::string(NIBPLAY_TEST_DIR) + "/../examples/demo.rom", ""},
        {"a MOD", write("small.mod", buildMod(smallModLayout())), ""},
        {"an XM", write("tiny.xm", tinyXm()), ""},
        {"an S3M", write("tiny.s3m", tinyS3m()), "--rate 11025"},
        {"an IT", write("tiny.it", tinyIt()), ""},
    };
    // Where the project's folder of real modules sits beside it: the first of each format, by name.
    const std::string shared = std::string(NIBPLAY_TEST_DIR) + "/../../shared/modules";
    std::map<std::string, std::string> firstOfFormat;
    if (DIR* d = opendir(shared.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            const std::size_t dot = name.rfind('.');
            if (name[0] == '.' || dot == std::string::npos || name.substr(dot) == ".md") continue;
            std::string& first = firstOfFormat[name.substr(dot)];
            if (first.empty() || name < first) first = name;
        }
        closedir(d);
    }
    for (const auto& [format, name] : firstOfFormat)
        cases.push_back({name, shared + "/" + name, ""});
    int previewed = 0; // the modules whose preview played before their whole import took over
    for (const Case& c : cases) {
        // What the device must get: render's bytes (nibplay's, to where render ends) of the ROM, or for a
        // module its preview's, then those of the ROM it imports into from where that took over.
        const bool module = c.file.find(".rom") == std::string::npos;
        const int rate = c.options.find("--rate") != std::string::npos ? 11025 : 0;
        const std::string rateOption = rate > 0 ? " --rate 11025" : "";
        const std::string rom = module ? "imported.rom" : "'" + c.file + "'";
        const int imported =
            module ? run("$NIBTOOL import '" + c.file + "' imported.rom" + rateOption + " 2>/dev/null") : 0;
        const int played = run("rm -f capture.raw; $NIBTOOL play '" + c.file + "' " + c.options + " 2>err");
        if (imported != 0) {
            EXPECT_EQ(played, 1) << c.name << ": a module import refuses is refused";
            continue;
        }
        ASSERT_EQ(played, 0) << c.name << ": " << text("err");
        ASSERT_EQ(run("$NIBTOOL render " + rom + " expected.raw " + c.options + " 2>/dev/null"), 0) << c.name;
        const std::vector<std::uint8_t> captured = read("capture.raw"), expected = read("expected.raw");
        if (module) {
            const std::size_t at = takeover(captured, previewBytes(c.file, rate, captured.size()), expected,
                                            *prepared(read("imported.rom")), true);
            EXPECT_NE(at, std::string::npos) << c.name;
            previewed += at != std::string::npos && at > 0;
        } else {
            EXPECT_EQ(captured.size(), expected.size()) << c.name;
            EXPECT_TRUE(captured == expected) << c.name;
        }
        ASSERT_EQ(run("$NIBPLAY " + rom + " x 2>/dev/null | head -c " + std::to_string(expected.size()) +
                      " >nibplay.raw"),
                  0);
        EXPECT_TRUE(expected == read("nibplay.raw")) << c.name;
    }
    EXPECT_GT(previewed, 0) << "a module's preview plays while its whole import is made";
}

TEST_F(PlayCommand, RefusalsAreOneLine) {
    write("loop.rom", fourLineLoop().build());
    write("small.mod", buildMod(smallModLayout()));
    struct Case {
        std::string command;
        int status;
        std::string start, contains;
    };
    const Case cases[] = {
        {"SDL_AUDIODRIVER=nosuch $NIBTOOL play loop.rom", 1, "nibtool: no audio device",
         "nibtool render loop.rom"},
        {"SDL_AUDIODRIVER=nosuch $NIBTOOL play small.mod", 1, "nibtool: no audio device",
         "nibtool render small.mod out.wav"},
        {"$NIBTOOL play nosuch.rom", 1, "nibtool: cannot open 'nosuch.rom'", ""},
        {"$NIBTOOL play", 2, "nibtool: needs a ROM or module file", ""},
        {"$NIBTOOL play loop.rom --loop --seconds 2", 2, "nibtool: give --seconds or --loop", ""},
        {"$NIBTOOL play loop.rom --rate 10", 2, "nibtool: --rate needs", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.command + " 2>err"), c.status) << c.command;
        const std::string err = text("err");
        EXPECT_EQ(err.rfind(c.start, 0), 0u) << c.command << "\n" << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.command << "\n" << err;
        EXPECT_NE(err.find(c.contains), std::string::npos) << c.command << "\n" << err;
    }
}

// A module whose whole import fails after its preview has begun is refused with its one line, and its
// preview, which is not the song, stops there: it does not play on to the length asked for. The whole
// import's child (the one at a lower priority) is held as soon as it starts, then ended once the preview
// plays.
TEST_F(PlayCommand, AModuleWhoseWholeImportFailsIsRefusedAndItsPreviewStops) {
    const std::string module =
        std::string(NIBPLAY_TEST_DIR) + "/../../shared/modules/spx-shuttledeparture.it";
    if (access(module.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << module;
    const std::string wholeChild =
        "for i in $(seq 1000); do kid=$(awk -v p=$! '$4 == p && $19 == 5 {print $1}' /proc/[0-9]*/stat "
        "2>/dev/null); [ -n \"$kid\" ] && break; sleep 0.01; done; ";
    EXPECT_EQ(run("$NIBTOOL play '" + module + "' --seconds 60 2>err & " + wholeChild +
                      "kill -STOP $kid; for i in $(seq 400); do grep -q ' order ' err && break; sleep 0.05; "
                      "done; kill -KILL $kid; wait %1",
                  false),
              1)
        << text("err");
    const std::string err = text("err");
    EXPECT_EQ(err.rfind("0:00.0 order ", 0), 0u) << "the preview played: " << err;
    EXPECT_NE(err.find("\nnibtool: "), std::string::npos) << err;
    EXPECT_LT(read("capture.raw").size(), 20u * 8000) << "the preview stopped with the refusal";
}

// Waits (up to 10 s) until the player started in the background says what it plays.
const std::string kUntilPlaying =
    "for i in $(seq 200); do grep -q 'once through' err 2>/dev/null && break; sleep 0.05; done; ";

TEST_F(PlayCommand, WatchGoesOnWithTheRewrittenFileAtTheSameLine) {
    write("song.rom", fourLineLoop(0x35, 24).build());
    const RomBuilder second = threeOrders(0x7A);
    write("second.rom", second.build());
    // Saved the way editors do: a new file renamed over the old one.
    ASSERT_EQ(run("$NIBTOOL play song.rom --watch --seconds 3 2>err & " + kUntilPlaying +
                      "sleep 0.5; mv second.rom song.rom; wait $!",
                  false),
              0)
        << text("err");
    std::smatch m;
    const std::string err = text("err");
    ASSERT_TRUE(
        std::regex_search(err, m, std::regex("reloaded song.rom, going on at order (\\d+) line (\\d+)")))
        << err;
    const std::size_t line = std::stoul(m[1]) * 64 + std::stoul(m[2]);
    const std::vector<std::uint8_t> captured = read("capture.raw");
    EXPECT_EQ(captured.size(), 24000u);
    const std::vector<std::uint8_t> first = EngineHarness(fourLineLoop(0x35, 24)).render(4000);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), captured.begin())) << "it starts with the first file";
    const std::vector<std::uint8_t> after = EngineHarness(second).render(lineStart(line + 2));
    const auto from = after.begin() + static_cast<std::ptrdiff_t>(lineStart(line));
    EXPECT_NE(std::search(captured.begin(), captured.end(), from, after.end()), captured.end())
        << "the second file's bytes from the start of line " << line;
}

TEST_F(PlayCommand, WatchKeepsPlayingWhenTheFileNoLongerImports) {
    write("song.mod", buildMod(smallModLayout()));
    ASSERT_EQ(run("$NIBTOOL play song.mod --watch --seconds 2 2>err & " + kUntilPlaying +
                      "echo 'not a module' >song.mod; wait $!",
                  false),
              0);
    const std::string err = text("err");
    EXPECT_NE(
        err.find("song.mod not loaded: 'song.mod' is text, not a ROM image or a module; the last good one "
                 "plays on"),
        std::string::npos)
        << err;
    EXPECT_EQ(read("capture.raw").size(), 16000u) << "it played on to the end";
}

// Where someone listens (SDL's dummy driver keeps a device's pace), a module saved late in the song
// plays on from where it is, whichever version of the save (a quick one made from the order position
// playing, or the whole import) takes over first: the song's clock goes on from where it was. Eight
// positions of 2.56 s (speed 2); 12 s of it leave a busy machine time to make the save ready.
TEST_F(PlayCommand, WatchPlaysASavedModuleOnFromWhereItIs) {
    ModLayout layout;
    layout.samples = {{"triangle", 512, 0, 64, 0, 512}};
    layout.length = 8;
    layout.orders.assign(8, 0);
    layout.cells = {{0, 0, 1, 0, 0, 0xF, 2}};
    for (std::size_t row = 0; row < 64; row += 4)
        layout.cells.push_back({0, row, 0, 1, 428, 0, 0});
    write("song.mod", buildMod(layout));
    layout.cells[1].period = 214;
    write("saved.mod", buildMod(layout));
    ASSERT_EQ(run("export SDL_AUDIODRIVER=dummy; $NIBTOOL play song.mod --watch --seconds 12 2>err & "
                  "for i in $(seq 200); do grep -q '^0:0[5-9].* order [2-7] row' err && break; sleep 0.05; "
                  "done; mv saved.mod song.mod; wait $!",
                  false),
              0)
        << text("err");
    const std::string err = text("err");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m,
                                  std::regex("reloaded song.mod, going on at order (\\d+) row \\d+\n"
                                             "(\\d+):(\\d+)")))
        << err;
    EXPECT_GE(std::stoi(m[1]), 2) << err;
    EXPECT_GE(std::stoi(m[2]) * 60 + std::stoi(m[3]), 5) << "the clock goes on: " << err;
}

// A program on a pseudo-terminal of 80x24, as a user's terminal runs it.
class Pty {
  public:
    explicit Pty(const std::vector<std::string>& command) {
        winsize size{24, 80, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (const std::string& a : command)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            setenv("TERM", "xterm", 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Pty() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool ok() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void send(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads what the program writes for `ms` milliseconds.
    void readFor(int ms) {
        for (int waited = 0; waited < ms; waited += 20) {
            pollfd p{master_, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (poll(&p, 1, 20) > 0 && (n = ::read(master_, buffer, sizeof buffer)) > 0)
                output_.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0)
                usleep(20000); // the program has closed the terminal
        }
    }
    // Reads until the screen, from `from` bytes of output on, holds `text` (escape sequences aside), or
    // `ms` have passed; returns where it was found, or npos.
    std::size_t readUntil(const std::string& text, std::size_t from, int ms) {
        for (int waited = 0; waited < ms; waited += 20) {
            const std::string seen = std::regex_replace(output_.substr(std::min(from, output_.size())),
                                                        std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
            if (seen.find(text) != std::string::npos) return output_.size();
            readFor(20);
        }
        return std::string::npos;
    }
    // The exit status once it has ended (within `ms`), or -1.
    int wait(int ms) {
        for (int waited = 0; waited < ms && status_ < 0; waited += 20) {
            readFor(20);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 200;
        }
        return status_;
    }
    // The order position and line the screen showed last, and whether it said paused.
    SongPosition shown(bool* paused = nullptr) const {
        static const std::regex place("order +(\\d+)/\\d+ +pattern +\\d+ +line +(\\d+) .*?(playing|paused)");
        SongPosition at{255, 255};
        const std::string last = output_.substr(output_.size() - std::min<std::size_t>(output_.size(), 8192));
        for (auto it = std::sregex_iterator(last.begin(), last.end(), place); it != std::sregex_iterator();
             ++it) {
            at = {static_cast<std::uint8_t>(std::stoi((*it)[1])),
                  static_cast<std::uint8_t>(std::stoi((*it)[2]))};
            if (paused) *paused = (*it)[3] == "paused";
        }
        return at;
    }
    const std::string& output() const { return output_; }
    termios modes() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }

  private:
    pid_t pid_ = -1;
    int master_ = -1;
    int status_ = -1;
    std::string output_;
};

TEST_F(PlayCommand, ViewFollowsTheSongAndItsKeys) {
    const std::string demo = std::string(NIBPLAY_TEST_DIR) + "/../examples/demo.rom";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path("capture.raw").c_str(), 1);
    Pty pty({NIBTOOL_BINARY, "play", demo});
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    pty.readFor(1000);
    const SongPosition early = pty.shown();
    pty.readFor(1000);
    const SongPosition later = pty.shown();
    EXPECT_EQ(early.order, 0);
    EXPECT_GT(later.line, early.line) << pty.output();

    pty.send("\x1b[C");
    pty.readFor(500);
    EXPECT_EQ(pty.shown().order, 1) << "right: the next order position";
    pty.send(" ");
    pty.readFor(300);
    bool paused = false;
    const SongPosition held = pty.shown(&paused);
    pty.readFor(700);
    EXPECT_TRUE(paused);
    EXPECT_EQ(pty.shown().line, held.line) << "space: paused";
    pty.send(" \x1b[D");
    pty.readFor(500);
    EXPECT_EQ(pty.shown(&paused).order, 0) << "left: the previous order position";
    EXPECT_FALSE(paused);
    pty.send("q");
    EXPECT_EQ(pty.wait(3000), 0) << "q quits";
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
}

// However playing ends, the terminal is given back, and then what the view said last stays on the
// screen below the prompt's line: the errors (no audio device, a file that is not a song) and where the
// song stopped.
TEST_F(PlayCommand, TerminalIsGivenBackOnEveryEndWithTheLastWordsAfterIt) {
    const std::string rom = write("loop.rom", fourLineLoop().build());
    const std::string notes = write("notes.txt", std::vector<std::uint8_t>(40, 'a'));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path("capture.raw").c_str(), 1);
    const std::string noDevice = "SDL_AUDIODRIVER=nosuch exec '" NIBTOOL_BINARY "' play '" + rom + "'";
    struct Case {
        const char* how;
        std::vector<std::string> command;
        int signal; // sent after a second, or 0
        std::string keys;
        int status;
        std::vector<std::string> said; // after the main screen is back, in order
    };
    const Case cases[] = {
        {"q", {NIBTOOL_BINARY, "play", rom, "--loop"}, 0, "q", 0, {"loop.rom: 0:", ", stopped"}},
        {"SIGINT", {NIBTOOL_BINARY, "play", rom, "--loop"}, SIGINT, "", 128 + SIGINT, {"loop.rom: 0:"}},
        {"the song's end", {NIBTOOL_BINARY, "play", rom}, 0, "", 0, {"loop.rom: 0:", ", ended"}},
        {"no audio device",
         {"/bin/bash", "-c", noDevice},
         0,
         "",
         1,
         {"nibtool: no audio device to play on", "nibtool render " + rom + " out.wav"}},
        {"a file that is not a song",
         {NIBTOOL_BINARY, "play", notes, rom},
         0,
         "",
         1,
         {"nibtool: '" + notes + "' is text, not a ROM image or a module", "loop.rom: 0:", ", ended"}},
    };
    for (const Case& c : cases) {
        Pty pty(c.command);
        if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
        pty.readFor(700);
        if (c.signal) kill(pty.pid(), c.signal);
        if (!c.keys.empty()) pty.send(c.keys);
        EXPECT_EQ(pty.wait(5000), c.status) << c.how;
        const std::string& out = pty.output();
        const std::string leave = "\x1b[?1049l";
        const std::size_t back = out.rfind(leave);
        ASSERT_NE(back, std::string::npos) << c.how;
        const std::string after = out.substr(back + leave.size());
        EXPECT_EQ(after.find('\x1b'), std::string::npos)
            << c.how << ": nothing is drawn once the screen is back";
        std::size_t at = 0;
        for (const std::string& words : c.said) {
            at = after.find(words, at);
            EXPECT_NE(at, std::string::npos) << c.how << ": '" << words << "' is not on the screen after\n"
                                             << after;
        }
        EXPECT_TRUE(pty.modes().c_lflag & ECHO) << c.how;
        EXPECT_TRUE(pty.modes().c_lflag & ICANON) << c.how;
    }
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
}

TEST_F(PlayCommand, NibplayRefusesToWriteAudioOnATerminal) {
    const std::string rom = write("loop.rom", fourLineLoop().build());
    const std::string err = path("err");
    Pty pty(
        {"/bin/bash", "-c", std::string("exec '") + NIBPLAY_BINARY + "' '" + rom + "' x 2>'" + err + "'"});
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    EXPECT_EQ(pty.wait(3000), 2);
    EXPECT_EQ(pty.output(), "") << "no audio reached the terminal";
    const std::string said = text("err");
    EXPECT_EQ(said.rfind("nibplay: standard output is a terminal; pipe it to a player", 0), 0u) << said;
    EXPECT_NE(said.find("nibtool play"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

} // namespace

TEST_F(PlayCommand, SeveralFilesPlayInTurnAsTheirRendersOneAfterTheOther) {
    write("loop.rom", fourLineLoop().build());
    write("orders.rom", threeOrders().build());
    write("small.mod", buildMod(smallModLayout()));
    write("notes.txt", std::vector<std::uint8_t>(27, 'a'));
    std::vector<std::uint8_t> other = fourLineLoop(0x7A, 30).build(); // made for another rate
    RomSignature signature;
    signature.rate = 11025;
    ASSERT_TRUE(writeSignature(other, signature));
    write("other.rom", other);
    ASSERT_EQ(run("$NIBTOOL import small.mod small.rom 2>/dev/null"), 0);
    struct Case {
        std::string files, length;
        int status;
        std::vector<std::string> renders; // what the capture holds, one after the other
        std::vector<std::string> said;    // on standard error, in order
    };
    const Case cases[] = {
        // At the device's pace, each next file made ready while the one before plays (a wait for it on a
        // busy machine is silence the capture leaves out).
        {"small.mod loop.rom orders.rom",
         " --seconds 1.5",
         0,
         {"small.rom", "loop.rom", "orders.rom"},
         {"small.mod", ", at 8000 Hz", "loop.rom", "orders.rom"}},
        // A file that is neither kind is passed over with its one line; the status says so.
        {"loop.rom notes.txt loop.rom",
         " --loops 2",
         1,
         {"loop.rom", "loop.rom"},
         {"loop.rom", "\nnibtool: 'notes.txt' is text, not a ROM image or a module\n", "loop.rom"}},
        // A file made for another rate follows at its rate once the one before has ended: the device
        // opens again at it (and SDL's disk driver writes its file afresh).
        {"loop.rom other.rom",
         "",
         0,
         {"other.rom"},
         {"loop.rom: 0:00.4 once through, at 8000 Hz\n", "other.rom: 0:00.3 once through, at 11025 Hz\n"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run("$NIBTOOL play " + c.files + c.length + " 2>err", false), c.status) << text("err");
        std::size_t at = 0;
        for (const std::string& words : c.said) {
            at = text("err").find(words, at);
            EXPECT_NE(at, std::string::npos) << c.files << ": '" << words << "' in\n" << text("err");
        }
        const std::vector<std::uint8_t> captured = read("capture.raw");
        std::size_t from = 0; // where the next file's part of the capture starts
        for (const std::string& file : c.renders) {
            ASSERT_EQ(run("$NIBTOOL render " + file + " one.raw" + c.length + " 2>/dev/null"), 0) << file;
            const std::vector<std::uint8_t> one = read("one.raw");
            ASSERT_LE(from + one.size(), captured.size()) << c.files << ": " << file;
            const std::vector<std::uint8_t> part(captured.begin() + static_cast<std::ptrdiff_t>(from),
                                                 captured.begin() +
                                                     static_cast<std::ptrdiff_t>(from + one.size()));
            from += one.size();
            if (file != "small.rom") {
                EXPECT_TRUE(part == one) << c.files << ": " << file;
                continue;
            }
            // The module: its preview, then its whole import from a line at the same time in the song.
            ASSERT_EQ(run("$NIBTOOL render small.rom whole.raw --seconds 20 2>/dev/null"), 0);
            EXPECT_NE(takeover(part, previewBytes(path("small.mod"), 0, part.size()), read("whole.raw"),
                               *prepared(read("small.rom")), false),
                      std::string::npos)
                << c.files;
        }
        EXPECT_EQ(captured.size(), from) << c.files;
    }
}

TEST_F(PlayCommand, DiskDriverWritesNoFileUnlessOneIsNamed) {
    write("loop.rom", fourLineLoop().build());
    ASSERT_EQ(run("unset SDL_DISKAUDIOFILE; $NIBTOOL play loop.rom -q && ls"), 0);
    std::ifstream probe(path("sdlaudio.raw"));
    EXPECT_FALSE(probe.good()) << "no sdlaudio.raw in the working folder";
}

// libxmp's order position and row at each moment of a module, as a module player shows them.
struct ModuleRow {
    double time;
    int order, row;
};

std::vector<ModuleRow> libxmpRows(std::vector<std::uint8_t> module) {
    std::vector<ModuleRow> rows;
    xmp_context ctx = xmp_create_context();
    if (xmp_load_module_from_memory(ctx, module.data(), static_cast<long>(module.size())) == 0 &&
        xmp_start_player(ctx, 8000, XMP_FORMAT_MONO) == 0) {
        xmp_frame_info fi{};
        double time = 0;
        while (xmp_play_frame(ctx) == 0) {
            xmp_get_frame_info(ctx, &fi);
            if (fi.loop_count > 0) break;
            rows.push_back({time, fi.pos, fi.row});
            time += fi.frame_time / 1e6;
        }
        xmp_end_player(ctx);
        xmp_release_module(ctx);
    }
    xmp_free_context(ctx);
    return rows;
}

TEST_F(PlayCommand, ModuleViewShowsTheModulesRowAtTheSongsTime) {
    const std::vector<std::uint8_t> module = buildMod(smallModLayout());
    const std::vector<ModuleRow> rows = libxmpRows(module);
    ASSERT_FALSE(rows.empty());
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path("capture.raw").c_str(), 1);
    Pty pty({NIBTOOL_BINARY, "play", write("small.mod", module)});
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    // Frames show "order O/L  row R  of 4 channels  line N  speed T/C  M:SS.t ..." with the song's time.
    static const std::regex frame(
        "order +(\\d+)/\\d+ +row +(\\d+) +of 4 channels .*?(\\d+):(\\d\\d)\\.(\\d)");
    std::set<std::string> seen;
    for (int waited = 0; waited < 10000 && seen.size() < 8; waited += 200) {
        pty.readFor(200);
        const std::string& out = pty.output();
        for (auto it = std::sregex_iterator(out.begin(), out.end(), frame); it != std::sregex_iterator();
             ++it)
            seen.insert((*it)[0]);
    }
    ASSERT_GE(seen.size(), 3u) << pty.output();
    for (const std::string& shown : seen) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(shown, m, frame));
        const int order = std::stoi(m[1]), row = std::stoi(m[2]);
        const double time = std::stoi(m[3]) * 60 + std::stoi(m[4]) + std::stoi(m[5]) / 10.0;
        // The clock shows tenths: libxmp's rows over that tenth, and a tick either side.
        const bool found = std::any_of(rows.begin(), rows.end(), [&](const ModuleRow& r) {
            return r.time >= time - 0.03 && r.time < time + 0.13 && r.order == order && r.row == row;
        });
        EXPECT_TRUE(found) << shown;
    }
    EXPECT_NE(pty.output().find("module channel"), std::string::npos);
    EXPECT_NE(pty.output().find("ticks a line, a tick"), std::string::npos) << "the legend of speed";
    pty.send("q");
    EXPECT_EQ(pty.wait(3000), 0);
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
}

// Keys 1-4 switch to songs 0-3 of the image from their starts, passing over an empty one with a word on
// the status line; e plays the effects the ROM's signature names in turn, or says there are none.
// Keys n and p: the next and the previous file, from its start; a file refused is passed over both
// ways, and there is no file before the first or after the last.
TEST_F(PlayCommand, FileKeysGoToTheNextAndPreviousFilePassingOverRefusedOnes) {
    write("first.rom", fourLineLoop().build());
    write("notes.txt", std::vector<std::uint8_t>(27, 'a'));
    write("second.rom", threeOrders().build());
    write("third.mod", buildMod(smallModLayout()));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    struct Step {
        const char* keys;
        std::string shown; // on the screen once the keys have been taken
    };
    // Found while the first one plays, to follow it, the text file is passed over; the last and the first
    // play on at n and p.
    const Step steps[] = {
        {"", "first.rom"},  {"", "notes.txt' is text"}, {"n", "second.rom"},
        {"n", "third.mod"}, {"n", "third.mod"},         {"p", "second.rom"},
        {"p", "first.rom"}, {"p", "first.rom"},         {"n", "second.rom"},
    };
    Pty pty({NIBTOOL_BINARY, "play", path("first.rom"), path("notes.txt"), path("second.rom"),
             path("third.mod"), "--loop"});
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
    ASSERT_NE(pty.readUntil("n/p file", 0, 10000), std::string::npos) << pty.output();
    std::size_t from = 0;
    for (const Step& step : steps) {
        pty.send(step.keys);
        from = pty.readUntil(step.shown, from, 10000);
        ASSERT_NE(from, std::string::npos)
            << step.keys << " -> " << step.shown << "\n"
            << std::regex_replace(pty.output().substr(pty.output().size() -
                                                      std::min<std::size_t>(pty.output().size(), 1500)),
                                  std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
    }
    pty.send("q");
    EXPECT_EQ(pty.wait(5000), 1) << "a file was refused";
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
}

TEST_F(PlayCommand, KeysSwitchSongsAndPlayTheRomsEffects) {
    RomBuilder builder;
    builder.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000);
    for (std::uint8_t n = 0; n < 3; ++n) { // song 3's entry stays empty
        const auto at = static_cast<std::uint16_t>(0x8000 + 0x400 * n);
        builder.song(n, at).orders(at, {0});
        builder.cell(at, 0, 0, n, {1, static_cast<std::uint8_t>(20 + 7 * n)});
    }
    std::vector<std::uint8_t> plain = builder.build(), signed_ = plain;
    RomSignature signature;
    signature.effects = {{1, 20, "jump"}, {1, 27, "coin"}};
    ASSERT_TRUE(writeSignature(signed_, signature));
    write("plain.rom", plain);
    write("bank.rom", signed_);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    struct Step {
        const char* keys;
        std::string shown; // on the screen once the keys have been taken
    };
    struct Case {
        const char* file;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"bank.rom",
         {{"", "  playing"}, // keys count once a song plays
          {"", "song 0"},
          {"2", "song 1 from its start"},
          {"", "song 1"},
          {"4", "song 3 is empty (songs held: 0, 1 and 2); song 1 plays on"},
          {"3", "song 2 from its start"},
          {"e", "effect 1/2 \"jump\": entry 1, tone 20, stream 3"},
          {"e", "effect 2/2 \"coin\": entry 1, tone 27, stream 3"},
          {"1", "song 0 from its start"}}},
        {"plain.rom",
         {{"", "  playing"}, {"e", "no effects: this image names none"}, {"1", "song 0 from its start"}}},
    };
    for (const Case& c : cases) {
        Pty pty({NIBTOOL_BINARY, "play", path(c.file), "--loop"});
        if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here";
        ASSERT_NE(pty.readUntil("1-4 song  e effect", 0, 10000), std::string::npos) << pty.output();
        std::size_t from = pty.output().size();
        for (const Step& step : c.steps) {
            pty.send(step.keys);
            from = pty.readUntil(step.shown, from, 10000);
            ASSERT_NE(from, std::string::npos)
                << c.file << ": " << step.keys << " -> " << step.shown << "\n"
                << std::regex_replace(pty.output().substr(pty.output().size() -
                                                          std::min<std::size_t>(pty.output().size(), 1500)),
                                      std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
        }
        pty.send("q");
        EXPECT_EQ(pty.wait(5000), 0) << c.file;
    }
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
}
