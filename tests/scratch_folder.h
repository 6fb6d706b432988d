// A folder of a test's own under /tmp (another user's run on the same machine leaves one it cannot
// write), removed when the test ends, with the helpers nibtool's tests use on it: files written and read
// by name, and bash scripts run in it with $NIBTOOL and $NIBPLAY set.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "rom/rom_builder.h"

class ScratchFolder {
  public:
    explicit ScratchFolder(const std::string& prefix = "nibtool-test") {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort(); // nowhere to write: nothing can be tested
        dir_ = pattern;
    }
    ~ScratchFolder() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Writes `bytes` as `name`; returns its path.
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        writeBytes(path(name), bytes);
        return path(name);
    }
    std::vector<std::uint8_t> read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string text(const std::string& name) const {
        const std::vector<std::uint8_t> bytes = read(name);
        return std::string(bytes.begin(), bytes.end());
    }
    bool exists(const std::string& name) const { return std::ifstream(path(name)).good(); }

    // Runs a bash script in the folder, after `environment` (lines of shell), with $NIBTOOL and $NIBPLAY
    // set and standard input empty; returns its exit status, or -1 if it did not exit.
    int run(const std::string& script, const std::string& environment = "") const {
        std::ofstream(path("script.sh")) << "NIBTOOL='" NIBTOOL_BINARY "'\nNIBPLAY='" NIBPLAY_BINARY "'\n"
                                         << environment << "cd '" << dir_ << "'\n"
                                         << script << "\n";
        const int status = std::system(("bash '" + path("script.sh") + "' </dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The folder's entries, one a line, hidden ones too.
    std::string listing() const {
        run("ls -A >listing");
        return text("listing");
    }

  private:
    std::string dir_;
};
