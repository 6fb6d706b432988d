#include "layout.h"

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <optional>
#include <utility>

namespace {

constexpr std::size_t kLines = kLinesPerPattern;
// The lines order bytes can reach: 256 patterns of 64.
constexpr std::size_t kMostLines = kPatterns * kLines;
// A segment breaks into another's lines only where they share at least this many: the break costs an order
// position each time it plays, and a cell.
constexpr std::size_t kLeastShared = 8;
constexpr std::size_t kNone = SIZE_MAX;

using LineBytes = std::array<std::uint8_t, kLineBytes>;

LineBytes bytesOf(const SongLine& line) {
    LineBytes b{};
    for (std::size_t c = 0; c < kChannels; ++c) {
        const Cell& cell = line.cells[c];
        b[kCellBytes * c + kCellHead] = cellHead(cell.sample, cell.effect);
        b[kCellBytes * c + kCellTone] = cell.tone;
        b[kCellBytes * c + kCellParam] = cell.param;
    }
    return b;
}

// The channel whose cell holds `effect`, or -1.
int cellWith(const LineBytes& line, std::uint8_t effect) {
    for (std::size_t c = 0; c < kChannels; ++c)
        if (cellEffect(line[kCellBytes * c + kCellHead]) == effect) return int(c);
    return -1;
}

// A cell a break can take without changing what the line plays: one with no effect (an arpeggio of 0),
// or -1.
int freeCell(const LineBytes& line) {
    for (std::size_t c = kChannels; c-- > 0;)
        if (cellEffect(line[kCellBytes * c + kCellHead]) == kArpeggio &&
            line[kCellBytes * c + kCellParam] == 0)
            return int(c);
    return -1;
}

void setEffect(LineBytes& line, int channel, std::uint8_t effect, std::uint8_t param) {
    const std::size_t at = kCellBytes * std::size_t(channel);
    line[at + kCellHead] = cellHead(cellSample(line[at + kCellHead]), effect);
    line[at + kCellParam] = param;
}

// How a stored run of lines ends: a break to the line the next one starts on; none, so that it must end on
// a pattern's last line and the next start a pattern (its last line has no cell free for a break); the
// song's jump back.
enum class End { Break, Open, Jump };

struct Piece {
    std::vector<LineBytes> lines; // the parameters of its break and jump are set as it is written
    End end = End::Break;
    int breakCell = -1, jumpCell = -1;
};

// Where a piece's lines are played from: its own first lines (a head, stored as a piece of its own, that
// breaks into the rest), then `offset` lines into the piece stored at `host` (itself when stored).
struct Entry {
    std::size_t head = kNone;
    std::size_t host = 0, offset = 0;
};

// The line each stored piece starts on within its pattern (its first line's address modulo 64), as the
// layout requires it: pieces that follow the same break must start on the same line, a piece stored
// inside another starts where it lies in it, the song's first piece on line 0. Classes of pieces whose
// lines are tied, each with its members' distance from its root; a class's line is free until one of its
// pieces is placed.
class StartLines {
  public:
    explicit StartLines(std::size_t n) : parent_(n), offset_(n, 0), size_(n, 1), line_(n, -1) {
        std::iota(parent_.begin(), parent_.end(), std::size_t{0});
    }

    // Requires line(a) = line(b) + d (modulo 64). False if that contradicts what is required already.
    bool require(std::size_t a, std::size_t b, std::size_t d) {
        auto [ra, oa] = find(a);
        auto [rb, ob] = find(b);
        const std::size_t shift = (ob + d + kLines - oa) % kLines; // line(ra) = line(rb) + shift
        if (ra == rb) return shift == 0;
        if (line_[ra] >= 0 && line_[rb] >= 0 &&
            std::size_t(line_[ra]) != (std::size_t(line_[rb]) + shift) % kLines)
            return false;
        if (size_[ra] > size_[rb]) { // the larger class's root stays: line(rb) = line(ra) - shift
            std::swap(ra, rb);
            std::swap(oa, ob);
            parent_[ra] = rb, offset_[ra] = (kLines - shift) % kLines;
        } else {
            parent_[ra] = rb, offset_[ra] = shift;
        }
        if (line_[rb] < 0 && line_[ra] >= 0)
            line_[rb] = int((std::size_t(line_[ra]) + kLines - offset_[ra]) % kLines);
        size_[rb] += size_[ra];
        return true;
    }

