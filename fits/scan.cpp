#include "fits/scan.h"

#include <cctype>
#include <cstdlib>
#include <limits>

namespace {

bool onlySpace(const std::string& text)
{
    for (unsigned char c : text)
        if (!std::isspace(c))
            return false;
    return true;
}

} // namespace

ScanResult scanInteger(const std::string& text, int32_t& value)
{
    if (onlySpace(text))
        return ScanResult::empty;
    // Written out rather than left to strtol, whose prefixes vary between C libraries.
    std::size_t i = 0;
    while (std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+')
        ++i;
    int base = 10;
    if (text[i] == '0') {
        base = 8;
        if ((text[i + 1] == 'x' || text[i + 1] == 'X') && std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            base = 16;
            i += 2;
        }
    }
    int64_t number = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
        if (digit >= base)
            break;
        number = number * base + digit;
        if (number > int64_t{1} << 32)
            return ScanResult::notNumber;
    }
    if (digits == 0)
        return ScanResult::notNumber;
    number = negative ? -number : number;
    if (number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<int32_t>::max())
        return ScanResult::notNumber;
    value = static_cast<int32_t>(number);
    return ScanResult::number;
}

bool scanDecimal(const std::string& text, int64_t& value)
{
    char* end = nullptr;
    const long long number = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str())
        return false;
    value = number;
    return true;
}

bool scanReal(const std::string& text, double& value)
{
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return false;
    value = number;
    return true;
}

bool scanWord(const std::string& text, std::string& word)
{
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    std::size_t end = start;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
        ++end;
    if (end == start)
        return false;
    word = text.substr(start, end - start);
    return true;
}
