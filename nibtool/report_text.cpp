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

void printWrapped(const std::vector<std::string>& lines, std::size_t width, const std::string& indent) {
    const std::size_t room = width > indent.size() ? width - indent.size() : 1;
    for (const std::string& line : lines)
        for (const std::string& part : wrapLine(line, room))
            std::fprintf(stderr, "%s%s\n", indent.c_str(), part.c_str());
}

std::vector<std::string> fidelityText(bool measured, const Fidelity& fidelity) {
    if (!measured) return {"fidelity: not measured (libxmp could not render the module)"};
    return fidelityLines(fidelity);
}
