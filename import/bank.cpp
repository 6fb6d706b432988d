// The bank: each song captured as the import captures it, the samples of all the songs planned as one set,
// then each song compiled against the entries its samples got, the songs taking steps of compactness until
// songs, samples, effects and the signature share the image.
#include "bank.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>

#include "effect_streams.h"
#include "engine/engine.h"
#include "engine/state.h"
#include "heard.h"
#include "host/load.h"
#include "import.h"
#include "jingle.h"
#include "layout.h"
#include "measure/renders.h"
#include "report.h"
#include "rom/rom_builder.h"
#include "rom/signature.h"
#include "rom_capture.h"
#include "walk/song_walk.h"

namespace {

constexpr auto kSongsStart = static_cast<std::uint32_t>(kRomBase);
constexpr std::uint32_t kTables = kSongTable; // the song and sample tables, to the image's end
// What the songs leave the samples, at the least and at the most (as the import leaves them).
constexpr std::size_t kLeastSampleSpace = 2048, kMostSampleSpace = 16384;
constexpr std::size_t kProvisionalSampleSpace = 8192;
// The most the effects take, their nibbles paired: a quarter of the image.
constexpr std::size_t kEffectSpace = 8192;
// Two samples sound the same when their frames differ by less than this RMS: a quarter of a 4-bit level
// (15 levels over -1..1).
constexpr double kSameSound = 0.25 * 2.0 / 15.0;
// Steps past the import's compactness: the song keeps only its start, 0.8 of it less each time.
constexpr int kCutSteps = 20;

const std::vector<CompileOptions>& steps() {
    static const std::vector<CompileOptions> s = compactSteps();
    return s;
}
int lastStep() {
    return static_cast<int>(steps().size()) + kCutSteps - 1;
}

bool sameSound(const SampleData& a, const SampleData& b) {
    if (a.frames.size() != b.frames.size() || a.loops != b.loops || a.bidirectional != b.bidirectional ||
        (a.loops && (a.loopStart != b.loopStart || a.loopEnd != b.loopEnd)))
        return false;
    double sum = 0;
    for (std::size_t i = 0; i < a.frames.size(); ++i)
        sum += double(a.frames[i] - b.frames[i]) * double(a.frames[i] - b.frames[i]);
    return a.frames.empty() || std::sqrt(sum / double(a.frames.size())) < kSameSound;
}

struct Song {
    std::string name;
    bool once = false; // ends on silence after one pass
    CapturedSong captured;
    std::vector<int> shared; // by libxmp sample index: the bank's sample it sounds as
};

// Every song's samples and ticks as one performance, samples that sound the same made one: the samples
// stage plans it as it plans one song's, so that what is heard most across the bank is kept. Each song
// weighs the same whatever its length: its ticks are stretched or shrunk so that every song lasts as
// long as the songs do on average, and a short jingle's samples count as much as a long tune's.
struct AllSongs {
    Performance performance;
    VoicePlan voices;
};

AllSongs combine(std::vector<Song>& songs) {
    AllSongs all;
    double mean = 0;
    for (const Song& song : songs)
        mean += song.captured.performance.length / double(songs.size());
    std::vector<SampleData>& samples = all.performance.samples;
    for (std::size_t n = 0; n < songs.size(); ++n) {
        Song& song = songs[n];
        const Performance& p = song.captured.performance;
        for (const SampleData& s : p.samples) {
            auto same = std::find_if(samples.begin(), samples.end(),
                                     [&](const SampleData& b) { return sameSound(s, b); });
            song.shared.push_back(static_cast<int>(same - samples.begin()));
            if (same != samples.end()) continue;
            samples.push_back(s); // told in the bank's report lines by its song and number there
            samples.back().song = static_cast<int>(n);
            samples.back().number = static_cast<int>(song.shared.size());
        }
        for (std::size_t t = 0; t < p.ticks.size(); ++t) {
            TickInfo tick;
            tick.duration = p.ticks[t].duration * mean / std::max(p.length, 1e-3);
            all.performance.ticks.push_back(tick);
            std::array<StreamTick, kVoices> streams = song.captured.voices.ticks[t];
            for (StreamTick& st : streams) {
                if (st.sound.sample >= 0 && std::size_t(st.sound.sample) < song.shared.size())
                    st.sound.sample = song.shared[std::size_t(st.sound.sample)];
                all.performance.ticks.back().channels.push_back(st.sound); // for the notes counted
            }
            all.voices.ticks.push_back(streams);
        }
    }
    return all;
}

// The bank's samples as one song sees them: its libxmp sample numbers on the bank's entries.
SampleBank viewFor(const SampleBank& bank, const Song& song) {
    SampleBank view;
    view.kept = bank.kept;
    view.bytes = bank.bytes;
    for (int shared : song.shared)
        view.entryOf.push_back(bank.entryOf[std::size_t(shared)]);
    for (const OffsetEntry& o : bank.offsets)
        for (std::size_t i = 0; i < song.shared.size(); ++i)
            if (song.shared[i] == o.source) view.offsets.push_back({int(i), o.offset, o.entry, o.skip});
    for (const int quiet : bank.tooQuiet)
        for (std::size_t i = 0; i < song.shared.size(); ++i)
            if (song.shared[i] == quiet) view.tooQuiet.push_back(int(i));
    return view;
}

struct Compiled {
    CompiledSong song;
    std::size_t bytes = 0;  // 0: too big for any image
    double keptSeconds = 0; // a song cut short: what it keeps of its module
};

struct Layout {
    std::vector<int> steps;
    std::vector<std::vector<Loss>> silences; // by song: where its ROM is silent and its module sounds
    std::vector<Compiled> songs;
    SampleBank bank; // by the bank's sample numbers
    std::vector<std::uint32_t> addresses;
    std::vector<std::uint8_t> rom;
    std::size_t sampleBytes = 0;
    std::vector<double> scores;
    std::vector<Fidelity> fidelity;
};

class BankBuilder {
  public:
    BankBuilder(std::vector<Song>& songs, const std::vector<StoredEffect>& effects, int rate,
                std::uint32_t dataEnd)
        : songs_(songs), all_(combine(songs)), effects_(effects), rate_(rate), dataEnd_(dataEnd) {
        // Effects past the first take entries from the top of the 14.
        songEntries_ = kReachableEntries - static_cast<int>(effects.empty() ? 0 : effects.size() - 1);
        std::vector<std::size_t> sizes;
        for (const StoredEffect& e : effects)
            sizes.push_back(e.sample.nibbles.size());
        std::sort(sizes.rbegin(), sizes.rend());
        for (std::size_t i = 0; i < sizes.size(); i += 2)
            effectBytes_ += sizes[i];
    }

