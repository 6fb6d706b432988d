// The import pipeline: load, capture, voices, samples, compile; each stage's output is the next one's
// input. The song and the samples share the image: the song is compiled first to learn its size, the
// samples get the rest, and the song is compiled again for the samples' final rates.
//
// The fitting search (importModule):
// - Three room budgets: the song is fitted leaving the samples at least 2 KB, half of what they take an
//   octave below their best rates, and all of that (comfortableSpace, 2-16 KB).
// - For each budget, twelve steps of compactness (compactSteps): the song as played; patterns played
//   again replaying their first playing; two rows a line; then at most 40, 36, ... 8 patterns' worth of
//   lines. The first step that fits is taken, and the next budget starts at that step: more room for
//   the samples never lets a less compact step fit.
// - Each step is laid out in attempts (layOut, at most 8): the samples are made for a space, the song
//   compiled for them and placed, and where it leaves the samples other room, the samples are made for
//   that room and the song compiled again (up to 6 times); a song that grew shrinks the samples.
// - Where no step fits, the song is cut: its first 80%, 64%, ... (down to 1%) at the most compact step.
// - Where the samples want more room than the last fit left them, one step more compact (two rows a
//   line, at least) is laid out as well, the samples taking all it leaves.
// Each budget that fitted at a new step gives a ROM; with more than one (or when the import measures),
// each ROM is rendered and the one whose chroma plus onset against the module's render is highest is
// kept (measure/).
#include "import.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <tuple>

#include "capture.h"
#include "compile.h"
#include "engine/engine.h"
#include "fidelity.h"
#include "heard.h"
#include "layout.h"
#include "load.h"
#include "measure/read_aside.h"
#include "report.h"
#include "rom/signature.h"
#include "samples.h"
#include "voices.h"

namespace {

constexpr auto kSongAddress = static_cast<std::uint32_t>(kRomBase);
constexpr std::uint32_t kTables = kSongTable; // the song and sample tables, to the image's end
// The signature (the rate the ROM is made for and the song's title) lies just below the tables, in room
// kept for the longest title; the song and the samples end below it.
constexpr std::size_t kSignatureRoom = 1 + 4 + 1 + (1 + kMaxSignatureText) + 1 + kSignatureFooter;
constexpr std::uint32_t kDataEnd = kTables - kSignatureRoom;
// Space the first compile leaves for samples, before the song's size is known.
constexpr std::size_t kProvisionalSampleSpace = 8192;

// The least and the most the song must leave the samples. The most is what they take an octave below
// their best rates (up to 16 KB): a song that leaves them less can be made more compact instead.
constexpr std::size_t kLeastSampleSpace = 2048, kMostSampleSpace = 16384;

// The import's bounds: libxmp plays at most the longest song the tools follow (30 minutes), and at most
// 38,400 channel-seconds (10 minutes of 64 channels, 20 of 32): its time and memory grow with both.
constexpr double kMostSeconds = kLongestSongSeconds, kMostChannelSeconds = 64 * 10 * 60;

// One song's samples and compiles as laid out so far. The fits for the three amounts of room each start
// where the last one fitted, and every first attempt gives the samples the same space: the samples for a
// space, and the song compiled for them at a step of compactness, depend on nothing else, so they are
// made once.
class Layouts {
  public:
    Layouts(const Performance& performance, const VoicePlan& voices, int rate, ResampleCache& resampled)
        : performance_(performance), voices_(voices), rate_(rate), resampled_(resampled) {}

    const Performance& performance() const { return performance_; }
    const VoicePlan& voices() const { return voices_; }
    int rate() const { return rate_; }

    const SampleBank& samples(std::size_t space) {
        auto found = banks_.find(space);
        if (found == banks_.end())
            found = banks_
                        .emplace(space, buildSamples(performance_, voices_, rate_, space, kReachableEntries,
                                                     &resampled_, true))
                        .first;
        return found->second;
    }

