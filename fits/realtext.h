#pragma once

#include <optional>
#include <string>

// "%18.12E" with the exponent written as a sign and three digits, the form every real
// header value takes: 1.5 gives "1.500000000000E+000". NaN and infinities have no FITS
// form and give an empty text, which a value card writes as an undefined value.
std::string formatReal(double value);

// A real as a header card states it: formatReal's text, and the real those digits denote, the value
// rounded as the card rounds it (none for a NaN or an infinity, whose card has no value).
struct CardReal {
    std::string text;
    std::optional<double> value;
};
CardReal cardReal(double value);

// A string as the value text of a value card: between quotes (the text holds none).
std::string quotedValue(const std::string& text);