    std::size_t comfortable() const {
        return std::clamp(comfortableSpace(all_.performance, all_.voices, rate_), kLeastSampleSpace,
                          kMostSampleSpace);
    }
    const AllSongs& all() const { return all_; }
    int songEntries() const { return songEntries_; }

    bool layOut(std::size_t reserved, std::vector<int> stepOf, Layout& out) const;

  private:
    Compiled compileAt(std::size_t n, int step, const SampleBank& bank) const;
    bool compact(std::size_t reserved, const SampleBank& bank, std::vector<int>& stepOf,
                 std::vector<Compiled>& compiled) const;

    std::vector<Song>& songs_;
    AllSongs all_;
    const std::vector<StoredEffect>& effects_;
    int rate_;
    std::uint32_t dataEnd_;
    int songEntries_ = kReachableEntries;
    std::size_t effectBytes_ = 0;
};

Compiled BankBuilder::compileAt(std::size_t n, int step, const SampleBank& bank) const {
    const Song& song = songs_[n];
    const SampleBank view = viewFor(bank, song);
    Compiled c;
    const auto s = static_cast<std::size_t>(step);
    if (s < steps().size()) {
        c.song = compileSong(song.captured.performance, song.captured.voices, view, rate_, steps()[s]);
    } else {
        const Performance cut =
            cutPerformance(song.captured.performance, std::pow(0.8, double(s - steps().size() + 1)));
        c.song = compileSong(cut, assignVoices(cut), view, rate_, steps().back());
        c.keptSeconds = cut.length;
    }
    if (song.once) endOnSilence(c.song);
    RomBuilder scratch;
    c.bytes = placeSong(c.song, scratch, kSongsStart, kTables).bytes;
    return c;
}

// Takes the song that takes the most bytes a step more compact until the songs leave `reserved` bytes
// for the samples. False if no song can give more.
bool BankBuilder::compact(std::size_t reserved, const SampleBank& bank, std::vector<int>& stepOf,
                          std::vector<Compiled>& compiled) const {
    const std::size_t room = dataEnd_ - kSongsStart - effectBytes_;
    const auto size = [](const Compiled& c) { return c.bytes == 0 ? std::size_t{1} << 20 : c.bytes; };
    for (;;) {
        std::size_t total = 0;
        for (const Compiled& c : compiled)
            total += size(c);
        if (total + reserved <= room) return true;
        std::size_t biggest = compiled.size();
        for (std::size_t n = 0; n < compiled.size(); ++n)
            if (stepOf[n] < lastStep() &&
                (biggest == compiled.size() || size(compiled[n]) > size(compiled[biggest])))
                biggest = n;
        if (biggest == compiled.size()) return false;
        compiled[biggest] = compileAt(biggest, ++stepOf[biggest], bank);
    }
}

bool BankBuilder::layOut(std::size_t reserved, std::vector<int> stepOf, Layout& out) const {
    std::size_t space = kProvisionalSampleSpace;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const SampleBank bank = buildSamples(all_.performance, all_.voices, rate_, space, songEntries_);
        std::vector<Compiled> compiled;
        for (std::size_t n = 0; n < songs_.size(); ++n)
            compiled.push_back(compileAt(n, stepOf[n], bank));
        if (!compact(reserved, bank, stepOf, compiled)) return false;
        std::size_t songBytes = 0;
        for (const Compiled& c : compiled)
            songBytes += c.bytes;
        const std::size_t room = dataEnd_ - kSongsStart - songBytes - effectBytes_;
        // The samples get what the songs leave: planned again for it. The songs' size depends on what the
        // samples keep (fewer samples, fewer notes), so after the first plan the space only shrinks: room
        // left over is kept free rather than given back to samples that would make the songs grow again.
        if ((room < space || (room > space && attempt == 0)) && attempt < 6) {
            space = room;
            continue;
        }
        RomBuilder rom;
        std::uint32_t address = kSongsStart;
        out.addresses.clear();
        for (std::size_t n = 0; n < compiled.size(); ++n) {
            out.addresses.push_back(address);
            address +=
                static_cast<std::uint32_t>(placeSong(compiled[n].song, rom, address, dataEnd_, n).bytes);
        }
        SampleBank placed = bank;
        for (const StoredEffect& e : effects_)
            placed.kept.push_back(e.sample);
        if (!placeSamples(placed, rom, address, dataEnd_)) { // the songs grew on the last compile
            space = room - std::min(room, placed.bytes - (dataEnd_ - address) + 256);
            continue;
        }
        out.steps = stepOf;
        out.songs = std::move(compiled);
        out.bank = std::move(placed);
        out.rom = rom.build();
        out.sampleBytes = out.bank.bytes;
        return true;
    }
    return false;
}