    // The song compiled for the samples made for `space`; valid until the next call. Only the compiles
    // for the first attempt's space are kept: the others rarely come again.
    const CompiledSong& song(std::size_t space, const CompileOptions& options) {
        if (space != kProvisionalSampleSpace)
            return latest_ = compileSong(performance_, voices_, samples(space), rate_, options);
        const auto key = std::make_tuple(options.reuse, options.maxLines, options.rowsPerLine);
        auto found = firstSongs_.find(key);
        if (found == firstSongs_.end())
            found =
                firstSongs_.emplace(key, compileSong(performance_, voices_, samples(space), rate_, options))
                    .first;
        return found->second;
    }

  private:
    const Performance& performance_;
    const VoicePlan& voices_;
    int rate_;
    ResampleCache& resampled_; // resampled frames serve every cut of the song too
    std::map<std::size_t, SampleBank> banks_;
    std::map<std::tuple<bool, std::size_t, std::size_t>, CompiledSong> firstSongs_; // by step of compactness
    CompiledSong latest_;
};

// A song laid out: the import's result so far, and the samples as placed.
struct Fit {
    ImportResult result;
    SampleBank samples;
};

// Lays the song and the samples into a ROM, the song leaving the samples at least `reserved` bytes.
// False if the song does not fit.
bool layOut(Layouts& layouts, const CompileOptions& options, std::size_t reserved, Fit& fit,
            std::size_t* sampleRoom = nullptr) {
    ImportResult& result = fit.result;
    std::size_t space = kProvisionalSampleSpace;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const SampleBank& bank = layouts.samples(space);
        const CompiledSong& song = layouts.song(space, options);
        RomBuilder rom;
        const PlacedSong placedSong =
            placeSong(song, rom, kSongAddress, static_cast<std::uint32_t>(kDataEnd - reserved));
        const std::size_t songBytes = placedSong.bytes;
        if (songBytes == 0) return false;
        const std::size_t room = kDataEnd - kSongAddress - songBytes;
        if (room != space && attempt < 6) { // samples get what the song leaves; compile again for them
            space = room;
            continue;
        }
        SampleBank placed = bank;
        if (!placeSamples(placed, rom, static_cast<std::uint32_t>(kSongAddress + songBytes), kDataEnd)) {
            // The song grew on the last compile: shrink the samples to match.
            space = room - std::min(room, placed.bytes - room + 256);
            continue;
        }
        if (sampleRoom) *sampleRoom = room;
        result.rom = rom.build();
        result.romSeconds = song.seconds;
        result.samples = sampleFacts(placed, layouts.performance(), 0);
        result.songBytes = songBytes;
        result.sampleBytes = placed.bytes;
        result.origins = placedSong.origins;
        result.losses = placed.losses;
        result.losses.insert(result.losses.end(), song.losses.begin(), song.losses.end());
        const std::vector<Loss> compacted = compactionLosses(options);
        result.losses.insert(result.losses.end(), compacted.begin(), compacted.end());
        Loss unheard = unheardSamples(layouts.performance(), layouts.voices(), placed, song);
        if (!unheard.samples.empty()) result.losses.push_back(std::move(unheard));
        fit.samples = std::move(placed);
        return true;
    }
    return false;
}

// Fits the song into a ROM at the first step of compactness, from `from` on, that fits; failing all,
// only the song's start. Returns the step that fitted (the cut song's come last), or -1.
int fitSong(Layouts& layouts, std::size_t reserved, int from, ResampleCache& resampled, Fit& fit,
            std::size_t& sampleRoom) {
    static const std::vector<CompileOptions> steps = compactSteps();
    for (std::size_t step = static_cast<std::size_t>(std::max(from, 0)); step < steps.size(); ++step)
        if (layOut(layouts, steps[step], reserved, fit, &sampleRoom)) return static_cast<int>(step);
    const Performance& performance = layouts.performance();
    int step = static_cast<int>(steps.size());
    for (double keep = 0.8; keep > 0.01; keep *= 0.8, ++step) {
        const Performance cut = cutPerformance(performance, keep);
        const VoicePlan voices = assignVoices(cut);
        Layouts cutLayouts(cut, voices, layouts.rate(), resampled);
        if (layOut(cutLayouts, steps.back(), reserved, fit)) {
            Loss loss;
            loss.kind = LossKind::SongCut;
            loss.from = cut.length, loss.to = performance.length;
            loss.count = std::size_t(std::max(cut.ticks.back().order, 0));
            loss.share = 1 - cut.length / std::max(performance.length, 1e-9);
            fit.result.losses.push_back(loss);
            return step;
        }
    }
    return -1;
}

