#include "file_kind.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "import/load.h"
#include "rom/signature.h"

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads up to `cap` + 1 bytes: one more than the cap says the file is longer.
bool readCapped(const std::string& path, std::size_t cap, std::vector<std::uint8_t>& bytes,
                std::string& error) {
    const Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "'" + path + "' is a folder, not a ROM image or a module";
        return false;
    }
    bytes.clear();
    if (S_ISREG(st.st_mode))
        bytes.reserve(static_cast<std::size_t>(std::min<off_t>(st.st_size, static_cast<off_t>(cap) + 1)));
    std::uint8_t buffer[64 * 1024];
    while (bytes.size() <= cap) {
        const std::size_t want = std::min(sizeof buffer, cap + 1 - bytes.size());
        const ssize_t n = read(fd.get(), buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read '" + path + "': " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return true;
}

// libsndfile reading from memory, to learn whether the bytes are a sound file it knows.
struct MemoryFile {
    const std::vector<std::uint8_t>& bytes;
    sf_count_t at = 0;
};

// The length in bytes of the MPEG audio frame whose header starts at `h` (4 bytes), or 0 for bytes that
// are not a frame header. `tag` says the stream's version, layer and rate, which every frame repeats.
std::size_t mpegFrameBytes(const std::uint8_t* h, int& tag) {
    static constexpr int kBitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG-1, layers I-III
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}, // MPEG-2 and 2.5
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr int kRates[4][3] = {
        {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    const int version = h[1] >> 3 & 3, layer = 3 - (h[1] >> 1 & 3), bitrate = h[2] >> 4,
              rateIndex = h[2] >> 2 & 3;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || layer == 3 || bitrate == 0 ||
        bitrate == 15 || rateIndex == 3)
        return 0;
    tag = (h[1] & 0x1E) | rateIndex << 5;
    const int kbps = kBitrates[version == 3 ? 0 : 1][layer][bitrate], rate = kRates[version][rateIndex];
    const int padding = h[2] >> 1 & 1;
    if (layer == 0) return static_cast<std::size_t>((12 * kbps * 1000 / rate + padding) * 4);
    const int perKbps = layer == 2 && version != 3 ? 72 : 144;
    return static_cast<std::size_t>(perKbps * kbps * 1000 / rate + padding);
}

// libsndfile takes bytes that start (after an ID3 tag) with an MPEG frame's sync bits for MPEG audio and
// hands them to libmpg123, which writes a note on standard error for every bad header it meets. Such bytes
// are judged here, so nothing writes behind nibtool's back: -1 when they do not start that way, else
// whether two frames follow each other as in MPEG audio.
int mpegAudio(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    if (bytes.size() >= 10 && bytes[0] == 'I' && bytes[1] == 'D' && bytes[2] == '3') // an ID3v2 tag first
        at = 10 +
             (std::size_t{bytes[6] & 0x7Fu} << 21 | std::size_t{bytes[7] & 0x7Fu} << 14 |
              std::size_t{bytes[8] & 0x7Fu} << 7 | (bytes[9] & 0x7Fu)) +
             (bytes[5] & 0x10 ? 10 : 0);
    if (at + 1 >= bytes.size() || bytes[at] != 0xFF || (bytes[at + 1] & 0xE0) != 0xE0) return -1;
    int tag = 0, next = 0;
    const std::size_t length = at + 4 <= bytes.size() ? mpegFrameBytes(&bytes[at], tag) : 0;
    if (length == 0 || at + length + 4 > bytes.size()) return 0;
    return mpegFrameBytes(&bytes[at + length], next) != 0 && next == tag;
}

// A sound file libsndfile opens: its format's name, and whether libsndfile knew it only by a guess (a
// format with no magic number of its own, as an Akai MPC 2000 sample: two bytes, which the order list
// at the start of a ROM image can hold by chance).
struct SoundFormat {
    std::string name; // "" when libsndfile opens nothing
    bool guessed = false;
};

SoundFormat audioFormat(const std::vector<std::uint8_t>& bytes) {
    // Two MPEG frames in a row are marks enough; one header alone is not MPEG audio.
    if (const int mpeg = mpegAudio(bytes); mpeg >= 0)
        return mpeg != 0 ? SoundFormat{"MPEG-1/2 Audio", false} : SoundFormat{};
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* m) {
        return static_cast<sf_count_t>(static_cast<MemoryFile*>(m)->bytes.size());
    };
    io.seek = [](sf_count_t offset, int whence, void* m) {
        auto* f = static_cast<MemoryFile*>(m);
        const sf_count_t size = static_cast<sf_count_t>(f->bytes.size());
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->at : size;
        f->at = std::clamp<sf_count_t>(base + offset, 0, size);
        return f->at;
    };
    io.read = [](void* out, sf_count_t count, void* m) {
        auto* f = static_cast<MemoryFile*>(m);
        const sf_count_t n = std::min(count, static_cast<sf_count_t>(f->bytes.size()) - f->at);
        std::memcpy(out, f->bytes.data() + f->at, static_cast<std::size_t>(n));
        f->at += n;
        return n;
    };
    io.write = [](const void*, sf_count_t, void*) { return sf_count_t{0}; };
    io.tell = [](void* m) { return static_cast<MemoryFile*>(m)->at; };
    MemoryFile file{bytes};
    SF_INFO info{};
    SNDFILE* sound = sf_open_virtual(&io, SFM_READ, &info, &file);
    if (!sound) return {};
    sf_close(sound);
    SF_FORMAT_INFO format{};
    format.format = info.format & SF_FORMAT_TYPEMASK;
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format);
    // libsndfile's guesses: a few bytes that any file may hold, or a length that happens to match.
    const int guesses[] = {SF_FORMAT_MPC2K, SF_FORMAT_MAT4, SF_FORMAT_IRCAM, SF_FORMAT_HTK,
                           SF_FORMAT_SDS,   SF_FORMAT_SD2,  SF_FORMAT_MPEG};
    const bool guessed =
        std::find(std::begin(guesses), std::end(guesses), format.format) != std::end(guesses);
    return {format.name ? format.name : "sound", guessed};
}

