#include "fits/messages.h"

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

void Messages::say(Text text, std::initializer_list<int64_t> numbers)
{
    say(text, std::string(), std::string(), numbers);
}

void Messages::say(Text text, std::string name, std::initializer_list<int64_t> numbers)
{
    say(text, std::move(name), std::string(), numbers);
}

void Messages::say(Text text, std::string name, std::string other, std::initializer_list<int64_t> numbers)
{
    Line line;
    line.text = text;
    line.value = std::move(name);
    line.other = std::move(other);
    std::copy_n(numbers.begin(), std::min<std::size_t>(numbers.size(), std::size(line.numbers)), line.numbers);
    lines_.push_back(std::move(line));
}

void Messages::say(Text text, std::string name, std::string other, std::string third)
{
    say(text, std::move(name), std::move(other), {});
    lines_.back().third = std::move(third);
}

void Messages::say(Text text, double real)
{
    Line line;
    line.text = text;
    line.real = real;
    lines_.push_back(std::move(line));
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
    line.forPeople = true;
    line.value = vformatted(format, arguments);
    va_end(arguments);
    lines_.push_back(std::move(line));
}

void Messages::fileError(const std::string& name, int error)
{
    reason("%s: %s", name.c_str(), std::strerror(error));
}

const Messages::Line* Messages::find(Text text) const
{
    for (const Line& line : lines_)
        if (!line.forPeople && line.text == text)
            return &line;
    return nullptr;
}

std::string Messages::lastReason() const
{
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line)
        if (line->forPeople)
            return line->value;
    return "";
}
