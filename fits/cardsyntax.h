#pragma once

#include <optional>
#include <string>
#include <string_view>

// Cards read from a file, as the FITS syntax has them. The card writers make only sound cards;
// these are for the headers of other files, which are copied into outputs.

enum class ValueKind { none, undefined, string, logical, integer, real, complex };

// The value field of an 80-character card, columns 11 to 80 behind "= ".
struct ValueField {
    ValueKind kind = ValueKind::none; // none: a commentary card, or one without "= "
    std::string_view text;            // the value as the card holds it, a string with its quotes
    std::string defect;               // why the field is no FITS value, for people; "" when it is one
};
ValueField valueField(const char* card);

// Why the first 8 characters of a card are no keyword (upper-case letters, digits, '-' and '_',
// blanks only behind them); none when they are one.
std::optional<std::string> keywordDefect(const char* card);

// Mends a card read from a file: each byte outside printable ASCII becomes a blank, and the number
// of them is returned; a real value's lower-case exponent (1.5e+000, as earlier versions wrote
// them) becomes upper-case.
int mendCard(char* card);
