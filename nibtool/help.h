// Every command's help, as data: `nibtool COMMAND --help` prints it wrapped to 80 columns, `nibtool` alone
// and `nibtool help` list the commands by their summaries, and manual pages can be made from the same
// entries. Each help has the same parts, in this order: the usage line, a description (paragraphs),
// the options (a line each), sections of the command's own (play's keys), and examples (a command, and
// what it does).
#pragma once

#include <string>
#include <vector>

// An option, a key or an example, and what it does.
struct HelpItem {
    std::string name, text;
};

struct HelpSection {
    std::string title; // "Keys"
    std::vector<HelpItem> items;
};

struct CommandHelp {
    std::string name;    // "render"
    std::string summary; // what the command does, for the list of commands
    std::string usage;   // what follows "nibtool NAME" on the usage line
    std::vector<std::string> description;
    std::vector<HelpItem> options;
    std::vector<HelpSection> sections;
    std::vector<HelpItem> examples;
};

// The width help is wrapped to.
constexpr std::size_t kHelpColumns = 80;

// Every command's help, in the order the list of commands gives them.
const std::vector<CommandHelp>& commandHelps();
// The help of `command`, or null when there is no such command.
const CommandHelp* helpFor(const std::string& command);

// A command's help as printed.
std::string helpText(const CommandHelp& help);
// nibtool's own help: every command with its summary, the options they share, examples.
std::string overallHelp();
