// Repairing four-channel MODs that libxmp 4.5 turns away, into a standard copy it takes.
//
// libxmp refuses a MOD whose file ends inside its patterns; a 31-sample MOD with an unknown format tag,
// a finetune byte above 15 (other than 0x20) or a volume above 64; one where more than two patterns name
// samples above 31; and, of the untagged 15-sample songs, any with a volume above 64, a finetune byte
// above 15, a sample longer than 64 KB, a loop start at or past its sample's end, a name that is not
// text, or a file that ends inside a sample the song plays. Other players load these. The copy keeps
// everything that can be kept and puts each field back in range; every change is one line of the report.
//
// The copy keeps libxmp's own reading of a 15-sample song: a sample plays from its loop start (given in
// bytes), and an early Soundtracker song (only arpeggio and pitch bend) has its commands rewritten in the
// 31-sample form. A 15-sample song's restart byte is Soundtracker's tempo: the copy has no restart, and the
// timing stage plays the song at that tempo (timing.h).
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "load.h"
#include "mod_layout.h"
#include "truncation.h"

namespace {

constexpr std::uint8_t kMaxVolume = 64, kPatternLimit = 128;
constexpr std::uint8_t kProtrackerRestart = 0x7F, kNoisetrackerRestart = 0x78;
constexpr std::uint16_t kMaxWords15 = 0x7FFF; // longer reads as another tracker's 31-sample module

// The file as untrusted bytes: every read is checked, and bytes past the end read as 0.
class FileBytes {
  public:
    explicit FileBytes(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    std::uint8_t byte(std::size_t at) const { return at < bytes_.size() ? bytes_[at] : 0; }
    std::uint16_t word(std::size_t at) const {
        return static_cast<std::uint16_t>(byte(at) << 8 | byte(at + 1));
    }
    std::size_t size() const { return bytes_.size(); }
    // How many of `count` bytes from `at` on the file holds.
    std::size_t available(std::size_t at, std::size_t count) const {
        return at < bytes_.size() ? std::min(count, bytes_.size() - at) : 0;
    }

  private:
    const std::vector<std::uint8_t>& bytes_;
};

struct SampleHeader {
    std::array<std::uint8_t, kModSampleNameBytes> name{};
    std::uint16_t words = 0; // length in 2-byte words
    std::uint8_t finetune = 0, volume = 0;
    std::uint16_t loopStart = 0, loopWords = 0; // words (bytes in a 15-sample song)
};

struct ModHeader {
    std::size_t samples = kModSamples; // 31, or 15 for the untagged original
    std::size_t headerBytes = 0;       // where the patterns start
    std::string tag;                   // the file's tag; "" for 15 samples
    bool knownTag = false;             // a four-channel tag libxmp knows, kept in the copy
    std::array<std::uint8_t, kModTitleBytes> title{};
    std::array<SampleHeader, kModSamples> sample{};
    std::uint8_t length = 0, restart = 0;
    std::array<std::uint8_t, kModOrderEntries> orders{};
};

ModHeader readHeader(const FileBytes& f, std::size_t samples) {
    ModHeader h;
    h.samples = samples;
    h.headerBytes = samples == kModSamples ? kModPatternsAt : kModPatternsAt15;
    for (std::size_t i = 0; i < kModTitleBytes; ++i)
        h.title[i] = f.byte(i);
    for (std::size_t i = 0; i < samples; ++i) {
        const std::size_t at = modSampleHeaderAt(i);
        SampleHeader& s = h.sample[i];
        for (std::size_t k = 0; k < kModSampleNameBytes; ++k)
            s.name[k] = f.byte(at + k);
        s.words = f.word(at + kModSampleWords);
        s.finetune = f.byte(at + kModSampleFinetune);
        s.volume = f.byte(at + kModSampleVolume);
        s.loopStart = f.word(at + kModSampleLoopStart);
        s.loopWords = f.word(at + kModSampleLoopWords);
    }
    h.length = f.byte(modSongLengthAt(samples));
    h.restart = f.byte(modRestartAt(samples));
    for (std::size_t i = 0; i < kModOrderEntries; ++i)
        h.orders[i] = f.byte(modOrdersAt(samples) + i);
    return h;
}

// ---- Recognising the file ----------------------------------------------------------------------------

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Tags of four-channel variants that libxmp reads; the copy keeps them, and so libxmp's reading.
bool knownFourChannelTag(const std::string& t) {
    for (const char* known : {"M.K.", "M!K!", "M&K!", "N.T.", "FLT4", "4CHN", "NSMS", "TDZ4", "FA04"})
        if (t == known) return true;
    return false;
}

// Tags that name another channel count, or a 4-channel format whose instruments are not plain samples.
bool otherFormatTag(const std::string& t) {
    if (isDigit(t[0]) && t.compare(1, 3, "CHN") == 0) return true;
    if (isDigit(t[0]) && isDigit(t[1]) && (t.compare(2, 2, "CH") == 0 || t.compare(2, 2, "CN") == 0))
        return true;
    if ((t.compare(0, 3, "TDZ") == 0 || t.compare(0, 3, "FLT") == 0) && isDigit(t[3])) return true;
    for (const char* other : {"CD61", "CD81", "OKTA", "OCTA", "FA06", "FA08", "FEST"})
        if (t == other) return true;
    return false;
}

bool printableTag(const std::string& t) {
    return std::all_of(t.begin(), t.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The number of patterns a file stores by the usual rule: one more than the highest order entry, all
// 128 counted (entries past 127 are not pattern numbers).
std::size_t patternsNamed(const ModHeader& h, std::size_t entries) {
    std::size_t highest = 0;
    for (std::size_t i = 0; i < entries && i < kModOrderEntries; ++i)
        if (h.orders[i] < kPatternLimit) highest = std::max<std::size_t>(highest, h.orders[i]);
    return highest + 1;
}

// A cell no four-channel MOD of this layout holds: a sample number past the slots (31, or 15 in the
// untagged original, whose periods also stay below 1024).
bool impossibleCell(const FileBytes& f, std::size_t at, std::size_t samples) {
    const std::uint8_t b0 = f.byte(at);
    if (samples == kModSamples) return b0 >= 0x20;
    return b0 >= 0x10 || (b0 & 0x0F) > 3;
}

// Whether the patterns the song plays, as far as the file holds them, read as cells of this layout: at
// most one cell in 16 is impossible. Text and other binary data fail this at once.
bool cellsPlausible(const FileBytes& f, const ModHeader& h) {
    const std::size_t songPatterns = patternsNamed(h, std::clamp<std::size_t>(h.length, 1, kModOrderEntries));
    const std::size_t bytes = f.available(h.headerBytes, songPatterns * kModPatternBytes);
    std::size_t cells = bytes / kModCellBytes, bad = 0;
    for (std::size_t c = 0; c < cells; ++c)
        if (impossibleCell(f, h.headerBytes + kModCellBytes * c, h.samples)) ++bad;
    return bad * 16 <= cells;
}

// Header values that only a damaged or foreign file holds, counted over the sample slots.
std::size_t oddSampleFields(const ModHeader& h) {
    std::size_t odd = 0;
    for (std::size_t i = 0; i < h.samples; ++i) {
        const SampleHeader& s = h.sample[i];
        if (s.volume > kMaxVolume) ++odd;
        if (s.finetune > 0x0F && s.finetune != 0x20) ++odd;
    }
    return odd;
}

// The song itself must look like one when there is no tag to go by: it plays something, mostly names
// patterns that can exist, has a sample with data, and few sample fields out of range.
bool songPlausible(const ModHeader& h) {
    if (h.length < 1) return false;
    const std::size_t length = std::min<std::size_t>(h.length, kModOrderEntries);
    std::size_t past = 0;
    for (std::size_t i = 0; i < length; ++i)
        if (h.orders[i] >= kPatternLimit) ++past;
    const bool hasData = std::any_of(h.sample.begin(), h.sample.begin() + static_cast<long>(h.samples),
                                     [](const SampleHeader& s) { return s.words > 0; });
    return past * 4 <= length && hasData && oddSampleFields(h) <= 3;
}

// The file's layout, or nothing if it is not a four-channel MOD.
std::optional<ModHeader> recognise(const FileBytes& f) {
    if (f.size() >= kModPatternsAt) {
        std::string tag;
        for (std::size_t i = 0; i < kModTagBytes; ++i)
            tag += static_cast<char>(f.byte(kModTagAt + i));
        const bool known = knownFourChannelTag(tag);
        if (!known && otherFormatTag(tag)) return std::nullopt;
        if (known || printableTag(tag)) {
            ModHeader h = readHeader(f, kModSamples);
            h.tag = tag;
            h.knownTag = known;
            const bool patternsHeld = f.size() >= kModPatternsAt + kModPatternBytes;
            if (known && cellsPlausible(f, h)) return h;
            if (!known && patternsHeld && songPlausible(h) && cellsPlausible(f, h)) return h;
            return std::nullopt;
        }
    }
    // The untagged original: its first pattern must be there to be judged.
    if (f.size() < kModPatternsAt15 + kModPatternBytes) return std::nullopt;
    ModHeader h = readHeader(f, kModSamples15);
    if (songPlausible(h) && cellsPlausible(f, h)) return h;
    return std::nullopt;
}

// How many patterns the file stores, which is where its samples start. By the usual rule every order
// entry counts, but some writers store only the patterns the song plays, or more than it names. A size
// that holds a whole number of patterns and every sample settles it, if those patterns include the song's;
// else a file too short for the usual count that holds the song's patterns and every sample stores those;
// else the usual count holds, and the file is cut short.
std::size_t storedPatterns(const ModHeader& h, std::size_t size) {
    const std::size_t all = patternsNamed(h, kModOrderEntries);
    const std::size_t song = patternsNamed(h, std::clamp<std::size_t>(h.length, 1, kModOrderEntries));
    const std::size_t held = size - std::min(size, h.headerBytes);
    std::size_t sampleBytes = 0;
    for (std::size_t i = 0; i < h.samples; ++i)
        sampleBytes += 2 * std::size_t{h.sample[i].words};
    const std::size_t exact = held >= sampleBytes ? (held - sampleBytes) / kModPatternBytes : 0;
    if (held >= sampleBytes && (held - sampleBytes) % kModPatternBytes == 0 && exact >= song &&
        exact <= kPatternLimit)
        return exact;
    if (song < all && held < all * kModPatternBytes + sampleBytes &&
        held >= song * kModPatternBytes + sampleBytes)
        return song;
    return all;
}

// ---- The report --------------------------------------------------------------------------------------

// "3", "3, 7", "3-6, 9": numbers in rising order.
std::string numberList(const std::vector<std::size_t>& numbers) {
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(numbers[i]);
        if (j > i) text += (j > i + 1 ? "-" : ", ") + std::to_string(numbers[j]);
        i = j + 1;
    }
    return text;
}

// Repairs that concern samples are gathered by kind, one line each: "samples 3, 7: <what>". What a file
// cut short lost comes first, under a line saying how much of it is there.
class Report {
  public:
    void line(std::string text) { lines_.push_back(std::move(text)); }
    void cut(std::string text) { cuts_.push_back(std::move(text)); }
    void sample(const std::string& what, std::size_t number) { bySample_[what].push_back(number); }
    std::vector<Loss> losses(std::size_t size, std::size_t described) const {
        std::vector<Loss> all;
        if (!cuts_.empty()) all.push_back(Loss::told(LossKind::FileCut, cutShortLine(size, described)));
        for (const std::string& text : cuts_)
            all.push_back(Loss::told(LossKind::FileCut, text));
        for (const std::string& text : lines_)
            all.push_back(Loss::told(LossKind::Repair, text));
        for (const auto& [what, numbers] : bySample_)
            all.push_back(Loss::told(LossKind::Repair, (numbers.size() > 1 ? "samples " : "sample ") +
                                                           numberList(numbers) + ": " + what));
        return all;
    }
    bool empty() const { return lines_.empty() && cuts_.empty() && bySample_.empty(); }

  private:
    std::vector<std::string> lines_, cuts_;
    std::map<std::string, std::vector<std::size_t>> bySample_;
};

// ` "Bass"` for a sample named Bass (as the report names samples), printable characters only; "" for none.
std::string nameOf(const SampleHeader& s) {
    std::string name;
    for (const std::uint8_t c : s.name) {
        if (c == 0) break;
        if (c != '"') name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : ' ';
    }
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    name.erase(0, std::min(name.size(), name.find_first_not_of(' ')));
    return name.empty() ? "" : " \"" + name + "\"";
}

// ---- The copy ----------------------------------------------------------------------------------------

struct CopySample {
    SampleHeader header;
    std::vector<std::uint8_t> data; // an even number of bytes
};

// An early Soundtracker song, which libxmp reads with the tempo in the restart byte and commands 1 and 2
// as arpeggio and pitch bend: by libxmp's own test of the header and the commands used.
bool earlySoundtracker(const FileBytes& f, const ModHeader& h, std::size_t patterns) {
    if (h.samples != kModSamples15 || h.restart < 0x40) return false;
    for (std::size_t i = 0; i < kModSamples15; ++i) {
        const SampleHeader& s = h.sample[i];
        if (s.finetune != 0 || s.words > 0x1387 || s.loopStart > 9999 || s.loopWords > 0x1387) return false;
    }
    const std::size_t cells = f.available(h.headerBytes, patterns * kModPatternBytes) / kModCellBytes;
    for (std::size_t c = 0; c < cells; ++c) {
        const std::size_t at = h.headerBytes + kModCellBytes * c;
        const std::uint8_t effect = f.byte(at + 2) & 0x0F, param = f.byte(at + 3);
        if (effect == 0 && param != 0) return false;
        if (effect > 2 || (effect == 1 && param == 0)) return false;
        if (effect == 2 && (param & 0x0F) != 0 && (param & 0xF0) != 0) return false;
    }
    return true;
}

class ModRepair {
  public:
    ModRepair(const FileBytes& f, ModHeader h) : f_(f), h_(std::move(h)) {}

    // Builds the copy; false if it would be the file itself.
    bool build(std::vector<std::uint8_t>& out, std::vector<Loss>& repairs) {
        if (h_.samples == kModSamples15)
            report_.line("the untagged 15-sample song is rewritten as a 31-sample module");
        else if (!h_.knownTag)
            report_.line("the unknown format tag '" + h_.tag + "' is read as a four-channel 'M.K.'");
        planPatterns();
        early_ = earlySoundtracker(f_, h_, stored_);
        repairSong();
        planCopy();
        readSamples();
        const std::vector<std::uint8_t> patternData = readPatterns();
        if (report_.empty()) return false;
        write(patternData, out);
        for (Loss& loss : report_.losses(f_.size(), described()))
            repairs.push_back(std::move(loss));
        return true;
    }

    // The bytes the file's headers describe: the header, the patterns it stores and every sample.
    std::size_t described() const {
        std::size_t bytes = h_.headerBytes + stored_ * kModPatternBytes;
        for (std::size_t i = 0; i < h_.samples; ++i)
            bytes += 2 * std::size_t{h_.sample[i].words};
        return bytes;
    }

  private:
    // The patterns the file stores; order entries past the song's end that name others are cleared.
    void planPatterns() {
        stored_ = storedPatterns(h_, f_.size());
        std::vector<std::size_t> cleared;
        for (std::size_t i = h_.length; i < kModOrderEntries; ++i)
            if (h_.orders[i] >= stored_ && h_.orders[i] < kPatternLimit) {
                h_.orders[i] = 0;
                cleared.push_back(i);
            }
        if (!cleared.empty())
            report_.line("order entries " + numberList(cleared) +
                         ", past the song's end, name patterns the file does not hold: they are cleared");
    }

    // The copy holds the patterns its order list names, which libxmp counts as the file's.
    void planCopy() {
        patterns_ = patternsNamed(h_, kModOrderEntries);
        if (patterns_ >= stored_) return;
        std::vector<std::size_t> unnamed;
        for (std::size_t p = patterns_; p < stored_; ++p)
            unnamed.push_back(p);
        report_.line(std::string(unnamed.size() > 1 ? "patterns " : "pattern ") + numberList(unnamed) +
                     (unnamed.size() > 1 ? ", which the order list does not name, are left out"
                                         : ", which the order list does not name, is left out"));
    }

    void repairSong() {
        if (h_.length < 1 || h_.length > kModOrderEntries) {
            const std::size_t fixed = std::clamp<std::size_t>(h_.length, 1, kModOrderEntries);
            report_.line("song length " + std::to_string(h_.length) + " is outside 1-128: it is taken as " +
                         std::to_string(fixed));
            h_.length = static_cast<std::uint8_t>(fixed);
        }
        std::vector<std::size_t> past;
        for (std::size_t i = 0; i < kModOrderEntries; ++i)
            if (h_.orders[i] >= kPatternLimit) {
                if (i < h_.length) past.push_back(i);
                h_.orders[i] = 0;
            }
        if (!past.empty())
            report_.line(std::string(past.size() > 1 ? "order positions " : "order position ") +
                         numberList(past) + (past.size() > 1 ? " name" : " names") +
                         " a pattern above 127: pattern 0 plays there");
        repairRestart();
    }

    void repairRestart() {
        const std::uint8_t r = h_.restart;
        if (h_.samples ==
            kModSamples15) { // a tempo, not a restart position: read as ProTracker, with no restart
            h_.restart = kProtrackerRestart;
            return;
        }
        const bool marker =
            h_.samples == kModSamples && (r == kProtrackerRestart || r == kNoisetrackerRestart);
        if (r < h_.length || marker) return;
        report_.line("restart position " + std::to_string(r) + " is past the song's end (length " +
                     std::to_string(h_.length) + "): the song restarts from position 0");
        h_.restart = 0;
    }

    void readSamples() {
        for (CopySample& s : samples_)
            s.header.loopWords = 1; // the slots a 15-sample song does not have: empty, no loop
        std::size_t at = h_.headerBytes + stored_ * kModPatternBytes;
        for (std::size_t i = 0; i < h_.samples; ++i) {
            samples_[i].header = h_.sample[i];
            const std::size_t declared = 2 * std::size_t{h_.sample[i].words};
            readSampleData(i, at, declared);
            at += declared;
            repairSampleFields(i);
        }
        if (!missing_.empty())
            report_.cut(std::string(missing_.size() > 1 ? "samples " : "sample ") + numberList(missing_) +
                        (missing_.size() > 1 ? " lie past the file's end: they are silent"
                                             : " lies past the file's end: it is silent"));
    }

    // The sample's bytes from `at`, as far as the file holds them. A 15-sample song's sample plays from
    // its loop start, given in bytes, and loops from there.
    void readSampleData(std::size_t i, std::size_t at, std::size_t declared) {
        CopySample& s = samples_[i];
        std::size_t skip = 0;
        if (h_.samples == kModSamples15) {
            if (s.header.loopStart >= declared && s.header.loopStart > 0) {
                if (s.header.loopWords > 1)
                    report_.sample("loop starting past the sample's end, dropped", i + 1);
                s.header.loopWords = 1;
            } else if (s.header.loopStart > 0) {
                skip = s.header.loopStart;
                report_.sample("played from the loop start, as 15-sample songs are", i + 1);
            }
            s.header.loopStart = 0;
        }
        std::size_t want = declared - skip;
        if (h_.samples == kModSamples15 && want > 2 * std::size_t{kMaxWords15}) {
            want = 2 * std::size_t{kMaxWords15};
            report_.sample("longer than a 15-sample song's 64 KB, cut to 65534 bytes", i + 1);
        }
        const std::size_t got = f_.available(at + skip, want);
        if (got == 0 && want > 0) missing_.push_back(i + 1);
        if (got > 0 && got < want)
            report_.cut("the file ends inside sample " + std::to_string(i + 1) + nameOf(s.header) + " (" +
                        std::to_string(got) + " of " + std::to_string(want) +
                        " bytes): the sample is cut there");
        s.data.resize(got + got % 2, 0);
        for (std::size_t k = 0; k < got; ++k)
            s.data[k] = f_.byte(at + skip + k);
        s.header.words = static_cast<std::uint16_t>(s.data.size() / 2);
    }

    void repairSampleFields(std::size_t i) {
        SampleHeader& s = samples_[i].header;
        if (s.volume > kMaxVolume) {
            report_.sample("volume above 64, set to 64", i + 1);
            s.volume = kMaxVolume;
        }
        if (s.finetune > 0x0F) {
            if (s.finetune != 0x20) report_.sample("finetune byte above 15, its low nibble kept", i + 1);
            s.finetune &= 0x0F;
        }
        // Without a loop the loop fields stay as they are (a 15-sample song's become the usual empty
        // ones): libxmp tells trackers apart by them.
        if (h_.samples == kModSamples15 && (s.words == 0 || s.loopWords <= 1)) {
            if (s.words == 0) s.volume = 0;
            s.loopStart = 0;
            s.loopWords = 1;
        }
        if (s.words == 0 || s.loopWords <= 1) return;
        if (s.loopStart >= s.words) {
            report_.sample("loop starting past the sample's end, dropped", i + 1);
            s.loopStart = 0;
            s.loopWords = 1;
        } else if (s.loopWords > s.words - s.loopStart) {
            report_.sample("loop running past the sample's end, cut to end with it", i + 1);
            s.loopWords = static_cast<std::uint16_t>(s.words - s.loopStart);
        }
    }

    // The patterns as the file holds them, with empty rows where it ends, and their cells repaired.
    std::vector<std::uint8_t> readPatterns() {
        std::vector<std::uint8_t> data(patterns_ * kModPatternBytes, 0);
        const std::size_t held = f_.available(h_.headerBytes, data.size());
        for (std::size_t k = 0; k < held; ++k)
            data[k] = f_.byte(h_.headerBytes + k);
        if (held < data.size()) {
            const std::size_t first = held / kModPatternBytes;
            std::vector<std::size_t> missing;
            for (std::size_t p = first + (held % kModPatternBytes != 0 ? 1 : 0); p < patterns_; ++p)
                missing.push_back(p);
            if (held % kModPatternBytes != 0)
                report_.cut("the file ends inside pattern " + std::to_string(first) + " (line " +
                            std::to_string(held % kModPatternBytes / (kModCellBytes * kModChannels)) +
                            "): the rest of it is silent");
            if (!missing.empty())
                report_.cut(std::string(missing.size() > 1 ? "patterns " : "pattern ") + numberList(missing) +
                            (missing.size() > 1 ? " lie past the file's end: they are silent"
                                                : " lies past the file's end: it is silent"));
        }
        repairCells(data);
        if (early_) rewriteEarlyCommands(data);
        return data;
    }

    // Cells naming a sample past the slots keep their note and command, without the sample number.
    void repairCells(std::vector<std::uint8_t>& data) {
        const unsigned limit = static_cast<unsigned>(h_.samples);
        std::size_t dropped = 0;
        for (std::size_t at = 0; at + kModCellBytes <= data.size(); at += kModCellBytes) {
            const unsigned sample = (data[at] & 0xF0u) | data[at + 2] >> 4;
            if (sample <= limit) continue;
            data[at] &= 0x0F;
            data[at + 2] &= 0x0F;
            ++dropped;
        }
        if (dropped > 0)
            report_.line(std::to_string(dropped) + (dropped > 1 ? " cells name" : " cell names") +
                         " a sample above " + std::to_string(limit) + ": the sample number is dropped");
    }

    // Early Soundtracker commands in the 31-sample form: 1xy arpeggio becomes 0xy; 2xy bends up by y
    // or down by x, which become 1 and 2.
    void rewriteEarlyCommands(std::vector<std::uint8_t>& data) {
        for (std::size_t at = 0; at + kModCellBytes <= data.size(); at += kModCellBytes) {
            std::uint8_t& effect = data[at + 2];
            std::uint8_t& param = data[at + 3];
            if ((effect & 0x0F) == 1) {
                effect &= 0xF0;
            } else if ((effect & 0x0F) == 2 && (param & 0xF0) == 0) {
                effect = static_cast<std::uint8_t>((effect & 0xF0) | 1);
            } else if ((effect & 0x0F) == 2) {
                param = static_cast<std::uint8_t>(param >> 4);
            }
        }
    }

    void write(const std::vector<std::uint8_t>& patternData, std::vector<std::uint8_t>& out) const {
        out.assign(h_.title.begin(), h_.title.end());
        const auto word = [&out](std::uint16_t w) {
            out.insert(out.end(), {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)});
        };
        for (const CopySample& s : samples_) {
            const SampleHeader& x = s.header;
            out.insert(out.end(), x.name.begin(), x.name.end());
            word(x.words);
            out.insert(out.end(), {x.finetune, x.volume});
            word(x.loopStart);
            word(x.loopWords);
        }
        out.insert(out.end(), {h_.length, h_.restart});
        out.insert(out.end(), h_.orders.begin(), h_.orders.end());
        const std::string tag = h_.knownTag ? h_.tag : "M.K.";
        out.insert(out.end(), tag.begin(), tag.end());
        out.insert(out.end(), patternData.begin(), patternData.end());
        for (const CopySample& s : samples_)
            out.insert(out.end(), s.data.begin(), s.data.end());
    }

    const FileBytes& f_;
    ModHeader h_;
    std::size_t stored_ = 1;   // patterns the file stores
    std::size_t patterns_ = 1; // patterns the copy holds
    bool early_ = false;
    std::array<CopySample, kModSamples> samples_{};
    std::vector<std::size_t> missing_; // samples the file holds none of
    Report report_;
};

} // namespace

bool modCutInsidePatterns(const std::vector<std::uint8_t>& file, std::string& tag) {
    const FileBytes f(file);
    const std::optional<ModHeader> h = recognise(f);
    if (!h || !h->knownTag) return false;
    tag = h->tag;
    return f.size() < h->headerBytes + storedPatterns(*h, f.size()) * kModPatternBytes;
}

bool repairMod(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& repaired,
               std::vector<Loss>& repairs, bool* fifteenSamples) {
    const FileBytes f(file);
    std::optional<ModHeader> header = recognise(f);
    if (!header) return false;
    if (fifteenSamples) *fifteenSamples = header->samples == kModSamples15;
    ModRepair repair(f, std::move(*header));
    return repair.build(repaired, repairs);
}