// Whether any stream plays a sample whose frames sound, at a volume.
bool soundsOnAStream(const Performance& p, const VoicePlan& voices) {
    std::vector<bool> sounding(p.samples.size());
    for (std::size_t i = 0; i < p.samples.size(); ++i)
        sounding[i] = holdsSound(p.samples[i]);
    return std::any_of(voices.ticks.begin(), voices.ticks.end(), [&](const auto& streams) {
        return std::any_of(streams.begin(), streams.end(), [&](const StreamTick& s) {
            return s.channel >= 0 && s.sound.volume > 0 && s.sound.sample >= 0 &&
                   std::size_t(s.sound.sample) < sounding.size() && sounding[std::size_t(s.sound.sample)];
        });
    });
}

bool silentRender(const std::vector<float>& render) {
    return std::none_of(render.begin(), render.end(), [](float f) { return std::fabs(f) >= kLeastSound; });
}

// One line naming the songs of the order list played after the first.
std::string hiddenSongsLine(const std::vector<HiddenSong>& hidden) {
    const bool one = hidden.size() == 1;
    std::string line =
        "the order list holds " + std::to_string(hidden.size()) + (one ? " more song" : " more songs") +
        " that no jump of the first reaches: played after it, as module players play the file (";
    for (std::size_t i = 0; i < hidden.size(); ++i) {
        char part[80];
        std::snprintf(part, sizeof part, "%sfrom order position %d, %.1f s", i > 0 ? "; " : "",
                      hidden[i].order, hidden[i].seconds);
        line += part;
    }
    return line + "); the ROM repeats from where the first song repeats";
}

} // namespace

Performance cutPerformance(const Performance& p, double keep) {
    Performance cut = p;
    std::size_t end = static_cast<std::size_t>(double(p.ticks.size()) * keep);
    while (end > 1 && p.ticks[end].order == p.ticks[end - 1].order)
        --end;
    cut.ticks.resize(std::max<std::size_t>(end, 1));
    cut.length = cut.ticks.back().time + cut.ticks.back().duration;
    if (cut.loopTick >= cut.ticks.size()) cut.loopTick = 0;
    return cut;
}

std::vector<CompileOptions> compactSteps() {
    std::vector<CompileOptions> steps{{false, SIZE_MAX, 1}, {true, SIZE_MAX, 1}, {true, SIZE_MAX, 2}};
    for (std::size_t patterns = 40; patterns >= 8; patterns -= 4)
        steps.push_back({true, patterns * kLinesPerPattern, 2});
    return steps;
}

int coarseStep() {
    const std::vector<CompileOptions> steps = compactSteps();
    for (std::size_t s = 0; s < steps.size(); ++s)
        if (steps[s].rowsPerLine > 1) return int(s);
    return int(steps.size());
}

std::vector<Loss> compactionLosses(const CompileOptions& options) {
    std::vector<Loss> losses;
    if (options.reuse) {
        Loss loss;
        loss.kind = LossKind::PatternsShared;
        loss.share = 0.01; // the later visits' timing and carried pitch: small, and not measured
        losses.push_back(loss);
    }
    return losses;
}

