// nibtool's outputs, target by target: a file is replaced whole (keeping its mode), a symbolic link's
// file is replaced and the link stays, a FIFO or a device is written through and stays what it is, and
// a command whose outputs clash with an input or with each other, or of which one cannot be written,
// leaves nothing behind. Each case runs in a folder of its own; the bytes written are compared with
// those the same command writes into a new regular file.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include "fuzz/test_modules.h"
#include "scratch_folder.h"

namespace {

// Four lines at the default speed, then a break back to line 0.
RomBuilder fourLineLoop() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x35).sample(1, 0x9000, 0x9100, 0, 0x9000).song(0, 0x8000).orders(0x8000, {0});
    rom.cell(0x8000, 0, 0, 0, {1, 24}).cell(0x8000, 0, 3, 2, {0, 0, 13, 0});
    return rom;
}

// What a name in a folder is after a command.
struct Expect {
    std::string name;
    char type;         // 'f' file, 'l' symbolic link, 'p' FIFO, 'c' character device, '-' nothing
    unsigned mode;     // a file's permissions, or 0: any
    std::string bytes; // a file's bytes: those of the reference file of that name ("ref.rom"), or "": any
};

char typeOf(const std::string& path, unsigned& mode) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return '-';
    mode = st.st_mode & 07777;
    return S_ISLNK(st.st_mode) ? 'l' : S_ISFIFO(st.st_mode) ? 'p' : S_ISCHR(st.st_mode) ? 'c' : 'f';
}

