// Numbers from command lines and text files.
//
// Two kinds: the C conversions the programs' options have always had
// (ScanUnsigned, ScanSigned: leading blanks, a sign, a 0x prefix in base 16,
// digits up to the first other character), and whole-text numbers for
// everything new (ParseUnsigned: digits only, the whole text, a maximum).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The value strtoul would read from the front of text in base 16, 10 or 8:
// a value that overflows is the largest unsigned long, a minus sign negates
// modulo 2^64. nullopt when no digit can be read.
std::optional<unsigned long> ScanUnsigned(std::string_view text, int base);

// The value strtol would read: saturated at the long range on overflow.
std::optional<long> ScanSigned(std::string_view text, int base);

// The whole of text as a number in base 16 (an optional 0x prefix) or 10,
// at most max. nullopt for anything else: blanks, signs, other characters,
// an empty text, a larger value.
std::optional<unsigned long> ParseUnsigned(std::string_view text, int base, unsigned long max);

// An SPX socket number as the programs' -s takes it: one to four
// hexadecimal digits, optionally after 0x or before one h (as the programs
// print a socket: 4500h). nullopt for anything else.
std::optional<std::uint16_t> ParseSocket(std::string_view text);