// Seconds each of a song's samples is heard, weighted by volume, by libxmp sample index.
std::vector<double> heardSeconds(const CapturedSong& song) {
    std::vector<double> heard(song.performance.samples.size(), 0);
    for (std::size_t t = 0; t < song.voices.ticks.size(); ++t)
        for (const StreamTick& st : song.voices.ticks[t]) {
            const ChannelTick& s = st.sound;
            if (st.channel >= 0 && s.sample >= 0 && std::size_t(s.sample) < heard.size() && s.volume > 0 &&
                s.frequency > 0)
                heard[std::size_t(s.sample)] += song.performance.ticks[t].duration * s.volume;
        }
    return heard;
}

// The samples a song plays that the bank left out, most heard first.
Loss lostSamples(const Song& song, const Layout& layout, int entries) {
    const Performance& p = song.captured.performance;
    const std::vector<double> heard = heardSeconds(song.captured);
    const std::vector<double> first = firstHeard(p);
    double all = 0;
    std::vector<std::pair<double, std::size_t>> lost;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        all += heard[i];
        const int shared = song.shared[i];
        const bool quiet = std::find(layout.bank.tooQuiet.begin(), layout.bank.tooQuiet.end(), shared) !=
                           layout.bank.tooQuiet.end(); // said with the samples it never sounds
        if (heard[i] > 0 && layout.bank.entryOf[std::size_t(shared)] == 0 && !quiet)
            lost.emplace_back(heard[i], i);
    }
    std::sort(lost.rbegin(), lost.rend());
    Loss loss;
    loss.kind = LossKind::BankSamplesUnnamed;
    loss.count = std::size_t(entries);
    for (const auto& [seconds, i] : lost) {
        SampleLoss item = sampleLoss(p, int(i));
        item.amount = seconds;
        item.firstHeard = first[i];
        loss.samples.push_back(item);
        loss.share += all > 0 ? seconds / all : 0;
    }
    return loss;
}

