#include "json_report.h"

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
              {"losses", r.report}};
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
                         {"losses", s.report}});
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
    Json losses = Json::array();
    for (const std::vector<std::string>* lines : {&bank.samplesReport, &bank.effectsReport})
        for (const std::string& line : *lines)
            losses.push_back(line);
    return text(Json{{"kind", "bank"},
                     {"rom", rom},
                     {"rate", bank.rate},
                     {"songs", songs},
                     {"effects", effects},
                     {"samples", samplesJson(bank.samples)},
                     {"losses", losses},
                     {"budget", budgetJson(bank.songBytes, bank.sampleBytes, bank.signatureBytes)}});
}
