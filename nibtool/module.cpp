#include "module.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>

#include "engine/engine.h"
#include "notes.h"

namespace {

// ---- Reading ------------------------------------------------------------------------------------

// Every read of the file goes through here: bytes past its end are an error, not a crash.
class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool has(std::size_t at, std::size_t n) const { return at <= bytes_.size() && n <= bytes_.size() - at; }
    std::uint8_t byte(std::size_t at) const { return at < bytes_.size() ? bytes_[at] : 0; }
    std::uint16_t word(std::size_t at) const {
        return static_cast<std::uint16_t>(byte(at) << 8 | byte(at + 1));
    }
    std::string text(std::size_t at, std::size_t n) const {
        std::string s;
        for (std::size_t i = 0; i < n && byte(at + i) != 0; ++i) {
            const char c = static_cast<char>(byte(at + i));
            s += c >= 32 && c < 127 ? c : '?';
        }
        return s;
    }
    std::size_t size() const { return bytes_.size(); }

  private:
    const std::vector<std::uint8_t>& bytes_;
};

constexpr std::size_t kHeader31 = 1084, kHeader15 = 600, kPatternBytes = 1024;

} // namespace

bool parseModule(const std::vector<std::uint8_t>& file, Module& mod, std::string& error) {
    const Reader r(file);
    if (!r.has(0, kHeader15)) {
        error = "too short to be a module (" + std::to_string(file.size()) + " bytes)";
        return false;
    }
    const std::string tag = r.has(1080, 4) ? std::string(file.begin() + 1080, file.begin() + 1084) : "";
    std::size_t samples = 31;
    if (tag == "M.K." || tag == "M!K!" || tag == "FLT4" || tag == "4CHN") {
        samples = 31;
    } else if ((tag.size() == 4 && tag[1] == 'C' && tag[2] == 'H' && tag[3] == 'N') || tag == "FLT8" ||
               tag == "OKTA" || tag == "OCTA" || tag == "CD81" ||
               (tag.size() == 4 && tag[2] == 'C' && (tag[3] == 'H' || tag[3] == 'N'))) {
        error =
            "a module with more than four channels (tag '" + tag + "'): only four-channel modules convert";
        return false;
    } else {
        samples = 15; // the original format has no tag; check that it looks like one
        const std::uint8_t length = r.byte(470);
        bool plausible = length >= 1 && length <= 128;
        for (std::size_t i = 0; i < 128 && plausible; ++i)
            plausible = r.byte(472 + i) < 64;
        for (std::size_t i = 0; i < 15 && plausible; ++i)
            plausible = r.byte(20 + 30 * i + 25) <= 64;
        if (!plausible) {
            error = "not a four-channel module (no known format tag, and not a 15-sample module)";
            return false;
        }
    }
    const std::size_t songAt = 20 + 30 * samples;
    mod.title = r.text(0, 20);
    const std::uint8_t length = r.byte(songAt);
    if (length < 1 || length > 128) {
        error = "song length " + std::to_string(length) + " is outside 1-128";
        return false;
    }
    mod.restart = r.byte(songAt + 1);
    std::uint8_t highest = 0;
    for (std::size_t i = 0; i < 128; ++i)
        highest = std::max(highest, r.byte(songAt + 2 + i));
    for (std::size_t i = 0; i < length; ++i)
        mod.orders.push_back(r.byte(songAt + 2 + i));
    const std::size_t patternsAt = samples == 31 ? kHeader31 : kHeader15;
    const std::size_t patterns = std::size_t{highest} + 1;
    if (!r.has(patternsAt, patterns * kPatternBytes)) {
        error = "the file ends inside its patterns (it names " + std::to_string(patterns) + ")";
        return false;
    }
    mod.patterns.resize(patterns);
    for (std::size_t p = 0; p < patterns; ++p)
        for (std::size_t c = 0; c < 256; ++c) {
            const std::size_t at = patternsAt + p * kPatternBytes + 4 * c;
            const std::uint8_t b0 = r.byte(at), b1 = r.byte(at + 1), b2 = r.byte(at + 2), b3 = r.byte(at + 3);
            mod.patterns[p][c] = {static_cast<std::uint8_t>((b0 & 0xF0) | b2 >> 4),
                                  static_cast<std::uint16_t>((b0 & 0x0F) << 8 | b1),
                                  static_cast<std::uint8_t>(b2 & 0x0F), b3};
        }
    std::size_t dataAt = patternsAt + patterns * kPatternBytes;
    for (std::size_t i = 0; i < samples; ++i) {
        const std::size_t h = 20 + 30 * i;
        ModSample s;
        s.name = r.text(h, 22);
        const std::size_t bytes = 2 * std::size_t{r.word(h + 22)};
        s.finetune = (r.byte(h + 24) & 0x0F) >= 8 ? (r.byte(h + 24) & 0x0F) - 16 : r.byte(h + 24) & 0x0F;
        s.volume = std::min<int>(r.byte(h + 25), 64);
        s.loopStart = 2 * std::size_t{r.word(h + 26)};
        s.loopLength = 2 * std::size_t{r.word(h + 28)};
        // A sample cut short by the end of the file keeps what is there.
        const std::size_t available = dataAt < r.size() ? std::min(bytes, r.size() - dataAt) : 0;
        for (std::size_t k = 0; k < available; ++k)
            s.data.push_back(static_cast<std::int8_t>(r.byte(dataAt + k)));
        dataAt += bytes;
        if (s.loopStart >= s.data.size()) s.loopLength = 0;
        s.loopLength = std::min(s.loopLength, s.data.size() - std::min(s.loopStart, s.data.size()));
        mod.samples.push_back(std::move(s));
    }
    return true;
}

