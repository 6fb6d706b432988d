#include "test_modules.h"

#include <algorithm>

#include "import/mod_layout.h"

namespace {

// Appends little- and big-endian fields, text padded with zeros, and patches earlier fields.
class Writer {
  public:
    std::vector<std::uint8_t> bytes;

    std::size_t size() const { return bytes.size(); }
    void u8(unsigned v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
    void u16le(unsigned v) { u8(v & 0xFF), u8(v >> 8 & 0xFF); }
    void u16be(unsigned v) { u8(v >> 8 & 0xFF), u8(v & 0xFF); }
    void u32le(std::uint32_t v) { u16le(v & 0xFFFF), u16le(v >> 16); }
    void text(const std::string& s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            u8(i < s.size() ? static_cast<unsigned char>(s[i]) : 0);
    }
    void zeros(std::size_t n) { bytes.insert(bytes.end(), n, 0); }
    void pad(std::size_t multiple) { zeros((multiple - size() % multiple) % multiple); }
    void data(const std::vector<std::uint8_t>& d) { bytes.insert(bytes.end(), d.begin(), d.end()); }
    void patch16le(std::size_t at, unsigned v) {
        bytes.at(at) = static_cast<std::uint8_t>(v & 0xFF);
        bytes.at(at + 1) = static_cast<std::uint8_t>(v >> 8 & 0xFF);
    }
    void patch32le(std::size_t at, std::uint32_t v) {
        patch16le(at, v & 0xFFFF);
        patch16le(at + 2, v >> 16);
    }
};

// Signed 8-bit triangle wave, one cycle per 32 bytes.
std::vector<std::uint8_t> triangle(std::size_t bytes) {
    std::vector<std::uint8_t> d(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        const int phase = static_cast<int>(i % 32);
        const int v = phase < 16 ? phase * 16 - 128 : (32 - phase) * 16 - 128;
        d[i] = static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(v, -128, 127)));
    }
    return d;
}

} // namespace

std::size_t modChannels(const ModLayout& layout) {
    const std::string& tag = layout.tag;
    if (tag.size() == 4 && tag.compare(1, 3, "CHN") == 0 && tag[0] >= '1' && tag[0] <= '9')
        return static_cast<std::size_t>(tag[0] - '0');
    return 4;
}

std::vector<std::uint8_t> buildMod(const ModLayout& layout) {
    const std::size_t slots = layout.tag.empty() ? kModSamples15 : kModSamples;
    Writer w;
    w.text(layout.title, kModTitleBytes);
    for (std::size_t i = 0; i < slots; ++i) {
        const ModSampleLayout s =
            i < layout.samples.size() ? layout.samples[i] : ModSampleLayout{"", 0, 0, 0, 0, 1};
        w.text(s.name, kModSampleNameBytes);
        w.u16be(s.words);
        w.u8(s.finetune);
        w.u8(s.volume);
        w.u16be(s.loopStart);
        w.u16be(s.loopWords);
    }
    w.u8(layout.length);
    w.u8(layout.restart);
    for (std::size_t i = 0; i < kModOrderEntries; ++i)
        w.u8(i < layout.orders.size() ? layout.orders[i] : 0);
    w.text(layout.tag, layout.tag.empty() ? 0 : kModTagBytes);
    const std::size_t patternsAt = w.size(), channels = modChannels(layout);
    const std::size_t rowBytes = kModCellBytes * channels;
    w.zeros(layout.patterns * kModRows * rowBytes);
    for (const ModCellLayout& c : layout.cells) {
        if (c.pattern >= layout.patterns || c.row >= kModRows || c.channel >= channels) continue;
        const std::size_t at =
            patternsAt + (c.pattern * kModRows + c.row) * rowBytes + c.channel * kModCellBytes;
        w.bytes[at] = static_cast<std::uint8_t>((c.sample & 0xF0) | (c.period >> 8 & 0x0F));
        w.bytes[at + 1] = static_cast<std::uint8_t>(c.period & 0xFF);
        w.bytes[at + kModCellEffect] = static_cast<std::uint8_t>((c.sample & 0x0F) << 4 | (c.effect & 0x0F));
        w.bytes[at + kModCellParam] = c.param;
    }
    for (std::size_t i = 0; i < layout.samples.size() && i < slots; ++i)
        w.data(triangle(2 * std::size_t{layout.samples[i].words}));
    return w.bytes;
}

