// A song cell as nibtool shows it, in tracker form: sample, note, effect and parameter.
#pragma once

#include <cstdint>
#include <string>

struct CellView {
    std::uint8_t sample, effect, tone, param;
};

// A cell from its three stored bytes: sample and effect, tone, parameter.
CellView cellFromBytes(const std::uint8_t* bytes);

// "1 C-3 4 01": sample, note, effect and parameter in hex; dots where the cell has none. Ten characters.
std::string cellText(const CellView& c);
