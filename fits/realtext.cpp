#include "fits/realtext.h"

#include <cmath>
#include <cstdio>

std::string formatReal(double value)
{
    if (!std::isfinite(value))
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%18.12E", value);
    std::string result = text;
    // The C library writes at least two exponent digits; the header format wants three.
    const auto e = result.find('E');
    if (e != std::string::npos && e + 1 < result.size()) {
        const std::size_t digits = result.size() - (e + 2);
        if (digits < 3)
            result.insert(e + 2, 3 - digits, '0');
    }
    return result;
}

std::string quotedValue(const std::string& text)
{
    // Built by appending: the concatenation of a literal and a string trips a false warning of
    // some compilers.
    std::string value(1, '\'');
    return value.append(text).append(1, '\'');
}
