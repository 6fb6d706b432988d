#include "view.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "nibtool/cells.h"
#include "nibtool/notes.h"

namespace {

constexpr char kEnter[] = "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J"; // alternate screen, cursor hidden, cleared
constexpr char kLeave[] = "\x1b[0m\x1b[?25h\x1b[?1049l";       // attributes off, cursor shown, main screen
constexpr char kReverse[] = "\x1b[7m";
constexpr char kPlain[] = "\x1b[0m";
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// Lines around the pattern: title, place, column heads, a gap, four channels, message, legend, keys.
constexpr int kFixedLines = 11;

termios savedModes, playingModes;
volatile std::sig_atomic_t terminalTaken = 0;

void writeAll(int fd, const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n <= 0) return;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}

// At most `columns` - 1 characters, so that the cursor never reaches the last column.
std::string fit(std::string text, int columns) {
    const auto room = static_cast<std::size_t>(columns > 1 ? columns - 1 : 0);
    if (text.size() > room) text.resize(room);
    return text;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// The song's place: for a module in its own terms (order position, row, channels), then the engine's
// line and the song's position in time; "loading" until a song is there. At most 79 characters for any
// song of up to 4 hours (the speeds are on the legend's line).
std::string placeLine(const ViewData& v) {
    const PlayerState& s = v.state;
    if (!s.playing) return "loading";
    const char* mode = s.finished ? "ended" : s.paused ? "paused" : s.preview ? "preview" : "playing";
    std::string total;
    if (s.repeats) total = " / " + clockText(s.onceThroughBytes, v.rate);
    const std::string time = clockText(s.songBytes, v.rate) + total;
    if (s.moduleChannels > 0)
        return format("order %3d/%d  row %2d  of %d channels  line %2d  %s  %s", s.place.order, s.lastOrder,
                      s.place.row, s.moduleChannels, s.at.line, time.c_str(), mode);
    return format("order %3d/%d  pattern %2d  line %2d  %s  %s", s.at.order, s.lastOrder, s.pattern,
                  s.at.line, time.c_str(), mode);
}

std::string patternLine(const PlayerState& s, int line) {
    std::string text = format("%c%02d ", line == s.at.line ? '>' : ' ', line);
    for (std::size_t c = 0; c < kStreams; ++c)
        text +=
            "  " +
            cellText(cellFromBytes(&s.rows[static_cast<std::size_t>(line) * kLineBytes + kCellBytes * c]));
    return text;
}

std::string channelLine(const ChannelState& c, std::size_t index, bool module) {
    const std::string note = c.sample != 0 ? noteName(c.tone) : "...";
    const std::string sample = c.sample != 0 ? format("%2d", c.sample) : " .";
    const int width = c.running ? c.level * 2 : 0;
    std::string from;
    if (module)
        from = c.moduleChannel >= 0 ? format("  module channel %2d", c.moduleChannel + 1)
                                    : "  module channel  -";
    return format("ch %zu  sample %s  %s  |%-16s|%s", index, sample.c_str(), note.c_str(),
                  std::string(static_cast<std::size_t>(width), '#').c_str(), from.c_str());
}

} // namespace

std::string clockText(std::uint64_t bytes, int rate) {
    const std::uint64_t tenths = bytes * 10 / static_cast<std::uint64_t>(rate);
    return format("%llu:%02llu.%llu", static_cast<unsigned long long>(tenths / 600),
                  static_cast<unsigned long long>(tenths / 10 % 60),
                  static_cast<unsigned long long>(tenths % 10));
}

std::vector<Key> decodeKeys(const std::string& bytes) {
    std::vector<Key> keys;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == ' ') keys.push_back(Key::Pause);
        if (c == 'q' || c == 'Q') keys.push_back(Key::Quit);
        if (c == 'n' || c == 'N') keys.push_back(Key::NextFile);
        if (c == 'p' || c == 'P') keys.push_back(Key::PreviousFile);
        if (c >= '1' && c <= '4') keys.push_back(static_cast<Key>(static_cast<int>(Key::Song0) + (c - '1')));
        if (c == 'e' || c == 'E') keys.push_back(Key::Effect);
        if (c != '\x1b' || i + 1 >= bytes.size() || (bytes[i + 1] != '[' && bytes[i + 1] != 'O')) continue;
        // A cursor key: ESC [ or ESC O, any parameters, then the final byte that names it.
        std::size_t end = i + 2;
        while (end < bytes.size() && bytes[end] >= 0x20 && bytes[end] < 0x40)
            ++end;
        if (end >= bytes.size()) break;
        if (bytes[end] == 'C') keys.push_back(Key::Next);
        if (bytes[end] == 'D') keys.push_back(Key::Previous);
        i = end;
    }
    return keys;
}

