// nibtool's help, read as a user reads it: `nibtool` alone lists every command there is, each command's
// help fits 80 columns and has its options and examples, every option it names is one the command takes,
// and play's help names every key the view takes.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <sstream>

#include "nibtool/play/view.h"
#include "scratch_folder.h"

namespace {

// The lines of `text` under the heading `section` ("Options:"), up to the next blank line.
std::vector<std::string> sectionLines(const std::string& text, const std::string& section) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (inside && line.empty()) break;
        if (inside) lines.push_back(line);
        inside |= line == section;
    }
    return lines;
}

// The names an item line starts with ("  -q, --quiet   ..." gives -q and --quiet; "  1-4  ..." 1-4).
std::vector<std::string> itemNames(const std::string& line) {
    if (line.size() < 3 || line[2] == ' ') return {}; // a continuation line
    const std::string head = line.substr(2, line.find("  ", 2) - 2);
    std::vector<std::string> names;
    std::istringstream in(head);
    for (std::string name; std::getline(in, name, ',');) {
        while (!name.empty() && name[0] == ' ')
            name.erase(0, 1);
        names.push_back(name.substr(0, name.find(' '))); // "--rate HZ": the option alone
    }
    return names;
}

TEST(NibtoolHelp, ListsEveryCommandAndEachHelpFitsAndNamesItsOptions) {
    ScratchFolder folder("nibtool-help-test");
    ASSERT_EQ(folder.run("$NIBTOOL 2>list"), 2) << "no command is a mistake";
    ASSERT_EQ(folder.run("$NIBTOOL help >help"), 0);
    EXPECT_EQ(folder.text("list"), folder.text("help"));
    std::vector<std::string> commands;
    for (const std::string& line : sectionLines(folder.text("list"), "Commands:"))
        for (const std::string& name : itemNames(line))
            if (name != "help") commands.push_back(name);
    EXPECT_EQ(commands, (std::vector<std::string>{"info", "render", "import", "play", "bank"}));
    for (const std::string& command : commands) {
        ASSERT_EQ(folder.run("$NIBTOOL " + command + " --help >help"), 0) << command;
        const std::string help = folder.text("help");
        EXPECT_EQ(help.rfind("usage: nibtool " + command + " ", 0), 0u) << help;
        std::istringstream in(help);
        for (std::string line; std::getline(in, line);)
            EXPECT_LE(line.size(), 80u) << command << ": " << line;
        const std::vector<std::string> examples = sectionLines(help, "Examples:");
        ASSERT_FALSE(examples.empty()) << command;
        EXPECT_EQ(examples[0].rfind("  nibtool " + command + " ", 0), 0u) << command;
        // The command takes every option its help names: the parser never calls one unknown.
        const std::vector<std::string> options = sectionLines(help, "Options:");
        EXPECT_FALSE(options.empty()) << command;
        for (const std::string& line : options)
            for (const std::string& option : itemNames(line)) {
                folder.run("$NIBTOOL " + command + " " + option + " 2>err");
                EXPECT_EQ(folder.text("err").find("unknown option"), std::string::npos)
                    << command << " " << option << ": " << folder.text("err");
            }
    }
    // An option the help does not name is one the command does not take.
    EXPECT_EQ(folder.run("$NIBTOOL bank --frobnicate 2>err"), 2);
    EXPECT_NE(folder.text("err").find("unknown option '--frobnicate'"), std::string::npos)
        << folder.text("err");
}

TEST(NibtoolHelp, PlayNamesEveryKeyTheViewTakes) {
    ScratchFolder folder("nibtool-help-test");
    ASSERT_EQ(folder.run("$NIBTOOL play --help >help"), 0);
    std::set<std::string> named;
    for (const std::string& line : sectionLines(folder.text("help"), "Keys:"))
        for (const std::string& name : itemNames(line)) {
            if (name.size() == 3 && name[1] == '-') // a range: "1-4"
                for (char c = name[0]; c <= name[2]; ++c)
                    named.insert(std::string(1, c));
            else
                named.insert(name);
        }
    const std::pair<std::string, std::string> spelled[] = {
        {" ", "space"}, {"\x1b[C", "right"}, {"\x1b[D", "left"}, {"\x1bOC", "right"}, {"\x1bOD", "left"}};
    for (const auto& [bytes, name] : spelled) {
        if (decodeKeys(bytes).empty()) continue;
        EXPECT_TRUE(named.count(name)) << name;
    }
    for (int c = 0x21; c < 0x7F; ++c) {
        if (decodeKeys(std::string(1, static_cast<char>(c))).empty()) continue;
        EXPECT_TRUE(named.count(std::string(1, static_cast<char>(std::tolower(c)))))
            << "the view takes '" << static_cast<char>(c) << "' and the help does not say so";
    }
}

} // namespace
