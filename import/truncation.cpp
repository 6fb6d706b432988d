#include "truncation.h"

#include <algorithm>
#include <cstring>

#include "mod_layout.h"
#include "report.h"

namespace {

// Reads of the file by offset; bytes past its end read as 0, so a damaged header only misleads.
class Bytes {
  public:
    explicit Bytes(const std::vector<std::uint8_t>& file) : f_(file) {}
    std::size_t size() const { return f_.size(); }
    std::uint8_t u8(std::uint64_t at) const { return at < f_.size() ? f_[at] : 0; }
    std::uint32_t u16(std::uint64_t at) const { return u8(at) | std::uint32_t{u8(at + 1)} << 8; }
    std::uint64_t u32(std::uint64_t at) const { return u16(at) | std::uint64_t{u16(at + 2)} << 16; }
    std::uint32_t u16be(std::uint64_t at) const { return std::uint32_t{u8(at)} << 8 | u8(at + 1); }
    bool tag(std::uint64_t at, const char* text) const {
        const std::size_t n = std::strlen(text);
        return at + n <= f_.size() && std::memcmp(f_.data() + at, text, n) == 0;
    }
    // A name field, up to its first zero byte, printable characters only.
    std::string name(std::uint64_t at, std::size_t bytes) const {
        std::string text;
        for (std::size_t i = 0; i < bytes && u8(at + i) != 0; ++i)
            text += u8(at + i) >= ' ' && u8(at + i) < 127 ? static_cast<char>(u8(at + i)) : ' ';
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text;
    }

