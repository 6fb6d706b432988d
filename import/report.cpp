#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "policy/policy.h"

namespace {

// The verdict's thresholds (the README gives them too). Two faithful players, libxmp against
// openmpt123 at 8000 Hz on the 48 songs of the project's test folder (bench/compare_render), score a
// median chroma of 0.99 and onset of 0.95; a song's render against another's of the same length scores
// 0.3-0.5 chroma and 0.25-0.5 onset (the onset measure's search for the best lag finds some agreement).
constexpr double kCloseChroma = 0.95, kCloseOnset = 0.80;
constexpr double kFairChroma = 0.85, kFairOnset = 0.60;
constexpr double kPlayersChroma = 0.99, kPlayersOnset = 0.95;
// Channels named in the notes-left-out line (unless verbose): those that lost at least this share of
// the notes left out, and at least the first few.
constexpr double kChannelShare = 0.05;
constexpr std::size_t kChannelsNamed = 6;
// A change is advised when the losses it would spare cost at least this share of the module's sound.
constexpr double kWorthAdvising = 0.01;

std::string figure(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string kiloHertz(double hz) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", hz / 1000);
    return text;
}

std::string plural(std::size_t n, const char* one, const char* more) {
    return std::to_string(n) + " " + (n == 1 ? one : more);
}

// "sample 3 "Bass" (entry 4)": a sample with the entry it went to.
std::string withEntry(const SampleLoss& s) {
    return s.label + (s.entry > 0 ? " (entry " + std::to_string(s.entry) + ")" : "");
}

std::string firstHeardText(const SampleLoss& s) {
    return s.firstHeard >= 0 ? "first heard at " + songClock(s.firstHeard) : "";
}

// A sample left out: its notes and where it is first heard.
std::string leftOutItem(const SampleLoss& s) {
    const auto notes = static_cast<std::size_t>(std::lround(s.amount));
    std::string item = s.label + ": " + plural(notes, "note", "notes");
    if (s.firstHeard >= 0) item += ", " + firstHeardText(s);
    return item;
}

// What a lower stored rate does to a sample, as heard: the treble above what its most played notes keep
// is gone, and below the output rate the engine, which holds each stored byte, adds images of it
// (aliasing).
std::string loweredItem(const SampleLoss& s) {
    const int by = static_cast<int>(std::lround(s.amount));
    std::string item = withEntry(s) + ": " + intervalWords(by) + " lower (" +
                       plural(std::size_t(by), "semitone", "semitones") + ")";
    if (s.notes > 0)
        item += ", its lowest " + plural(s.notes, "note", "notes") + " (of " + std::to_string(s.of) +
                ") below the table's lowest tone, so played higher than written";
    if (s.neededHz <= 0 || s.outputHz <= 0) return item;
    const double kept = s.keptHz / s.neededHz, stored = 2 * s.keptHz / s.outputHz;
    std::string heard = kept >= 0.95  ? "no treble lost"
                        : kept >= 0.7 ? "a little duller"
                        : kept >= 0.4 ? "duller"
                                      : "much duller";
    if (kept < 0.95) heard += " (" + kiloHertz(s.keptHz) + " of its " + kiloHertz(s.neededHz) + " kHz kept)";
    if (stored < 0.5)
        heard += ", more aliasing";
    else if (stored < 1)
        heard += ", a little more aliasing";
    return item + ": " + heard;
}

// A sample a bank left out: the seconds it sounds in its song (weighted by volume) and where it is first
// heard.
std::string bankLeftOutItem(const SampleLoss& s) {
    char heard[32];
    std::snprintf(heard, sizeof heard, "%.1f s heard", s.amount);
    return s.label + ": " + heard + (s.firstHeard >= 0 ? ", " + firstHeardText(s) : "");
}

std::string shortenedItem(const SampleLoss& s) {
    const auto percent = static_cast<int>(s.amount);
    const char* what = s.kept == Kept::Loop               ? "its loop cut to "
                       : s.kept == Kept::StartWithoutLoop ? "its loop left out, cut to "
                                                          : "cut to ";
    return withEntry(s) + ": " + what + (percent < 1 ? "under 1" : std::to_string(percent)) +
           "% of its length";
}

const char* unheardWhy(Unheard why) {
    switch (why) {
    case Unheard::Streams: return "its notes were left out, as the four streams played other channels";
    case Unheard::Lines: return "its notes were dropped from the song's lines";
    case Unheard::BelowVolume:
        return "too quiet: its notes stay below 3% of full volume, and the engine, which has no volume, "
               "cannot play them that soft";
    case Unheard::FourBits: return "too quiet to keep in 4 bits beside the loudest samples";
    }
    return "";
}

std::string unheardItem(const SampleLoss& s) {
    std::string item = withEntry(s);
    if (s.firstHeard >= 0) item += ", " + firstHeardText(s);
    return item + ": " + unheardWhy(s.unheard);
}

// A sample stored at a second level: the entry, the level beside its usual one, and the notes it plays.
std::string levelItem(const SampleLoss& s) {
    return withEntry(s) + " at " + std::to_string(static_cast<int>(std::lround(s.amount))) + "% for " +
           std::to_string(s.notes) + " of its " + std::to_string(s.of) + " notes";
}

std::string joined(const std::vector<SampleLoss>& samples, std::string (*item)(const SampleLoss&),
                   const char* separator = "; ") {
    std::string text;
    for (std::size_t i = 0; i < samples.size(); ++i)
        text += (i > 0 ? separator : "") + item(samples[i]);
    return text;
}

std::string labelsOf(const std::vector<SampleLoss>& samples, std::size_t most) {
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < samples.size() && i < most; ++i)
        labels.push_back(samples[i].label);
    return itemList(labels);
}

