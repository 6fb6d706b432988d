// Writes nibtool's manual page and its bash completion from nibtool's own help, so that both say what
// the tool says:
//   help_pages NIBTOOL OUT_DIR    writes OUT_DIR/nibtool.1 and OUT_DIR/nibtool.bash
// The commands are the ones `nibtool help` lists; each command's page section is its `nibtool help
// COMMAND` text, and its completed options are the options that text names.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What a command writes on standard output. Empty when it cannot be run.
std::string run(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        if (pclose(pipe) != 0) out.clear();
    }
    return out;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A line of text as roff shows it: backslashes and minus signs as themselves, and a line that would
// start with a request's dot or quote kept as text.
std::string roffText(const std::string& line) {
    std::string out;
    for (const char c : line)
        out += c == '\\' ? std::string("\\e") : c == '-' ? std::string("\\-") : std::string(1, c);
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

// A section's lines as a list of items ("  --rate HZ   the output rate ...", its text going on in lines
// indented further, or starting on the next line), or none when its lines are not such a list.
struct Item {
    std::string tag;
    std::vector<std::string> text;
};
std::vector<Item> itemsOf(const std::vector<std::string>& lines, std::size_t& column) {
    std::vector<Item> items;
    column = std::string::npos;
    for (const std::string& l : lines) {
        const std::size_t start = l.find_first_not_of(' ');
        if (start == 2) {
            const std::size_t gap = l.find("  ", 2),
                              text = gap == std::string::npos ? gap : l.find_first_not_of(' ', gap);
            items.push_back({l.substr(2, gap == std::string::npos ? gap : gap - 2), {}});
            if (text == std::string::npos) continue;
            items.back().text.push_back(l.substr(text));
            column = std::min(column, text);
        } else if (start > 2 && !items.empty()) {
            items.back().text.push_back(l.substr(start));
            column = std::min(column, start);
        } else {
            return {};
        }
    }
    if (column == std::string::npos) return {}; // tags alone: not a list
    return items;
}

// Help text as roff: paragraphs filled; a section's list of items as tagged paragraphs whose text man fills
// to the page's width (the help's own lines, made for a terminal's 80 columns, would run past it under
// man's indent); the usage lines and other indented blocks keep their lines.
std::string roffOf(const std::vector<std::string>& lines) {
    std::string out;
    std::vector<std::string> paragraph;
    const auto flush = [&] {
        if (paragraph.empty()) return;
        // A section of the help ("Options:", then its lines): its title, then its items or its lines.
        const bool section = paragraph.size() > 1 && paragraph[0].back() == ':' && paragraph[0][0] != ' ';
        std::size_t column = 0;
        const std::vector<Item> items =
            section ? itemsOf({paragraph.begin() + 1, paragraph.end()}, column) : std::vector<Item>{};
        if (!items.empty()) {
            out += ".PP\n.B " + roffText(paragraph[0]) + "\n.RS 2\n.PD 0\n";
            for (const Item& item : items) {
                out += ".TP " + std::to_string(column - 2) + "\n" + roffText(item.tag) + "\n";
                for (const std::string& l : item.text)
                    out += roffText(l) + "\n";
            }
            out += ".PD\n.RE\n";
            paragraph.clear();
            return;
        }
        if (section) {
            out += ".PP\n.B " + roffText(paragraph[0]) + "\n.br\n.nf\n";
            paragraph.erase(paragraph.begin());
        }
        const bool asIs = section || paragraph[0].rfind("usage:", 0) == 0 || paragraph[0].rfind(" ", 0) == 0;
        if (!section) out += asIs ? ".PP\n.nf\n" : ".PP\n";
        for (const std::string& l : paragraph)
            out += roffText(l) + "\n";
        if (asIs) out += ".fi\n";
        paragraph.clear();
    };
    for (const std::string& l : lines) {
        if (l.find_first_not_of(' ') == std::string::npos)
            flush();
        else
            paragraph.push_back(l);
    }
    flush();
    return out;
}

// The options a command's help names, in the order it names them.
std::vector<std::string> optionsIn(const std::string& help) {
    std::vector<std::string> options;
    std::set<std::string> seen{"--help"};
    const std::regex option("(^|[^A-Za-z0-9_-])(--[a-z][a-z-]*[a-z]|-[a-z])(?![A-Za-z0-9_-])");
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it)
        if (seen.insert((*it)[2]).second) options.push_back((*it)[2]);
    options.push_back("--help");
    return options;
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: help_pages NIBTOOL OUT_DIR\n", stderr);
        return 2;
    }
    const std::string tool = argv[1], dir = argv[2];
    const std::string help = run("'" + tool + "' help");
    std::string version = run("'" + tool + "' --version");
    if (help.empty() || version.empty()) {
        std::fprintf(stderr, "help_pages: cannot run '%s'\n", tool.c_str());
        return 1;
    }
    version = version.substr(0, version.find('\n'));

    // The commands: the lines of the list that start with two spaces and a name.
    const std::vector<std::string> lines = linesOf(help);
    std::vector<std::string> commands, general, synopsis;
    bool inList = false, afterList = false;
    for (const std::string& l : lines) {
        if (l == "Commands:") {
            inList = true;
            continue;
        }
        if (inList && l.empty()) inList = false, afterList = true;
        if (inList) {
            std::smatch m;
            if (std::regex_search(l, m, std::regex("^  ([a-z]+)( |$)"))) commands.push_back(m[1]);
        } else if (afterList) {
            general.push_back(l);
        } else if (l.rfind("usage:", 0) == 0) {
            synopsis.push_back(l.substr(7));
        }
    }

    std::string page = ".TH NIBTOOL 1 \"\" \"" + roffText(version) + "\" \"User Commands\"\n";
    page += ".nh\n"; // no word broken across lines: options and names stay whole
    page += ".SH NAME\nnibtool \\- inspect, render, import and play ROM images of a four-channel sound "
            "engine, and make a game's sound bank\n";
    page += ".SH SYNOPSIS\n.nf\n";
    for (const std::string& c : commands)
        if (c != "help") {
            const std::vector<std::string> usage = linesOf(run("'" + tool + "' help " + c));
            for (std::size_t i = 0; i < usage.size() && !usage[i].empty(); ++i) {
                std::string l = usage[i];
                if (l.rfind("usage: ", 0) == 0) l = l.substr(7);
                page += roffText(l) + "\n";
            }
        }
    page += "nibtool help [COMMAND]\nnibtool \\-\\-version\n.fi\n";
    page += ".SH DESCRIPTION\n" + roffOf(general);
    page += ".SH COMMANDS\n";
    std::string completion = "# bash completion for nibtool, made from its help (" + version + ")\n";
    completion += "_nibtool() {\n    local cur=${COMP_WORDS[COMP_CWORD]} options=\n";
    completion += "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n";
    completion +=
        "        COMPREPLY=($(compgen -W \"" + joined(commands) + " --version --help\" -- \"$cur\"))\n";
    completion += "        return\n    fi\n    case ${COMP_WORDS[1]} in\n";
    completion += "    help) COMPREPLY=($(compgen -W \"" + joined(commands) + "\" -- \"$cur\")); return ;;\n";
    for (const std::string& c : commands) {
        if (c == "help") continue;
        const std::string text = run("'" + tool + "' help " + c);
        page += ".SS " + c + "\n" + roffOf(linesOf(text));
        completion += "    " + c + ") options=\"" + joined(optionsIn(text)) + "\" ;;\n";
    }
    completion += "    esac\n";
    completion += "    if [[ $cur == -* ]]; then\n";
    completion += "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n";
    completion += "    else\n        COMPREPLY=($(compgen -f -- \"$cur\"))\n    fi\n}\n";
    completion += "complete -o filenames -o bashdefault -F _nibtool nibtool\n";
    page += ".SH EXIT STATUS\n0 when the command did what it was asked, 1 when a file could not be read, "
            "imported or written (one line on standard error says why), 2 for a mistake on the command "
            "line.\n";
    page += ".SH SEE ALSO\n.BR nibplay (1)\n";

    std::ofstream(dir + "/nibtool.1") << page;
    std::ofstream(dir + "/nibtool.bash") << completion;
    return 0;
}