// The songs' renders read once for every layout measured (none for a song that was not rendered).
using Readings = std::vector<std::unique_ptr<RenderReading>>;

Readings readSongs(const std::vector<Song>& songs, int rate) {
    Readings readings;
    for (const Song& song : songs) {
        const Performance& p = song.captured.performance;
        readings.push_back(p.rendered ? std::make_unique<RenderReading>(p.render, rate) : nullptr);
    }
    return readings;
}

void measure(std::vector<Song>& songs, const Readings& readings, Layout& layout, int rate) {
    layout.fidelity.clear();
    layout.silences.assign(songs.size(), {});
    double sum = 0;
    for (std::size_t n = 0; n < songs.size(); ++n) {
        const Performance& p = songs[n].captured.performance;
        Fidelity f;
        if (readings[n]) {
            const RenderReading rom(renderRom(layout.rom, rate, std::uint8_t(n)), rate);
            f = compareRenders(*readings[n], rom);
            layout.silences[n] = silentSpans(p, viewFor(layout.bank, songs[n]), *readings[n], rom);
        }
        if (p.length > measuredSeconds(rate)) { // the renders hold the song's start
            f.moduleSeconds = p.length;
            f.romSeconds = layout.songs[n].song.seconds;
            f.lengthRatio = f.romSeconds / p.length;
        }
        f.channels = p.channels;
        sum += f.chroma + f.onset;
        layout.fidelity.push_back(f);
    }
    layout.scores = {sum / double(songs.size())};
}

// A song of the bank captured: a module as the import captures it; a ROM image's song 0 as the engine
// plays it at the rate it was made for, so it keeps its tempo and pitch at the bank's rate.
bool captureInput(const BankSongInput& input, int rate, CapturedSong& out, std::string& error) {
    if (!input.rom) return captureSong(input.bytes, ImportOptions{rate}, out, error);
    if (!captureRomSong(input.bytes, input.romRate, rate, out.performance, error)) return false;
    out.shortTicks = fitTicksToRate(out.performance, rate);
    out.voices = assignVoices(out.performance);
    out.losses.push_back(Loss::told(LossKind::RomSong, "song 0 of a ROM image made for " +
                                                           std::to_string(input.romRate) +
                                                           " Hz, taken as the engine plays it"));
    return true;
}

