#include "cli.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "help.h"
#include "rom/signature.h"

namespace {

std::string numberText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// A number in [low, high], whole when `whole`; the message says what the option needs.
CLI::Validator numberIn(double low, double high, bool whole, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            const bool ok =
                !text.empty() && *end == '\0' && v >= low && v <= high && (!whole || v == std::trunc(v));
            if (ok) return "";
            return "needs " + what + " from " + numberText(low) + " to " + numberText(high) + ", not '" +
                   text + "'";
        },
        "", "range");
}

// CLI11's message in plain words: "--rate needs a value", "unknown option '--foo'".
std::string plainWords(const CLI::ParseError& e) {
    const std::string what = e.what();
    const std::size_t colon = what.find(": ");
    const std::string name = colon == std::string::npos ? "" : what.substr(0, colon);
    const std::string rest = colon == std::string::npos ? what : what.substr(colon + 2);
    if (dynamic_cast<const CLI::ValidationError*>(&e) && !name.empty()) return name + " " + rest;
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && !name.empty()) return name + " needs a value";
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        const std::string first = rest.substr(0, rest.find(' '));
        return (first.size() > 1 && first[0] == '-' ? "unknown option '" : "unexpected argument '") + first +
               "'";
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&e)) {
        const std::size_t at = what.find(" excludes ");
        if (at != std::string::npos)
            return "give " + what.substr(0, at) + " or " + what.substr(at + 10) + ", not both";
    }
    return what;
}

} // namespace

CommandLine::CommandLine(std::string command)
    : command_(std::move(command)), app_("", "nibtool " + command_) {
    app_.set_help_flag(); // each command's help is its own text
    app_.allow_windows_style_options(false);
}

void CommandLine::rate(std::optional<int>& rate) {
    app_.add_option_function<int>("--rate", [&rate](const int& hz) { rate = hz; })
        ->check(numberIn(kLowestRate, kHighestRate, true, "a rate in Hz"));
}

void CommandLine::length(PlayLength& length, bool forever) {
    CLI::Option* seconds = app_.add_option("--seconds", length.seconds)
                               ->check(numberIn(0.001, kLongestSeconds, false, "a length in seconds"));
    CLI::Option* loops = app_.add_option("--loops", length.loops)
                             ->check(numberIn(1, kMostLoops, true, "a count of times through"));
    seconds->excludes(loops);
    if (forever) {
        CLI::Option* loop = app_.add_flag("--loop", length.forever)->disable_flag_override();
        loop->excludes(seconds)->excludes(loops);
    }
}

void CommandLine::song(int& song) {
    number("--song", song, 0, static_cast<int>(kSongs) - 1, "a song number");
}

void CommandLine::quiet(bool& quiet) {
    app_.add_flag("-q,--quiet", quiet)->disable_flag_override();
}

void CommandLine::forceRom(bool& force) {
    app_.add_flag("--force-rom", force)->disable_flag_override();
}

void CommandLine::number(const std::string& name, int& value, int low, int high, const std::string& what) {
    app_.add_option(name, value)->check(numberIn(low, high, true, what));
}

void CommandLine::flag(const std::string& name, bool& value) {
    app_.add_flag(name, value)->disable_flag_override();
}

void CommandLine::text(const std::string& name, std::string& value, const std::vector<std::string>& choices) {
    CLI::Option* option = app_.add_option(name, value);
    if (choices.empty()) return;
    std::string list;
    for (const std::string& c : choices)
        list += (list.empty() ? "" : ", ") + c;
    option->check(CLI::Validator(
        [choices, list](std::string& text) -> std::string {
            if (std::find(choices.begin(), choices.end(), text) != choices.end()) return "";
            return "needs one of " + list + ", not '" + text + "'";
        },
        "", "choice"));
}

void CommandLine::texts(const std::string& name, std::vector<std::string>& values) {
    app_.add_option(name, values)->allow_extra_args(false);
}

void CommandLine::files(std::vector<std::string>& files) {
    app_.add_option("files", files);
}

int CommandLine::parse(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "-h" || a == "--help") {
            std::fputs(helpText(*helpFor(command_)).c_str(), stdout);
            return 0;
        }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend()); // CLI11 takes them last first
    try {
        app_.parse(reversed);
    } catch (const CLI::ParseError& e) {
        return mistake(plainWords(e));
    }
    return -1;
}

int commandMistake(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "nibtool: %s (see nibtool %s --help)\n", message.c_str(), command.c_str());
    return 2;
}

int CommandLine::mistake(const std::string& message) const {
    return commandMistake(command_, message);
}