ModLayout smallModLayout() {
    ModLayout layout;
    layout.title = "small song";
    layout.samples = {{"triangle", 600, 0, 64, 0, 1}, {"loop", 400, 0, 48, 100, 300}};
    layout.length = 3;
    layout.orders = {0, 1, 0};
    layout.patterns = 2;
    const std::uint16_t periods[] = {428, 381, 339, 320, 285, 254, 226, 214};
    for (std::size_t p = 0; p < 2; ++p)
        for (std::size_t row = 0; row < 64; row += 4)
            layout.cells.push_back({p, row, row / 4 % 4, static_cast<std::uint8_t>(1 + row / 8 % 2),
                                    periods[(row / 4 + p) % 8], 0, 0});
    layout.cells.push_back({0, 8, 1, 0, 0, 0x0, 0x37});  // arpeggio
    layout.cells.push_back({0, 12, 2, 0, 0, 0x1, 0x04}); // slide up
    layout.cells.push_back({1, 16, 3, 0, 0, 0xC, 0x20}); // volume
    layout.cells.push_back({1, 20, 0, 0, 0, 0xF, 0x05}); // speed
    layout.cells.push_back({1, 60, 1, 0, 0, 0xD, 0x00}); // pattern break
    return layout;
}

std::vector<std::uint8_t> tinyS3m() {
    Writer w;
    w.text("tiny s3m", 28);
    w.u8(0x1A), w.u8(16), w.u16le(0);
    w.u16le(2), w.u16le(2), w.u16le(1); // orders, instruments, patterns
    w.u16le(0), w.u16le(0x1320), w.u16le(2);
    w.text("SCRM", 4);
    w.u8(64), w.u8(6), w.u8(125), w.u8(0xB0), w.u8(0), w.u8(0);
    w.zeros(8), w.u16le(0);
    for (unsigned c = 0; c < 32; ++c)
        w.u8(c < 4 ? (c % 2 ? 8 + c : c) : 255);
    w.u8(0), w.u8(255);                    // orders: pattern 0, end
    const std::size_t pointers = w.size(); // instrument and pattern parapointers, patched below
    w.zeros(2 * 3);
    std::vector<std::size_t> instruments;
    for (unsigned i = 0; i < 2; ++i) {
        w.pad(16);
        instruments.push_back(w.size());
        w.patch16le(pointers + 2 * i, static_cast<unsigned>(w.size() / 16));
        w.u8(1), w.text("", 12), w.zeros(3); // sample, file name, data pointer (patched)
        w.u32le(256), w.u32le(i == 1 ? 64 : 0), w.u32le(i == 1 ? 256 : 0);
        w.u8(64), w.u8(0), w.u8(0), w.u8(i == 1 ? 1 : 0); // volume, pack, flags (1: loop)
        w.u32le(8363), w.zeros(12);
        w.text(i == 0 ? "plain" : "looped", 28);
        w.text("SCRS", 4);
    }
    w.pad(16);
    w.patch16le(pointers + 4, static_cast<unsigned>(w.size() / 16));
    const std::size_t pattern = w.size();
    w.u16le(0);
    for (unsigned row = 0; row < 64; ++row) {
        if (row % 8 == 0) { // a note, its instrument and a volume
            w.u8(32 | 64 | (row / 8 % 2)), w.u8(0x40 + row / 8 % 12), w.u8(1 + row / 8 % 2), w.u8(48);
        }
        if (row == 16) w.u8(128 | 1), w.u8(8), w.u8(0x44); // vibrato on channel 1
        w.u8(0);
    }
    w.patch16le(pattern, static_cast<unsigned>(w.size() - pattern));
    for (std::size_t i = 0; i < 2; ++i) {
        w.pad(16);
        const std::size_t at = w.size() / 16;
        w.bytes[instruments[i] + 13] = static_cast<std::uint8_t>(at >> 16);
        w.patch16le(instruments[i] + 14, static_cast<unsigned>(at & 0xFFFF));
        for (std::uint8_t b : triangle(256))
            w.u8(b ^ 0x80u); // unsigned samples
    }
    return w.bytes;
}

