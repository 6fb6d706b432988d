// The C header a game's code includes to start what a bank holds: a constant per song (its number for
// playSong) and per effect (its sample entry and the tone that plays it at its recorded pitch, for
// playSample), and the output rate the bank was made for. It compiles as C (C99 on) and as C++.
#pragma once

#include <string>
#include <vector>

#include "bank.h"

// Names as identifiers: ASCII letters and digits upper-cased, every other run of characters one '_', none
// at either end, at most 40 characters; an empty name becomes `fallback`. A name already taken gets _2,
// _3... The result is unique within `taken`, to which it is added.
std::string identifierFor(const std::string& name, const std::string& fallback,
                          std::vector<std::string>& taken);

// The header's text. `prefix` (from the header's file name, as an identifier) starts every constant.
std::string bankHeader(const BankResult& bank, const std::string& romName, const std::string& prefix);

// The prefix for a header file's path: its base name without the ending, as an identifier ("BANK" when
// nothing is left).
std::string headerPrefix(const std::string& path);
