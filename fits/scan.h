#pragma once

#include <cstdint>
#include <string>

// Reading numbers the way the scanf conversions of the formats do, without the
// undefined results scanf gives for numbers out of range.

enum class ScanResult { number, notNumber, empty };

// "%i": leading white space, a sign, then decimal, octal (leading 0) or hexadecimal
// (leading 0x) digits. `empty` when the text holds only white space; `notNumber`
// when it does not begin with a number or the number does not fit 32 bits.
ScanResult scanInteger(const std::string& text, int32_t& value);

// "%d": leading white space, a sign and decimal digits; the value is clamped to
// the 64-bit range. False when no digit follows.
bool scanDecimal(const std::string& text, int64_t& value);

// "%le": a decimal or hexadecimal floating-point number after leading white space.
bool scanReal(const std::string& text, double& value);

// "%s": the first word of the text, or false when there is none.
bool scanWord(const std::string& text, std::string& word);
