#include "json_report.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "import/report.h"
#include "rom/signature.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kTables = kImageSize - kSongTable; // the song and sample tables, to the image's end

Json fidelityJson(bool measured, const Fidelity& f) {
    if (!measured) return Json{{"measured", false}};
    return Json{{"measured", true},
                {"chroma", f.chroma},
                {"onset", f.onset},
                {"length", f.lengthRatio},
                {"romSeconds", f.romSeconds},
                {"moduleSeconds", f.moduleSeconds},
                {"verdict", fidelityVerdict(f)}};
}

Json samplesJson(const std::vector<SampleFacts>& samples) {
    Json list = Json::array();
    for (const SampleFacts& s : samples)
        list.push_back({{"song", s.song},
                        {"number", s.number},
                        {"name", s.name},
                        {"entry", s.entry},
                        {"kept", s.entry != 0},
                        {"rate", s.rate},
                        {"bytes", s.bytes},
                        {"loops", s.loops},
                        {"heard", s.heard}});
    return list;
}

const char* kindName(LossKind kind) {
    switch (kind) {
    case LossKind::Repair: return "repair";
    case LossKind::FileCut: return "fileCut";
    case LossKind::Timing: return "timing";
    case LossKind::HiddenSongs: return "hiddenSongs";
    case LossKind::LengthCapped: return "lengthCapped";
    case LossKind::RomSong: return "romSong";
    case LossKind::PartMeasured: return "partMeasured";
    case LossKind::ShortTicks: return "shortTicks";
    case LossKind::NotesLeftOut: return "notesLeftOut";
    case LossKind::SamplesUnnamed: return "samplesUnnamed";
    case LossKind::BankSamplesUnnamed: return "bankSamplesUnnamed";
    case LossKind::RatesLowered: return "ratesLowered";
    case LossKind::SamplesShortened: return "samplesShortened";
    case LossKind::SamplesDropped: return "samplesDropped";
    case LossKind::OffsetsFromStart: return "offsetsFromStart";
    case LossKind::CommandsDropped: return "commandsDropped";
    case LossKind::PatternsShared: return "patternsShared";
    case LossKind::RowsShared: return "rowsShared";
    case LossKind::PatternsReplaced: return "patternsReplaced";
    case LossKind::SongCut: return "songCut";
    case LossKind::BankSongCut: return "bankSongCut";
    case LossKind::SamplesUnheard: return "samplesUnheard";
    case LossKind::SilentSpan: return "silentSpan";
    case LossKind::SecondLevels: return "secondLevels";
    }
    return "other";
}

const char* keptName(Kept kept) {
    switch (kept) {
    case Kept::Start: return "start";
    case Kept::Loop: return "loop";
    case Kept::StartWithoutLoop: return "startWithoutLoop";
    }
    return "";
}

const char* unheardName(Unheard why) {
    switch (why) {
    case Unheard::Streams: return "streams";
    case Unheard::Lines: return "lines";
    case Unheard::BelowVolume: return "belowVolume";
    case Unheard::FourBits: return "fourBits";
    }
    return "";
}

// One sample a loss concerns: who it is, then what the loss's kind tells of it.
Json sampleLossJson(LossKind kind, const SampleLoss& s) {
    Json item;
    if (s.song >= 0) item["song"] = s.song;
    item["number"] = s.number;
    item["name"] = s.name;
    if (s.instrument > 0) item["instrument"] = s.instrument;
    item["entry"] = s.entry;
    switch (kind) {
    case LossKind::SamplesUnnamed:
    case LossKind::SamplesDropped: item["notes"] = std::lround(s.amount); break;
    case LossKind::BankSamplesUnnamed: item["secondsHeard"] = s.amount; break;
    case LossKind::RatesLowered:
        item["semitones"] = std::lround(s.amount);
        if (s.neededHz > 0) item["keptHz"] = s.keptHz, item["neededHz"] = s.neededHz;
        break;
    case LossKind::SamplesShortened:
        item["percentKept"] = s.amount;
        item["kept"] = keptName(s.kept);
        break;
    case LossKind::SamplesUnheard: item["why"] = unheardName(s.unheard); break;
    case LossKind::SecondLevels:
        item["levelPercent"] = std::lround(s.amount);
        item["notes"] = s.notes;
        item["of"] = s.of;
        break;
    default: break;
    }
    if (s.firstHeard >= 0) item["firstHeard"] = s.firstHeard;
    return item;
}

