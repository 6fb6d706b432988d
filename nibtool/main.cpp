// nibtool: inspect a ROM image, render it to an audio file, and more, with the same engine as nibplay.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "help.h"
#include "output_file.h"
#include "play/source.h"

int fail(const std::string& message) {
    std::fprintf(stderr, "nibtool: %s\n", message.c_str());
    return 1;
}

namespace {

int runCommand(const std::string& command, const std::vector<std::string>& rest) {
    if (command == "--version" || command == "version") {
        std::printf("nibtool %s\n", NIBPLAY_VERSION);
        return 0;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        const std::string topic = rest.empty() ? "" : rest[0];
        if (topic.empty()) {
            std::fputs(overallHelp().c_str(), stdout);
            return 0;
        }
        if (const CommandHelp* help = helpFor(topic)) {
            std::fputs(helpText(*help).c_str(), stdout);
            return 0;
        }
        std::fprintf(stderr, "nibtool: no command '%s' (see nibtool help)\n", topic.c_str());
        return 2;
    }
    if (command == "info") return runInfo(rest);
    if (command == "render") return runRender(rest);
    if (command == "import") return runImport(rest);
    if (command == "play") return runPlay(rest);
    if (command == "bank") return runBank(rest);
    std::fprintf(stderr, "nibtool: no command '%s' (see nibtool help)\n", command.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) { // a mistake, but the list of commands is the help wanted
        std::fputs(overallHelp().c_str(), stderr);
        return 2;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    // play's own, before any parsing: a file prepared in a child process (play/source.h).
    if (command == kPlayChildCommand) return runPlayChild(rest);
    ignoreBrokenPipes();
    const int status = runCommand(command, rest);
    // What info and help print is data too: when its reader went away, end as a pipe's writer does; when
    // it could not be written (a full disk), say so rather than report success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        if (readerGone(1)) endForGoneReader();
        if (status == 0) return fail("cannot write standard output");
    }
    return status;
}
