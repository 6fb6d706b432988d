// The constants a game's code uses to start what a bank holds: per song its number for playSong, whether
// it ends and how many songTick calls it lasts; per effect its sample entry, the tone that plays it at its
// recorded pitch and the stream to start it on, for playSample; the output rate the bank was made for.
// The same constants go out as a C header (it compiles as C99 and later and as C++) and as an assembler
// include (NAME equ VALUE).
#pragma once

#include <string>
#include <vector>

#include "bank.h"

// Names as identifiers: ASCII letters and digits upper-cased, every other run of characters one '_', none
// at either end, at most 40 characters; an empty name becomes `fallback`. A name already taken gets _2,
// _3... The result is unique within `taken`, to which it is added.
std::string identifierFor(const std::string& name, const std::string& fallback,
                          std::vector<std::string>& taken);

// One constant, with what it is for.
struct BankConstant {
    std::string name; // PREFIX_...
    long value = 0;
    std::string comment; // may be empty
};
// The constants, in groups: the bank's, the songs' numbers, the songs' endings and lengths, the effects'.
struct BankConstants {
    std::string title; // what the group is, for a comment
    std::vector<BankConstant> constants;
};

// Every constant of a bank. `prefix` (from the output's file name, as an identifier) starts each name;
// every name is unique.
std::vector<BankConstants> bankConstants(const BankResult& bank, const std::string& prefix);

// The C header's text.
std::string bankHeader(const BankResult& bank, const std::string& romName, const std::string& prefix);

// The assembler include's text: a comment line per group, then `NAME equ VALUE` per constant.
std::string bankAsm(const BankResult& bank, const std::string& romName, const std::string& prefix);

// The prefix for a header's (or an include's) path: its base name without the ending, as an identifier
// ("BANK" when nothing is left).
std::string headerPrefix(const std::string& path);
