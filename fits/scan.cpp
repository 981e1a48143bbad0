#include "scan.h"

#include <cctype>
#include <cerrno>
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
    errno = 0;
    char* end = nullptr;
    const long long number = std::strtoll(text.c_str(), &end, 0);
    if (end == text.c_str() || errno == ERANGE || number < std::numeric_limits<int32_t>::min()
        || number > std::numeric_limits<int32_t>::max())
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