    // The line required of x, or -1 while its class is free.
    int line(std::size_t x) const {
        const auto [root, offset] = find(x);
        return line_[root] < 0 ? -1 : int((std::size_t(line_[root]) + offset) % kLines);
    }

    void fix(std::size_t x, std::size_t line) {
        const auto [root, offset] = find(x);
        if (line_[root] < 0) line_[root] = int((line + kLines - offset) % kLines);
    }

  private:
    // x's root and line(x) - line(root).
    std::pair<std::size_t, std::size_t> find(std::size_t x) const {
        std::size_t offset = 0;
        while (parent_[x] != x)
            offset += offset_[x], x = parent_[x];
        return {x, offset % kLines};
    }

    std::vector<std::size_t> parent_, offset_, size_;
    std::vector<int> line_;
};

class Layout {
  public:
    // How segments share lines: not at all; a segment played again plays the lines stored for it before;
    // besides, one whose lines are another's from a line on plays them from it.
    enum class Sharing { None, Repeats, Tails };
    Layout(const CompiledSong& song, Sharing sharing);
    // Lays the pieces out, trying two orders of storing them; false if they do not fit. Then `bytes()`
    // tells the song's size.
    bool plan();
    std::size_t bytes() const { return kOrderListBytes + kLineBytes * top_; }
    PlacedSong write(RomBuilder& rom, std::uint32_t address, std::uint32_t limit, std::size_t number) const;

  private:
    void collectPieces(bool repeats);
    void tieSuccessors();
    void shareTails();
    bool tryGuest(std::size_t guest, std::size_t host, std::size_t shared);
    bool placePieces(std::size_t reserved, bool tilesFirst);
    bool planIn(bool tilesFirst);
    std::vector<std::pair<std::size_t, std::size_t>> chunks(std::size_t segment) const;
    std::size_t countPositions() const;

    const CompiledSong& song_;
    std::vector<Piece> pieces_;       // the segments' distinct pieces, then heads
    std::vector<std::size_t> walk_;   // by segment: its piece
    std::vector<Entry> entries_;      // by piece
    std::vector<std::size_t> follow_; // by stored piece: a piece that follows it, or kNone
    std::size_t zero_ = 0;            // the class of line 0
    StartLines lines_{0};
    std::vector<std::size_t> address_; // by stored piece: its first line, from the first pattern's
    std::size_t top_ = 0;              // the line after the last stored
    std::size_t positions_ = 0;
};

Layout::Layout(const CompiledSong& song, Sharing sharing) : song_(song) {
    collectPieces(sharing != Sharing::None);
    // Each piece may gain a head; one more node stands for line 0.
    zero_ = 2 * pieces_.size();
    lines_ = StartLines(zero_ + 1);
    lines_.fix(zero_, 0);
    entries_.resize(pieces_.size());
    for (std::size_t p = 0; p < pieces_.size(); ++p)
        entries_[p].host = p;
    follow_.assign(pieces_.size(), kNone);
    tieSuccessors();
    if (sharing == Sharing::Tails) shareTails();
}

// The segments' pieces (with `repeats`, each stored once): each last line holds a break where a cell is
// free.
void Layout::collectPieces(bool repeats) {
    std::map<std::vector<LineBytes>, std::size_t> known;
    for (std::size_t s = 0; s < song_.segments.size(); ++s) {
        Piece piece;
        for (const SongLine& line : song_.segments[s].lines)
            piece.lines.push_back(bytesOf(line));
        LineBytes& last = piece.lines.back();
        if (s + 1 == song_.segments.size()) {
            piece.end = End::Jump;
            piece.jumpCell = cellWith(last, kPositionJump);
            piece.breakCell = cellWith(last, kPatternBreak);
        } else {
            // The break goes in the last free cell, wherever the compile put it, so that lines that differ
            // only there are the same.
            if (const int c = cellWith(last, kPatternBreak); c >= 0) setEffect(last, c, kArpeggio, 0);
            piece.breakCell = freeCell(last);
            piece.end = piece.breakCell < 0 ? End::Open : End::Break;
        }
        if (piece.breakCell >= 0) setEffect(last, piece.breakCell, kPatternBreak, 0);
        if (piece.jumpCell >= 0) setEffect(last, piece.jumpCell, kPositionJump, 0);
        const auto [found, added] =
            repeats ? known.emplace(piece.lines, pieces_.size()) : std::make_pair(known.end(), true);
        if (added) pieces_.push_back(std::move(piece));
        walk_.push_back(added ? pieces_.size() - 1 : found->second);
    }
}

// What every layout requires: the song starts on line 0; the pieces that follow one piece start on the
// same line, its break's; a piece with no break ends on a pattern's last line, and what follows it starts
// a pattern.
void Layout::tieSuccessors() {
    if (walk_.empty()) return;
    lines_.require(walk_[0], zero_, 0);
    for (std::size_t s = 0; s + 1 < walk_.size(); ++s) {
        const std::size_t p = walk_[s], next = walk_[s + 1];
        if (follow_[p] == kNone) follow_[p] = next;
        lines_.require(next, follow_[p], 0);
    }
    for (std::size_t p = 0; p < pieces_.size(); ++p)
        if (pieces_[p].end == End::Open) {
            lines_.require(p, zero_, (kLines - pieces_[p].lines.size() % kLines) % kLines);
            if (follow_[p] != kNone) lines_.require(follow_[p], zero_, 0);
        }
}

// Pieces whose lines are another's from a line on, longest first, are played from it: wholly, when they
// are its last lines, else their own first lines then a break into it. Each is kept only where the lines
// the layout requires allow it.
void Layout::shareTails() {
    std::vector<std::size_t> order(pieces_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return pieces_[a].lines.size() > pieces_[b].lines.size();
    });
    std::vector<std::size_t> hosts;
    for (const std::size_t b : order) {
        const Piece& guest = pieces_[b];
        bool shared = false;
        if (guest.end != End::Jump) {
            // The hosts by the lines they share with it, most first.
            std::vector<std::pair<std::size_t, std::size_t>> candidates;
            for (const std::size_t a : hosts) {
                const Piece& host = pieces_[a];
                if (host.end == End::Jump) continue;
                std::size_t m = 0;
                while (m < guest.lines.size() && m < host.lines.size() &&
                       guest.lines[guest.lines.size() - 1 - m] == host.lines[host.lines.size() - 1 - m])
                    ++m;
                if (m == guest.lines.size() || m >= kLeastShared) candidates.emplace_back(m, a);
            }
            std::stable_sort(candidates.begin(), candidates.end(),
                             [](const auto& x, const auto& y) { return x.first > y.first; });
            for (const auto& [m, a] : candidates)
                if ((shared = tryGuest(b, a, m))) break;
        }
        if (!shared) hosts.push_back(b);
    }
}

