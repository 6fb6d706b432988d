#include "tracker.h"

#include <algorithm>
#include <cstring>

#include "mod_layout.h"

namespace {

bool tagIs(const std::vector<std::uint8_t>& f, const char* tag) {
    return f.size() >= kModTagAt + kModTagBytes && std::memcmp(f.data() + kModTagAt, tag, kModTagBytes) == 0;
}

bool startrekker(const std::vector<std::uint8_t>& f) {
    return f.size() >= kModTagAt + kModTagBytes && (std::memcmp(f.data() + kModTagAt, "FLT", 3) == 0 ||
                                                    std::memcmp(f.data() + kModTagAt, "EXO", 3) == 0);
}

bool startsWith(const std::vector<std::uint8_t>& f, const char* magic) {
    const std::size_t n = std::strlen(magic);
    return f.size() >= n && std::memcmp(f.data(), magic, n) == 0;
}

bool named(const char* type, const char* part) {
    return std::strstr(type, part) != nullptr;
}

// libxmp's names for the 15-sample formats, whose restart byte it reads as BPM (Ultimate Soundtracker's)
// or not at all.
bool fifteenSampleFormat(const char* type) {
    static const char* const kTypes[] = {"Ultimate Soundtracker", "Soundtracker IX", "D.O.C Soundtracker",
                                         "unknown tracker 15 instrument"};
    return std::any_of(std::begin(kTypes), std::end(kTypes), [&](const char* t) { return named(type, t); });
}

} // namespace

bool amigaFormat(const std::string& type) {
    static const char* const kAmiga[] = {"M.K.",         "M!K!",       "M&K!",        "N.T.",
                                         "FLT4",         "EXO4",       "FEST",        "Soundtracker",
                                         "Noisetracker", "Protracker", "Startrekker", "15 instrument"};
    return std::any_of(std::begin(kAmiga), std::end(kAmiga),
                       [&](const char* t) { return type.find(t) != std::string::npos; });
}

TrackerRules trackerRules(const xmp_module& module, const std::vector<std::uint8_t>& original, bool repaired,
                          bool fifteenSamples) {
    // What the file is: an XM and an IT by their own first bytes, an S3M and the Amiga's MOD types by the
    // format libxmp names (a repaired MOD's tags are the copy's, not the file's). libxmp names an XM after
    // its tracker field, which may say anything ("Protracker", "S3M"), so an XM or an IT is never taken
    // for another format by its name.
    const bool xm = startsWith(original, "Extended Module: ");
    const bool it = startsWith(original, "IMPM");
    const bool byName = !xm && !it;
    const bool s3m = byName && named(module.type, "S3M");
    const bool amiga = byName && amigaFormat(module.type);
    const bool protracker = amiga && module.chn == 4;
    // libxmp plays FastTracker 2's own quirks in XMs whose tracker field names FastTracker 2 or OpenMPT.
    const bool libxmpFastTracker = std::strncmp(module.type, "FastTracker v2.00", 17) == 0 ||
                                   std::strncmp(module.type, "OpenMPT ", 8) == 0;

    TrackerRules r;
    r.name = xm           ? "FastTracker 2"
             : it         ? "Impulse Tracker"
             : protracker ? "ProTracker"
             : s3m        ? "Scream Tracker 3"
                          : "";
    r.amigaSpeeds = amiga;
    r.protrackerCommands = byName && named(module.type, "Noisetracker");
    r.soundtrackerTempo = repaired ? fifteenSamples : byName && fifteenSampleFormat(module.type);
    // The bytes at a MOD's tag mean something only in a MOD read as one.
    const bool tags = !repaired && amiga;
    r.alwaysVblank = tags && startrekker(original);
    r.mayBeVblank = tags && tagIs(original, "M.K.");
    r.breaksToLineZero =
        tags && (tagIs(original, "N.T.") || tagIs(original, "M&K!") || tagIs(original, "FEST"));
    r.mayBreakToLineZero = tags && tagIs(original, "M.K.");
    r.jumpTakesBreakLine = it || s3m;
    r.loopBeforeBreak = protracker || it || s3m;
    r.breaksOutOfLoops = xm;
    r.jumpsOutOfLoops = it;
    r.sharedLoopCounter = r.sharedLoopStart = s3m;
    r.carriedLoopStarts = xm;
    r.nextPatternOnLoopLine = xm && !libxmpFastTracker;
    return r;
}
