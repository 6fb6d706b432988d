#include "report_text.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "import/report.h"

namespace {

constexpr std::size_t kPlainWidth = 80;

} // namespace

std::size_t reportWidth() {
    winsize size{};
    if (isatty(STDERR_FILENO) && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kPlainWidth;
}

std::vector<std::string> wrappedLines(const std::vector<std::string>& lines, std::size_t width,
                                      const std::string& indent) {
    const std::size_t room = width > indent.size() ? width - indent.size() : 1;
    std::vector<std::string> wrapped;
    for (const std::string& line : lines)
        for (const std::string& part : wrapLine(line, room))
            wrapped.push_back(indent + part);
    return wrapped;
}

void printWrapped(const std::vector<std::string>& lines, std::size_t width, const std::string& indent) {
    for (const std::string& line : wrappedLines(lines, width, indent))
        std::fprintf(stderr, "%s\n", line.c_str());
}

std::vector<std::string> fidelityText(bool measured, const Fidelity& fidelity) {
    if (!measured) return {"fidelity: not measured (libxmp could not render the module)"};
    return fidelityLines(fidelity);
}

std::vector<std::string> importReport(const std::string& out, const ImportResult& result, int rate,
                                      bool verbose) {
    std::vector<std::string> lines = lossLines(result.losses, verbose);
    lines.push_back(out + ": \"" + result.title + "\", written for " + std::to_string(rate) + " Hz");
    for (const std::string& line : fidelityText(result.measured, result.fidelity))
        lines.push_back(line);
    for (const std::string& line : adviceLines(result.losses, rate))
        lines.push_back(line);
    return lines;
}