int periodSemitone(std::uint16_t period) {
    if (period == 0) return -1;
    return static_cast<int>(std::lround(12.0 * std::log2(856.0 / period)));
}

namespace {

// ---- Converting ---------------------------------------------------------------------------------

constexpr std::uint16_t kSong = 0x8000;
constexpr std::uint32_t kTablesStart = 0xFF8E;
constexpr double kPalClock = 7093789.2;
constexpr int kDefaultOffset = 8; // C-2 at semitone 20: about one byte per output sample at 8000 Hz

struct Kept {
    int modNumber;                          // 1-31
    int offset;                             // semitones added to the module note
    double ratio;                           // resampled samples per module sample
    std::vector<std::uint8_t> nibbles;      // 4-bit values, low nibble
    std::size_t loopStart = 0, loopEnd = 0; // in resampled bytes; loopEnd 0: no loop
};

std::size_t usedLength(const ModSample& s) {
    return s.loopLength > 2 ? s.loopStart + s.loopLength : s.data.size();
}

void resample(const ModSample& s, Kept& k, std::size_t maxLength) {
    const std::size_t length = usedLength(s);
    std::vector<float> in(length);
    for (std::size_t i = 0; i < length; ++i)
        in[i] = static_cast<float>(s.data[i]) / 128.0f * static_cast<float>(s.volume) / 64.0f;
    std::vector<float> out(static_cast<std::size_t>(std::ceil(static_cast<double>(length) * k.ratio)) + 16);
    SRC_DATA d{};
    d.data_in = in.data();
    d.input_frames = static_cast<long>(in.size());
    d.data_out = out.data();
    d.output_frames = static_cast<long>(out.size());
    d.src_ratio = k.ratio;
    if (length == 0 || src_simple(&d, SRC_SINC_MEDIUM_QUALITY, 1) != 0) d.output_frames_gen = 0;
    out.resize(std::min<std::size_t>(static_cast<std::size_t>(d.output_frames_gen), maxLength));
    k.nibbles.clear();
    for (float v : out) {
        const long q = std::lround(v * 8.0f);
        k.nibbles.push_back(static_cast<std::uint8_t>(std::clamp(q, -8L, 7L) & 15));
    }
    if (k.nibbles.empty()) k.nibbles.push_back(0);
    if (s.loopLength > 2) {
        k.loopStart =
            std::min(static_cast<std::size_t>(std::lround(static_cast<double>(s.loopStart) * k.ratio)),
                     k.nibbles.size() - 1);
        k.loopEnd = k.nibbles.size();
    }
}

struct SpeedState {
    int ticks, calls; // engine ticks per line and calls per tick
};

int callsForTempo(int bpm, int rate) { // calls per tick for a module tempo: a tick is 2.5 / bpm s
    return std::clamp(static_cast<int>(std::lround(2.5 * rate / (bpm * double(kStepsPerCall)))), 1, 128);
}

} // namespace