std::string channelsLine(const Loss& loss, bool verbose) {
    std::string text = std::to_string(loss.count) + " of " + std::to_string(loss.of) +
                       " notes left out, as the ROM plays four at once and the module has " +
                       std::to_string(loss.moduleChannels) + " channels: ";
    std::vector<std::string> named;
    std::size_t others = 0, otherNotes = 0;
    for (const auto& [channel, notes] : loss.channels) {
        if (verbose || named.size() < kChannelsNamed ||
            double(notes) >= kChannelShare * double(std::max<std::size_t>(loss.count, 1))) {
            named.push_back("channel " + std::to_string(channel) + " (" + std::to_string(notes) + ")");
        } else {
            ++others, otherNotes += notes;
        }
    }
    text += itemList(named);
    if (others > 0)
        text += "; the other " + plural(others, "channel", "channels") + " together " +
                plural(otherNotes, "note", "notes");
    return text;
}

} // namespace

std::string sampleLabel(const Performance& p, int source) {
    return sampleLoss(p, source).label;
}

SampleLoss sampleLoss(const Performance& p, int source) {
    SampleLoss loss;
    loss.number = source + 1;
    if (source < 0 || static_cast<std::size_t>(source) >= p.samples.size()) {
        loss.label = "sample " + std::to_string(loss.number);
        return loss;
    }
    const SampleData& s = p.samples[std::size_t(source)];
    if (s.song >= 0) loss.song = s.song, loss.number = s.number;
    loss.label = s.song >= 0 ? "song " + std::to_string(s.song) + "'s sample " + std::to_string(s.number)
                             : "sample " + std::to_string(loss.number);
    std::string name = s.name;
    while (!name.empty() && (name.back() == ' ' || name.back() == '\0'))
        name.pop_back();
    name.erase(0, std::min(name.size(), name.find_first_not_of(' ')));
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    const bool printable = std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c != 127; });
    if (!name.empty() && printable) loss.name = name, loss.label += " \"" + name + "\"";
    loss.instrument = std::max(s.instrument, 0);
    if (s.instrument > 0) loss.label += " (instrument " + std::to_string(s.instrument) + ")";
    return loss;
}

std::vector<std::size_t> notesPerSample(const Performance& p) {
    std::vector<std::size_t> notes(p.samples.size(), 0);
    for (const TickInfo& tick : p.ticks)
        for (const ChannelTick& c : tick.channels)
            if (c.start && c.sample >= 0 && static_cast<std::size_t>(c.sample) < notes.size())
                ++notes[std::size_t(c.sample)];
    return notes;
}

std::vector<double> firstHeard(const Performance& p) {
    std::vector<double> first(p.samples.size(), -1);
    for (const TickInfo& tick : p.ticks)
        for (const ChannelTick& c : tick.channels)
            if (c.sample >= 0 && static_cast<std::size_t>(c.sample) < first.size() && c.volume > 0 &&
                first[std::size_t(c.sample)] < 0)
                first[std::size_t(c.sample)] = tick.time;
    return first;
}

std::string itemList(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i > 0 ? ", " : "") + items[i];
    return text;
}

std::string numberRuns(std::vector<std::size_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<std::string> runs;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        runs.push_back(std::to_string(numbers[i]) + (j > i ? "-" + std::to_string(numbers[j]) : ""));
        i = j + 1;
    }
    return itemList(runs);
}

