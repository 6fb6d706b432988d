// The demo song, written in code: its samples are synthesized here and its patterns spelled out line
// by line. `make_demo` writes it to examples/demo.rom.
//
// A minor, four bars per pattern (Am F C G), at the default speed: a line is a sixteenth note,
// 858 bytes, about 0.11 s at 8000 Hz. Channel 0 plays drums, 1 bass, 2 chords as arpeggios, 3 the lead.
#include "demo_song.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace {

constexpr std::uint16_t kSong = 0x8000;
constexpr double kRate = 8000; // samples played at kUnitTone (step 256) sound at the output's rate
constexpr double kPi = 3.14159265358979323846;

enum Sample : std::uint8_t { NoNote = 0, Kick, Snare, Hat, Bass, Lead, Pad };

// ---- Samples ------------------------------------------------------------------------------------

// A repeatable noise source, so the ROM is the same on every build.
class Noise {
  public:
    double next() {
        state_ = state_ * 1103515245u + 12345u;
        return static_cast<double>((state_ >> 16) & 0x7FFF) / 16384.0 - 1.0;
    }

  private:
    std::uint32_t state_ = 0x2545F491u;
};

// A 4-bit value (-8..7) from a level in -1..1.
std::uint8_t nibble(double v, double gain = 7.0) {
    const long q = std::lround(v * gain);
    return static_cast<std::uint8_t>((q < -8 ? -8 : q > 7 ? 7 : q) & 15);
}

std::vector<std::uint8_t> kick() {
    std::vector<std::uint8_t> s(1600);
    double phase = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        phase += 2 * kPi * (45 + 110 * std::exp(-t / 0.03)) / kRate; // a falling thump
        s[i] = nibble(std::sin(phase) * std::exp(-t / 0.09));
    }
    return s;
}

std::vector<std::uint8_t> snare() {
    Noise noise;
    std::vector<std::uint8_t> s(1800);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double body = std::sin(2 * kPi * 185 * t) * std::exp(-t / 0.03);
        s[i] = nibble(0.75 * noise.next() * std::exp(-t / 0.07) + 0.5 * body);
    }
    return s;
}

std::vector<std::uint8_t> hat() {
    Noise noise;
    std::vector<std::uint8_t> s(420);
    double last = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / kRate, n = noise.next();
        s[i] = nibble((n - last) * 0.6 * std::exp(-t / 0.012)); // differenced noise: the highs only
        last = n;
    }
    return s;
}

// One cycle of a waveform, `length` bytes, looped.
template <typename Wave> std::vector<std::uint8_t> cycle(std::size_t length, double gain, Wave wave) {
    std::vector<std::uint8_t> s(length);
    for (std::size_t i = 0; i < length; ++i)
        s[i] = nibble(wave(static_cast<double>(i) / static_cast<double>(length)), gain);
    return s;
}

// ---- Notes --------------------------------------------------------------------------------------

// Tone of a note given in semitones from the table's lowest step; the step table has an extra entry
// between semitones 19 and 20, which the scale skips.
std::uint8_t tone(int semitone) {
    return static_cast<std::uint8_t>(semitone <= 19 ? semitone : semitone + 1);
}

// Semitones of the notes used, one octave per register: bass around 9, chords 21, lead 33.
constexpr int A = 9, C = 12, D = 14, E = 16, F = 5, G = 7;

struct Bar {
    int root;           // semitone of the chord's root in the bass register
    std::uint8_t chord; // arpeggio: 0x37 minor, 0x47 major
};
constexpr Bar kChords[4] = {{A, 0x37}, {F, 0x47}, {C, 0x47}, {G, 0x47}};

class Patterns {
  public:
    explicit Patterns(RomBuilder& rom) : rom_(rom) {}
    void note(std::size_t pattern, std::size_t line, std::size_t ch, Sample s, int semitone,
              std::uint8_t effect = 0, std::uint8_t param = 0) {
        rom_.cell(kSong, pattern, line, ch, {s, tone(semitone), effect, param});
    }
    // Drums play at kUnitTone, one byte per output sample: as they were synthesized.
    void drum(std::size_t pattern, std::size_t line, Sample s, std::uint8_t effect = 0,
              std::uint8_t param = 0) {
        rom_.cell(kSong, pattern, line, 0, {s, kUnitTone, effect, param});
    }
    void effect(std::size_t pattern, std::size_t line, std::size_t ch, std::uint8_t effect,
                std::uint8_t param) {
        rom_.cell(kSong, pattern, line, ch, {0, 0, effect, param});
    }

