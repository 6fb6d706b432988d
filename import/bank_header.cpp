#include "bank_header.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kLongestName = 40;

std::string identifierText(const std::string& name) {
    std::string id;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            id += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        else if (!id.empty() && id.back() != '_')
            id += '_';
    }
    if (id.size() > kLongestName) id.resize(kLongestName);
    while (!id.empty() && id.back() == '_')
        id.pop_back();
    return id;
}

// A name inside a C comment: printable ASCII, with no end of comment.
std::string commentText(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        out += c >= 0x20 && c < 0x7F ? ch : '?';
        if (out.size() >= 2 && out.compare(out.size() - 2, 2, "*/") == 0) out.back() = '?';
    }
    return out;
}

std::string line(const char* format, const std::string& a, long b, const std::string& comment) {
    char text[256];
    std::snprintf(text, sizeof text, format, a.c_str(), b);
    return std::string(text) + (comment.empty() ? "" : " /* " + comment + " */") + "\n";
}

} // namespace

std::string identifierFor(const std::string& name, const std::string& fallback,
                          std::vector<std::string>& taken) {
    std::string base = identifierText(name);
    if (base.empty()) base = fallback;
    std::string id = base;
    for (int n = 2; std::find(taken.begin(), taken.end(), id) != taken.end(); ++n)
        id = base + "_" + std::to_string(n);
    taken.push_back(id);
    return id;
}

std::string headerPrefix(const std::string& path) {
    std::string base =
        path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    base = base.substr(0, base.find('.'));
    std::string id = identifierText(base);
    if (id.empty() || (id[0] >= '0' && id[0] <= '9')) id = "BANK" + (id.empty() ? "" : "_" + id);
    return id;
}

std::string bankHeader(const BankResult& bank, const std::string& romName, const std::string& prefix) {
    std::string h;
    h += "/* The sound bank in " + commentText(romName) + ", made by nibtool bank for " +
         std::to_string(bank.rate) + " Hz.\n";
    h += " * Songs: playSong(" + prefix + "_SONG_...). Effects: playSample(" + prefix +
         "_SFX_..._ENTRY, stream, " + prefix + "_SFX_..._TONE)\n";
    h += " * plays an effect at its recorded pitch when the engine runs at " + prefix + "_RATE_HZ. */\n";
    h += "#ifndef " + prefix + "_H\n#define " + prefix + "_H\n\n";
    h += "enum {\n";
    h += line("    %s_RATE_HZ = %ld,", prefix, bank.rate, "the output rate the bank was made for");
    h += line("    %s_SONG_COUNT = %ld,", prefix, long(bank.songs.size()), "");
    h += line("    %s_SFX_COUNT = %ld", prefix, long(bank.effects.size()), "");
    h += "};\n\n";
    std::vector<std::string> songIds{"COUNT"}, effectIds; // PREFIX_SONG_COUNT is taken
    if (!bank.songs.empty()) {
        h += "/* Songs, for playSong. */\nenum {\n";
        for (std::size_t n = 0; n < bank.songs.size(); ++n) {
            const BankSong& s = bank.songs[n];
            const std::string name = s.title.empty() ? s.name : s.title;
            const std::string id =
                prefix + "_SONG_" + identifierFor(name, "SONG_" + std::to_string(n), songIds);
            h += line(n + 1 < bank.songs.size() ? "    %s = %ld," : "    %s = %ld", id, long(n),
                      "\"" + commentText(name) + "\", " + commentText(s.name));
        }
        h += "};\n\n";
    }
    if (!bank.effects.empty()) {
        h += "/* Effects, for playSample(entry, stream, tone). */\nenum {\n";
        for (std::size_t i = 0; i < bank.effects.size(); ++i) {
            const BankEffect& e = bank.effects[i];
            const std::string id =
                prefix + "_SFX_" + identifierFor(e.name, "SFX_" + std::to_string(i), effectIds);
            h += line("    %s_ENTRY = %ld,", id, e.entry, "\"" + commentText(e.name) + "\"");
            h += line(i + 1 < bank.effects.size() ? "    %s_TONE = %ld," : "    %s_TONE = %ld", id, e.tone,
                      "");
        }
        h += "};\n\n";
    }
    h += "#endif\n";
    return h;
}