  private:
    const std::vector<std::uint8_t>& f_;
};

// Where a part of the module should lie in the file.
struct Part {
    std::size_t number = 0; // as the report counts them: samples from 1, patterns from 0
    std::string name;
    std::uint64_t at = 0, bytes = 0;
    bool sizeKnown = true; // a compressed IT sample's stored size is not in its header
};

struct Layout {
    std::vector<Part> samples, patterns;
};

// The most parts a header may describe that are looked at: what the formats allow.
constexpr std::size_t kMostParts = 256;

Layout s3mLayout(const Bytes& f) {
    Layout out;
    const std::uint32_t orders = f.u16(0x20);
    const std::size_t instruments = std::min<std::size_t>(f.u16(0x22), kMostParts),
                      patterns = std::min<std::size_t>(f.u16(0x24), kMostParts);
    const std::uint64_t table = 0x60 + std::uint64_t{orders};
    for (std::size_t i = 0; i < instruments; ++i) {
        const std::uint64_t at = std::uint64_t{f.u16(table + 2 * i)} * 16;
        if (at == 0 || (at < f.size() && f.u8(at) != 1)) continue; // no instrument, or not a sample
        const std::uint64_t data = (std::uint64_t{f.u8(at + 0x0D)} << 16 | f.u16(at + 0x0E)) * 16;
        const std::uint8_t flags = f.u8(at + 0x1F);
        const std::uint64_t bytes = f.u32(at + 0x10) * (flags & 4 ? 2 : 1) * (flags & 2 ? 2 : 1);
        out.samples.push_back({i + 1, f.name(at + 0x30, 28), at >= f.size() ? at : data, bytes});
    }
    for (std::size_t p = 0; p < patterns; ++p) {
        const std::uint64_t at = std::uint64_t{f.u16(table + 2 * instruments + 2 * p)} * 16;
        if (at != 0) out.patterns.push_back({p, "", at, at + 2 <= f.size() ? f.u16(at) : 2});
    }
    return out;
}

Layout itLayout(const Bytes& f) {
    Layout out;
    const std::uint32_t orders = f.u16(0x20), instruments = f.u16(0x22);
    const std::size_t samples = std::min<std::size_t>(f.u16(0x24), kMostParts),
                      patterns = std::min<std::size_t>(f.u16(0x26), kMostParts);
    const std::uint64_t sampleTable = 0xC0 + std::uint64_t{orders} + 4 * std::uint64_t{instruments};
    for (std::size_t i = 0; i < samples; ++i) {
        const std::uint64_t at = f.u32(sampleTable + 4 * i);
        const std::uint8_t flags = f.u8(at + 0x12);
        if (at < f.size() && !(flags & 1)) continue; // a header with no sample data
        const std::uint64_t bytes = f.u32(at + 0x30) * (flags & 2 ? 2 : 1) * (flags & 4 ? 2 : 1);
        out.samples.push_back(
            {i + 1, f.name(at + 0x14, 26), at >= f.size() ? at : f.u32(at + 0x48), bytes, !(flags & 8)});
    }
    const std::uint64_t patternTable = sampleTable + 4 * std::uint64_t{f.u16(0x24)};
    for (std::size_t p = 0; p < patterns; ++p) {
        const std::uint64_t at = f.u32(patternTable + 4 * p);
        if (at != 0) out.patterns.push_back({p, "", at, 8 + std::uint64_t{f.u16(at)}});
    }
    return out;
}

Layout xmLayout(const Bytes& f) {
    Layout out;
    const std::size_t patterns = std::min<std::size_t>(f.u16(70), kMostParts),
                      instruments = std::min<std::size_t>(f.u16(72), kMostParts);
    std::uint64_t at = 60 + f.u32(60);
    for (std::size_t p = 0; p < patterns; ++p) {
        const std::uint64_t header = std::max<std::uint64_t>(f.u32(at), 9);
        out.patterns.push_back({p, "", at, header + f.u16(at + 7)});
        at += header + f.u16(at + 7);
    }
    std::size_t number = 0; // libxmp numbers an XM's samples across its instruments
    for (std::size_t i = 0; i < instruments && at < f.size(); ++i) {
        const std::uint64_t header = std::max<std::uint64_t>(f.u32(at), 29);
        const std::uint32_t count = f.u16(at + 27);
        const std::uint64_t sampleHeader = count > 0 ? f.u32(at + 29) : 0;
        std::uint64_t data = at + header + count * sampleHeader;
        for (std::uint32_t s = 0; s < count && s < kMostParts; ++s) {
            const std::uint64_t h = at + header + s * sampleHeader;
            const std::uint64_t bytes = f.u32(h);
            out.samples.push_back({++number, f.name(h + 18, 22), data, bytes});
            data += bytes;
        }
        at = data;
    }
    return out;
}

// The channels a MOD's tag gives, as libxmp reads them: its four-channel tags, "6CHN" and the like, "nnCH";
// 0 for a tag it does not read as a MOD's (a 15-sample song, or a layout of its own, as FLT8's).
std::size_t modChannels(const Bytes& f) {
    if (f.size() < kModPatternsAt) return 0;
    std::string tag;
    for (std::uint64_t i = kModTagAt; i < kModTagAt + kModTagBytes; ++i)
        tag += static_cast<char>(f.u8(i));
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (const char* four : {"M.K.", "M!K!", "M&K!", "N.T.", "FLT4", "TDZ4", "FA04", "NSMS"})
        if (tag == four) return 4;
    if (tag == "CD61" || tag == "FA06") return 6;
    if (tag == "CD81" || tag == "FA08") return 8;
    if (digit(tag[0]) && tag.compare(1, 3, "CHN") == 0 && tag[0] != '0') return std::size_t(tag[0] - '0');
    if (digit(tag[0]) && digit(tag[1]) && tag.compare(2, 2, "CH") == 0) {
        const auto n = std::size_t((tag[0] - '0') * 10 + (tag[1] - '0'));
        return n > 0 && n <= 32 ? n : 0;
    }
    return 0;
}

// A MOD as libxmp lays it out: 1084 bytes of header, one pattern more than the highest order entry (up to
// the first entry past 127), then the 31 samples in order.
Layout modLayout(const Bytes& f, std::size_t channels) {
    Layout out;
    std::size_t patterns = 0;
    const std::size_t orders = modOrdersAt(kModSamples);
    for (std::uint64_t i = orders; i < orders + kModOrderEntries && f.u8(i) <= 0x7F; ++i)
        patterns = std::max<std::size_t>(patterns, f.u8(i));
    ++patterns;
    const std::uint64_t patternBytes = kModRows * kModCellBytes * std::uint64_t{channels};
    for (std::size_t p = 0; p < patterns; ++p)
        out.patterns.push_back({p, "", kModPatternsAt + p * patternBytes, patternBytes});
    std::uint64_t at = kModPatternsAt + patterns * patternBytes;
    for (std::size_t i = 0; i < kModSamples; ++i) {
        const std::uint64_t bytes = 2 * std::uint64_t{f.u16be(modSampleHeaderAt(i) + kModSampleWords)};
        out.samples.push_back({i + 1, f.name(modSampleHeaderAt(i), kModSampleNameBytes), at, bytes});
        at += bytes;
    }
    return out;
}

std::string plural(std::size_t n, const char* one, const char* more) {
    return n == 1 ? one : more;
}

} // namespace

