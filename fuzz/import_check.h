// Importing a module as `nibtool import` does, and checking what must hold whatever the module's bytes
// hold. The import fuzzer and the replay of its findings use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Sequencer calls a ROM is played for by default: about 33 s at 8000 Hz.
constexpr std::size_t kImportCheckCalls = 20000;

// Imports `size` bytes at the default rate. Returns "" when the outcome holds, else what failed:
//   - a refusal has a reason of one line;
//   - an import gives a ROM of exactly 32768 bytes and a report of single, non-empty lines;
//   - and the ROM passes checkRomReads.
std::string checkImport(const std::uint8_t* data, std::size_t size, std::size_t calls = kImportCheckCalls);

// Loads a 32768-byte ROM as nibplay does and plays a song (nibplay's is 0) for `calls` sequencer calls, as
// a game starts it with playSong. Returns "" when every read stays in the file's data (0x8000-0xFFFF), else
// the first that does not:
//   - the song and every sample table entry 1-14 in use lie in the file; a loop starts inside its sample;
//   - every order byte and row read lies in the file, at a line 0-63; an order position past 63, whose
//     pattern number is read from pattern 0, only in a song that never plays pattern 0;
//   - every byte a playing stream reads lies in the file.
std::string checkRomReads(const std::vector<std::uint8_t>& rom, std::size_t calls = kImportCheckCalls,
                          std::uint8_t song = 0);

// Builds a bank of two songs from one input: its first two bytes (big-endian) say where the first module
// ends in the rest, the second module is what follows. The outcome must be a refusal of one line, or a
// 32 KB ROM with a report of single lines in which every song passes checkRomReads.
std::string checkBank(const std::uint8_t* data, std::size_t size, std::size_t calls = kImportCheckCalls);
