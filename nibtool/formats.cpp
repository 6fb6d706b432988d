#include "formats.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr AudioFormat kAudioFormats[] = {
    {"wav", "a WAV file", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, true, false},
    {"flac", "a FLAC file", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8, false, true},
    {"aiff", "an AIFF file", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, false, false},
    {"au", "an AU file", SF_FORMAT_AU | SF_FORMAT_PCM_S8, false, true},
    {"caf", "a CAF file", SF_FORMAT_CAF | SF_FORMAT_PCM_S8, false, false},
    {"w64", "a W64 file", SF_FORMAT_W64 | SF_FORMAT_PCM_U8, true, false},
    {"ogg", "an Ogg Vorbis file", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false, true},
    {"raw", "raw audio", SF_FORMAT_RAW | SF_FORMAT_PCM_U8, true, true},
};
// Another ending of a format above.
constexpr std::pair<const char*, const char*> kOtherAudioEndings[] = {{"aif", "aiff"}, {"oga", "ogg"}};

// Endings of what nibtool does not write, that an output must not carry either.
constexpr std::pair<const char*, const char*> kOtherEndings[] = {
    {"rom", "a ROM image"}, {"h", "a C header"},      {"inc", "an assembler include"},
    {"mp3", "an MP3 file"}, {"opus", "an Opus file"}, {"mod", "a module"},
    {"s3m", "a module"},    {"xm", "a module"},       {"it", "a module"},
    {"mptm", "a module"},   {"mtm", "a module"},      {"669", "a module"},
    {"stm", "a module"},    {"med", "a module"},      {"okt", "a module"},
    {"far", "a module"},    {"ult", "a module"},      {"umx", "a module"},
    {"txt", "a text file"}, {"c", "C source"},        {"cpp", "C++ source"},
};

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The ending of `path` without its dot, lower-cased; "" when it has none.
std::string endingOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    if (dot == (slash == std::string::npos ? 0 : slash + 1)) return ""; // a hidden file's name
    return lower(path.substr(dot + 1));
}

} // namespace

const AudioFormat* audioFormatNamed(const std::string& name) {
    std::string n = lower(name);
    for (const auto& [other, format] : kOtherAudioEndings)
        if (n == other) n = format;
    for (const AudioFormat& f : kAudioFormats)
        if (n == f.name) return &f;
    return nullptr;
}

const AudioFormat* audioFormatOf(const std::string& path) {
    const std::string ending = endingOf(path);
    return ending.empty() ? nullptr : audioFormatNamed(ending);
}

std::vector<std::string> audioFormatNames() {
    std::vector<std::string> names;
    for (const AudioFormat& f : kAudioFormats)
        names.push_back(f.name);
    return names;
}

std::string audioFormatList(bool streaming, bool dots) {
    std::vector<std::string> names;
    for (const AudioFormat& f : kAudioFormats)
        if (!streaming || f.streams) names.push_back((dots ? "." : "") + std::string(f.name));
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i)
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return list;
}

std::string kindOfEnding(const std::string& path) {
    if (const AudioFormat* f = audioFormatOf(path)) return f->title;
    const std::string ending = endingOf(path);
    for (const auto& [known, kind] : kOtherEndings)
        if (ending == known) return kind;
    return "";
}

std::string endingMismatch(const std::string& path, const std::string& kind, const std::string& ending) {
    const std::string named = kindOfEnding(path);
    if (named.empty() || named == kind) return "";
    const std::string own = endingOf(path);
    const std::string base = path.substr(0, path.size() - own.size());
    return "'" + path + "' ends in ." + path.substr(path.size() - own.size()) + ", which names " + named +
           ", but it would be written as " + kind + ": name it " + base + ending;
}