std::string drawScreen(const ViewData& v, int rows, int columns) {
    const PlayerState& s = v.state;
    std::vector<std::string> lines;
    const std::string name = v.title.empty() ? v.file : "\"" + v.title + "\"  " + v.file;
    lines.push_back(fit(name + format("  song %d", s.number), columns));
    lines.push_back(fit(placeLine(v), columns));
    std::string heads = "line";
    for (std::size_t c = 0; c < kStreams; ++c)
        heads += format("  channel %zu  ", c); // over the cells, eleven characters each
    lines.push_back(fit(heads, columns));
    // The pattern's lines, the playing one in the middle where the pattern allows.
    constexpr int kLines = static_cast<int>(kLinesPerPattern);
    const int shown = std::max(1, std::min(kLines, rows - kFixedLines));
    const int first = std::max(0, std::min(s.at.line - shown / 2, kLines - shown));
    for (int line = first; line < first + shown; ++line) {
        const std::string text = fit(patternLine(s, line), columns);
        lines.push_back(line == s.at.line ? kReverse + text + kPlain : text);
    }
    lines.emplace_back();
    for (std::size_t c = 0; c < kStreams; ++c)
        lines.push_back(fit(channelLine(s.channels[c], c, s.moduleChannels > 0), columns));
    lines.push_back(fit(v.message, columns));
    lines.push_back(
        s.playing
            ? fit(format("speed %d/%d: %d ticks a line, a tick %d calls of %zu samples", s.lineTicks,
                         s.tickCalls, s.lineTicks == 0 ? 256 : s.lineTicks /* 0: the tick count runs round */,
                         s.tickCalls + 1, kStepsPerCall),
                  columns)
            : "");
    std::string keys = v.files > 1 ? "space pause  left/right order  1-4 song  e effect  n/p file  q quit"
                                   : "space pause  left/right order position  1-4 song  e effect  q quit";
    lines.push_back(fit(keys, columns));

    std::string screen = "\x1b[H";
    for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < rows; ++i) {
        if (i > 0) screen += "\r\n";
        screen += lines[i] + "\x1b[K";
    }
    return screen + "\x1b[J";
}

std::string statusLine(const ViewData& v) {
    const PlayerState& s = v.state;
    if (s.moduleChannels > 0)
        return format("%s order %d row %d (line %d)%s", clockText(s.songBytes, v.rate).c_str(), s.place.order,
                      s.place.row, s.at.line, s.paused ? " paused" : "");
    return format("%s order %d line %d (pattern %d)%s", clockText(s.songBytes, v.rate).c_str(), s.at.order,
                  s.at.line, s.pattern, s.paused ? " paused" : "");
}

bool Terminal::usable() {
    const char* term = std::getenv("TERM");
    return isatty(0) && isatty(1) && term && *term && std::strcmp(term, "dumb") != 0;
}

Terminal::Terminal() {
    if (tcgetattr(0, &savedModes) == 0) {
        playingModes = savedModes;
        playingModes.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO)); // keys still send signals: ^C, ^Z
        playingModes.c_cc[VMIN] = 0;
        playingModes.c_cc[VTIME] = 0;
    }
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
    action.sa_handler = onStop;
    action.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &action, nullptr);
    take();
}

Terminal::~Terminal() {
    restoreNow();
    for (int signal : kFatalSignals)
        std::signal(signal, SIG_DFL);
    std::signal(SIGTSTP, SIG_DFL);
}

// take and restoreNow run in signal handlers too: only write and tcsetattr.
void Terminal::take() {
    tcsetattr(0, TCSANOW, &playingModes);
    writeAll(1, kEnter, sizeof kEnter - 1);
    terminalTaken = 1;
}

void Terminal::restoreNow() {
    if (terminalTaken == 0) return;
    terminalTaken = 0;
    writeAll(1, kLeave, sizeof kLeave - 1);
    tcsetattr(0, TCSANOW, &savedModes);
}

void Terminal::onFatalSignal(int signal) {
    restoreNow();
    std::raise(signal); // the handler was reset: the default action ends the process
}

// ^Z: the shell gets its terminal back while the program is stopped; the next frame redraws the screen.
void Terminal::onStop(int) {
    const int saved = errno;
    restoreNow();
    kill(getpid(), SIGSTOP);
    take();
    errno = saved;
}

std::vector<Key> Terminal::readKeys() {
    char bytes[64];
    const ssize_t n = read(0, bytes, sizeof bytes);
    return n > 0 ? decodeKeys(std::string(bytes, static_cast<std::size_t>(n))) : std::vector<Key>{};
}

void Terminal::draw(const ViewData& view) {
    winsize size{};
    const bool known = ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0;
    const std::string screen = drawScreen(view, known ? size.ws_row : 24, known ? size.ws_col : 80);
    writeAll(1, screen.data(), screen.size());
}
