#include "load.h"

#include "mod_layout.h"
#include "truncation.h"

#include <algorithm>
#include <cstring>

LoadedModule::LoadedModule() : ctx_(xmp_create_context()) {}

LoadedModule::~LoadedModule() {
    if (loaded_) xmp_release_module(ctx_);
    xmp_free_context(ctx_);
}

namespace {

const char* loadError(int code) {
    switch (-code) {
    case XMP_ERROR_FORMAT: return "not a module format libxmp knows";
    case XMP_ERROR_LOAD: return "the module is damaged or cut short";
    case XMP_ERROR_SYSTEM: return "out of memory while loading";
    default: return "libxmp could not load it";
    }
}

// libxmp's "Images Music System" probe reads a MOD's whole header (title, 31 sample headers, order list
// and tag, up to its patterns) whatever the file's size, its order list and tag past a shorter file's end
// from memory it never set.
bool misread(const char* format, std::size_t size) {
    return size < kModPatternsAt && std::strcmp(format, "Images Music System") == 0;
}

std::string cutModFormat(const std::string& tag) {
    return "MOD '" + tag + "', cut short";
}

bool hasSampledSound(const xmp_module& m) {
    for (int i = 0; i < m.smp; ++i)
        if (m.xxs[i].len > 0 && (m.xxs[i].flg & XMP_SAMPLE_SYNTH) == 0) return true;
    return false;
}

// libxmp takes a four-channel MOD whose restart byte is below 0x7F (and not 0x78) for a NoiseTracker song
// and drops every command NoiseTracker lacks: 7-9 (tremolo, panning, sample offset) and all extended
// ones (pattern loops and delays, note cuts and delays, fine slides). Module players take it for the
// ProTracker song it is when it uses them. Returns the copy libxmp reads as such: its restart byte 0x78,
// which libxmp checks against the commands the song uses (the restart position is set again after).
bool protrackerCopy(const xmp_module& m, const TrackerRules& rules, const std::vector<std::uint8_t>& file,
                    std::vector<std::uint8_t>& copy) {
    const std::size_t restartAt = modRestartAt(kModSamples);
    constexpr std::uint8_t kProbablyNoiseTracker = 0x78;
    if (!rules.protrackerCommands || m.chn != 4 || file.size() < kModPatternsAt ||
        std::memcmp(file.data() + kModTagAt, "M.K.", kModTagBytes) != 0 ||
        file[restartAt] == kProbablyNoiseTracker)
        return false;
    const std::size_t stored = std::min<std::size_t>(std::size_t(std::max(m.pat, 0)),
                                                     (file.size() - kModPatternsAt) / kModPatternBytes);
    bool protracker = false;
    for (std::size_t cell = 0; cell < stored * kModRows * kModChannels && !protracker; ++cell) {
        const std::uint8_t* c = file.data() + kModPatternsAt + cell * kModCellBytes;
        const unsigned effect = c[kModCellEffect] & 0x0Fu;
        protracker = (effect >= 7 && effect <= 9) || (effect == 0xE && c[kModCellParam] > 1);
    }
    if (!protracker) return false;
    copy = file;
    copy[restartAt] = kProbablyNoiseTracker;
    return true;
}

} // namespace

bool startPlayer(const LoadedModule& module, int rate) {
    const xmp_context ctx = module.context();
    if (xmp_start_player(ctx, rate, XMP_FORMAT_MONO) != 0) return false;
    // The module's render is only ever read as chroma and onset envelopes, which libxmp's interpolation
    // does not move (songs score alike to two decimals, and import to the same bytes, with nearest, linear
    // or spline mixing): the cheapest one, as mixing 64 channels is most of a large import's time.
    xmp_set_player(ctx, XMP_PLAYER_INTERP, XMP_INTERP_NEAREST);
    if (module.tracker.protrackerCommands) xmp_set_player(ctx, XMP_PLAYER_MODE, XMP_MODE_PROTRACKER);
    applyTimingFix(ctx, module.timing);
    xmp_restart_module(ctx); // play from the start with the end libxmp found last
    return true;
}

