#include "bank_header.h"

#include <algorithm>
#include <cstdio>

#include "engine/engine.h"

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

// Names taken across the whole header: a constant that would repeat one gets _2, _3...
std::string unique(const std::string& name, std::vector<std::string>& taken) {
    std::string id = name;
    for (int n = 2; std::find(taken.begin(), taken.end(), id) != taken.end(); ++n)
        id = name + "_" + std::to_string(n);
    taken.push_back(id);
    return id;
}

std::string percent(int share) {
    return std::to_string(share) + "%";
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

std::vector<BankConstants> bankConstants(const BankResult& bank, const std::string& prefix) {
    std::vector<std::string> taken;
    const auto add = [&](BankConstants& group, const std::string& name, long value, std::string comment) {
        group.constants.push_back({unique(prefix + "_" + name, taken), value, std::move(comment)});
    };
    BankConstants general{"The bank", {}};
    add(general, "RATE_HZ", bank.rate, "the output rate the bank was made for: timer0_isr's rate");
    add(general, "STEPS_PER_SONGTICK", static_cast<long>(kStepsPerCall),
        "timer0_isr steps between two songTick calls");
    add(general, "SONG_COUNT", long(bank.songs.size()), "");
    add(general, "SFX_COUNT", long(bank.effects.size()), "");

    BankConstants songs{"Songs, for playSong", {}}, lengths{"How each song plays", {}};
    std::vector<std::string> songIds{"COUNT"}, effectIds{"COUNT"}; // PREFIX_SONG_COUNT is taken
    std::vector<std::string> songNames;
    for (std::size_t n = 0; n < bank.songs.size(); ++n) {
        const BankSong& s = bank.songs[n];
        const std::string name = s.title.empty() ? s.name : s.title;
        const std::string id = identifierFor(name, "SONG_" + std::to_string(n), songIds);
        songNames.push_back(id);
        std::string about = "\"" + commentText(name) + "\", " + commentText(s.name);
        if (!s.moduleTitle.empty() && s.moduleTitle != name)
            about += " (\"" + commentText(s.moduleTitle) + "\")";
        add(songs, "SONG_" + id, long(n), about + (s.ends ? ": ends on silence after one pass" : ""));
        add(lengths, "SONG_" + id + "_ENDS", s.ends ? 1 : 0,
            s.ends ? "1: it ends on silence after one pass, as a jingle" : "0: it repeats for ever");
        add(lengths, "SONG_" + id + "_CALLS", long(s.calls),
            s.calls == 0 ? "it never repeats"
            : s.ends     ? "songTick calls after playSong until every stream has stopped"
                         : "songTick calls after playSong once through");
    }

    BankConstants effects{"Effects, for playSample(entry, stream, tone)", {}};
    for (std::size_t i = 0; i < bank.effects.size(); ++i) {
        const BankEffect& e = bank.effects[i];
        const std::string id = "SFX_" + identifierFor(e.name, "SFX_" + std::to_string(i), effectIds);
        add(effects, id + "_ENTRY", e.entry, "\"" + commentText(e.name) + "\"");
        add(effects, id + "_TONE", e.tone, "plays it at its recorded pitch at the rate");
        add(effects, id + "_STREAM", e.stream.stream,
            "the stream that loses the songs' music least: it carries music " +
                percent(e.stream.musicPercent) + " of the time");
        for (std::size_t n = 0; n < bank.songs.size(); ++n)
            if (i < bank.songs[n].streams.size())
                add(effects, id + "_STREAM_IN_" + songNames[n], bank.songs[n].streams[i].stream,
                    "during song " + std::to_string(n) + ": music " +
                        percent(bank.songs[n].streams[i].musicPercent) + " of the time");
    }
    std::vector<BankConstants> groups{general};
    for (BankConstants* g : {&songs, &lengths, &effects})
        if (!g->constants.empty()) groups.push_back(std::move(*g));
    return groups;
}

std::string bankHeader(const BankResult& bank, const std::string& romName, const std::string& prefix) {
    std::string h;
    h += "/* The sound bank in " + commentText(romName) + ", made by nibtool bank for " +
         std::to_string(bank.rate) + " Hz.\n";
    h += " * Songs: playSong(" + prefix + "_SONG_...). Effects: playSample(" + prefix + "_SFX_..._ENTRY, " +
         prefix + "_SFX_..._STREAM, " + prefix + "_SFX_..._TONE)\n";
    h += " * plays an effect at its recorded pitch when timer0_isr runs at " + prefix +
         "_RATE_HZ, with songTick after\n * every " + prefix + "_STEPS_PER_SONGTICK steps. */\n";
    h += "#ifndef " + prefix + "_H\n#define " + prefix + "_H\n";
    for (const BankConstants& group : bankConstants(bank, prefix)) {
        h += "\n/* " + group.title + ". */\nenum {\n";
        for (std::size_t i = 0; i < group.constants.size(); ++i) {
            const BankConstant& c = group.constants[i];
            h += "    " + c.name + " = " + std::to_string(c.value) +
                 (i + 1 < group.constants.size() ? "," : "") +
                 (c.comment.empty() ? "" : " /* " + c.comment + " */") + "\n";
        }
        h += "};\n";
    }
    h += "\n#endif\n";
    return h;
}

std::string bankAsm(const BankResult& bank, const std::string& romName, const std::string& prefix) {
    std::string a = "; The sound bank in " + commentText(romName) + ", made by nibtool bank for " +
                    std::to_string(bank.rate) + " Hz.\n";
    for (const BankConstants& group : bankConstants(bank, prefix)) {
        a += "\n; " + group.title + "\n";
        for (const BankConstant& c : group.constants)
            a += c.name + " equ " + std::to_string(c.value) + (c.comment.empty() ? "" : " ; " + c.comment) +
                 "\n";
    }
    return a;
}
