#include "conversion/options.h"

#include <cctype>
#include <cstdint>

ScanResult readOptionNumber(const std::string& text, int32_t& value)
{
    const char* const space = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return ScanResult::empty;
    const std::string word = text.substr(first, text.find_last_not_of(space) - first + 1);
    std::size_t at = 0;
    const bool negative = word[at] == '-';
    if (word[at] == '-' || word[at] == '+')
        ++at;
    int base = 10;
    if (word.size() > at + 2 && word[at] == '0' && (word[at + 1] == 'x' || word[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    if (at == word.size())
        return ScanResult::notNumber;
    int64_t magnitude = 0;
    for (; at < word.size(); ++at) {
        const char c = word[at];
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
            : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
            ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
            : -1;
        if (digit < 0)
            return ScanResult::notNumber;
        magnitude = magnitude * base + digit;
        if (magnitude > int64_t{INT32_MAX} + 1)
            return ScanResult::notNumber;
    }
    if (!negative && magnitude > INT32_MAX)
        return ScanResult::notNumber;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return ScanResult::number;
}
