#include "fits/messages.h"

#include "fits/fitstexts.h"

#include <algorithm>
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

std::string formatted(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::string text = vformatted(format, arguments);
    va_end(arguments);
    return text;
}

TextValues Messages::valuesOf(std::string first, std::string other, std::string third,
                              std::initializer_list<int64_t> numbers)
{
    TextValues values;
    values.name = std::move(first);
    values.other = std::move(other);
    values.third = std::move(third);
    std::copy_n(numbers.begin(), std::min<std::size_t>(numbers.size(), std::size(values.numbers)), values.numbers);
    return values;
}

void Messages::append(const Messages& other)
{
    lines_.insert(lines_.end(), other.lines_.begin(), other.lines_.end());
}

void Messages::reason(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    Line line;
    line.kind = Kind::reason;
    line.text = vformatted(format, arguments);
    va_end(arguments);
    lines_.push_back(std::move(line));
}

void Messages::warn(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    Line line;
    line.kind = Kind::warning;
    line.text = "warning - " + vformatted(format, arguments);
    va_end(arguments);
    lines_.push_back(std::move(line));
}

void Messages::fileError(const std::string& name, int error)
{
    TextValues values;
    values.name = name;
    values.numbers[0] = error;
    reason(FitsText::systemError, values, sentence(FitsText::systemError, values));
}

std::string Messages::lastReason() const
{
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line)
        if (line->kind == Kind::reason)
            return line->text;
    return "";
}
