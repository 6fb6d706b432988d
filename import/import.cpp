// The import pipeline: each stage's output is the next one's input.
#include "import.h"

#include <exception>

#include "nibtool/module.h"

bool importModule(const std::vector<std::uint8_t>& file, const ImportOptions& options, ImportResult& result,
                  std::string& error) {
    // Placeholder until the libxmp pipeline lands: the four-channel MOD converter.
    Module mod;
    if (!parseModule(file, mod, error)) return false;
    try {
        result.rom = convertModule(mod, options.rate, result.report).build();
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    result.title = mod.title;
    result.format = "mod";
    return true;
}
