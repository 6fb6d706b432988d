// Reading renders on threads of their own: the import reads the module's render and the ROMs' beside the
// work that keeps its own thread (the layouts, and the engine's renders, which use the one engine).
#pragma once

#include <future>
#include <memory>
#include <vector>

#include "measure.h"

// Reads a render on a thread of its own, which holds the render until it is read. Where no thread can be
// had, the reading is made when it is asked for.
std::future<std::unique_ptr<RenderReading>> readAside(std::vector<float> render, int rate);