std::string songClock(double seconds) {
    const long tenths = std::lround(std::max(0.0, seconds) * 10);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

std::string intervalWords(int semitones) {
    static const char* const within[] = {"",
                                         "a semitone",
                                         "a tone",
                                         "a minor third",
                                         "a major third",
                                         "a fourth",
                                         "half an octave",
                                         "a fifth",
                                         "a minor sixth",
                                         "a major sixth",
                                         "a minor seventh",
                                         "a major seventh"};
    static const char* const octaves[] = {
        "", "an octave", "two octaves", "three octaves", "four octaves", "five octaves"};
    const int n = std::max(semitones, 0);
    const int o = n / 12, rest = n % 12;
    if (o == 0) return n == 0 ? "no interval" : within[rest];
    const std::string whole = o < 6 ? octaves[o] : std::to_string(o) + " octaves";
    if (rest == 0) return whole;
    if (rest == 6)
        return o == 1 ? "an octave and a half" : whole.substr(0, whole.find(' ')) + " and a half octaves";
    return whole + " and " + within[rest];
}

Loss notesLeftOut(const VoicePlan& voices, int channels) {
    Loss loss;
    loss.kind = LossKind::NotesLeftOut;
    loss.count = voices.notesLeftOut;
    loss.of = voices.notes;
    loss.moduleChannels = channels;
    for (std::size_t c = 0; c < voices.leftOutByChannel.size(); ++c)
        if (voices.leftOutByChannel[c] > 0)
            loss.channels.emplace_back(int(c + 1), voices.leftOutByChannel[c]);
    std::stable_sort(loss.channels.begin(), loss.channels.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    loss.share = voices.notes > 0 ? double(voices.notesLeftOut) / double(voices.notes) : 0;
    return loss;
}

std::string lossLine(const Loss& loss, bool verbose) {
    switch (loss.kind) {
    case LossKind::NotesLeftOut: return channelsLine(loss, verbose);
    case LossKind::SamplesUnnamed:
        return "samples left out, as a ROM names only " + std::to_string(loss.count) +
               " (those heard least): " + joined(loss.samples, leftOutItem);
    case LossKind::BankSamplesUnnamed:
        return plural(loss.samples.size(), "sample", "samples") +
               " left out, heard least across the bank's songs (" + std::to_string(loss.count) +
               " entries for them all): " + joined(loss.samples, bankLeftOutItem);
    case LossKind::RatesLowered:
        return "samples stored at a lower rate to fit: " + joined(loss.samples, loweredItem);
    case LossKind::SamplesShortened:
        return "samples shortened to fit: " + joined(loss.samples, shortenedItem);
    case LossKind::SamplesDropped: return "samples left out to fit: " + joined(loss.samples, leftOutItem);
    case LossKind::OffsetsFromStart:
        return plural(loss.count, "note", "notes") +
               " that start part-way into their sample (a sample offset) play from its start: no table entry "
               "was left for that offset";
    case LossKind::CommandsDropped:
        return plural(loss.count, "note cut, delayed note or resumed note was",
                      "note cuts, delayed notes or resumed notes were") +
               " dropped: the line's command was needed for a change of speed or the jump back to the song's "
               "start";
    case LossKind::PatternsShared:
        return "the song is long for the ROM: a pattern played again replays its first playing (speeds and "
               "pitch bends carried into it from before may differ)";
    case LossKind::RowsShared:
        return "the song is long for the ROM: every " + std::to_string(loss.count) + " rows share one line" +
               (loss.of > 0 ? ", and " + plural(loss.of, "note", "notes") +
                                  " that followed another within those rows " +
                                  (loss.of == 1 ? "was" : "were") + " dropped"
                            : " (no note was lost)");
    case LossKind::PatternsReplaced:
        return "the song is long for the ROM: " + std::to_string(loss.count) +
               " times an order position plays the notes of an earlier pattern that lasts as long, instead "
               "of "
               "its own (order positions " +
               numberRuns(loss.orders) + ")";
    case LossKind::SongCut:
        return "the song does not fit: only its first " + std::to_string(int(loss.from)) + " s of " +
               std::to_string(int(loss.to)) + " s are kept (up to order position " +
               std::to_string(loss.count) + ")";
    case LossKind::BankSongCut: {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the song does not fit beside the others: only its first %.1f s of %.1f s are kept",
                      loss.from, loss.to);
        return text;
    }
    case LossKind::SamplesUnheard:
        return "samples the module plays that the ROM never sounds: " + joined(loss.samples, unheardItem);
    case LossKind::SecondLevels:
        return "samples stored at a second level too, for the notes struck clearly quieter or louder than "
               "usual: " +
               joined(loss.samples, levelItem);
    case LossKind::SilentSpan: {
        std::string text = "the ROM is silent from " + songClock(loss.from) + " to " + songClock(loss.to) +
                           ", where the module ";
        if (loss.samples.empty()) return text + "sounds";
        std::vector<std::string> labels;
        for (const SampleLoss& s : loss.samples)
            labels.push_back(withEntry(s));
        return text + "plays " + itemList(labels);
    }
    default: return loss.text;
    }
}

std::vector<std::string> lossLines(const std::vector<Loss>& losses, bool verbose) {
    std::vector<std::string> lines;
    for (const Loss& loss : losses)
        lines.push_back(lossLine(loss, verbose));
    return lines;
}

std::vector<std::string> fileCutLines(const std::vector<Loss>& losses) {
    std::vector<std::string> lines;
    for (const Loss& loss : losses)
        if (loss.kind == LossKind::FileCut) lines.push_back(lossLine(loss));
    return lines;
}

const char* fidelityVerdict(const Fidelity& f) {
    if (f.chroma >= kCloseChroma && f.onset >= kCloseOnset) return "close";
    if (f.chroma >= kFairChroma && f.onset >= kFairOnset) return "fair";
    return "far";
}

std::vector<std::string> fidelityLines(const Fidelity& f) {
    char first[160];
    std::snprintf(first, sizeof first,
                  "fidelity: chroma %.2f, onset %.2f, length %.2f (ROM %.1f s, module %.1f s, %d channels)",
                  f.chroma, f.onset, f.lengthRatio, f.romSeconds, f.moduleSeconds, f.channels);
    const char* notes = f.chroma >= kCloseChroma  ? "the notes are right"
                        : f.chroma >= kFairChroma ? "the notes are mostly right"
                                                  : "many notes are lost or wrong";
    const char* rhythm = f.onset >= kCloseOnset  ? "the rhythm is kept"
                         : f.onset >= kFairOnset ? "the rhythm loses detail"
                                                 : "much of the rhythm is lost";
    const std::string verdict = std::string(fidelityVerdict(f)) + ": " + notes + ", " + rhythm;
    const std::string scale =
        "scale: chroma (the notes) / onset (the rhythm) are 1.00 for the module's own sound (libxmp's "
        "render); two faithful players score about " +
        figure(kPlayersChroma) + " / " + figure(kPlayersOnset) +
        ", an unrelated song 0.3-0.5 / 0.25-0.5; close is at least " + figure(kCloseChroma) + " / " +
        figure(kCloseOnset) + ", fair at least " + figure(kFairChroma) + " / " + figure(kFairOnset);
    return {first, verdict, scale};
}

namespace {

// The changes to the module the advice chooses among.
enum class Remedy { None, Channels, Samples, Room, Song, Louder };

// A change to the module, with what the losses it would spare cost.
struct Change {
    double share = 0;
    std::string text;
};

bool tooQuiet(const Loss& loss, const SampleLoss& s) {
    return loss.kind == LossKind::SamplesUnheard &&
           (s.unheard == Unheard::BelowVolume || s.unheard == Unheard::FourBits);
}

// The change a loss calls for; for a silence of the ROM, what became of the samples the module plays there
// (none when none of them is told of elsewhere).
Remedy remedyFor(const Loss& loss, const std::vector<Loss>& losses) {
    switch (loss.kind) {
    case LossKind::NotesLeftOut: return Remedy::Channels;
    case LossKind::SamplesUnnamed:
    case LossKind::BankSamplesUnnamed: return Remedy::Samples;
    case LossKind::RatesLowered:
    case LossKind::SamplesShortened:
    case LossKind::SamplesDropped: return Remedy::Room;
    case LossKind::PatternsShared:
    case LossKind::RowsShared:
    case LossKind::PatternsReplaced:
    case LossKind::SongCut:
    case LossKind::BankSongCut: return Remedy::Song;
    case LossKind::SamplesUnheard:
        for (const SampleLoss& s : loss.samples)
            if (tooQuiet(loss, s)) return Remedy::Louder;
        return Remedy::None;
    case LossKind::SilentSpan:
        for (const SampleLoss& played : loss.samples)
            for (const Loss& other : losses)
                for (const SampleLoss& s : other.samples)
                    if (other.kind != LossKind::SilentSpan && s.label == played.label)
                        return tooQuiet(other, s)                       ? Remedy::Louder
                               : other.kind == LossKind::SamplesUnheard ? Remedy::Channels
                                                                        : remedyFor(other, losses);
        return Remedy::None;
    default: return Remedy::None;
    }
}

std::string roomAdvice(const std::vector<const Loss*>& room, int rate) {
    if (rate > kDefaultRate) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "a lower --rate: at %d Hz every sample takes %.1f times the bytes it takes at %d Hz, "
                      "so the samples lose less at a lower one",
                      rate, rate / double(kDefaultRate), kDefaultRate);
        return text;
    }
    for (const Loss* loss : room)
        if (loss->kind == LossKind::SamplesShortened)
            for (const SampleLoss& s : loss->samples)
                if (s.kept == Kept::Loop)
                    return "shorter loops: the samples did not fit, and the loop of " + s.label +
                           " was cut to fit";
    std::vector<SampleLoss> costly;
    for (const Loss* loss : room)
        if (loss->kind != LossKind::SilentSpan)
            costly.insert(costly.end(), loss->samples.begin(), loss->samples.end());
    return "fewer or shorter samples: they did not fit in the ROM (" + labelsOf(costly, 2) + " lost most)";
}