std::vector<std::string> truncationReport(const std::vector<std::uint8_t>& file) {
    const Bytes f(file);
    Layout layout;
    if (f.tag(0, "IMPM"))
        layout = itLayout(f);
    else if (f.tag(0, "Extended Module: "))
        layout = xmLayout(f);
    else if (f.tag(0x2C, "SCRM"))
        layout = s3mLayout(f);
    else if (const std::size_t channels = modChannels(f); channels > 0)
        layout = modLayout(f, channels);
    else
        return {};
    const std::uint64_t size = f.size();
    std::uint64_t described = size;
    bool unknownSizes = false; // compressed samples: where they end is not in their headers
    std::vector<std::string> lines;
    std::vector<std::size_t> missing, missingPatterns;
    for (const Part& s : layout.samples) {
        if (s.bytes == 0) continue;
        if (s.sizeKnown) described = std::max(described, s.at + s.bytes);
        unknownSizes |= !s.sizeKnown;
        const std::string label =
            "sample " + std::to_string(s.number) + (s.name.empty() ? "" : " \"" + s.name + "\"");
        if (s.at >= size)
            missing.push_back(s.number);
        else if (s.sizeKnown && s.at + s.bytes > size)
            lines.push_back("the file ends inside " + label + " (" + std::to_string(size - s.at) + " of " +
                            std::to_string(s.bytes) + " bytes): the sample is cut there");
    }
    for (const Part& p : layout.patterns) {
        described = std::max(described, p.at + p.bytes);
        if (p.at >= size)
            missingPatterns.push_back(p.number);
        else if (p.at + p.bytes > size)
            lines.push_back("the file ends inside pattern " + std::to_string(p.number) +
                            ": the rest of it is silent");
    }
    if (!missing.empty())
        lines.push_back(plural(missing.size(), "sample ", "samples ") + numberRuns(missing) +
                        plural(missing.size(), " lies past the file's end: it is silent",
                               " lie past the file's end: they are silent"));
    if (!missingPatterns.empty())
        lines.push_back(plural(missingPatterns.size(), "pattern ", "patterns ") +
                        numberRuns(missingPatterns) +
                        plural(missingPatterns.size(), " lies past the file's end: it is silent",
                               " lie past the file's end: they are silent"));
    if (lines.empty()) return lines;
    lines.insert(lines.begin(), unknownSizes ? "the file is cut short: it holds " + std::to_string(size) +
                                                   " bytes, and its headers place more past them"
                                             : cutShortLine(size, described));
    return lines;
}

std::string cutShortLine(std::size_t size, std::size_t described) {
    return "the file is cut short: it holds " + std::to_string(size) + " of the " +
           std::to_string(described) + " bytes its headers describe";
}
