#include "message.h"

#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "engine/format.h"

static_assert(std::is_trivially_copyable_v<LineStart> && std::is_trivially_copyable_v<LineOrigin> &&
              std::is_trivially_copyable_v<Resume>);

namespace {

constexpr std::size_t kHeadBytes = 1 + 8; // the kind, the length of the fields
// The bounds of a song's numbers: a module has up to 64 channels, 256 order positions and 256 rows a
// pattern (as libxmp reads them), a ROM 256 order positions and lines.
constexpr int kMostModuleChannels = 64, kMostPlaces = 256;

// Writes the fields each message's list names (see `fields`).
class Writer {
  public:
    std::vector<std::uint8_t> bytes;

    void word(std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    template <typename T> void number(const T& v, std::int64_t = 0, std::int64_t = 0) {
        word(static_cast<std::uint64_t>(v));
    }
    void real(const double& v) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        word(bits);
    }
    void text(const std::string& t) { run(t.data(), t.size()); }
    template <typename T> void records(const std::vector<T>& v) { run(v.data(), v.size() * sizeof(T)); }
    template <typename T, typename Each> void list(const std::vector<T>& v, std::size_t, Each each) {
        word(v.size());
        for (const T& item : v)
            each(*this, item);
    }

  private:
    void run(const void* data, std::size_t size) {
        word(size);
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
};

// Reads what Writer wrote: every count is checked against the bytes there, every number against its range.
class Reader {
  public:
    Reader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
    bool done() const { return ok_ && at_ == size_; }

    std::uint64_t word() {
        if (size_ - at_ < 8) return ok_ = false, 0;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t{bytes_[at_++]} << (8 * i);
        return v;
    }
    // A number of any value its type holds.
    template <typename T> void number(T& v) {
        const std::uint64_t w = word();
        if constexpr (std::is_signed_v<T>) {
            const auto n = static_cast<std::int64_t>(w);
            if (n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max()) ok_ = false;
        } else if (w > std::numeric_limits<T>::max()) {
            ok_ = false;
        }
        v = ok_ ? static_cast<T>(w) : T{};
    }
    // A number from `lowest` to `highest`.
    template <typename T> void number(T& v, std::int64_t lowest, std::int64_t highest) {
        const auto n = static_cast<std::int64_t>(word());
        if (n < lowest || n > highest) ok_ = false;
        v = static_cast<T>(ok_ ? n : lowest);
    }
    void real(double& v) {
        const std::uint64_t bits = word();
        std::memcpy(&v, &bits, sizeof v);
    }
    void text(std::string& t) {
        const std::size_t n = runSize(1);
        t.assign(reinterpret_cast<const char*>(bytes_ + at_), n);
        at_ += n;
    }
    template <typename T> void records(std::vector<T>& v) {
        const std::size_t n = runSize(sizeof(T));
        v.resize(n / sizeof(T));
        if (n > 0) std::memcpy(static_cast<void*>(v.data()), bytes_ + at_, n);
        at_ += n;
    }
    // A list of at most `most` items, each read by `each`.
    template <typename T, typename Each> void list(std::vector<T>& v, std::size_t most, Each each) {
        const std::uint64_t n = word();
        if (n > most) ok_ = false;
        v.clear();
        for (std::uint64_t i = 0; i < n && ok_; ++i)
            each(*this, v.emplace_back());
    }