namespace {

// XM's two instruments of one 256-frame triangle each, the second looped.
void xmInstruments(Writer& w) {
    for (unsigned i = 0; i < 2; ++i) {
        w.u32le(263), w.text(i == 0 ? "plain" : "looped", 22), w.u8(0), w.u16le(1);
        w.u32le(40), w.zeros(96);
        w.zeros(48 + 48);
        w.zeros(2 + 6 + 2 + 4);
        w.u16le(0), w.zeros(22);
        w.u32le(256), w.u32le(i == 1 ? 64 : 0), w.u32le(i == 1 ? 192 : 0);
        w.u8(64), w.u8(0), w.u8(i == 1 ? 1 : 0), w.u8(128), w.u8(0), w.u8(0);
        w.text("wave", 22);
        std::uint8_t last = 0;
        for (std::uint8_t b : triangle(256)) { // delta coded
            w.u8(static_cast<std::uint8_t>(b - last));
            last = b;
        }
    }
}

} // namespace

std::vector<std::uint8_t> tinyXm(unsigned bpm, unsigned speed) {
    Writer w;
    w.text("Extended Module: ", 17), w.text("tiny xm", 20), w.u8(0x1A), w.text("nibplay", 20);
    w.u16le(0x0104), w.u32le(276);
    w.u16le(2), w.u16le(0), w.u16le(4), w.u16le(1), w.u16le(2), w.u16le(1), w.u16le(speed), w.u16le(bpm);
    w.u8(0), w.u8(0), w.zeros(254); // orders: pattern 0 twice
    // Pattern 0: 16 rows, every cell packed.
    w.u32le(9), w.u8(0), w.u16le(16);
    const std::size_t sizeAt = w.size();
    w.u16le(0);
    const std::size_t dataAt = w.size();
    for (unsigned row = 0; row < 16; ++row)
        for (unsigned ch = 0; ch < 4; ++ch) {
            if (ch < 2 && row % 4 == ch * 2) {
                w.u8(0x80 | 1 | 2 | 4), w.u8(49 + row), w.u8(1 + ch), w.u8(0x10 + 40);
            } else if (ch == 2 && row == 8) {
                w.u8(0x80 | 8 | 16), w.u8(0xA), w.u8(0x02); // volume slide
            } else {
                w.u8(0x80);
            }
        }
    w.patch16le(sizeAt, static_cast<unsigned>(w.size() - dataAt));
    xmInstruments(w);
    return w.bytes;
}

std::vector<std::uint8_t> denseXm(unsigned channels, unsigned orders, unsigned rows) {
    Writer w;
    w.text("Extended Module: ", 17), w.text("dense xm", 20), w.u8(0x1A), w.text("nibplay", 20);
    w.u16le(0x0104), w.u32le(276);
    w.u16le(orders), w.u16le(0), w.u16le(channels), w.u16le(orders), w.u16le(2), w.u16le(1), w.u16le(6);
    w.u16le(125);
    for (unsigned o = 0; o < 256; ++o)
        w.u8(o < orders ? o : 0);
    for (unsigned p = 0; p < orders; ++p) {
        w.u32le(9), w.u8(0), w.u16le(rows);
        const std::size_t sizeAt = w.size();
        w.u16le(0);
        for (unsigned row = 0; row < rows; ++row)
            for (unsigned ch = 0; ch < channels; ++ch)
                w.u8(0x80 | 1 | 2), w.u8(25 + (row + ch + p) % 48), w.u8(1 + ch % 2);
        w.patch16le(sizeAt, static_cast<unsigned>(std::min<std::size_t>(w.size() - sizeAt - 2, 0xFFFF)));
    }
    xmInstruments(w);
    return w.bytes;
}