RomBuilder convertModule(const Module& mod, int rate, std::vector<std::string>& report) {
    RomBuilder rom;
    std::map<std::string, int> dropped; // effect name -> cells

    // Orders: at most 64 positions.
    std::vector<std::uint8_t> orders = mod.orders;
    if (orders.size() > 64) {
        report.push_back("the song has " + std::to_string(orders.size()) + " positions; kept the first 64");
        orders.resize(64);
    }

    // Patterns the kept orders use, numbered in order of first use.
    // The song's end is a jump written into its last pattern, so a last pattern that plays elsewhere too
    // gets a copy of its own.
    std::map<int, int> patternIndex;
    std::vector<int> patternList;
    std::vector<std::uint8_t> romOrders;
    bool hasJump = false;
    for (const auto& pattern : mod.patterns)
        for (const ModCell& c : pattern)
            hasJump = hasJump || c.effect == 0xB;
    // Patterns below the tables: (0xFF8E - 0x8000 - 64) / 768.
    constexpr std::size_t kMaxPatterns = 42;
    for (std::size_t i = 0; i < orders.size(); ++i) {
        const int p = orders[i];
        if (patternList.size() + (patternIndex.count(p) ? 0 : 1) + (hasJump ? 0 : 1) > kMaxPatterns) {
            report.push_back("the ROM holds " + std::to_string(kMaxPatterns) + " patterns: kept the first " +
                             std::to_string(i) + " positions of the song");
            orders.resize(i);
            break;
        }
        const bool last = i + 1 == orders.size() && !hasJump;
        if (last && std::count(orders.begin(), orders.end() - 1, orders[i]) > 0) {
            romOrders.push_back(static_cast<std::uint8_t>(patternList.size()));
            patternList.push_back(p);
            continue;
        }
        if (patternIndex.emplace(p, static_cast<int>(patternList.size())).second) patternList.push_back(p);
        romOrders.push_back(static_cast<std::uint8_t>(patternIndex[p]));
    }

    const std::uint8_t restart = mod.restart < orders.size() ? mod.restart : 0;

    // Samples: count the notes of each; keep the 15 most used.
    std::map<int, int> uses;
    std::map<int, std::pair<int, int>> noteRange; // semitone range per sample
    for (int p : patternList)
        for (std::size_t ch = 0, last = 0; ch < 4; ++ch, last = 0)
            for (std::size_t row = 0; row < 64; ++row) {
                const ModCell& c = mod.patterns[static_cast<std::size_t>(p)][row * 4 + ch];
                if (c.sample != 0) last = c.sample;
                const int k = periodSemitone(c.period);
                if (k < 0 || last == 0 || last > mod.samples.size() || mod.samples[last - 1].data.empty())
                    continue;
                ++uses[static_cast<int>(last)];
                auto [it, fresh] = noteRange.emplace(static_cast<int>(last), std::make_pair(k, k));
                if (!fresh) it->second = {std::min(it->second.first, k), std::max(it->second.second, k)};
            }
    std::vector<int> byUse;
    for (const auto& [n, count] : uses)
        byUse.push_back(n);
    std::stable_sort(byUse.begin(), byUse.end(), [&](int a, int b) { return uses[a] > uses[b]; });
    if (byUse.size() > 15) {
        for (std::size_t i = 15; i < byUse.size(); ++i)
            report.push_back("sample " + std::to_string(byUse[i]) + " (" + std::to_string(uses[byUse[i]]) +
                             " notes) dropped: the ROM holds 15 samples");
        byUse.resize(15);
    }
    std::sort(byUse.begin(), byUse.end());
    std::map<int, int> romNumber; // module sample -> ROM sample 1-15
    std::vector<Kept> kept;
    for (int n : byUse) {
        Kept k{n, kDefaultOffset, 0, {}, 0, 0};
        const auto [low, high] = noteRange[n];
        if (high + k.offset > 59) k.offset = 59 - high;
        if (low + k.offset < 0) {
            report.push_back("sample " + std::to_string(n) +
                             "'s notes span more than the 60 tones: the lowest play higher");
            k.offset = -low;
        }
        romNumber[n] = static_cast<int>(kept.size()) + 1;
        kept.push_back(k);
    }

    // Space: song data first, samples after it, the tables at the top.
    const std::uint32_t songBytes = 64 + 768 * static_cast<std::uint32_t>(patternList.size());
    const std::uint32_t sampleSpace = kTablesStart - kSong - std::min(songBytes, kTablesStart - kSong);
    const auto ratioFor = [&](const Kept& k) {
        const ModSample& s = mod.samples[static_cast<std::size_t>(k.modNumber - 1)];
        const double c2 = kPalClock / (2 * 428.0) * std::pow(2.0, s.finetune / 96.0);
        return rate * toneStep(toneOf(12 + k.offset)) / 256.0 / c2;
    };
    const auto packedSize = [&](std::vector<std::size_t> lengths) {
        std::sort(lengths.rbegin(), lengths.rend());
        std::size_t total = 0;
        for (std::size_t i = 0; i < lengths.size(); i += 2)
            total += lengths[i]; // two share each byte range
        return total;
    };
    const auto lengthOf = [&](const Kept& k) {
        return static_cast<std::size_t>(std::ceil(
            static_cast<double>(usedLength(mod.samples[static_cast<std::size_t>(k.modNumber - 1)])) *
            ratioFor(k)));
    };
    for (;;) {
        std::vector<std::size_t> lengths;
        for (const Kept& k : kept)
            lengths.push_back(lengthOf(k));
        if (packedSize(lengths) <= sampleSpace) break;
        // Lower the rate of the longest sample that can still go a semitone lower.
        Kept* longest = nullptr;
        for (Kept& k : kept)
            if (noteRange[k.modNumber].first + k.offset > 0 && (!longest || lengthOf(k) > lengthOf(*longest)))
                longest = &k;
        if (!longest) break;
        --longest->offset;
    }
    for (Kept& k : kept) {
        k.ratio = ratioFor(k);
        if (k.offset < kDefaultOffset)
            report.push_back("sample " + std::to_string(k.modNumber) + " resampled " +
                             std::to_string(kDefaultOffset - k.offset) + " semitone(s) lower to fit");
        resample(mod.samples[static_cast<std::size_t>(k.modNumber - 1)], k, 0xFFFF);
    }
    // Still too long: trim the longest until the pairs fit.
    for (;;) {
        std::vector<std::size_t> lengths;
        for (const Kept& k : kept)
            lengths.push_back(k.nibbles.size());
        const std::size_t total = packedSize(lengths);
        if (total <= sampleSpace || kept.empty()) break;
        Kept& longest = *std::max_element(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
            return a.nibbles.size() < b.nibbles.size();
        });
        const std::size_t cut = std::min(total - sampleSpace, longest.nibbles.size() - 1);
        longest.nibbles.resize(longest.nibbles.size() - cut);
        longest.loopEnd = std::min(longest.loopEnd, longest.nibbles.size());
        if (longest.loopStart >= longest.loopEnd) longest.loopEnd = 0;
        report.push_back("sample " + std::to_string(longest.modNumber) + " trimmed by " +
                         std::to_string(cut) + " bytes to fit");
    }

    // Place the samples two to a byte range: the longer of each pair in the low nibbles.
    std::vector<std::size_t> order(kept.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return kept[a].nibbles.size() > kept[b].nibbles.size(); });
    std::uint32_t at = kSong + songBytes;
    for (std::size_t i = 0; i < order.size(); i += 2) {
        for (std::size_t j = i; j < std::min(i + 2, order.size()); ++j) {
            const Kept& k = kept[order[j]];
            const bool high = j == i + 1;
            for (std::size_t b = 0; b < k.nibbles.size(); ++b) {
                const std::uint8_t old = rom.at(at + static_cast<std::uint32_t>(b));
                rom.poke(at + static_cast<std::uint32_t>(b),
                         {static_cast<std::uint8_t>(high ? (old & 0x0F) | k.nibbles[b] << 4
                                                         : (old & 0xF0) | k.nibbles[b])});
            }
            const auto start = static_cast<std::uint16_t>(at);
            rom.sample(order[j] + 1, start, static_cast<std::uint16_t>(at + k.nibbles.size()), high ? 1 : 0,
                       k.loopEnd ? static_cast<std::uint16_t>(at + k.loopStart) : 0);
        }
        at += static_cast<std::uint32_t>(kept[order[i]].nibbles.size());
    }
    if (order.size() > 1) report.push_back("samples packed two to a byte range (low and high nibbles)");

    // Song: orders, then every cell.
    rom.song(0, kSong);
    rom.orders(kSong, romOrders);

    const int defaultCalls = callsForTempo(125, rate); // the module's default tempo
    SpeedState speed{6, defaultCalls};
    int notesLost = 0, tonesClamped = 0;
    for (std::size_t pi = 0; pi < patternList.size(); ++pi) {
        const auto& pattern = mod.patterns[static_cast<std::size_t>(patternList[pi])];
        std::array<int, 4> current{}; // module sample playing on each channel
        std::array<int, 4> tone{};    // engine tone of the last note
        std::array<bool, 4> vibrato{};
        for (std::size_t row = 0; row < 64; ++row)
            for (std::size_t ch = 0; ch < 4; ++ch) {
                const ModCell& m = pattern[row * 4 + ch];
                Cell c;
                if (m.sample != 0) current[ch] = m.sample;
                const int k = periodSemitone(m.period);
                const auto kept_it = romNumber.find(current[ch]);
                if (k >= 0) {
                    if (kept_it == romNumber.end()) {
                        ++notesLost;
                    } else {
                        const int semitone = k + kept[static_cast<std::size_t>(kept_it->second - 1)].offset;
                        if (semitone < 0 || semitone > 59) ++tonesClamped;
                        c.sample = static_cast<std::uint8_t>(kept_it->second);
                        tone[ch] = toneOf(std::clamp(semitone, 0, 59));
                        c.tone = static_cast<std::uint8_t>(tone[ch]);
                    }
                }
                const std::uint8_t x = m.param >> 4, y = m.param & 15;
                const int step = toneStep(static_cast<std::uint8_t>(tone[ch]));
                const int period = m.period ? m.period : 428;
                // A slide of p periods per tick on ticks 1..speed-1 becomes a step change on every tick.
                const auto slide = [&](int p) {
                    const double perTick =
                        double(p) * step / period * (speed.ticks - 1) / std::max(speed.ticks, 1);
                    return static_cast<std::uint8_t>(std::clamp<long>(std::lround(perTick), p ? 1 : 0, 255));
                };
                bool keptEffect = true;
                switch (m.effect) {
                case 0x0:
                    if (m.param != 0) c = Cell{c.sample, static_cast<std::uint8_t>(tone[ch]), 0, m.param};
                    break;
                case 0x1: c.effect = 1, c.param = slide(m.param); break;
                case 0x2: c.effect = 2, c.param = slide(m.param); break;
                case 0x4:
                case 0x6:
                    c.effect = 4, c.param = vibrato[ch] ? 0 : 1;
                    if (m.effect == 6) ++dropped["volume slide with vibrato (6)"];
                    break;
                case 0xB: c.effect = 0xB, c.param = m.param; break; // fixed up below
                case 0xC:
                    if (m.param == 0)
                        c.effect = 0xC, c.param = 0;
                    else if (m.period == 0 && kept_it != romNumber.end() &&
                             kept[static_cast<std::size_t>(kept_it->second - 1)].loopEnd != 0)
                        c.effect = 0xC, c.param = 64; // resumes a looping sample cut by volume 0
                    break;
                case 0xD:
                    c.effect = 0xD, c.param = static_cast<std::uint8_t>(std::min(63, x * 10 + y));
                    break;
                case 0xE:
                    if (x == 0xC)
                        c.effect = 0xE, c.param = static_cast<std::uint8_t>(0xC0 | std::min(15, y + 1));
                    else if (x == 0xD && m.period != 0)
                        c.effect = 0xE, c.param = static_cast<std::uint8_t>(0xD0 | y);
                    else if (x == 0xE)
                        c.effect = 0xE, c.param = static_cast<std::uint8_t>(0xE0 | y),
                        ++dropped["pattern delay (EE: here the notes play again)"];
                    else if (m.param != 0)
                        keptEffect = false;
                    break;
                case 0xF:
                    c.effect = 0xF;
                    if (m.param == 0)
                        c.param = static_cast<std::uint8_t>(
                            0x80 + speed.ticks); // F00 stops the module; here it does nothing
                    else if (m.param < 0x20)
                        speed.ticks = m.param, c.param = static_cast<std::uint8_t>(0x80 + m.param);
                    else
                        speed.calls = callsForTempo(m.param, rate),
                        c.param = static_cast<std::uint8_t>(speed.calls - 1);
                    break;
                default: keptEffect = m.param == 0 && m.effect == 0; break;
                }
                if (!keptEffect || m.effect == 3 || m.effect == 5 || m.effect == 7 || m.effect == 8 ||
                    m.effect == 9 || m.effect == 0xA) {
                    static const char* kNames[16] = {"",
                                                     "",
                                                     "",
                                                     "tone portamento (3)",
                                                     "",
                                                     "tone portamento with volume slide (5)",
                                                     "",
                                                     "tremolo (7)",
                                                     "panning (8)",
                                                     "sample offset (9)",
                                                     "volume slide (A)",
                                                     "",
                                                     "",
                                                     "",
                                                     "extended commands (E)",
                                                     ""};
                    if (m.effect < 16 && kNames[m.effect][0]) ++dropped[kNames[m.effect]];
                    c.effect = 0, c.param = 0;
                }
                vibrato[ch] = c.effect == 4;
                rom.cell(kSong, pi, row, ch, c);
            }
    }
    // The first line sets the module's default tempo (the engine starts at 11 calls a tick).
    if (!patternList.empty() && defaultCalls != 11) {
        std::size_t free = 4;
        for (std::size_t ch = 0; ch < 4 && free == 4; ++ch)
            if ((rom.at(RomBuilder::cellAddress(kSong, 0, 0, ch)) & 15) == 0 &&
                rom.at(RomBuilder::cellAddress(kSong, 0, 0, ch) + 2) == 0)
                free = ch;
        const std::size_t ch = free == 4 ? 3 : free;
        const std::uint32_t a = RomBuilder::cellAddress(kSong, 0, 0, ch);
        rom.poke(a, {static_cast<std::uint8_t>((rom.at(a) & 0xF0) | 0xF)})
            .poke(a + 2, {static_cast<std::uint8_t>(defaultCalls - 1)});
        if (free == 4) report.push_back("order 0 line 0 channel 3: its effect gave way to the tempo");
    }

    // Jumps: a module jump goes to line 0 of its target after the row; here it changes the order position
    // at once, so the rest of the line would read the target's row. Each jump's line is therefore made
    // one tick long, that tick as long as the row was, with a break to line 0 of the same position; the
    // target's line 0 sets the speeds back. The song's end becomes such a jump to its restart position.
    const auto jumpLine = [&](std::size_t pi, std::size_t row, std::size_t target) {
        const int length = speed.ticks * speed.calls;
        if (length > 128) report.push_back("a jump's line is shortened to 128 calls");
        const std::uint8_t params[4][2] = {{0xB, static_cast<std::uint8_t>(target)},
                                           {0xD, 0xC0},
                                           {0xF, 0x81},
                                           {0xF, static_cast<std::uint8_t>(std::min(length, 128) - 1)}};
        std::size_t overridden = 0;
        for (std::size_t ch = 0; ch < 4; ++ch) {
            const std::uint32_t a = RomBuilder::cellAddress(kSong, pi, row, ch);
            overridden += (rom.at(a) & 15) != 0 || rom.at(a + 2) != 0 ? 1 : 0;
            rom.poke(a, {static_cast<std::uint8_t>((rom.at(a) & 0xF0) | params[ch][0])})
                .poke(a + 2, {params[ch][1]});
        }
        const std::size_t targetPattern = romOrders[target < romOrders.size() ? target : 0];
        for (std::size_t ch = 2; ch < 4; ++ch) {
            const std::uint32_t a = RomBuilder::cellAddress(kSong, targetPattern, 0, ch);
            overridden += (rom.at(a) & 15) != 0 || rom.at(a + 2) != 0 ? 1 : 0;
            rom.poke(a, {static_cast<std::uint8_t>((rom.at(a) & 0xF0) | 0xF)})
                .poke(a + 2, {static_cast<std::uint8_t>(ch == 2 ? 0x80 + speed.ticks : speed.calls - 1)});
        }
        if (overridden > 0)
            report.push_back(std::to_string(overridden) + " effect(s) gave way to the jump to order " +
                             std::to_string(target) + " and its speeds");
    };
    bool jumps = false;
    for (std::size_t pi = 0; pi < patternList.size(); ++pi)
        for (std::size_t row = 0; row < 64; ++row)
            for (std::size_t ch = 0; ch < 4; ++ch) {
                const ModCell& m = mod.patterns[static_cast<std::size_t>(patternList[pi])][row * 4 + ch];
                if (m.effect != 0xB) continue;
                jumpLine(pi, row, m.param < orders.size() ? m.param : 0);
                jumps = true;
                break;
            }
    if (!jumps && !orders.empty()) {
        // The song ends after its last position's pattern: at its first break, or after line 63.
        const std::size_t pi = romOrders.back();
        std::size_t end = 63;
        for (std::size_t row = 0; row < 64 && end == 63; ++row)
            for (std::size_t ch = 0; ch < 4; ++ch)
                if (mod.patterns[static_cast<std::size_t>(patternList[pi])][row * 4 + ch].effect == 0xD)
                    end = row;
        jumpLine(pi, end, restart);
        report.push_back("the song's end (order " + std::to_string(orders.size() - 1) + " line " +
                         std::to_string(end) + ") jumps back to order " + std::to_string(restart) +
                         ", as the module restarts");
    }
    for (const auto& [name, count] : dropped)
        report.push_back(std::to_string(count) + " cell(s) with " + name + " have no counterpart here");
    if (notesLost) report.push_back(std::to_string(notesLost) + " note(s) of dropped samples left out");
    if (tonesClamped)
        report.push_back(std::to_string(tonesClamped) +
                         " note(s) outside the 60 tones played at the nearest");
    return rom;
}
