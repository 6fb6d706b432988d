#include "cells.h"

#include <cstdio>

#include "engine/format.h"
#include "notes.h"

CellView cellFromBytes(const std::uint8_t* bytes) {
    return {cellSample(bytes[kCellHead]), cellEffect(bytes[kCellHead]), bytes[kCellTone], bytes[kCellParam]};
}

std::string cellText(const CellView& c) {
    char text[32];
    const bool toneMatters = c.sample != 0 || (c.effect == 0 && c.param != 0);
    const std::string note = toneMatters ? noteName(c.tone) : "...";
    char sample[4] = " .";
    if (c.sample != 0) std::snprintf(sample, sizeof sample, "%2d", c.sample); // decimal, as every report
    if (c.effect == 0 && c.param == 0)
        std::snprintf(text, sizeof text, "%s %s . ..", sample, note.c_str());
    else
        std::snprintf(text, sizeof text, "%s %s %X %02X", sample, note.c_str(), c.effect, c.param);
    return text;
}
