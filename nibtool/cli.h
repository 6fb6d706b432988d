// One command line for every nibtool command (CLI11): `--opt value` and `--opt=value`, the options the
// commands share mean the same with the same range everywhere, and every mistake is one line on standard
// error starting "nibtool: ", with exit status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

// The ranges every command accepts.
constexpr double kLongestSeconds = 4 * 60 * 60;
constexpr int kMostLoops = 1000;

// How long a song plays: once through by default, `loops` times through, for `seconds` of song, or for
// ever.
struct PlayLength {
    double seconds = 0; // 0: not given
    int loops = 1;
    bool forever = false;
};

// Reports a mistake in the command line of `command` found after parsing (a missing file, options that
// do not go together): one line, pointing to the command's help; returns 2.
int commandMistake(const std::string& command, const std::string& message);

class CommandLine {
  public:
    // -h/--help shows the command's help (help.h).
    explicit CommandLine(std::string command);

    // --rate HZ: the output rate (the ROM's own, or kDefaultRate, when not given).
    void rate(std::optional<int>& rate);
    // --seconds S and --loops N (one of them), and --loop for ever where `forever` fits.
    void length(PlayLength& length, bool forever);
    // -q/--quiet: nothing on standard error but errors and warnings.
    void quiet(bool& quiet);
    // --force-rom: reads any file as a ROM image, as nibplay does.
    void forceRom(bool& force);
    // --song N: the song of the image (0-3), as a game starts it with playSong(N).
    void song(int& song);
    // A whole number option in [low, high]; `what` says what it is ("a pattern number").
    void number(const std::string& name, int& value, int low, int high, const std::string& what);
    // A flag of the command's own.
    void flag(const std::string& name, bool& value);
    // A text option of the command's own, one of `choices` when they are given.
    void text(const std::string& name, std::string& value, const std::vector<std::string>& choices = {});
    // A text option that may be given several times, each value kept in order.
    void texts(const std::string& name, std::vector<std::string>& values);
    // The files named, in order.
    void files(std::vector<std::string>& files);

    // Parses the arguments after the command's name. Returns -1 to go on; otherwise the command is done
    // with that exit status (0 after its help, 2 after a mistake, already reported).
    int parse(const std::vector<std::string>& args);

    // Reports a mistake found after parsing (a missing file, options that do not go together); returns 2.
    int mistake(const std::string& message) const;

  private:
    std::string command_;
    CLI::App app_;
};