// Plays `guest` from `host`, with which it shares its last `shared` lines (or fewer, down to where one of
// its lines has a cell free for the break into them), if the lines the layout requires allow.
bool Layout::tryGuest(std::size_t guest, std::size_t host, std::size_t shared) {
    const Piece& g = pieces_[guest];
    const std::size_t length = g.lines.size(), hostLength = pieces_[host].lines.size();
    std::size_t m = shared;
    if (m < length)
        while (m >= kLeastShared && freeCell(g.lines[length - m - 1]) < 0)
            --m;
    if (m < length && m < kLeastShared) return false;
    StartLines tied = lines_;
    const std::size_t head = pieces_.size();
    // It ends where its host ends: what follows either follows the same break.
    if (follow_[guest] != kNone && follow_[host] != kNone && !tied.require(follow_[guest], follow_[host], 0))
        return false;
    if (m == length) {
        if (!tied.require(guest, host, hostLength - m)) return false;
    } else if (!tied.require(guest, head, 0)) {
        return false;
    }
    lines_ = tied;
    if (follow_[host] == kNone) follow_[host] = follow_[guest];
    entries_[guest] = {kNone, host, hostLength - m};
    if (m < length) {
        Piece h;
        h.lines.assign(g.lines.begin(), g.lines.begin() + std::ptrdiff_t(length - m));
        h.breakCell = freeCell(h.lines.back());
        setEffect(h.lines.back(), h.breakCell, kPatternBreak, 0);
        pieces_.push_back(std::move(h));
        entries_.push_back({kNone, head, 0});
        follow_.push_back(kNone);
        entries_[guest].head = head;
    }
    return true;
}

// The runs of stored lines a segment plays: (first line, lines).
std::vector<std::pair<std::size_t, std::size_t>> Layout::chunks(std::size_t segment) const {
    const std::size_t p = walk_[segment];
    const Entry& e = entries_[p];
    const std::size_t length = pieces_[p].lines.size();
    if (e.head == kNone) return {{address_[e.host] + e.offset, length}};
    const std::size_t headLength = pieces_[e.head].lines.size();
    return {{address_[e.head], headLength}, {address_[e.host] + e.offset, length - headLength}};
}

