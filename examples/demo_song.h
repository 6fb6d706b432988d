// The demo song, built from its source in code.
#pragma once

#include "rom/rom_builder.h"

RomBuilder demoSong();
