#include "fits/realtext.h"

#include <charconv>
#include <cmath>

std::string formatReal(double value)
{
    return cardReal(value).text;
}

CardReal cardReal(double value)
{
    if (!std::isfinite(value))
        return {};
    // The digits of "%.12E", exactly as printf gives them, without its cost per call; the value
    // is read from the same digits.
    char text[64];
    const std::to_chars_result result
        = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 12);
    double rounded = 0.0;
    std::from_chars(text, result.ptr, rounded, std::chars_format::scientific);
    std::string real(text, result.ptr);
    const std::size_t e = real.find('e');
    real[e] = 'E';
    // The shortest exponent has two digits; the header format wants three.
    const std::size_t digits = real.size() - (e + 2);
    if (digits < 3)
        real.insert(e + 2, 3 - digits, '0');
    // "%18": a real text has at least 19 characters, so the width never pads.
    return {real, rounded};
}

std::string quotedValue(const std::string& text)
{
    // Built by appending: the concatenation of a literal and a string trips a false warning of
    // some compilers.
    std::string value(1, '\'');
    return value.append(text).append(1, '\'');
}