std::size_t Layout::countPositions() const {
    std::size_t positions = 0;
    for (std::size_t s = 0; s < walk_.size(); ++s)
        for (const auto& [first, length] : chunks(s))
            positions += (first + length - 1) / kLines - first / kLines + 1;
    return positions;
}

// Stores the pieces, each at the lowest line where it fits and starts on the line required of it, below
// the first `reserved` lines (order bytes past the order list's 64 lie there). Pieces whose line is known
// go first, longest first (with `tilesFirst`, those that end on a pattern's last line before the others),
// so that the free ones fill what they leave between them.
bool Layout::placePieces(std::size_t reserved, bool tilesFirst) {
    StartLines lines = lines_;
    std::vector<std::size_t> unplaced;
    for (std::size_t p = 0; p < pieces_.size(); ++p)
        if (entries_[p].host == p) unplaced.push_back(p);
    std::stable_sort(unplaced.begin(), unplaced.end(), [&](std::size_t a, std::size_t b) {
        return pieces_[a].lines.size() > pieces_[b].lines.size();
    });
    const auto tiles = [&](std::size_t p) {
        return (std::size_t(lines.line(p)) + pieces_[p].lines.size()) % kLines == 0;
    };
    std::vector<std::pair<std::size_t, std::size_t>> free{{reserved, kMostLines}}; // [first, end)
    address_.assign(pieces_.size(), 0);
    top_ = 0;
    // With `tilesFirst`: pieces that end on a pattern's last line, or would from a pattern's first, before
    // the others, so that a piece that does not is not followed by a gap its class leaves.
    const auto fixedTiles = [&](std::size_t p) { return lines.line(p) >= 0 && tiles(p); };
    const auto freeTiles = [&](std::size_t p) {
        return lines.line(p) < 0 && pieces_[p].lines.size() % kLines == 0;
    };
    const auto fixed = [&](std::size_t p) { return lines.line(p) >= 0; };
    while (!unplaced.empty()) {
        auto next = unplaced.end();
        if (tilesFirst) next = std::find_if(unplaced.begin(), unplaced.end(), fixedTiles);
        if (tilesFirst && next == unplaced.end())
            next = std::find_if(unplaced.begin(), unplaced.end(), freeTiles);
        if (next == unplaced.end()) next = std::find_if(unplaced.begin(), unplaced.end(), fixed);
        if (next == unplaced.end()) next = unplaced.begin();
        const std::size_t p = *next, length = pieces_[p].lines.size();
        unplaced.erase(next);
        const int line = lines.line(p);
        bool placed = false;
        for (std::size_t k = 0; k < free.size() && !placed; ++k) {
            const auto [first, end] = free[k];
            const std::size_t at =
                line < 0 ? first : first + (std::size_t(line) + kLines - first % kLines) % kLines;
            if (at + length > end) continue;
            address_[p] = at;
            top_ = std::max(top_, at + length);
            lines.fix(p, at % kLines);
            free.erase(free.begin() + std::ptrdiff_t(k));
            if (at + length < end) free.insert(free.begin() + std::ptrdiff_t(k), {at + length, end});
            if (first < at) free.insert(free.begin() + std::ptrdiff_t(k), {first, at});
            placed = true;
        }
        if (!placed) return false;
    }
    return true;
}

// A layout in one order of storing: its pieces placed clear of the order bytes past the order list.
bool Layout::planIn(bool tilesFirst) {
    for (std::size_t reserved = 0;;) {
        if (!placePieces(reserved, tilesFirst)) return false;
        positions_ = countPositions();
        if (positions_ > kOrderPositions) return false;
        const std::size_t needed =
            positions_ > kOrderListBytes ? (positions_ - kOrderListBytes + kLineBytes - 1) / kLineBytes : 0;
        if (needed <= reserved) return true;
        reserved = needed;
    }
}

bool Layout::plan() {
    if (walk_.empty()) return false;
    const bool tiled = planIn(true);
    const std::vector<std::size_t> address = address_;
    const std::size_t top = top_, positions = positions_;
    if (planIn(false) && (!tiled || top_ <= top)) return true;
    if (!tiled) return false;
    address_ = address, top_ = top, positions_ = positions;
    return true;
}

