// Building ROM images in code: sample table entries, songs, order lists and cells, each a line or two.
// Used by the tests, the benchmarks, the fuzzer's seed corpus and the demo song.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/format.h"

// One cell of a song line.
struct Cell {
    std::uint8_t sample = 0; // 0: no note, 1-15: a sample number
    std::uint8_t tone = 0;   // 0-60 for a note; the arpeggio's base tone
    std::uint8_t effect = 0; // 0-15: an Effect
    std::uint8_t param = 0;
};

// Writes a file's bytes; false if it cannot be written whole.
bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

class RomBuilder {
  public:
    static constexpr std::size_t kSize = kRomSize;
    static constexpr std::uint32_t kBase = kRomBase; // image address of the file's first byte

    // Bytes at an image address (0x8000-0xFFFF); anything else is a mistake and throws out_of_range.
    RomBuilder& poke(std::uint32_t address, std::initializer_list<std::uint8_t> bytes);
    RomBuilder& poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    RomBuilder& fill(std::uint32_t address, std::size_t count, std::uint8_t value);
    RomBuilder& word(std::uint32_t address, std::uint16_t value); // big-endian

    // Sample table entry i (0-14).
    RomBuilder& sample(std::size_t i, std::uint16_t start, std::uint16_t end, std::uint8_t nibble = 0,
                       std::uint16_t loopStart = 0);
    // Song table entry n (0-3).
    RomBuilder& song(std::size_t n, std::uint16_t address);

    // Song data at `song`: its order list (up to 64 entries) and cells.
    RomBuilder& orders(std::uint16_t song, std::initializer_list<std::uint8_t> patterns);
    RomBuilder& orders(std::uint16_t song, const std::vector<std::uint8_t>& patterns);
    RomBuilder& cell(std::uint16_t song, std::size_t pattern, std::size_t line, std::size_t channel, Cell c);

    // The image address of a cell, for songs laid out as the player reads them.
    static std::uint32_t cellAddress(std::uint16_t song, std::size_t pattern, std::size_t line,
                                     std::size_t channel);

    // The file: the first `length` bytes of the 32 KB image.
    std::vector<std::uint8_t> build(std::size_t length = kSize) const;

    std::uint8_t at(std::uint32_t address) const; // the byte at an image address, for checks

  private:
    std::uint8_t& byte(std::uint32_t address);
    std::vector<std::uint8_t> rom_ = std::vector<std::uint8_t>(kSize, 0);
};