bool captureSong(const std::vector<std::uint8_t>& file, const ImportOptions& options, CapturedSong& out,
                 std::string& error) {
    // libxmp draws IT's random volume and pan variations from rand(): every import draws from the same
    // start, as in a fresh process, so a song's ROM does not depend on what was imported before it (the
    // songs of a bank, several files on one command line, the page's quick first import).
    std::srand(1);
    const int rate = options.rate;
    const double previewSeconds = options.previewSeconds;
    LoadedModule* loaded = options.loaded;
    if (file.size() > kMostModuleBytes) {
        error =
            "the file is larger than the " + std::to_string(kMostModuleBytes >> 20) + " MB an import takes";
        return false;
    }
    LoadedModule own;
    if (!loaded && !loadModule(file, own, error)) return false;
    LoadedModule& module = loaded ? *loaded : own;
    const int channels = std::max(module.module().chn, 1);
    const double most = std::min(kMostSeconds, kMostChannelSeconds / channels);
    // A preview plays the song's start alone, without the reference render.
    out.performance = previewSeconds > 0 ? capturePerformance(module, rate, std::min(most, previewSeconds),
                                                              false, options.previewFrom)
                                         : capturePerformance(module, rate, most, true);
    Performance& performance = out.performance;
    if (performance.ticks.empty()) {
        error = "libxmp plays nothing of it";
        return false;
    }
    out.shortTicks = fitTicksToRate(performance, rate);
    out.voices = assignVoices(performance);
    const VoicePlan& voices = out.voices;
    // A ROM of silence compared with a silent render would pass for a close import.
    if (!soundsOnAStream(performance, voices) || (performance.rendered && silentRender(performance.render))) {
        error = std::string("libxmp plays it without a sound") +
                (module.repairs.empty() ? "" : " (" + lossLine(module.repairs.front()) + ")") +
                ": there is nothing to import";
        return false;
    }
    out.losses = module.repairs;
    for (const std::string& line : module.timing.report)
        out.losses.push_back(Loss::told(LossKind::Timing, line));
    if (!performance.hidden.empty())
        out.losses.push_back(Loss::told(LossKind::HiddenSongs, hiddenSongsLine(performance.hidden)));
    if (voices.notesLeftOut > 0) out.losses.push_back(notesLeftOut(voices, performance.channels));
    // A preview ends where it was asked to, not because the song never came back.
    if (performance.cappedLength && previewSeconds <= 0)
        out.losses.push_back(Loss::told(
            LossKind::LengthCapped,
            most < kMostSeconds ? "the module did not repeat within " + std::to_string(int(most / 60)) +
                                      " minutes, the most an import plays of " + std::to_string(channels) +
                                      " channels: cut there"
                                : "the module did not repeat within " + std::to_string(kLongestSongMinutes) +
                                      " minutes: cut there"));
    return true;
}

Loss shortTicksLoss(const CapturedSong& song, int rate, double romSeconds) {
    char line[200];
    std::snprintf(
        line, sizeof line,
        "%zu of %zu module ticks are shorter than the engine's shortest (%zu output bytes, %.1f ms at "
        "%d Hz): the song plays %.1f s instead of %.1f s",
        song.shortTicks, song.performance.ticks.size(), kStepsPerCall, kStepsPerCall * 1000.0 / rate, rate,
        romSeconds, song.performance.length);
    return Loss::told(LossKind::ShortTicks, line);
}