PlacedSong Layout::write(RomBuilder& rom, std::uint32_t address, std::uint32_t limit,
                         std::size_t number) const {
    PlacedSong placed;
    placed.bytes = bytes();
    placed.positions = positions_;
    const std::size_t positions = positions_;
    if (address + placed.bytes > limit) return {};

    // The order list, line by line where each segment plays, and the lines each break goes to.
    std::vector<std::uint8_t> orders(kOrderListBytes, 0);
    orders.resize(std::max(orders.size(), positions));
    std::vector<Piece> out(pieces_);
    std::vector<bool> breakSet(pieces_.size(), false);
    placed.origins.resize(positions);
    std::size_t position = 0, loopPosition = 0, loopLine = 0;
    for (std::size_t s = 0; s < walk_.size(); ++s) {
        const auto runs = chunks(s);
        std::size_t line = 0; // of the segment
        for (const auto& [first, length] : runs) {
            for (std::size_t k = 0; k < length; ++k, ++line) {
                const std::size_t at = first + k;
                if (k == 0 || at % kLines == 0) orders[position++] = static_cast<std::uint8_t>(at / kLines);
                std::vector<LineOrigin>& origins = placed.origins[position - 1];
                origins.resize(std::max(origins.size(), at % kLines + 1));
                origins[at % kLines] = song_.segments[s].origins[line];
                if (s == song_.loopSegment && line == song_.loopLine)
                    loopPosition = position - 1, loopLine = at % kLines;
            }
        }
        if (entries_[walk_[s]].head != kNone) { // the head breaks into its host
            Piece& head = out[entries_[walk_[s]].head];
            setEffect(head.lines.back(), head.breakCell, kPatternBreak,
                      static_cast<std::uint8_t>(runs[1].first % kLines));
        }
        if (s + 1 < walk_.size()) {
            // Every segment that ends with the piece goes on to a line the break names; one with no break
            // goes on from a pattern's last line to the next pattern's first.
            const std::size_t next = chunks(s + 1).front().first % kLines;
            const std::size_t host = entries_[walk_[s]].host;
            Piece& end = out[host];
            if (end.breakCell < 0) {
                if (next != 0 || (address_[host] + pieces_[host].lines.size()) % kLines != 0) return {};
            } else {
                LineBytes& line = end.lines.back();
                std::uint8_t& param = line[kCellBytes * std::size_t(end.breakCell) + kCellParam];
                if (breakSet[host] && param != next) return {};
                param = static_cast<std::uint8_t>(next);
                breakSet[host] = true;
            }
        }
    }
    Piece& last = out[entries_[walk_.back()].host];
    if (last.jumpCell >= 0)
        setEffect(last.lines.back(), last.jumpCell, kPositionJump, static_cast<std::uint8_t>(loopPosition));
    if (last.breakCell >= 0)
        setEffect(last.lines.back(), last.breakCell, kPatternBreak,
                  static_cast<std::uint8_t>(kBreakHere + loopLine));

    rom.poke(address, orders);
    for (std::size_t p = 0; p < out.size(); ++p) {
        if (entries_[p].host != p) continue;
        std::vector<std::uint8_t> bytes;
        for (const LineBytes& line : out[p].lines)
            bytes.insert(bytes.end(), line.begin(), line.end());
        rom.poke(static_cast<std::uint32_t>(address + songOffset(0, address_[p])), bytes);
    }
    rom.song(number, static_cast<std::uint16_t>(address));
    return placed;
}

} // namespace

PlacedSong placeSong(const CompiledSong& song, RomBuilder& rom, std::uint32_t address, std::uint32_t limit,
                     std::size_t number) {
    // Lines shared tie the lines where the segments that follow them start (all that follow one break start
    // on its line), and breaking into shared lines costs order positions: in a short song the gaps that
    // leaves can cost more than storing the lines again. The layout with the fewest bytes is kept.
    std::optional<Layout> best;
    for (const Layout::Sharing sharing :
         {Layout::Sharing::Tails, Layout::Sharing::Repeats, Layout::Sharing::None}) {
        Layout layout(song, sharing);
        if (layout.plan() && (!best || layout.bytes() < best->bytes())) {
            best.reset();
            best.emplace(std::move(layout));
        }
    }
    return best ? best->write(rom, address, limit, number) : PlacedSong{};
}
