#include "fits/cardsyntax.h"

#include "fits/header.h"

#include <algorithm>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isExponentLetter(char c)
{
    return c == 'E' || c == 'D' || c == 'e' || c == 'd';
}

// An integer is [+-]digits; a real has a decimal point or an exponent, [+-]digits.digits E[+-]digits
// with one of the digit runs before E perhaps left out, and D for E. None: no number at all.
ValueKind numberKind(std::string_view text)
{
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        ++digits;
    bool real = false;
    if (i < text.size() && text[i] == '.') {
        real = true;
        for (++i; i < text.size() && isDigit(text[i]); ++i)
            ++digits;
    }
    if (digits == 0)
        return ValueKind::none;
    if (i < text.size() && isExponentLetter(text[i])) {
        real = true;
        if (++i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        std::size_t exponent = 0;
        for (; i < text.size() && isDigit(text[i]); ++i)
            ++exponent;
        if (exponent == 0)
            return ValueKind::none;
    }
    if (i != text.size())
        return ValueKind::none;
    return real ? ValueKind::real : ValueKind::integer;
}

std::string_view trimmed(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos)
        return {};
    return text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

// "(re, im)": two numbers between the parentheses, a comma between them.
bool isComplex(std::string_view text)
{
    const std::size_t comma = text.find(',');
    if (text.size() < 2 || text.front() != '(' || text.back() != ')' || comma == std::string_view::npos)
        return false;
    return numberKind(trimmed(text.substr(1, comma - 1))) != ValueKind::none
        && numberKind(trimmed(text.substr(comma + 1, text.size() - comma - 2))) != ValueKind::none;
}

} // namespace

ValueField valueField(const char* card)
{
    ValueField field;
    const std::string_view text(card, cardLength);
    const std::string_view key = cardKey(card);
    // Commentary keywords have no value, whatever their columns 9 and 10 hold.
    if (text.substr(8, 2) != "= " || key == "COMMENT" || key == "HISTORY" || key == " ")
        return field;
    const std::size_t start = text.find_first_not_of(' ', 10);
    if (start == std::string_view::npos || text[start] == '/') {
        field.kind = ValueKind::undefined;
        return field;
    }
    std::size_t end = start + 1;
    if (text[start] == '\'') {
        for (; end < cardLength; ++end) {
            if (text[end] != '\'')
                continue;
            // A doubled quote stands for one inside the string.
            if (end + 1 == cardLength || text[end + 1] != '\'')
                break;
            ++end;
        }
        if (end == cardLength) {
            field.defect = "its string has no closing quote";
            return field;
        }
        field.kind = ValueKind::string;
        ++end;
    } else if (text[start] == '(') {
        end = text.find(')', start);
        end = end == std::string_view::npos ? cardLength : end + 1;
        field.kind = ValueKind::complex;
        if (!isComplex(text.substr(start, end - start))) {
            field.defect = std::string(trimmed(text.substr(start, end - start))) + " is no complex value";
            return field;
        }
    } else {
        end = std::min<std::size_t>(text.find_first_of(" /", start), cardLength);
        const std::string_view token = text.substr(start, end - start);
        field.kind = token == "T" || token == "F" ? ValueKind::logical : numberKind(token);
        if (field.kind == ValueKind::none) {
            field.defect = std::string(token) + " is no FITS value";
            return field;
        }
    }
    field.text = text.substr(start, end - start);
    const std::size_t rest = text.find_first_not_of(' ', end);
    if (rest != std::string_view::npos && text[rest] != '/')
        field.defect = "its value " + std::string(field.text) + " is followed by \""
            + std::string(trimmed(text.substr(rest))) + "\" without a '/' before it";
    return field;
}

std::optional<std::string> keywordDefect(const char* card)
{
    const std::string_view key(card, 8);
    const std::size_t blank = std::min(key.find(' '), key.size());
    const std::string shown = "keyword \"" + std::string(trimmed(key)) + "\"";
    for (const char c : key.substr(0, blank))
        if (!((c >= 'A' && c <= 'Z') || isDigit(c) || c == '-' || c == '_'))
            return shown + " holds '" + c + "': keywords hold upper-case letters, digits, '-' and '_'";
    if (key.find_first_not_of(' ', blank) != std::string_view::npos)
        return shown + " has a blank inside";
    return std::nullopt;
}

int mendCard(char* card)
{
    int mended = 0;
    for (int i = 0; i < cardLength; ++i) {
        const auto c = static_cast<unsigned char>(card[i]);
        if (c < ' ' || c > '~') {
            card[i] = ' ';
            ++mended;
        }
    }
    const ValueField field = valueField(card);
    if (field.defect.empty() && (field.kind == ValueKind::real || field.kind == ValueKind::complex)) {
        char* value = card + (field.text.data() - card);
        for (std::size_t i = 0; i < field.text.size(); ++i)
            if (value[i] == 'e' || value[i] == 'd')
                value[i] = static_cast<char>(value[i] - 'a' + 'A');
    }
    return mended;
}