bool importModule(const std::vector<std::uint8_t>& file, const ImportOptions& options, ImportResult& result,
                  std::string& error) {
    CapturedSong captured;
    const bool preview = options.previewSeconds > 0;
    if (!captureSong(file, options, captured, error)) return false;
    const Performance& performance = captured.performance;
    const VoicePlan& voices = captured.voices;
    // The song is fitted leaving the samples the least, half of what they need an octave below their
    // best rates, and all of it: the more room, the more compact the song. Where these give songs of
    // different compactness, each ROM is rendered and the one closest to the module kept.
    const std::size_t comfortable =
        std::clamp(comfortableSpace(performance, voices, options.rate), kLeastSampleSpace, kMostSampleSpace);
    // The module's render is read beside the layouts when the import measures.
    std::future<std::unique_ptr<RenderReading>> moduleReading;
    if (options.measure && performance.rendered)
        moduleReading = readAside(std::move(captured.performance.render), options.rate);
    // More room for the samples never lets a less compact step fit: each search starts where the last
    // one fitted.
    std::vector<Fit> fits;
    ResampleCache resampled;
    resampled.quick = preview;
    Layouts layouts(performance, voices, options.rate, resampled);
    int last = -1;
    std::size_t room = 0; // what the last fit left the samples
    for (std::size_t reserved : {kLeastSampleSpace, (kLeastSampleSpace + comfortable) / 2, comfortable}) {
        if (preview) reserved = comfortable; // one layout: the whole import chooses among several
        Fit f;
        const int step = fitSong(layouts, reserved, last, resampled, f, room);
        if (step > last) fits.push_back(std::move(f)), last = step;
        if (preview) break;
    }
    // Samples that want more room than the last fit left them may gain more from a song a step more
    // compact (every pattern at two rows a line, where no step did that yet), the samples taking all it
    // leaves, than the song loses: that layout is measured too.
    const auto steps = static_cast<int>(compactSteps().size());
    const int further = std::max(last + 1, coarseStep());
    if (!preview && last >= 0 && further < steps &&
        room < comfortableSpace(performance, voices, options.rate)) {
        Fit f;
        if (layOut(layouts, compactSteps()[std::size_t(further)], kLeastSampleSpace, f))
            fits.push_back(std::move(f)), last = further;
    }
    if (fits.empty()) {
        error = "the song does not fit in a ROM image";
        return false;
    }
    std::size_t best = 0;
    std::vector<Loss> silences; // where the chosen ROM is silent and the module sounds
    if ((fits.size() > 1 || options.measure) && performance.rendered) {
        if (!moduleReading.valid())
            moduleReading = readAside(std::move(captured.performance.render), options.rate);
        // The engine renders the ROMs on this thread, one after another; each is read beside the next.
        std::vector<std::future<std::unique_ptr<RenderReading>>> romReadings;
        for (const Fit& f : fits)
            romReadings.push_back(readAside(renderRom(f.result.rom, options.rate), options.rate));
        const std::unique_ptr<RenderReading> module = moduleReading.get();
        double bestScore = -1;
        for (std::size_t i = 0; i < fits.size(); ++i) {
            ImportResult& r = fits[i].result;
            const std::unique_ptr<RenderReading> rom = romReadings[i].get();
            r.fidelity = compareRenders(*module, *rom);
            r.measured = true;
            if (performance.length > measuredSeconds(options.rate)) { // the renders hold the song's start
                r.fidelity.moduleSeconds = performance.length;
                r.fidelity.romSeconds = r.romSeconds;
                r.fidelity.lengthRatio = r.romSeconds / performance.length;
            }
            if (r.fidelity.chroma + r.fidelity.onset > bestScore) {
                bestScore = r.fidelity.chroma + r.fidelity.onset, best = i;
                silences = silentSpans(performance, fits[i].samples, *module, *rom);
            }
        }
    }
    result = std::move(fits[best].result);
    result.title = performance.title;
    writeSignature(result.rom,
                   RomSignature{static_cast<std::uint32_t>(options.rate), {performance.title}, {}});
    result.format = performance.format;
    result.moduleSeconds = performance.length;
    result.startSeconds = performance.startSeconds;
    result.channels = performance.channels;
    result.fidelity.channels = performance.channels;
    std::vector<Loss> losses = captured.losses;
    if (performance.length > measuredSeconds(options.rate) && result.measured)
        losses.push_back(Loss::told(LossKind::PartMeasured,
                                    "fidelity measured on the song's first " +
                                        std::to_string(int(measuredSeconds(options.rate))) +
                                        " s, the most measured at " + std::to_string(options.rate) + " Hz"));
    if (captured.shortTicks > 0) losses.push_back(shortTicksLoss(captured, options.rate, result.romSeconds));
    losses.insert(losses.end(), result.losses.begin(), result.losses.end());
    losses.insert(losses.end(), silences.begin(), silences.end());
    result.losses = std::move(losses);
    result.report = lossLines(result.losses);
    return true;
}
