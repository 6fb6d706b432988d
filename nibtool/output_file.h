// Output files written whole or not at all: the bytes go to a temporary file beside the target, renamed
// into place once complete, so a failed or interrupted command leaves no half file (SIGINT, SIGTERM and
// SIGHUP remove the temporary file before the process ends). An output that names an input is refused.
#pragma once

#include <string>
#include <vector>

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile(); // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file beside `target`. False with one line in `error`.
    bool open(const std::string& target, std::string& error);
    int fd() const { return fd_; }
    // Closes the temporary file and renames it over the target. False with one line in `error`.
    bool commit(std::string& error);

  private:
    std::string target_, temporary_;
    int fd_ = -1;
    int slot_ = -1;
};

// Writes `bytes` to `target` through an OutputFile. False with one line in `error`.
bool writeWhole(const std::string& target, const std::vector<std::uint8_t>& bytes, std::string& error);

// An output that is one of the inputs (the same path, or the same file by another name): one line saying
// so, or "" when none is.
std::string namesAnInput(const std::string& output, const std::vector<std::string>& inputs);