  private:
    RomBuilder& rom_;
};

// Drums, one character per line of a bar: k kick, s snare, h hat, d snare delayed by 3 ticks, . rest.
void drums(Patterns& p, std::size_t pattern, std::size_t bar, const char* bars) {
    for (std::size_t i = 0; i < 16 && bars[i]; ++i) {
        const std::size_t line = bar * 16 + i;
        switch (bars[i]) {
        case 'k': p.drum(pattern, line, Kick); break;
        case 's': p.drum(pattern, line, Snare); break;
        case 'h': p.note(pattern, line, 0, Hat, 23); break; // a little higher: brighter
        case 'd': p.drum(pattern, line, Snare, kExtended, paramOf(kNoteDelay, 3)); break;
        default: break;
        }
    }
}

// The bass line of one bar on its chord's root: root, octave and fifth in a driving sixteenth figure.
void bass(Patterns& p, std::size_t pattern, std::size_t bar, bool busy) {
    const int r = kChords[bar].root;
    static constexpr int kBusy[16] = {0, -1, 12, 0, -1, 0, 12, -1, 0, -1, 7, 0, -1, 12, 7, -1};
    static constexpr int kSparse[16] = {0, -1, -1, -1, -1, -1, 0, -1, -1, -1, 12, -1, 0, -1, -1, -1};
    for (std::size_t i = 0; i < 16; ++i) {
        const int step = busy ? kBusy[i] : kSparse[i];
        if (step < 0) continue;
        // Short notes: cut on tick 5 of the line, so the repeated notes are heard as separate.
        p.note(pattern, bar * 16 + i, 1, Bass, r + step, kExtended, busy ? paramOf(kNoteCut, 5) : 0);
    }
}

// The chord of each bar, struck on every beat and spread as an arpeggio on every tick.
void chords(Patterns& p, std::size_t pattern, std::size_t bar) {
    const Bar& b = kChords[bar];
    for (std::size_t beat = 0; beat < 4; ++beat) {
        const std::size_t line = bar * 16 + beat * 4;
        p.note(pattern, line, 2, Pad, b.root + 12, kArpeggio, b.chord);
        for (std::size_t i = 1; i < 4; ++i) // the arpeggio goes on without a new note, on the cell's tone
            p.note(pattern, line + i, 2, NoNote, b.root + 12, kArpeggio, b.chord);
    }
}

struct LeadNote {
    std::size_t line; // within the pattern
    int semitone;     // in the lead register (33 is A)
    std::uint8_t effect, param;
};

void lead(Patterns& p, std::size_t pattern, const std::vector<LeadNote>& notes) {
    for (const LeadNote& n : notes) {
        if (n.semitone < 0)
            p.effect(pattern, n.line, 3, n.effect, n.param);
        else
            p.note(pattern, n.line, 3, Lead, n.semitone, n.effect, n.param);
    }
}

constexpr int L = 24; // lead register above the bass's
constexpr int kHold = -1;

} // namespace