// Text: no NUL, no control characters but layout, and UTF-8 sequences whole.
bool isText(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint8_t b = bytes[i];
        if (b < 0x80) {
            if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') return false;
            if (b == 0x7F) return false;
            ++i;
            continue;
        }
        const std::size_t follow = b >= 0xF0 && b < 0xF5 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 ? 1 : 0;
        if (follow == 0 || b >= 0xF5) return false;
        for (std::size_t k = 1; k <= follow; ++k)
            if (i + k >= bytes.size() || (bytes[i + k] & 0xC0) != 0x80) return false;
        i += follow + 1;
    }
    return true;
}

std::size_t songZero(const std::vector<std::uint8_t>& bytes) {
    constexpr std::size_t kAt = songEntry(0) - kRomBase; // song 0's entry, high byte first
    return std::size_t{bytes[kAt]} << 8 | bytes[kAt + 1];
}

// A plausible image: long enough for the tables, song 0 starting inside the file's data.
bool plausibleRom(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kRomTablesEnd || bytes.size() > kRomFileCap) return false;
    const std::size_t song = songZero(bytes);
    return song >= kRomBase && song - kRomBase < std::min(bytes.size(), kRomImageBytes);
}

// An image beyond doubt: a plausible one of exactly the image's size, or one whose signature checks.
bool certainRom(const std::vector<std::uint8_t>& bytes) {
    RomSignature signature;
    return plausibleRom(bytes) && (bytes.size() == kRomImageBytes || readSignature(bytes, signature));
}

std::string sizeText(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// The one line for a file that is neither kind.
std::string neither(const InputFile& file) {
    const std::string name = "'" + file.path + "'";
    const std::vector<std::uint8_t>& b = file.bytes;
    if (b.empty()) return name + " is empty, not a ROM image or a module";
    if (b.size() > kMostModuleBytes)
        return name + " is longer than " + std::to_string(kMostModuleBytes >> 20) + " MB: not a ROM image (" +
               std::to_string(kRomImageBytes) + " bytes), and more than nibtool reads of a module";
    const std::string audio = audioFormat(b).name;
    if (!audio.empty()) return name + " is a sound file (" + audio + "), not a ROM image or a module";
    if (isText(b)) return name + " is text, not a ROM image or a module";
    if (b.size() < kRomTablesEnd)
        return name + " (" + sizeText(b.size()) + ") is not a ROM image (" + std::to_string(kRomImageBytes) +
               " bytes, with the song and sample tables at the top) nor a module libxmp reads";
    if (b.size() > kRomFileCap)
        return name + " (" + sizeText(b.size()) + ") is not a ROM image (" + std::to_string(kRomImageBytes) +
               " bytes) nor a module libxmp reads";
    char at[8];
    std::snprintf(at, sizeof at, "0x%04zX", songZero(b));
    return name + " (" + sizeText(b.size()) + ") is not a ROM image (its song 0 would start at " + at +
           ", outside the file's data; --force-rom plays it anyway) nor a module libxmp reads";
}

} // namespace

bool readInput(const std::string& path, bool forceRom, InputFile& file, std::string& error) {
    file = InputFile{};
    file.path = path;
    if (!readCapped(path, forceRom ? kRomImageBytes : kMostModuleBytes, file.bytes, error)) return false;
    if (forceRom) {
        file.kind = FileKind::Rom;
        return true;
    }
    const std::vector<std::uint8_t>& b = file.bytes;
    if (b.empty() || b.size() > kMostModuleBytes) {
        error = neither(file);
        return false;
    }
    // An image beyond doubt is one, whatever a module reader makes of its bytes.
    if (certainRom(b)) {
        file.kind = FileKind::Rom;
        return true;
    }
    // A format libxmp knows by its marks is a module, loaded or refused as one; so is a MOD the repair
    // reads as a song (an odd 15-sample song, a tag libxmp does not know), whatever its bytes at the
    // tables' addresses happen to be.
    const std::string format = moduleFormat(b);
    auto module = std::make_shared<LoadedModule>();
    std::string why;
    if (!format.empty() && !loadModule(b, *module, why)) {
        error = "'" + path + "' is a module (" + format + ") that nibtool cannot take: " + why +
                "; nor is it a ROM image";
        return false;
    }
    if (!format.empty() || (!isText(b) && loadModule(b, *module, why))) {
        file.kind = FileKind::Module;
        file.format = format.empty() ? module->module().type : format;
        file.module = std::move(module);
        return true;
    }
    // A sound file libsndfile knows by its marks is one; a guess of its never outranks a plausible image.
    const SoundFormat sound = audioFormat(b);
    if (plausibleRom(b) && (sound.name.empty() || sound.guessed) && !isText(b)) {
        file.kind = FileKind::Rom;
        return true;
    }
    error = neither(file);
    return false;
}