std::vector<std::uint8_t> tinyIt() {
    Writer w;
    w.text("IMPM", 4), w.text("tiny it", 26), w.u16le(0x1004);
    w.u16le(2), w.u16le(0), w.u16le(2), w.u16le(1); // orders, instruments, samples, patterns
    w.u16le(0x0214), w.u16le(0x0214), w.u16le(1 | 8), w.u16le(0);
    w.u8(128), w.u8(48), w.u8(6), w.u8(125), w.u8(128), w.u8(0), w.u16le(0), w.u32le(0), w.u32le(0);
    for (unsigned c = 0; c < 64; ++c)
        w.u8(c < 4 ? 32 : 128); // panning; 128 and up: channel off
    for (unsigned c = 0; c < 64; ++c)
        w.u8(64);
    w.u8(0), w.u8(255);
    const std::size_t offsets = w.size();
    w.zeros(4 * 3);
    std::vector<std::size_t> samples;
    for (unsigned i = 0; i < 2; ++i) {
        w.patch32le(offsets + 4 * i, static_cast<std::uint32_t>(w.size()));
        samples.push_back(w.size());
        w.text("IMPS", 4), w.text("", 12), w.u8(0), w.u8(64);
        w.u8(i == 1 ? 1 | 16 : 1), w.u8(64); // flags: sample present, looped; volume
        w.text(i == 0 ? "plain" : "looped", 26), w.u8(1), w.u8(0);
        w.u32le(256), w.u32le(i == 1 ? 64 : 0), w.u32le(i == 1 ? 256 : 0), w.u32le(8363);
        w.u32le(0), w.u32le(0), w.u32le(0); // sustain loop, data pointer (patched)
        w.u8(0), w.u8(0), w.u8(0), w.u8(0);
    }
    w.patch32le(offsets + 8, static_cast<std::uint32_t>(w.size()));
    const std::size_t pattern = w.size();
    w.u16le(0), w.u16le(32), w.zeros(4);
    for (unsigned row = 0; row < 32; ++row) {
        if (row % 4 == 0) { // note, instrument and volume on channel 1 or 2
            w.u8(0x80 | (1 + row / 4 % 2)), w.u8(1 | 2 | 4), w.u8(60 + row / 4 % 12), w.u8(1 + row / 4 % 2);
            w.u8(48);
        }
        if (row == 12) w.u8(0x80 | 3), w.u8(8), w.u8(8), w.u8(0x44); // vibrato (command H) on channel 3
        w.u8(0);
    }
    w.patch16le(pattern, static_cast<unsigned>(w.size() - pattern - 8));
    for (std::size_t i = 0; i < 2; ++i) {
        w.patch32le(samples[i] + 0x48, static_cast<std::uint32_t>(w.size()));
        w.data(triangle(256));
    }
    return w.bytes;
}

namespace {

// A pattern's packed rows: a note on channel 0 at row 0, the commands of `pattern`. S3M marks a channel's
// note with 32 and a command with 128; IT gives the channel (from 1) with 128 and a mask (1 note, 2
// instrument, 8 command).
std::vector<std::uint8_t> letterPattern(bool it, std::size_t pattern,
                                        const std::vector<LetterCommand>& commands) {
    Writer w;
    for (std::size_t row = 0; row < 64; ++row) {
        if (row == 0 && it) w.u8(0x80 | 1), w.u8(1 | 2), w.u8(60), w.u8(1);
        if (row == 0 && !it) w.u8(32), w.u8(0x40), w.u8(1);
        for (const LetterCommand& c : commands)
            if (c.pattern == pattern && c.row == row && c.channel < 4) {
                const unsigned command = static_cast<unsigned>(c.letter - 'A' + 1) & 0x1F;
                if (it)
                    w.u8(0x80 | unsigned(c.channel + 1)), w.u8(8);
                else
                    w.u8(0x80 | unsigned(c.channel));
                w.u8(command), w.u8(c.param);
            }
        w.u8(0);
    }
    return w.bytes;
}

} // namespace

