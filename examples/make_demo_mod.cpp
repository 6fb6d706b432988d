// Writes a small four-channel module of the project's own, for trying `nibtool import`:
//   make_demo_mod OUT.mod
// One pattern, played twice: a bass line, an arpeggiated chord, a lead with vibrato and a slide, and a
// noise hat, on samples synthesized here.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// Periods of C-1 .. B-3.
constexpr int kPeriods[36] = {856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453,
                              428, 404, 381, 360, 339, 320, 302, 285, 269, 254, 240, 226,
                              214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120, 113};

struct Module {
    std::vector<unsigned char> header = std::vector<unsigned char>(1084 + 1024, 0);
    std::vector<std::vector<signed char>> samples;

    void sample(int n, std::vector<signed char> data, bool loops) {
        const std::size_t h = 20 + 30 * static_cast<std::size_t>(n - 1);
        std::snprintf(reinterpret_cast<char*>(&header[h]), 22, "sample %d", n);
        header[h + 22] = static_cast<unsigned char>(data.size() / 2 >> 8);
        header[h + 23] = static_cast<unsigned char>(data.size() / 2);
        header[h + 25] = 64;
        header[h + 28] = static_cast<unsigned char>(loops ? data.size() / 2 >> 8 : 0);
        header[h + 29] = static_cast<unsigned char>(loops ? data.size() / 2 : 1);
        samples.push_back(std::move(data));
    }
    void cell(int row, int ch, int sample, int note, int effect = 0, int param = 0) {
        const std::size_t at = 1084 + 16 * static_cast<std::size_t>(row) + 4 * static_cast<std::size_t>(ch);
        const int period = note < 0 ? 0 : kPeriods[note];
        header[at] = static_cast<unsigned char>((sample & 0xF0) | period >> 8);
        header[at + 1] = static_cast<unsigned char>(period);
        header[at + 2] = static_cast<unsigned char>((sample & 0x0F) << 4 | effect);
        header[at + 3] = static_cast<unsigned char>(param);
    }
};

template <typename F> std::vector<signed char> wave(std::size_t length, F f) {
    std::vector<signed char> s(length);
    for (std::size_t i = 0; i < length; ++i)
        s[i] = static_cast<signed char>(std::lround(f(i) * 100));
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_demo_mod OUT.mod\n", stderr);
        return 2;
    }
    Module m;
    std::memcpy(m.header.data(), "nibplay demo module", 19);
    std::memcpy(m.header.data() + 1080, "M.K.", 4);
    m.header[950] = 2; // two positions, both pattern 0
    m.sample(1, wave(64, [](std::size_t i) { return 1.0 - 2.0 * double(i) / 64; }), true); // saw
    m.sample(2, wave(32, [](std::size_t i) { return i < 8 ? 0.9 : -0.3; }), true);         // pulse
    unsigned seed = 1;
    m.sample(3,
             wave(1200,
                  [&](std::size_t i) {
                      seed = seed * 1103515245u + 12345u;
                      return (double((seed >> 16) & 0x7FFF) / 16384.0 - 1.0) * std::exp(-double(i) / 150.0);
                  }),
             false);                  // hat
    const int bass[4] = {9, 5, 0, 7}; // A F C G
    for (int bar = 0; bar < 4; ++bar)
        for (int i = 0; i < 16; i += 2) {
            const int row = bar * 16 + i;
            m.cell(row, 0, 1, bass[bar] + (i % 8 == 4 ? 12 : 0), 0xE, 0xC3);
            m.cell(row, 3, 3, 24);
            if (i % 4 == 0) m.cell(row, 1, 2, bass[bar] + 12, 0x0, bar == 0 ? 0x37 : 0x47);
        }
    const int melody[8] = {28, 26, 24, 26, 28, 31, 33, 28};
    for (int i = 0; i < 8; ++i)
        m.cell(i * 8, 2, 2, melody[i], 0x4, 0x44);
    m.cell(60, 2, 0, -1, 0x1, 0x02);
    m.cell(0, 3, 3, 24, 0xF, 0x06);
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(m.header.data()), static_cast<std::streamsize>(m.header.size()));
    for (const auto& s : m.samples)
        out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
    if (!out) {
        std::fprintf(stderr, "make_demo_mod: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
