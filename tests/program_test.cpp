// The nibplay program end to end: its first bytes and trace on a built ROM, and how it meets a missing
// argument, a bad file and a dead output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "engine_harness.h"

namespace {

const std::string kUsage = "usage: program <rom image> <Pn or Sn for play Pattern n or play Sample n>\n";

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/nibplay-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string writeRom(const RomBuilder& rom) const {
        const std::string file = path("song.rom");
        const std::vector<std::uint8_t> bytes = rom.build();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    // Runs a bash script in the test's folder with $NIBPLAY set; returns its exit status.
    int run(const std::string& script) const {
        std::ofstream(path("script.sh")) << "NIBPLAY='" NIBPLAY_BINARY "'\ncd '" << dir_ << "'\n"
                                         << script << "\n";
        const int status = std::system(("bash '" + path("script.sh") + "' </dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir_;
};

RomBuilder twoNoteSong() {
    RomBuilder rom;
    rom.fill(0x9000, 0x100, 0x07).sample(1, 0x9000, 0x9100, 0, 0x9000).song(0, 0x8000).orders(0x8000, {0});
    rom.cell(0x8000, 0, 0, 1, {1, 24}).cell(0x8000, 0, 0, 2, {1, 20});
    return rom;
}

TEST_F(Program, PlaysTheSameBytesAndTraceAsTheEngine) {
    const std::string rom = writeRom(twoNoteSong());
    // Both with the two arguments and with one (the usage line then goes to standard error only).
    for (const std::string& args : {"'" + rom + "' x", "'" + rom + "'"}) {
        ASSERT_EQ(run("set -o pipefail; $NIBPLAY " + args +
                      " 2>err | head -c 20000 >out; echo ${PIPESTATUS[0]} >st"),
                  0);
        EngineHarness h(twoNoteSong());
        const std::vector<std::uint8_t> expected = h.render(20000);
        EXPECT_EQ(read("out"), std::string(expected.begin(), expected.end()));
        const std::string err = read("err");
        const std::string usage = args.find(" x") == std::string::npos ? kUsage : "";
        ASSERT_GE(err.size(), usage.size() + h.traceText().size());
        EXPECT_EQ(err.substr(0, usage.size() + h.traceText().size()), usage + h.traceText());
        EXPECT_EQ(read("st"), "141\n") << "ended by SIGPIPE when its reader went away";
    }
}

TEST_F(Program, Faults) {
    const std::string rom = writeRom(twoNoteSong());
    run("mkdir adir");
    struct Case {
        const char* what;
        std::string command; // standard output to 'out', standard error to 'err'
        int status;
        std::string errStart; // what standard error starts with
        bool audio;           // whether any audio reached 'out'
    };
    const Case cases[] = {
        {"no argument", "$NIBPLAY >out 2>err", 2, kUsage, false},
        {"missing file", "$NIBPLAY nosuch.rom x >out 2>err", 1,
         "nibplay: cannot open 'nosuch.rom': No such file or directory\n", false},
        {"a directory", "$NIBPLAY adir x >out 2>err", 1, "nibplay: cannot read 'adir': Is a directory\n",
         false},
        {"a full device", "$NIBPLAY '" + rom + "' x >/dev/full 2>err; st=$?; touch out; exit $st", 1,
         "load of 32768", false},
        {"a closed standard output", "$NIBPLAY '" + rom + "' x >&- 2>err; st=$?; touch out; exit $st", 1,
         "load of 32768", false},
        {"SIGPIPE ignored: the reader going away ends it quietly",
         "trap '' PIPE; $NIBPLAY '" + rom + "' x 2>err | head -c 100 >out; exit ${PIPESTATUS[0]}", 0,
         "load of", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.command), c.status) << c.what;
        const std::string err = read("err");
        EXPECT_EQ(err.substr(0, c.errStart.size()), c.errStart) << c.what;
        EXPECT_EQ(!read("out").empty(), c.audio) << c.what;
        if (c.status == 1 && c.errStart.rfind("load", 0) == 0) {
            // The trace, then one line saying why it stopped.
            EXPECT_NE(err.find("\nnibplay: cannot write audio: "), std::string::npos) << c.what;
        }
        if (c.status == 0) {
            EXPECT_EQ(err.find("nibplay:"), std::string::npos) << c.what;
        }
    }
}

} // namespace