RomBuilder demoSong() {
    RomBuilder rom;

    // Samples from 0x9000. Kick and snare share bytes: the kick in the low nibbles, the snare in the high.
    std::uint32_t at = 0x9000;
    const auto place = [&](std::size_t entry, const std::vector<std::uint8_t>& data, bool loops) {
        rom.poke(at, data).sample(entry, static_cast<std::uint16_t>(at),
                                  static_cast<std::uint16_t>(at + data.size()), 0,
                                  loops ? static_cast<std::uint16_t>(at) : 0);
        at += static_cast<std::uint32_t>(data.size());
    };
    std::vector<std::uint8_t> drumBytes(1800, 0);
    const std::vector<std::uint8_t> k = kick(), s = snare();
    for (std::size_t i = 0; i < drumBytes.size(); ++i)
        drumBytes[i] = static_cast<std::uint8_t>((i < k.size() ? k[i] : 0) | s[i] << 4);
    rom.poke(at, drumBytes)
        .sample(Kick, static_cast<std::uint16_t>(at), static_cast<std::uint16_t>(at + k.size()), 0, 0)
        .sample(Snare, static_cast<std::uint16_t>(at), static_cast<std::uint16_t>(at + s.size()), 1, 0);
    at += static_cast<std::uint32_t>(drumBytes.size());
    place(Hat, hat(), false);
    // Bass: a bright saw of four harmonics, 64 bytes a cycle (about 67 Hz at A).
    place(Bass,
          cycle(64, 6.5,
                [](double x) {
                    return 0.62 * std::sin(2 * kPi * x) + 0.3 * std::sin(4 * kPi * x) +
                           0.16 * std::sin(6 * kPi * x) + 0.08 * std::sin(8 * kPi * x);
                }),
          true);
    // Lead: a 25% pulse, 32 bytes a cycle. Pad: a soft triangle for the chords.
    place(Lead, cycle(32, 5.0, [](double x) { return x < 0.25 ? 1.0 : -0.33; }), true);
    place(Pad, cycle(32, 4.0, [](double x) { return x < 0.5 ? 4 * x - 1 : 3 - 4 * x; }), true);

    // Order list: intro, verse, chorus, verse, chorus, bridge, chorus, outro; the outro jumps back.
    rom.song(0, kSong).orders(kSong, {0, 1, 2, 1, 2, 3, 2, 4});
    Patterns p(rom);

    // Pattern 0, intro: kick and hats, the bass from the third bar. Line 0 sets the speed, so that
    // every pass through the song starts at the same tempo.
    for (std::size_t bar = 0; bar < 4; ++bar) {
        drums(p, 0, bar, bar < 3 ? "k.h.k.h.k.h.k.hh" : "k.h.k.h.s.s.sss");
        if (bar >= 2) bass(p, 0, bar, false);
        chords(p, 0, bar);
    }
    p.drum(0, 0, Kick, kSpeed, lineTicksParam(6));
    p.effect(0, 0, 1, kSpeed, 0x0A); // 11 calls a tick, after the outro's long last tick

    // Pattern 1, verse: the full beat, the busy bass, and a staccato lead figure (notes cut on tick 3).
    for (std::size_t bar = 0; bar < 4; ++bar) {
        drums(p, 1, bar, "k.h.s.hkk.h.s.hd");
        bass(p, 1, bar, true);
        chords(p, 1, bar);
    }
    const std::uint8_t staccato = paramOf(kNoteCut, 3);
    lead(p, 1,
         {{0, L + A, kExtended, staccato},
          {2, L + C, kExtended, staccato},
          {4, L + E, kExtended, staccato},
          {6, L + C, kExtended, staccato},
          {8, L + D, kExtended, staccato},
          {10, L + E, kExtended, staccato},
          {16, L + F, kExtended, staccato},
          {18, L + A, kExtended, staccato},
          {20, L + C + 12, 0, 0},
          {22, kHold, kVibrato, 1},
          {24, L + A, kExtended, staccato},
          {26, L + G, kExtended, staccato},
          {32, L + E, kExtended, staccato},
          {34, L + G, kExtended, staccato},
          {36, L + C + 12, 0, 0},
          {38, kHold, kVibrato, 1},
          {40, L + G, kExtended, staccato},
          {42, L + E, kExtended, staccato},
          {48, L + D, 0, 0},
          {50, kHold, kVibrato, 1},
          {51, kHold, kVibrato, 0},
          {52, kHold, kVibrato, 0},
          {53, kHold, kVibrato, 0},
          {56, L + G - 12, kSlideUp, 3},
          {57, kHold, kSlideUp, 3},
          {58, kHold, kSlideUp, 3},
          {60, L + A, kExtended, paramOf(kNoteCut, 5)}});

    // Pattern 2, chorus: the melody, held notes with vibrato and a bend up into the last one.
    for (std::size_t bar = 0; bar < 4; ++bar) {
        drums(p, 2, bar, bar < 3 ? "k.hsk.hsk.hsk.hs" : "k.hsk.hsk.s.sss");
        bass(p, 2, bar, true);
        chords(p, 2, bar);
    }
    std::vector<LeadNote> chorus = {{0, L + E + 12, 0, 0},
                                    {4, L + D + 12, 0, 0},
                                    {6, L + C + 12, 0, 0},
                                    {8, L + D + 12, 0, 0},
                                    {10, L + E + 12, 0, 0},
                                    {14, L + A, 0, 0},
                                    {16, L + C + 12, 0, 0},
                                    {22, L + A, 0, 0},
                                    {24, L + C + 12, 0, 0},
                                    {26, L + D + 12, 0, 0},
                                    {28, L + C + 12, 0, 0},
                                    {32, L + E + 12, 0, 0},
                                    {36, L + G + 12, 0, 0},
                                    {38, L + E + 12, 0, 0},
                                    {40, L + D + 12, 0, 0},
                                    {42, L + C + 12, 0, 0},
                                    {44, L + D + 12, 0, 0},
                                    {46, L + E + 12, 0, 0},
                                    {48, L + D + 12, 0, 0},
                                    {58, L + D + 12, kSlideUp, 4},
                                    {60, L + E + 12, kExtended, paramOf(kNoteDelay, 2)}};
    for (std::size_t line : std::initializer_list<std::size_t>{1, 2, 3, 17, 18, 19, 20, 21, 33, 34, 35, 49,
                                                               50, 51, 52, 53, 54, 55})
        chorus.push_back({line, kHold, kVibrato,
                          static_cast<std::uint8_t>(line == 1 || line == 17 || line == 33 || line == 49)});
    for (std::size_t line : std::initializer_list<std::size_t>{56, 57})
        chorus.push_back({line, kHold, kSlideDown, 2});
    chorus.push_back({59, kHold, kSlideUp, 4});
    lead(p, 2, chorus);

    // Pattern 3, bridge: a slower half (7 ticks a line), delayed snares, long lead notes sliding, and a
    // pattern break after three bars to the next order position's line 0.
    for (std::size_t bar = 0; bar < 3; ++bar) {
        drums(p, 3, bar, bar < 2 ? "k.....d.k.k...d." : "k...d...k.d.dddd");
        bass(p, 3, bar, false);
        chords(p, 3, bar);
    }
    p.drum(3, 0, Kick, kSpeed, lineTicksParam(7));
    lead(p, 3,
         {{0, L + A, kVibrato, 1},
          {1, kHold, kVibrato, 0},
          {2, kHold, kVibrato, 0},
          {3, kHold, kVibrato, 0},
          {8, L + C + 12, 0, 0},
          {9, kHold, kSlideDown, 2},
          {10, kHold, kSlideDown, 2},
          {16, L + F, kVibrato, 1},
          {17, kHold, kVibrato, 0},
          {18, kHold, kVibrato, 0},
          {24, L + A, 0, 0},
          {28, L + C + 12, 0, 0},
          {32, L + G, kVibrato, 1},
          {33, kHold, kVibrato, 0},
          {34, kHold, kVibrato, 0},
          {40, L + E, kSlideUp, 2},
          {41, kHold, kSlideUp, 2},
          {42, kHold, kSlideUp, 2},
          {44, L + G, kExtended, paramOf(kNoteDelay, 3)}});
    p.effect(3, 47, 1, kPatternBreak, 0);            // on to line 0 of the next order position
    p.drum(3, 47, Snare, kSpeed, lineTicksParam(6)); // and back to the song's tempo

    // Pattern 4, outro: the verse's beat once more, ending on a held A, then back to the start: the
    // jump goes to order 0 and the break (192: line 0 of the same order position) keeps it there. A jump
    // takes effect at once, so a later tick of its line would read order 0's row instead, without the
    // break; the last line is therefore one tick long, a tick of 66 calls (as long as a line of 6).
    for (std::size_t bar = 0; bar < 4; ++bar) {
        drums(p, 4, bar, bar < 3 ? "k.h.s.hkk.h.s.h." : "k.h.s.h.k.s.ssss");
        bass(p, 4, bar, bar < 3);
        chords(p, 4, bar);
    }
    lead(p, 4,
         {{0, L + E + 12, kVibrato, 1},
          {8, L + D + 12, 0, 0},
          {12, L + C + 12, 0, 0},
          {16, L + A, kVibrato, 1},
          {32, L + C + 12, 0, 0},
          {36, L + D + 12, 0, 0},
          {40, L + E + 12, kVibrato, 1},
          {48, L + A, kVibrato, 1}});
    p.drum(4, 63, Snare, kSpeed, 0x41);
    p.effect(4, 63, 1, kSpeed, lineTicksParam(1));
    p.effect(4, 63, 2, kPositionJump, 0);
    p.effect(4, 63, 3, kPatternBreak, kBreakHere + 0);
    return rom;
}