// The words of a change, from the first of the losses it would spare that is not a silence.
std::string remedyText(Remedy remedy, const std::vector<const Loss*>& spared, const Loss& first, int rate) {
    switch (remedy) {
    case Remedy::Channels: {
        std::vector<std::string> most;
        for (std::size_t i = 0; i < first.channels.size() && i < 2; ++i)
            most.push_back(std::to_string(first.channels[i].first));
        return "fewer channels sounding at once: the ROM plays four, and " + std::to_string(first.count) +
               " of " + std::to_string(first.of) + " notes were left out (most from channel" +
               (most.size() > 1 ? "s " : " ") + itemList(most) + ")";
    }
    case Remedy::Samples:
        return "fewer samples: a ROM names " + std::to_string(first.count) + ", and " +
               plural(first.samples.size(), "more was", "more were") + " left out";
    case Remedy::Room: return roomAdvice(spared, rate);
    case Remedy::Song: return "a shorter song, or fewer different patterns: the song is long for the ROM";
    case Remedy::Louder: {
        std::vector<SampleLoss> quiet;
        for (const SampleLoss& s : first.samples)
            if (tooQuiet(first, s)) quiet.push_back(s);
        return "louder " + labelsOf(quiet, 3) + ": the engine has no volume, and " +
               (quiet.size() == 1 ? "it is" : "they are") + " too quiet to keep";
    }
    case Remedy::None: break;
    }
    return "";
}

} // namespace

