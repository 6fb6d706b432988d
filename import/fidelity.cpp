#include "fidelity.h"

#include "load.h"

namespace {

bool renderLoaded(const LoadedModule& module, int rate, std::vector<float>& out, std::string& error) {
    const int playRate = moduleRenderRate(rate);
    const xmp_context ctx = module.context();
    if (!startPlayer(module, playRate)) {
        error = "libxmp cannot play the module at " + std::to_string(playRate) + " Hz";
        return false;
    }
    struct PlayerEnd {
        xmp_context ctx;
        ~PlayerEnd() { xmp_end_player(ctx); }
    } const playerEnd{ctx};
    out.clear();
    xmp_frame_info info{};
    while (xmp_play_frame(ctx) == 0) {
        xmp_get_frame_info(ctx, &info);
        if (info.loop_count > 0 || !appendModuleRender(info, playRate, out, measuredSeconds(rate))) break;
    }
    return finishModuleRender(out, playRate, rate, error);
}

} // namespace

bool renderModule(const std::vector<std::uint8_t>& file, int rate, std::vector<float>& out,
                  std::string& error) {
    LoadedModule module;
    return loadModule(file, module, error) && renderLoaded(module, rate, out, error);
}

bool measureFidelity(const std::vector<std::uint8_t>& module, const std::vector<std::uint8_t>& rom, int rate,
                     Fidelity& out, std::string& error) {
    LoadedModule loaded;
    std::vector<float> moduleRender;
    if (!loadModule(module, loaded, error) || !renderLoaded(loaded, rate, moduleRender, error)) return false;
    out = compareRenders(moduleRender, renderRom(rom, rate), rate);
    out.channels = loaded.module().chn;
    return true;
}