// Where each effect should start during each song, and over the whole bank; how long each song lasts.
void chooseStreams(BankResult& result, RomSignature& signature) {
    std::vector<double> seconds;
    for (const BankEffect& e : result.effects)
        seconds.push_back(e.seconds);
    std::vector<SongStreams> measured;
    for (std::size_t n = 0; n < result.songs.size(); ++n) {
        BankSong& song = result.songs[n];
        loadIntoEngine(result.rom);
        const SongLength length =
            walkSong(songStart(static_cast<std::uint8_t>(n)), longestSongCalls(result.rate));
        song.ends = length.ends;
        song.calls = length.repeats ? length.onceThroughCalls : 0;
        if (!result.effects.empty())
            measured.push_back(
                measureStreams(result.rom, static_cast<std::uint8_t>(n), result.rate, seconds));
    }
    resetEngine();
    const auto percent = [](double share) { return static_cast<std::uint8_t>(std::lround(100 * share)); };
    for (std::size_t i = 0; i < result.effects.size(); ++i) {
        BankEffect& e = result.effects[i];
        std::vector<const SongStreams*> all;
        for (std::size_t n = 0; n < measured.size(); ++n) {
            const std::uint8_t s = bestStream({&measured[n]}, i);
            result.songs[n].streams.push_back({s, percent(measured[n].music[s])});
            all.push_back(&measured[n]);
        }
        e.stream.stream = bestStream(all, i);
        double share = 0;
        for (const SongStreams& m : measured)
            share += m.music[e.stream.stream] / double(measured.size());
        e.stream.musicPercent = percent(share);
    }
    if (signature.songs.empty()) return; // the block's first version: no effects, no song that ends
    for (std::size_t n = 0; n < result.songs.size(); ++n)
        signature.songs[n] = {result.songs[n].ends, result.songs[n].streams};
}

} // namespace