std::string moduleFormat(const std::vector<std::uint8_t>& file) {
    if (std::string tag; modCutInsidePatterns(file, tag)) return cutModFormat(tag);
    xmp_test_info test{};
    if (file.empty() || xmp_test_module_from_memory(file.data(), static_cast<long>(file.size()), &test) != 0)
        return "";
    return misread(test.type, file.size()) ? "" : test.type;
}

bool loadModule(const std::vector<std::uint8_t>& file, LoadedModule& out, std::string& error) {
    if (file.empty()) {
        error = "the file is empty";
        return false;
    }
    // A MOD cut inside its patterns goes to the repair: libxmp's MOD reader turns it away, and what else
    // of libxmp takes it reads it as another format.
    std::string cutTag;
    const bool cutMod = modCutInsidePatterns(file, cutTag);
    int code = cutMod ? -XMP_ERROR_FORMAT
                      : xmp_load_module_from_memory(out.ctx_, file.data(), static_cast<long>(file.size()));
    if (code == 0) {
        xmp_module_info info{};
        xmp_get_module_info(out.ctx_, &info);
        if (misread(info.mod->type, file.size())) {
            xmp_release_module(out.ctx_);
            code = -XMP_ERROR_FORMAT;
        }
    }
    const bool repaired = code != 0;
    bool fifteenSamples = false;
    if (code != 0) {
        std::vector<std::uint8_t> repaired;
        std::vector<Loss> repairs;
        if (!repairMod(file, repaired, repairs, &fifteenSamples)) {
            error = loadError(code);
            return false;
        }
        code = xmp_load_module_from_memory(out.ctx_, repaired.data(), static_cast<long>(repaired.size()));
        if (code != 0) {
            error = std::string(loadError(code)) + ", even after repair";
            return false;
        }
        out.repairs = std::move(repairs);
    } else {
        for (std::string& line : truncationReport(file)) // libxmp plays a cut file without a word
            out.repairs.push_back(Loss::told(LossKind::FileCut, std::move(line)));
    }
    out.loaded_ = true;
    xmp_get_module_info(out.ctx_, &out.info_);
    int restart = 0; // a restart position set again after libxmp's scan: found again with it
    out.tracker = trackerRules(*out.info_.mod, file, repaired, fifteenSamples);
    if (std::vector<std::uint8_t> copy;
        !repaired && protrackerCopy(*out.info_.mod, out.tracker, file, copy)) {
        restart = out.info_.mod->rst;
        xmp_release_module(out.ctx_);
        out.loaded_ = false;
        if (xmp_load_module_from_memory(out.ctx_, copy.data(), static_cast<long>(copy.size())) != 0) {
            error = "libxmp could not load it";
            return false;
        }
        out.loaded_ = true;
        xmp_get_module_info(out.ctx_, &out.info_);
        out.info_.mod->rst = restart;
        out.tracker = trackerRules(*out.info_.mod, file, repaired, fifteenSamples);
        out.repairs.push_back(
            Loss::told(LossKind::Repair,
                       "a ProTracker song (it uses commands 7-9 or extended ones) that libxmp took for a "
                       "NoiseTracker one, dropping those commands: read as the ProTracker song it is"));
    }
    if (!hasSampledSound(*out.info_.mod)) {
        const auto cut = std::find_if(out.repairs.begin(), out.repairs.end(),
                                      [](const Loss& l) { return l.kind == LossKind::FileCut; });
        error = cutMod && cut != out.repairs.end()
                    ? "the file ends before its samples: " + cut->text.substr(cut->text.find(':') + 2)
                    : "the module has no sampled instrument to import";
        return false;
    }
    out.timing = findTimingFix(out.ctx_, *out.info_.mod, file, out.tracker, repaired);
    out.timing.mendedLines |= restart != 0;
    return true;
}
