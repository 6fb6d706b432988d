#include "report.h"

#include <algorithm>
#include <cstdio>

namespace {

// The verdict's thresholds (the README gives them too). Two faithful players, libxmp against
// openmpt123 at 8000 Hz on the 48 songs of the project's test folder (bench/compare_render), score a
// median chroma of 0.99 and onset of 0.95; a song's render against another's of the same length scores
// 0.3-0.5 chroma and 0.25-0.5 onset (the onset measure's search for the best lag finds some agreement).
constexpr double kCloseChroma = 0.95, kCloseOnset = 0.80;
constexpr double kFairChroma = 0.85, kFairOnset = 0.60;
constexpr double kPlayersChroma = 0.99, kPlayersOnset = 0.95;

std::string figure(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

} // namespace

std::string sampleLabel(const Performance& p, int source) {
    std::string label = "sample " + std::to_string(source + 1);
    if (source < 0 || static_cast<std::size_t>(source) >= p.samples.size()) return label;
    std::string name = p.samples[std::size_t(source)].name;
    while (!name.empty() && (name.back() == ' ' || name.back() == '\0'))
        name.pop_back();
    name.erase(0, std::min(name.size(), name.find_first_not_of(' ')));
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    const bool printable = std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c != 127; });
    if (!name.empty() && printable) label += " \"" + name + "\"";
    const int instrument = p.samples[std::size_t(source)].instrument;
    if (instrument > 0) label += " (instrument " + std::to_string(instrument) + ")";
    return label;
}

std::vector<std::size_t> notesPerSample(const Performance& p) {
    std::vector<std::size_t> notes(p.samples.size(), 0);
    for (const TickInfo& tick : p.ticks)
        for (const ChannelTick& c : tick.channels)
            if (c.start && c.sample >= 0 && static_cast<std::size_t>(c.sample) < notes.size())
                ++notes[std::size_t(c.sample)];
    return notes;
}

std::string itemList(const std::vector<std::string>& items, std::size_t most) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < most; ++i)
        text += (i > 0 ? ", " : "") + items[i];
    if (items.size() > most) text += " and " + std::to_string(items.size() - most) + " more";
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
    return itemList(runs, 12);
}

std::string notesLeftOutLine(const VoicePlan& voices, int channels) {
    std::vector<std::size_t> order(voices.leftOutByChannel.size());
    for (std::size_t c = 0; c < order.size(); ++c)
        order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return voices.leftOutByChannel[a] > voices.leftOutByChannel[b];
    });
    std::vector<std::string> items;
    for (std::size_t c : order)
        if (voices.leftOutByChannel[c] > 0)
            items.push_back("channel " + std::to_string(c + 1) + " (" +
                            std::to_string(voices.leftOutByChannel[c]) + ")");
    return std::to_string(voices.notesLeftOut) + " of " + std::to_string(voices.notes) +
           " notes left out, as the ROM plays four at once and the module has " + std::to_string(channels) +
           " channels: " + itemList(items, 6);
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
    const std::string scale = figure(kPlayersChroma) + " / " + figure(kPlayersOnset);
    return {first, std::string("fidelity: ") + fidelityVerdict(f) +
                       ". Chroma (the notes) / onset (the rhythm): 1.00 is the module's own sound (libxmp's "
                       "render), two faithful players score about " +
                       scale + ", an unrelated song 0.3-0.5 / 0.25-0.5. close: at least " +
                       figure(kCloseChroma) + " / " + figure(kCloseOnset) + "; fair: at least " +
                       figure(kFairChroma) + " / " + figure(kFairOnset) + "; far: below"};
}

std::vector<std::string> importReport(const std::string& out, const ImportResult& result, int rate) {
    std::vector<std::string> lines = result.report;
    lines.push_back(out + ": \"" + result.title + "\", written for " + std::to_string(rate) + " Hz");
    if (result.measured) {
        const std::vector<std::string> fidelity = fidelityLines(result.fidelity);
        lines.insert(lines.end(), fidelity.begin(), fidelity.end());
    } else {
        lines.push_back("fidelity: not measured (libxmp could not render the module)");
    }
    return lines;
}
