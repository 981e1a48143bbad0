#include "fits/messages.h"

#include <cstdio>
#include <cstring>

std::string vformatted(const char* format, std::va_list arguments)
{
    std::va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

void Messages::add(bool forPeople, const char* format, std::va_list arguments)
{
    lines_.push_back({forPeople, vformatted(format, arguments)});
}

void Messages::output(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    add(false, format, arguments);
    va_end(arguments);
}

void Messages::reason(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    add(true, format, arguments);
    va_end(arguments);
}

void Messages::fileError(const std::string& name, int error)
{
    reason("%s: %s", name.c_str(), std::strerror(error));
}