std::vector<std::uint8_t> letterSong(bool it, std::size_t patterns, const std::vector<std::uint8_t>& orders,
                                     const std::vector<LetterCommand>& commands) {
    Writer w;
    const auto count = static_cast<unsigned>(patterns);
    const auto positions = static_cast<unsigned>(orders.size() + 1);
    std::size_t pointers = 0, sample = 0;
    if (it) {
        w.text("IMPM", 4), w.text("letter it", 26), w.u16le(0x1004);
        w.u16le(positions), w.u16le(0), w.u16le(1), w.u16le(count);
        w.u16le(0x0214), w.u16le(0x0214), w.u16le(1 | 8), w.u16le(0);
        w.u8(128), w.u8(48), w.u8(6), w.u8(125), w.u8(128), w.u8(0), w.u16le(0), w.u32le(0), w.u32le(0);
        for (unsigned c = 0; c < 64; ++c)
            w.u8(c < 4 ? 32 : 128);
        for (unsigned c = 0; c < 64; ++c)
            w.u8(64);
        w.data(orders), w.u8(255);
        pointers = w.size();
        w.zeros(4 * (1 + patterns));
        w.patch32le(pointers, static_cast<std::uint32_t>(w.size()));
        sample = w.size();
        w.text("IMPS", 4), w.text("", 12), w.u8(0), w.u8(64), w.u8(1 | 16), w.u8(64);
        w.text("triangle", 26), w.u8(1), w.u8(0);
        w.u32le(256), w.u32le(0), w.u32le(256), w.u32le(8363), w.u32le(0), w.u32le(0), w.u32le(0);
        w.zeros(4);
        for (std::size_t p = 0; p < patterns; ++p) {
            w.patch32le(pointers + 4 + 4 * p, static_cast<std::uint32_t>(w.size()));
            const std::vector<std::uint8_t> rows = letterPattern(true, p, commands);
            w.u16le(static_cast<unsigned>(rows.size())), w.u16le(64), w.zeros(4), w.data(rows);
        }
        w.patch32le(sample + 0x48, static_cast<std::uint32_t>(w.size()));
        w.data(triangle(256));
        return w.bytes;
    }
    w.text("letter s3m", 28), w.u8(0x1A), w.u8(16), w.u16le(0);
    w.u16le(positions), w.u16le(1), w.u16le(count), w.u16le(0), w.u16le(0x1320), w.u16le(2);
    w.text("SCRM", 4);
    w.u8(64), w.u8(6), w.u8(125), w.u8(0xB0), w.u8(0), w.u8(0), w.zeros(8), w.u16le(0);
    for (unsigned c = 0; c < 32; ++c)
        w.u8(c < 4 ? c : 255);
    w.data(orders), w.u8(255);
    pointers = w.size();
    w.zeros(2 * (1 + patterns));
    w.pad(16);
    sample = w.size();
    w.patch16le(pointers, static_cast<unsigned>(sample / 16));
    w.u8(1), w.text("", 12), w.zeros(3), w.u32le(256), w.u32le(0), w.u32le(256);
    w.u8(64), w.u8(0), w.u8(0), w.u8(1), w.u32le(8363), w.zeros(12), w.text("triangle", 28),
        w.text("SCRS", 4);
    for (std::size_t p = 0; p < patterns; ++p) {
        w.pad(16);
        w.patch16le(pointers + 2 + 2 * p, static_cast<unsigned>(w.size() / 16));
        const std::vector<std::uint8_t> rows = letterPattern(false, p, commands);
        w.u16le(static_cast<unsigned>(rows.size() + 2)), w.data(rows);
    }
    w.pad(16);
    const std::size_t at = w.size() / 16;
    w.bytes[sample + 13] = static_cast<std::uint8_t>(at >> 16);
    w.patch16le(sample + 14, static_cast<unsigned>(at & 0xFFFF));
    for (std::uint8_t b : triangle(256))
        w.u8(b ^ 0x80u); // unsigned samples
    return w.bytes;
}

