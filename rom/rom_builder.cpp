#include "rom_builder.h"

#include <fstream>
#include <stdexcept>
#include <string>

bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::uint8_t& RomBuilder::byte(std::uint32_t address) {
    if (address < kBase || address - kBase >= kSize)
        throw std::out_of_range("ROM address " + std::to_string(address) + " is outside 0x8000-0xFFFF");
    return rom_[address - kBase];
}

std::uint8_t RomBuilder::at(std::uint32_t address) const {
    return address < kBase || address - kBase >= kSize ? 0 : rom_[address - kBase];
}

RomBuilder& RomBuilder::poke(std::uint32_t address, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes)
        byte(address++) = b;
    return *this;
}

RomBuilder& RomBuilder::poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t b : bytes)
        byte(address++) = b;
    return *this;
}

RomBuilder& RomBuilder::fill(std::uint32_t address, std::size_t count, std::uint8_t value) {
    for (std::size_t i = 0; i < count; ++i)
        byte(address++) = value;
    return *this;
}

RomBuilder& RomBuilder::word(std::uint32_t address, std::uint16_t value) {
    return poke(address, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

RomBuilder& RomBuilder::sample(std::size_t i, std::uint16_t start, std::uint16_t end, std::uint8_t nibble,
                               std::uint16_t loopStart) {
    if (i >= kSampleEntries)
        throw std::out_of_range("sample entry " + std::to_string(i) + " is outside 0-14");
    const auto entry = static_cast<std::uint32_t>(sampleEntry(i));
    word(entry + kEntryStart, start).word(entry + kEntryEnd, end).poke(entry + kEntryNibble, {nibble});
    return word(entry + kEntryLoopStart, loopStart);
}

RomBuilder& RomBuilder::song(std::size_t n, std::uint16_t address) {
    if (n >= kSongs) throw std::out_of_range("song " + std::to_string(n) + " is outside 0-3");
    return word(static_cast<std::uint32_t>(songEntry(n)), address);
}

RomBuilder& RomBuilder::orders(std::uint16_t song, std::initializer_list<std::uint8_t> patterns) {
    return orders(song, std::vector<std::uint8_t>(patterns));
}

RomBuilder& RomBuilder::orders(std::uint16_t song, const std::vector<std::uint8_t>& patterns) {
    if (patterns.size() > kOrderListBytes) throw std::out_of_range("an order list holds at most 64 entries");
    return poke(song, patterns);
}

std::uint32_t RomBuilder::cellAddress(std::uint16_t song, std::size_t pattern, std::size_t line,
                                      std::size_t channel) {
    return static_cast<std::uint32_t>(song + songOffset(pattern, line, channel));
}

RomBuilder& RomBuilder::cell(std::uint16_t song, std::size_t pattern, std::size_t line, std::size_t channel,
                             Cell c) {
    if (line >= kLinesPerPattern || channel >= kChannels)
        throw std::out_of_range("a cell is on line 0-63 of channel 0-3");
    const std::uint8_t head = cellHead(c.sample, c.effect);
    return poke(cellAddress(song, pattern, line, channel), {head, c.tone, c.param});
}

std::vector<std::uint8_t> RomBuilder::build(std::size_t length) const {
    return {rom_.begin(), rom_.begin() + static_cast<std::ptrdiff_t>(length < kSize ? length : kSize)};
}