TEST(NibtoolOutputs, EachTargetHoldsWhatItShouldAfterTheCommand) {
    ScratchFolder folder("nibtool-outputs-test");
    folder.write("song.mod", buildMod(smallModLayout()));
    folder.write("loop.rom", fourLineLoop().build());
    ASSERT_EQ(folder.run("$NIBTOOL import song.mod ref.rom -q && $NIBTOOL render loop.rom ref.wav -q && "
                         "$NIBTOOL bank ref-bank.rom song.mod -q && echo old >old"),
              0);
    struct Case {
        const char* what;
        std::string setup, command; // run in the case's folder, which holds song.mod and loop.rom
        int status;
        std::vector<Expect> after;
    };
    const Case cases[] = {
        {"a file of mode 0640",
         "echo old >out.rom && chmod 640 out.rom",
         "import song.mod out.rom",
         0,
         {{"out.rom", 'f', 0640, "ref.rom"}}},
        {"a file named in capitals", "", "render loop.rom OUT.WAV", 0, {{"OUT.WAV", 'f', 0, "ref.wav"}}},
        {"a symbolic link to a file of mode 0600",
         "mkdir real && echo old >real/x.rom && chmod 600 real/x.rom && ln -s real/x.rom out.rom",
         "import song.mod out.rom",
         0,
         {{"out.rom", 'l', 0, ""}, {"real/x.rom", 'f', 0600, "ref.rom"}}},
        {"a symbolic link to a file not there yet",
         "mkdir real && ln -s real/x.rom out.rom",
         "import song.mod out.rom",
         0,
         {{"out.rom", 'l', 0, ""}, {"real/x.rom", 'f', 0, "ref.rom"}}},
        {"a FIFO with a reader",
         "mkfifo out.rom && { cat out.rom >got & }",
         "import song.mod out.rom",
         0,
         {{"out.rom", 'p', 0, ""}, {"got", 'f', 0, "ref.rom"}}},
        {"a FIFO taking a WAV, which is made whole first",
         "mkfifo out.wav && { cat out.wav >got & }",
         "render loop.rom out.wav",
         0,
         {{"out.wav", 'p', 0, ""}, {"got", 'f', 0, "ref.wav"}}},
        {"standard output taking a WAV",
         "",
         "render loop.rom - --format wav >got",
         0,
         {{"got", 'f', 0, "ref.wav"}}},
        {"a character device (made as root)",
         "mknod null c 1 3 2>/dev/null || exit 77",
         "import song.mod null",
         0,
         {{"null", 'c', 0, ""}}},
        {"a character device taking a WAV (made as root)",
         "mknod null c 1 3 2>/dev/null || exit 77",
         "render loop.rom null --format wav",
         0,
         {{"null", 'c', 0, ""}}},
        {"a file its user may not write (not as root)",
         "[ \"$(id -u)\" != 0 ] || exit 77; echo old >out.rom && chmod 444 out.rom",
         "import song.mod out.rom",
         1,
         {{"out.rom", 'f', 0444, "old"}}},
        {"a hard link to the input",
         "ln song.mod out.rom",
         "import song.mod out.rom",
         1,
         {{"song.mod", 'f', 0, "song.mod"}, {"out.rom", 'f', 0, "song.mod"}}},
        {"--header naming the ROM", "", "bank b.rom song.mod --header b.rom", 1, {{"b.rom", '-', 0, ""}}},
        {"--header a link to the ROM",
         "echo old >b.rom && ln -s b.rom h.h",
         "bank b.rom song.mod --header h.h",
         1,
         {{"b.rom", 'f', 0, "old"}}},
        {"--header in a missing folder",
         "",
         "bank b.rom song.mod --header nowhere/b.h",
         1,
         {{"b.rom", '-', 0, ""}}},
        {"a header and its ROM",
         "",
         "bank b.rom song.mod --header b.h",
         0,
         {{"b.rom", 'f', 0, "ref-bank.rom"}, {"b.h", 'f', 0, ""}}},
        {"two songs of one name into a folder",
         "mkdir d1 d2 out && cp song.mod d1/dup.mod && cp song.mod d2/dup.mod",
         "import d1/dup.mod d2/dup.mod out",
         1,
         {{"out/dup.rom", '-', 0, ""}}},
        {"two renders of one name into a folder",
         "mkdir d1 d2 out && cp loop.rom d1/a.rom && cp loop.rom d2/a.rom",
         "render d1/a.rom d2/a.rom out",
         1,
         {{"out/a.wav", '-', 0, ""}}},
        {"a song that is not a module among others",
         "mkdir out && echo text >notes.txt",
         "import notes.txt song.mod out",
         1,
         {{"out/notes.rom", '-', 0, ""}, {"out/song.rom", 'f', 0, "ref.rom"}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dir = "case" + std::to_string(++n);
        const std::string in = dir + "/";
        // The setup, the command, and the wait for a reader the setup started, in one script.
        const int status =
            folder.run("mkdir " + dir + " && cd " + dir + " && cp ../song.mod ../loop.rom . && { " +
                       (c.setup.empty() ? "true" : c.setup) + "; } || exit 78; $NIBTOOL " + c.command +
                       " -q 2>err; s=$?; wait; exit $s");
        if (status == 77) { // the case cannot be made here
            std::printf("skipped: %s\n", c.what);
            continue;
        }
        ASSERT_NE(status, 78) << c.what << ": the setup failed";
        EXPECT_EQ(status, c.status) << c.what;
        const std::string err = folder.text(in + "err");
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.status == 0 ? 0 : 1) << c.what << ": " << err;
        for (const Expect& e : c.after) {
            unsigned mode = 0;
            EXPECT_EQ(typeOf(folder.path(in + e.name), mode), e.type) << c.what << ": " << e.name;
            if (e.mode != 0) {
                EXPECT_EQ(mode, e.mode) << c.what << ": " << e.name;
            }
            if (e.bytes.empty()) continue;
            EXPECT_TRUE(folder.read(in + e.name) == folder.read(e.bytes))
                << c.what << ": " << e.name << " holds other bytes";
        }
        EXPECT_EQ(folder.run("cd " + dir + " && test -z \"$(find . -mindepth 1 -name '.*')\""), 0)
            << c.what << ": a temporary file was left";
    }
}

// Standard error is diagnostics: a report whose reader went away, or that cannot be written, costs its
// lines, never the outputs. Standard output is data: when its reader goes away the command ends by
// SIGPIPE, as a pipe's writer does, quietly, leaving no file and no temporary file behind. Fd 4 is a pipe
// whose reader is gone before the command starts.
TEST(NibtoolOutputs, AGoneReaderCostsTheReportButEndsTheData) {
    ScratchFolder folder("nibtool-reader-test");
    folder.write("song.mod", buildMod(smallModLayout()));
    folder.write("loop.rom", fourLineLoop().build());
    ASSERT_EQ(folder.run("$NIBTOOL import song.mod ref.rom -q && $NIBTOOL render loop.rom ref.wav -q && "
                         "$NIBTOOL bank ref-bank.rom song.mod -q"),
              0);
    struct Case {
        const char* what;
        std::string command;      // standard error goes to err unless the command says otherwise
        int status;               // 141: ended by SIGPIPE
        std::string left;         // the folder's entries after it, besides song.mod, loop.rom and err
        std::string made, sameAs; // a file the command made and the reference it holds the bytes of
    };
    const Case cases[] = {
        {"import, the report's reader gone", "import song.mod out.rom 2>&4", 0, "out.rom", "out.rom",
         "ref.rom"},
        {"import, the report into a pipe whose reader ends", "import song.mod out.rom 2>&1 | true", 0,
         "out.rom", "out.rom", "ref.rom"},
        {"import, the report unwritable", "import song.mod out.rom 2>/dev/full", 0, "out.rom", "out.rom",
         "ref.rom"},
        {"bank, the report's reader gone", "bank out.rom song.mod --header b.h 2>&4", 0, "b.h out.rom",
         "out.rom", "ref-bank.rom"},
        {"render, the report's reader gone", "render loop.rom out.wav 2>&4", 0, "out.wav", "out.wav",
         "ref.wav"},
        {"render to standard output, its reader gone", "render loop.rom - >&4", 141, "", "", ""},
        {"render of a WAV to standard output, its reader gone", "render loop.rom - --format wav >&4", 141, "",
         "", ""},
        {"render to standard output into head -c", "render loop.rom - --seconds 30 | head -c 100 >/dev/null",
         141, "", "", ""},
        {"import, its JSON to standard output, whose reader is gone", "import song.mod out.rom --json - >&4",
         141, "", "", ""},
        {"info, its reader gone", "info loop.rom >&4", 141, "", "", ""},
        {"info, standard output unwritable", "info loop.rom >/dev/full", 1, "", "", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dir = "case" + std::to_string(++n), in = dir + "/";
        const int status =
            folder.run("mkdir " + dir + " && cd " + dir +
                       " && cp ../song.mod ../loop.rom . && mkfifo gone && exec 3<>gone 4>gone "
                       "3<&- 2>err && rm gone && $NIBTOOL " +
                       c.command + "; exit ${PIPESTATUS[0]}");
        EXPECT_EQ(status, c.status) << c.what;
        const std::string err = folder.text(in + "err");
        EXPECT_EQ(err.find("nibtool:") == std::string::npos, c.status != 1) << c.what << ": " << err;
        if (!c.made.empty()) {
            EXPECT_TRUE(folder.read(in + c.made) == folder.read(c.sameAs)) << c.what << ": " << c.made;
        }
        folder.run("cd " + dir +
                   " && ls -A | grep -v -x -e song.mod -e loop.rom -e err | paste -s -d ' ' >../left");
        EXPECT_EQ(folder.text("left"), c.left + "\n") << c.what;
    }
}

} // namespace
