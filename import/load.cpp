#include "load.h"

#include "truncation.h"
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

bool hasSampledSound(const xmp_module& m) {
    for (int i = 0; i < m.smp; ++i)
        if (m.xxs[i].len > 0 && (m.xxs[i].flg & XMP_SAMPLE_SYNTH) == 0) return true;
    return false;
}

} // namespace

bool startPlayer(const LoadedModule& module, int rate) {
    const xmp_context ctx = module.context();
    if (xmp_start_player(ctx, rate, XMP_FORMAT_MONO) != 0) return false;
    xmp_set_player(ctx, XMP_PLAYER_INTERP, XMP_INTERP_SPLINE);
    const xmp_module& m = module.module();
    if (std::strstr(m.type, "Noisetracker") != nullptr)
        xmp_set_player(ctx, XMP_PLAYER_MODE, XMP_MODE_PROTRACKER);
    applyTimingFix(ctx, module.timing);
    xmp_restart_module(ctx); // play from the start with the end libxmp found last
    return true;
}

bool loadModule(const std::vector<std::uint8_t>& file, LoadedModule& out, std::string& error) {
    if (file.empty()) {
        error = "the file is empty";
        return false;
    }
    int code = xmp_load_module_from_memory(out.ctx_, file.data(), static_cast<long>(file.size()));
    const bool repaired = code != 0;
    if (code != 0) {
        std::vector<std::uint8_t> repaired;
        std::vector<std::string> repairs;
        if (!repairMod(file, repaired, repairs)) {
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
        out.repairs = truncationReport(file); // libxmp plays a cut S3M, XM or IT file without a word
    }
    out.loaded_ = true;
    xmp_get_module_info(out.ctx_, &out.info_);
    if (!hasSampledSound(*out.info_.mod)) {
        error = "the module has no sampled instrument to import";
        return false;
    }
    out.timing = findTimingFix(out.ctx_, *out.info_.mod, file, repaired);
    return true;
}