std::vector<std::uint8_t> letterXm(std::size_t patterns, const std::vector<std::uint8_t>& orders,
                                   const std::vector<LetterCommand>& commands, const char* tracker) {
    Writer w;
    w.text("Extended Module: ", 17), w.text("letter xm", 20), w.u8(0x1A), w.text(tracker, 20);
    w.u16le(0x0104), w.u32le(276);
    w.u16le(static_cast<unsigned>(orders.size())), w.u16le(0), w.u16le(4),
        w.u16le(static_cast<unsigned>(patterns));
    w.u16le(2), w.u16le(1), w.u16le(6), w.u16le(125);
    w.data(orders), w.zeros(256 - std::min<std::size_t>(orders.size(), 256));
    for (std::size_t p = 0; p < patterns; ++p) {
        w.u32le(9), w.u8(0), w.u16le(64);
        const std::size_t sizeAt = w.size();
        w.u16le(0);
        for (std::size_t row = 0; row < 64; ++row)
            for (std::size_t ch = 0; ch < 4; ++ch) {
                const auto command =
                    std::find_if(commands.begin(), commands.end(), [&](const LetterCommand& c) {
                        return c.pattern == p && c.row == row && c.channel == ch;
                    });
                const bool note = row == 0 && ch == 0, effect = command != commands.end();
                w.u8(0x80 | (note ? 1 | 2 : 0) | (effect ? 8 | 16 : 0));
                if (note) w.u8(49), w.u8(2); // the looped sample
                const char letter = effect ? command->letter : '0';
                if (effect)
                    w.u8(static_cast<unsigned>(letter >= 'A' ? letter - 'A' + 10 : letter - '0') & 0x1F);
                if (effect) w.u8(command->param);
            }
        w.patch16le(sizeAt, static_cast<unsigned>(w.size() - sizeAt - 2));
    }
    xmInstruments(w);
    return w.bytes;
}

namespace {

// A sample's frames: a triangle wave of its cycle, or a noise burst that decays to silence.
std::vector<std::uint8_t> itSampleData(const ItSampleLayout& s) {
    std::vector<std::uint8_t> d(s.frames);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < d.size(); ++i) {
        int v = 0;
        if (s.cycle > 0) {
            const std::size_t phase = i % s.cycle, half = s.cycle / 2;
            v = static_cast<int>(phase < half ? phase * 255 / std::max<std::size_t>(half, 1)
                                              : (s.cycle - phase) * 255 / std::max<std::size_t>(half, 1)) -
                128;
        } else {
            seed = seed * 1103515245u + 12345u;
            const double fade = 1.0 - double(i) / double(d.size());
            v = static_cast<int>(double(int(seed >> 16 & 0xFF) - 128) * fade * fade);
        }
        d[i] = static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(v, -128, 127)));
    }
    return d;
}

void itEnvelope(Writer& w, const std::vector<std::pair<std::uint16_t, std::uint8_t>>& nodes) {
    const std::size_t n = std::min<std::size_t>(nodes.size(), 25);
    const unsigned last = static_cast<unsigned>(n > 0 ? n - 1 : 0);
    w.u8(n > 0 ? 1 | 4 : 0), w.u8(static_cast<unsigned>(n)); // on, with a sustain loop on its last node
    w.u8(0), w.u8(0), w.u8(last), w.u8(last);
    for (std::size_t i = 0; i < 25; ++i) {
        w.u8(i < n ? nodes[i].second : 0);
        w.u16le(i < n ? nodes[i].first : 0);
    }
    w.u8(0);
}

} // namespace