// A loss as facts: its kind, the report's line for it, the share of the module's sound it costs, and
// what its kind records.
Json lossJson(const Loss& loss) {
    Json facts{{"kind", kindName(loss.kind)}, {"line", lossLine(loss)}, {"share", loss.share}};
    switch (loss.kind) {
    case LossKind::NotesLeftOut: {
        facts["notes"] = loss.count;
        facts["of"] = loss.of;
        facts["moduleChannels"] = loss.moduleChannels;
        Json channels = Json::array();
        for (const auto& [channel, notes] : loss.channels)
            channels.push_back({{"channel", channel}, {"notes", notes}});
        facts["channels"] = channels;
        break;
    }
    case LossKind::SamplesUnnamed:
    case LossKind::BankSamplesUnnamed: facts["entries"] = loss.count; break;
    case LossKind::OffsetsFromStart: facts["notes"] = loss.count; break;
    case LossKind::CommandsDropped: facts["commands"] = loss.count; break;
    case LossKind::RowsShared:
        facts["rowsPerLine"] = loss.count;
        facts["notesDropped"] = loss.of;
        break;
    case LossKind::PatternsReplaced: facts["orders"] = loss.orders; break;
    case LossKind::SongCut: facts["lastOrder"] = loss.count; [[fallthrough]];
    case LossKind::BankSongCut:
        facts["keptSeconds"] = loss.from;
        facts["seconds"] = loss.to;
        break;
    case LossKind::SilentSpan:
        facts["from"] = loss.from;
        facts["to"] = loss.to;
        break;
    default: break;
    }
    if (!loss.samples.empty()) {
        Json samples = Json::array();
        for (const SampleLoss& s : loss.samples)
            samples.push_back(sampleLossJson(loss.kind, s));
        facts["samples"] = samples;
    }
    return facts;
}

Json lossesJson(const std::vector<Loss>& losses) {
    Json list = Json::array();
    for (const Loss& loss : losses)
        list.push_back(lossJson(loss));
    return list;
}

Json budgetJson(std::size_t songs, std::size_t samples, std::size_t signature) {
    const std::size_t used = songs + samples + signature + kTables;
    return Json{{"total", kRomSize},  {"songs", songs},
                {"samples", samples}, {"signature", signature},
                {"tables", kTables},  {"free", used < kRomSize ? kRomSize - used : 0}};
}

std::size_t signatureBytesOf(const std::vector<std::uint8_t>& rom) {
    RomSignature signature;
    return readSignature(rom, signature) ? signatureSize(signature) : 0;
}

std::string text(const Json& json) {
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace

std::string importJson(const ImportResult& r, const std::string& source, const std::string& rom, int rate) {
    Json song{{"number", 0},
              {"name", r.title},
              {"title", r.title},
              {"file", source},
              {"format", r.format},
              {"channels", r.channels},
              {"address", kRomBase},
              {"bytes", r.songBytes},
              {"ends", false},
              {"moduleSeconds", r.moduleSeconds},
              {"romSeconds", r.romSeconds},
              {"fidelity", fidelityJson(r.measured, r.fidelity)},
              {"losses", lossesJson(r.losses)}};
    return text(Json{{"kind", "import"},
                     {"rom", rom},
                     {"rate", rate},
                     {"songs", Json::array({song})},
                     {"effects", Json::array()},
                     {"samples", samplesJson(r.samples)},
                     {"losses", Json::array()},
                     {"budget", budgetJson(r.songBytes, r.sampleBytes, signatureBytesOf(r.rom))}});
}

std::string bankJson(const BankResult& bank, const std::string& rom) {
    Json songs = Json::array();
    for (std::size_t n = 0; n < bank.songs.size(); ++n) {
        const BankSong& s = bank.songs[n];
        songs.push_back({{"number", n},
                         {"name", s.title},
                         {"title", s.moduleTitle},
                         {"file", s.name},
                         {"format", s.format},
                         {"channels", s.channels},
                         {"address", s.address},
                         {"bytes", s.bytes},
                         {"ends", s.ends},
                         {"calls", s.calls},
                         {"moduleSeconds", s.moduleSeconds},
                         {"romSeconds", s.romSeconds},
                         {"entries", s.entries},
                         {"fidelity", fidelityJson(s.measured, s.fidelity)},
                         {"losses", lossesJson(s.losses)}});
    }
    Json effects = Json::array();
    for (std::size_t i = 0; i < bank.effects.size(); ++i) {
        const BankEffect& e = bank.effects[i];
        Json perSong = Json::array();
        for (std::size_t n = 0; n < bank.songs.size(); ++n)
            if (i < bank.songs[n].streams.size())
                perSong.push_back({{"song", n},
                                   {"stream", bank.songs[n].streams[i].stream},
                                   {"musicPercent", bank.songs[n].streams[i].musicPercent}});
        effects.push_back({{"name", e.name},
                           {"entry", e.entry},
                           {"tone", e.tone},
                           {"seconds", e.seconds},
                           {"bytes", e.bytes},
                           {"stream", e.stream.stream},
                           {"musicPercent", e.stream.musicPercent},
                           {"streams", perSong}});
    }
    Json losses = lossesJson(bank.samplesLosses);
    for (const std::string& line : bank.effectsReport) // the effects' own: told in words only
        losses.push_back({{"kind", "effects"}, {"line", line}, {"share", 0}});
    return text(Json{{"kind", "bank"},
                     {"rom", rom},
                     {"rate", bank.rate},
                     {"songs", songs},
                     {"effects", effects},
                     {"samples", samplesJson(bank.samples)},
                     {"losses", losses},
                     {"budget", budgetJson(bank.songBytes, bank.sampleBytes, bank.signatureBytes)}});
}