std::vector<std::string> adviceLines(const std::vector<Loss>& losses, int rate) {
    std::map<Remedy, std::vector<const Loss*>> by; // losses by the change that would spare them
    for (const Loss& loss : losses)
        if (const Remedy remedy = remedyFor(loss, losses); remedy != Remedy::None)
            by[remedy].push_back(&loss);
    std::vector<Change> changes;
    for (const auto& [remedy, spared] : by) {
        const auto told = std::find_if(spared.begin(), spared.end(),
                                       [](const Loss* l) { return l->kind != LossKind::SilentSpan; });
        if (told == spared.end()) continue; // silences whose cause is not told
        Change c;
        for (const Loss* loss : spared)
            c.share += loss->share;
        c.text = remedyText(remedy, spared, **told, rate);
        changes.push_back(c);
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.share > b.share; });
    std::vector<std::string> lines;
    for (const Change& c : changes) {
        if (c.share < kWorthAdvising || lines.size() == 2) break;
        lines.push_back((lines.empty() ? "to lose less, change first: " : "and then: ") + c.text);
    }
    return lines;
}

std::vector<std::string> wrapLine(const std::string& line, std::size_t width, std::size_t indent) {
    std::vector<std::string> lines;
    const std::string pad(indent, ' ');
    width = std::max<std::size_t>(width, indent + 20);
    std::string rest = line;
    std::string lead;
    while (lead.size() + rest.size() > width) {
        const std::size_t room = width - lead.size();
        std::size_t cut = rest.rfind(' ', room);
        if (cut == std::string::npos || cut == 0) cut = rest.find(' ', room); // a word longer than the line
        if (cut == std::string::npos) break;
        lines.push_back(lead + rest.substr(0, cut));
        rest.erase(0, rest.find_first_not_of(' ', cut) == std::string::npos
                          ? rest.size()
                          : rest.find_first_not_of(' ', cut));
        lead = pad;
    }
    if (!rest.empty() || lines.empty()) lines.push_back(lead + rest);
    return lines;
}