bool buildBank(const std::vector<BankSongInput>& inputs, const std::vector<EffectRecording>& recordings,
               const BankOptions& options, BankResult& result, std::string& error) {
    if (inputs.empty() || inputs.size() > kBankSongs) {
        error = "a bank holds 1 to 4 songs";
        return false;
    }
    if (recordings.size() > kBankEffects) {
        error = "a bank holds at most " + std::to_string(kBankEffects) + " effects";
        return false;
    }
    const int rate = options.rate;
    std::vector<Song> songs(inputs.size());
    for (std::size_t n = 0; n < inputs.size(); ++n) {
        songs[n].name = inputs[n].name;
        songs[n].once = inputs[n].once;
        if (!captureInput(inputs[n], rate, songs[n].captured, error)) {
            error = "song " + std::to_string(n) + " ('" + inputs[n].name + "') cannot be imported: " + error;
            return false;
        }
    }
    result = BankResult{};
    result.rate = rate;
    std::vector<StoredEffect> effects = storeEffects(recordings, rate, kEffectSpace, result.effectsReport);
    RomSignature signature{static_cast<std::uint32_t>(rate), {}, {}};
    for (std::size_t i = 0; i < effects.size(); ++i) {
        effects[i].sample.entry = i == 0 ? 0 : kReachableEntries + 1 - static_cast<int>(i);
        signature.effects.push_back(
            {static_cast<std::uint8_t>(effects[i].sample.entry), effects[i].tone, effects[i].name});
    }
    bool once = false;
    for (std::size_t n = 0; n < songs.size(); ++n) {
        const std::string& given = inputs[n].title;
        signature.titles.push_back(given.empty() ? songs[n].captured.performance.title : given);
        once |= songs[n].once;
    }
    // How each song plays (its ending, each effect's stream), in the block's second version: as long
    // whatever the streams chosen, which are known only once the songs are laid out.
    if (!effects.empty() || once)
        signature.songs.assign(songs.size(), {false, std::vector<EffectStream>(effects.size())});
    result.signatureBytes = signatureSize(signature);
    const BankBuilder builder(songs, effects, rate,
                              static_cast<std::uint32_t>(kTables - result.signatureBytes));

    // As the import does: laid out leaving the samples the least, half way to what they need, and all of
    // it; each search starts from the steps the last one took.
    const std::size_t comfortable = builder.comfortable();
    std::vector<Layout> fits;
    std::vector<int> from(songs.size(), 0);
    for (std::size_t reserved : {kLeastSampleSpace, (kLeastSampleSpace + comfortable) / 2, comfortable}) {
        Layout layout;
        if (!builder.layOut(reserved, from, layout)) continue;
        if (fits.empty() || layout.steps != fits.back().steps) {
            from = layout.steps;
            fits.push_back(std::move(layout));
        }
    }
    if (fits.empty()) {
        error = "the songs do not fit in one ROM image together";
        return false;
    }
    std::size_t best = 0;
    if (fits.size() > 1 || options.measure) {
        const Readings readings = readSongs(songs, rate);
        for (std::size_t i = 0; i < fits.size(); ++i) {
            measure(songs, readings, fits[i], rate);
            if (fits[i].scores[0] > fits[best].scores[0]) best = i;
        }
    }
    Layout& layout = fits[best];
    result.rom = std::move(layout.rom);
    result.sampleBytes = layout.sampleBytes;
    // Samples left out are named in each song's block instead.
    for (const Loss& loss : layout.bank.losses)
        if (loss.kind != LossKind::SamplesUnnamed) result.samplesLosses.push_back(loss);
    result.samplesReport = lossLines(result.samplesLosses);

    std::vector<int> songsOf(builder.all().performance.samples.size(), 0); // songs playing each kept sample
    for (std::size_t n = 0; n < songs.size(); ++n) {
        const Song& song = songs[n];
        const Performance& p = song.captured.performance;
        const Compiled& c = layout.songs[n];
        BankSong out;
        out.name = song.name;
        out.title = signature.titles[n];
        out.moduleTitle = p.title;
        out.format = p.format;
        out.losses = song.captured.losses;
        if (song.captured.shortTicks > 0)
            out.losses.push_back(shortTicksLoss(song.captured, rate, c.song.seconds));
        Loss lost = lostSamples(song, layout, builder.songEntries());
        if (!lost.samples.empty()) out.losses.push_back(std::move(lost));
        out.losses.insert(out.losses.end(), c.song.losses.begin(), c.song.losses.end());
        const auto step = static_cast<std::size_t>(layout.steps[n]);
        const std::vector<Loss> compacted = compactionLosses(steps()[std::min(step, steps().size() - 1)]);
        out.losses.insert(out.losses.end(), compacted.begin(), compacted.end());
        if (step >= steps().size()) {
            Loss cut;
            cut.kind = LossKind::BankSongCut;
            cut.from = c.keptSeconds, cut.to = p.length;
            cut.share = 1 - c.keptSeconds / std::max(p.length, 1e-9);
            out.losses.push_back(cut);
        }
        if (step < steps().size()) { // a song cut short plays less than its module: its cut says so
            Loss unheard = unheardSamples(p, song.captured.voices, viewFor(layout.bank, song), c.song);
            if (!unheard.samples.empty()) out.losses.push_back(std::move(unheard));
        }
        if (n < layout.silences.size())
            out.losses.insert(out.losses.end(), layout.silences[n].begin(), layout.silences[n].end());
        out.report = lossLines(out.losses);
        out.entries = entriesNamed(c.song);
        out.address = layout.addresses[n];
        out.bytes = c.bytes;
        out.moduleSeconds = p.length;
        out.romSeconds = c.song.seconds;
        out.channels = p.channels;
        out.measured = !layout.fidelity.empty() && p.rendered;
        if (!layout.fidelity.empty()) out.fidelity = layout.fidelity[n];
        result.songBytes += c.bytes;
        const std::vector<SampleFacts> facts = sampleFacts(layout.bank, p, static_cast<int>(n), song.shared);
        result.samples.insert(result.samples.end(), facts.begin(), facts.end());
        std::set<int> played; // the bank's samples this song plays
        const std::vector<double> heard = heardSeconds(song.captured);
        for (std::size_t i = 0; i < song.shared.size(); ++i)
            if (heard[i] > 0 && layout.bank.entryOf[std::size_t(song.shared[i])] != 0)
                played.insert(song.shared[i]);
        for (int s : played)
            ++songsOf[std::size_t(s)];
        result.songs.push_back(std::move(out));
    }
    for (int count : songsOf)
        result.sharedSamples += count > 1;
    result.songEntries = layout.bank.kept.size() - effects.size() + layout.bank.offsets.size();
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const StoredEffect& e = effects[i];
        result.effects.push_back({e.name, e.sample.entry, e.tone, e.seconds, e.sample.nibbles.size(), {}});
    }
    chooseStreams(result, signature);
    writeSignature(result.rom, signature);
    return true;
}
