#include "signature.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t kVersion = 1;      // rate, titles, effects
constexpr std::uint8_t kSongsVersion = 2; // and how each song plays
constexpr std::uint8_t kEndsFlag = 0x01;
constexpr std::uint8_t kMagic[4] = {'N', 'I', 'B', 'S'};

constexpr std::array<std::uint32_t, 256> crcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

} // namespace

std::uint32_t signatureChecksum(const std::uint8_t* data, std::size_t size) {
    static constexpr std::array<std::uint32_t, 256> kTable = crcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        c = kTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

namespace {

void putNumber(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A text cut to the longest kept, never inside a UTF-8 character.
void putText(std::vector<std::uint8_t>& out, const std::string& text) {
    std::size_t length = std::min(text.size(), kMaxSignatureText);
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

// Reads the body from its start, every read checked against its end.
class BodyReader {
  public:
    BodyReader(const std::uint8_t* at, const std::uint8_t* end) : at_(at), end_(end) {}
    bool number(int bytes, std::uint32_t& value) {
        if (end_ - at_ < bytes) return false;
        value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | *at_++;
        return true;
    }
    bool text(std::string& out) {
        std::uint32_t length = 0;
        if (!number(1, length) || length > kMaxSignatureText ||
            end_ - at_ < static_cast<std::ptrdiff_t>(length))
            return false;
        out.assign(at_, at_ + length);
        at_ += length;
        for (char& c : out)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        return true;
    }
    bool done() const { return at_ == end_; }

  private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

bool readBody(BodyReader body, RomSignature& out) {
    std::uint32_t version = 0, rate = 0, songs = 0, effects = 0;
    if (!body.number(1, version) || (version != kVersion && version != kSongsVersion) ||
        !body.number(4, rate) || rate < kLowestRate || rate > kHighestRate || !body.number(1, songs) ||
        songs > kMaxSignatureSongs)
        return false;
    out.rate = rate;
    out.titles.assign(songs, "");
    for (std::string& title : out.titles)
        if (!body.text(title)) return false;
    if (!body.number(1, effects) || effects > kMaxSignatureEffects) return false;
    out.effects.assign(effects, {});
    for (SignatureEffect& effect : out.effects) {
        std::uint32_t entry = 0, tone = 0;
        if (!body.number(1, entry) || entry > 14 || !body.number(1, tone) || tone > 60 ||
            !body.text(effect.name))
            return false;
        effect.entry = static_cast<std::uint8_t>(entry);
        effect.tone = static_cast<std::uint8_t>(tone);
    }
    if (version == kSongsVersion) {
        out.songs.assign(songs, {});
        for (SignatureSong& song : out.songs) {
            std::uint32_t flags = 0;
            if (!body.number(1, flags) || (flags & ~std::uint32_t{kEndsFlag}) != 0) return false;
            song.ends = flags != 0;
            song.streams.assign(effects, {});
            for (EffectStream& s : song.streams) {
                std::uint32_t stream = 0, percent = 0;
                if (!body.number(1, stream) || stream > 3 || !body.number(1, percent) || percent > 100)
                    return false;
                s.stream = static_cast<std::uint8_t>(stream);
                s.musicPercent = static_cast<std::uint8_t>(percent);
            }
        }
    }
    return body.done();
}

} // namespace

std::vector<std::uint8_t> signatureBytes(const RomSignature& signature) {
    std::vector<std::uint8_t> block;
    const bool songsToo = !signature.songs.empty();
    block.push_back(songsToo ? kSongsVersion : kVersion);
    putNumber(block, std::clamp(signature.rate, kLowestRate, kHighestRate), 4);
    const std::size_t songs = std::min(signature.titles.size(), kMaxSignatureSongs);
    block.push_back(static_cast<std::uint8_t>(songs));
    for (std::size_t n = 0; n < songs; ++n)
        putText(block, signature.titles[n]);
    const std::size_t effects = std::min(signature.effects.size(), kMaxSignatureEffects);
    block.push_back(static_cast<std::uint8_t>(effects));
    for (std::size_t i = 0; i < effects; ++i) {
        const SignatureEffect& e = signature.effects[i];
        block.push_back(std::min<std::uint8_t>(e.entry, 14));
        block.push_back(std::min<std::uint8_t>(e.tone, 60));
        putText(block, e.name);
    }
    for (std::size_t n = 0; songsToo && n < songs; ++n) {
        const SignatureSong none;
        const SignatureSong& song = n < signature.songs.size() ? signature.songs[n] : none;
        block.push_back(song.ends ? kEndsFlag : 0);
        for (std::size_t i = 0; i < effects; ++i) {
            const EffectStream s = i < song.streams.size() ? song.streams[i] : EffectStream{};
            block.push_back(std::min<std::uint8_t>(s.stream, 3));
            block.push_back(std::min<std::uint8_t>(s.musicPercent, 100));
        }
    }
    const std::uint32_t crc = signatureChecksum(block.data(), block.size());
    putNumber(block, static_cast<std::uint32_t>(block.size() + kSignatureFooter), 2);
    putNumber(block, crc, 4);
    block.insert(block.end(), std::begin(kMagic), std::end(kMagic));
    return block;
}

std::size_t signatureSize(const RomSignature& signature) {
    return signatureBytes(signature).size();
}

bool writeSignature(std::vector<std::uint8_t>& rom, const RomSignature& signature) {
    const std::vector<std::uint8_t> block = signatureBytes(signature);
    if (rom.size() < kSignatureEnd || block.size() > kMaxSignatureBytes) return false;
    std::copy(block.begin(), block.end(),
              rom.begin() + static_cast<std::ptrdiff_t>(kSignatureEnd - block.size()));
    return true;
}

bool readSignature(const std::uint8_t* data, std::size_t size, RomSignature& signature) {
    if (size < kSignatureEnd) return false;
    const std::uint8_t* footer = data + kSignatureEnd - kSignatureFooter;
    if (!std::equal(std::begin(kMagic), std::end(kMagic), footer + 6)) return false;
    const std::size_t length = std::size_t{footer[0]} << 8 | footer[1];
    if (length <= kSignatureFooter || length > kMaxSignatureBytes) return false;
    const std::uint8_t* body = data + kSignatureEnd - length;
    const std::uint32_t crc = std::uint32_t{footer[2]} << 24 | std::uint32_t{footer[3]} << 16 |
                              std::uint32_t{footer[4]} << 8 | footer[5];
    if (signatureChecksum(body, length - kSignatureFooter) != crc) return false;
    RomSignature read;
    if (!readBody(BodyReader(body, footer), read)) return false;
    signature = std::move(read);
    return true;
}

bool readSignature(const std::vector<std::uint8_t>& rom, RomSignature& signature) {
    return readSignature(rom.data(), rom.size(), signature);
}