std::vector<std::uint8_t> buildIt(const ItLayout& layout) {
    Writer w;
    const auto instruments = static_cast<unsigned>(layout.instruments.size());
    const auto samples = static_cast<unsigned>(layout.samples.size());
    const auto patterns = static_cast<unsigned>(layout.patterns);
    w.text("IMPM", 4), w.text(layout.title, 26), w.u16le(0x1004);
    w.u16le(static_cast<unsigned>(layout.orders.size() + 1)), w.u16le(instruments), w.u16le(samples);
    w.u16le(patterns), w.u16le(0x0214), w.u16le(0x0214), w.u16le(1 | 8 | (instruments > 0 ? 4 : 0)),
        w.u16le(0);
    w.u8(layout.globalVolume), w.u8(layout.mixVolume), w.u8(layout.speed), w.u8(layout.tempo);
    w.u8(128), w.u8(0), w.u16le(0), w.u32le(0), w.u32le(0);
    for (std::size_t c = 0; c < 64; ++c)
        w.u8(c < layout.channels ? 32 : 128); // panning; 128 and up: channel off
    for (std::size_t c = 0; c < 64; ++c)
        w.u8(64);
    w.data(layout.orders), w.u8(255);
    const std::size_t pointers = w.size();
    w.zeros(4 * (std::size_t{instruments} + samples + patterns));
    for (unsigned i = 0; i < instruments; ++i) {
        const ItInstrumentLayout& in = layout.instruments[i];
        w.patch32le(pointers + 4 * i, static_cast<std::uint32_t>(w.size()));
        w.text("IMPI", 4), w.text("", 12), w.u8(0), w.u8(0), w.u8(0), w.u8(0); // NNA: cut
        w.u16le(0), w.u8(0), w.u8(60), w.u8(in.globalVolume), w.u8(32 | 128), w.u8(in.randomVolume), w.u8(0);
        w.u16le(0x0214), w.u8(1), w.u8(0), w.text(in.name, 26);
        w.u8(0), w.u8(0), w.u8(0), w.u8(0), w.u16le(0);
        for (unsigned note = 0; note < 120; ++note)
            w.u8(note), w.u8(std::min(i + 1, samples));
        itEnvelope(w, in.envelope);
        itEnvelope(w, {}), itEnvelope(w, {});
        w.zeros(4);
    }
    std::vector<std::size_t> headers;
    for (unsigned i = 0; i < samples; ++i) {
        const ItSampleLayout& s = layout.samples[i];
        w.patch32le(pointers + 4 * (instruments + i), static_cast<std::uint32_t>(w.size()));
        headers.push_back(w.size());
        w.text("IMPS", 4), w.text("", 12), w.u8(0), w.u8(s.globalVolume);
        w.u8(s.loops ? 1 | 16 : 1), w.u8(s.volume), w.text(s.name, 26), w.u8(1), w.u8(0);
        w.u32le(s.frames), w.u32le(0), w.u32le(s.loops ? s.frames : 0), w.u32le(8363);
        w.u32le(0), w.u32le(0), w.u32le(0), w.zeros(4);
    }
    for (unsigned p = 0; p < patterns; ++p) {
        w.patch32le(pointers + 4 * (instruments + samples + p), static_cast<std::uint32_t>(w.size()));
        const std::size_t at = w.size();
        w.u16le(0), w.u16le(64), w.zeros(4);
        for (std::size_t row = 0; row < 64; ++row) {
            for (const ItNoteLayout& n : layout.notes) {
                if (n.pattern != p || n.row != row || n.channel >= layout.channels) continue;
                const bool volume = n.volume <= 64, instrument = n.note != 255;
                w.u8(0x80 | static_cast<unsigned>(n.channel + 1));
                w.u8(1 | (instrument ? 2 : 0) | (volume ? 4 : 0));
                w.u8(n.note);
                if (instrument) w.u8(n.instrument);
                if (volume) w.u8(n.volume);
            }
            w.u8(0);
        }
        w.patch16le(at, static_cast<unsigned>(w.size() - at - 8));
    }
    for (unsigned i = 0; i < samples; ++i) {
        w.patch32le(headers[i] + 0x48, static_cast<std::uint32_t>(w.size()));
        w.data(itSampleData(layout.samples[i]));
    }
    return w.bytes;
}