  private:
    std::size_t runSize(std::size_t unit) {
        const std::uint64_t n = word();
        if (!ok_ || n > size_ - at_ || n % unit != 0) return ok_ = false, 0;
        return static_cast<std::size_t>(n);
    }
    const std::uint8_t* bytes_;
    std::size_t size_, at_ = 0;
    bool ok_ = true;
};

// ---- Each message's fields, in order: one list for the writer and the reader ---------------------------

constexpr std::size_t kMostLines = 1u << 20; // texts of a song: far more than any report holds

template <typename Io, typename Texts> void textFields(Io& io, Texts& lines) {
    io.list(lines, kMostLines, [](Io& io, auto& line) { io.text(line); });
}

template <typename Io, typename Request> void requestFields(Io& io, Request& r) {
    bool hasRate = r.rate.has_value();
    int rate = r.rate.value_or(0);
    io.number(hasRate, 0, 1);
    io.number(rate, 0, kHighestRate);
    if constexpr (!std::is_const_v<Request>) r.rate = hasRate ? std::optional<int>(rate) : std::nullopt;
    io.number(r.forceRom, 0, 1);
    io.number(r.measure, 0, 1);
    io.number(r.song, 0, kSongs - 1);
    io.real(r.previewSeconds);
    io.real(r.previewFrom);
}

template <typename Io, typename Song> void songFields(Io& io, Song& s) {
    io.text(s.title);
    textFields(io, s.cutShort);
    textFields(io, s.warnings);
    textFields(io, s.notes);
    io.number(s.channels, 0, kMostModuleChannels);
    io.number(s.preview, 0, 1);
    io.number(s.startCall);
    io.records(s.rom);
    io.number(s.number, 0, kSongs - 1);
    io.list(s.effects, kMaxSignatureEffects, [](Io& io, auto& e) {
        io.number(e.entry, 0, kSampleEntries - 1);
        io.number(e.tone);
        io.text(e.name);
    });
    io.list(s.effectStreams, kMaxSignatureEffects,
            [](Io& io, auto& stream) { io.number(stream, 0, kStreams - 1); });
    io.list(s.origins, kOrderPositions, [](Io& io, auto& lines) { io.records(lines); });
    io.records(s.facts.orders);
    io.number(s.facts.length.repeats, 0, 1);
    io.number(s.facts.length.onceThroughCalls);
    io.number(s.facts.length.passCalls);
    io.number(s.facts.length.ends, 0, 1);
    io.number(s.facts.capCalls);
    io.records(s.facts.lines);
    io.records(s.resumes);
    io.number(s.rate, kLowestRate, kHighestRate);
}

template <typename Io, typename Message> void fields(Io& io, Message& m) {
    switch (m.kind) {
    case ChildMessage::Kind::Prepare:
        io.text(m.path);
        requestFields(io, m.request);
        io.number(m.ask, 0, 1);
        break;
    case ChildMessage::Kind::Asking: break;
    case ChildMessage::Kind::Place:
        io.number(m.place.order, -1, kMostPlaces - 1); // -1: no song plays
        io.number(m.place.row, -1, kMostPlaces - 1);
        break;
    case ChildMessage::Kind::Loaded: songFields(io, m.song); break;
    case ChildMessage::Kind::Failed: io.text(m.error); break;
    }
}

bool knownKind(std::uint8_t kind) {
    return kind >= static_cast<std::uint8_t>(ChildMessage::Kind::Prepare) &&
           kind <= static_cast<std::uint8_t>(ChildMessage::Kind::Failed);
}

} // namespace

std::vector<std::uint8_t> encodeMessage(const ChildMessage& message) {
    Writer w;
    w.bytes.push_back(static_cast<std::uint8_t>(message.kind));
    w.word(0); // the fields' length, once they are written
    fields(w, message);
    const std::uint64_t length = w.bytes.size() - kHeadBytes;
    for (int i = 0; i < 8; ++i)
        w.bytes[1 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    return std::move(w.bytes);
}

Decoded decodeMessage(const std::uint8_t* bytes, std::size_t size, ChildMessage& out, std::size_t& used) {
    if (size < kHeadBytes) return Decoded::Incomplete;
    if (!knownKind(bytes[0])) return Decoded::Bad;
    Reader head(bytes + 1, 8);
    const std::uint64_t length = head.word();
    if (length > size - kHeadBytes) return Decoded::Incomplete;
    out = ChildMessage();
    out.kind = static_cast<ChildMessage::Kind>(bytes[0]);
    Reader r(bytes + kHeadBytes, static_cast<std::size_t>(length));
    fields(r, out);
    if (!r.done() || (out.kind == ChildMessage::Kind::Loaded && out.song.resumes.empty()))
        return Decoded::Bad;
    if (out.kind == ChildMessage::Kind::Loaded) out.song.index();
    used = kHeadBytes + static_cast<std::size_t>(length);
    return Decoded::Whole;
}

std::vector<std::uint8_t> encodeSong(const Playable& song) {
    ChildMessage message;
    message.kind = ChildMessage::Kind::Loaded;
    message.song = song;
    return encodeMessage(message);
}

bool decodeSong(const std::vector<std::uint8_t>& bytes, Playable& song) {
    ChildMessage message;
    std::size_t used = 0;
    if (decodeMessage(bytes.data(), bytes.size(), message, used) != Decoded::Whole || used != bytes.size() ||
        message.kind != ChildMessage::Kind::Loaded)
        return false;
    song = std::move(message.song);
    return true;
}
