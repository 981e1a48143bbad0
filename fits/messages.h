#pragma once

#include "fits/result.h"

#include <cstdarg>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

// The text vprintf makes of `format` and its arguments.
std::string vformatted(const char* format, std::va_list arguments);
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The values a text is filled in with: up to three names, up to six numbers and a real number,
// each text taking those it names in its order.
struct TextValues {
    std::string name, other, third;
    int64_t numbers[6] = {};
    double real = 0.0;
};

// A text of the program's, by name. Each part (the FITS library, the camera file reader, the
// conversion, the program) declares its texts in an enum of its own, with their wording, which
// scripts know, and an error category: a failure whose text tells it has that text for its cause.
struct TextId {
    const std::error_category* part = nullptr;
    uint8_t code = 0;
    bool warning = false; // a text that warns ("Warning -- ..."): the work goes on

    bool operator==(const TextId& other) const { return part == other.part && code == other.code; }
};

// What an operation has to say, in the order it happened: the program's own texts, for standard
// output, and lines for people, for standard error: reasons and warnings, without the program's
// name. The libraries never print; the program prints these when the operation returns.
class Messages {
public:
    enum class Kind : uint8_t { text, reason, warning };
    struct Line {
        Kind kind = Kind::text;
        TextId id;         // the text's name; a line for people may have one too, for its wording
        std::string text;  // as printed: a text with its line end, a line for people without one
        TextValues values; // what a line with a name was filled in with

        bool forPeople() const { return kind != Kind::text; }
        // A warning, on either stream: the work went on.
        bool warns() const { return kind == Kind::warning || id.warning; }
    };

    // The text `name` filled in with the values given; `name` is a part's enum, whose textId and
    // wording that part declares beside it.
    template <typename Name>
    void say(Name name, std::initializer_list<int64_t> numbers = {})
    {
        say(name, valuesOf({}, {}, {}, numbers));
    }
    template <typename Name>
    void say(Name name, std::string first, std::initializer_list<int64_t> numbers = {})
    {
        say(name, valuesOf(std::move(first), {}, {}, numbers));
    }
    template <typename Name>
    void say(Name name, std::string first, std::string other, std::initializer_list<int64_t> numbers = {})
    {
        say(name, valuesOf(std::move(first), std::move(other), {}, numbers));
    }
    template <typename Name>
    void say(Name name, std::string first, std::string other, std::string third)
    {
        say(name, valuesOf(std::move(first), std::move(other), std::move(third), {}));
    }
    template <typename Name>
    void say(Name name, double real)
    {
        TextValues values;
        values.real = real;
        say(name, values);
    }
    template <typename Name>
    void say(Name name, TextValues values)
    {
        std::string text = wording(name, values);
        lines_.push_back({Kind::text, textId(name), std::move(text), std::move(values)});
    }

    // Says `name` and gives the failure it tells: its cause the text, its reason the text's
    // sentence. A fatal one ends the run.
    template <typename Name>
    Result failed(Name name, std::initializer_list<int64_t> numbers = {})
    {
        say(name, numbers);
        return Result::failed(name, sentence(name, lines_.back().values));
    }
    template <typename Name>
    Result failed(Name name, std::string first)
    {
        say(name, std::move(first));
        return Result::failed(name, sentence(name, lines_.back().values));
    }
    template <typename Name>
    Result failed(Name name, std::string first, std::string other)
    {
        say(name, std::move(first), std::move(other));
        return Result::failed(name, sentence(name, lines_.back().values));
    }
    template <typename Name>
    Result fatal(Name name, std::initializer_list<int64_t> numbers = {})
    {
        say(name, numbers);
        return Result::fatal(name, sentence(name, lines_.back().values));
    }
    template <typename Name>
    Result fatal(Name name, std::string first)
    {
        say(name, std::move(first));
        return Result::fatal(name, sentence(name, lines_.back().values));
    }

    // A printf-style line for people.
    void reason(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A warning for people ("warning - " and the line): the work goes on.
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A reason or warning for people that the program words otherwise, naming its options: `text`
    // is the libraries' words, `name` and `values` what the program words it from.
    template <typename Name>
    void reason(Name name, TextValues values, std::string text)
    {
        lines_.push_back({Kind::reason, textId(name), std::move(text), std::move(values)});
    }
    template <typename Name>
    void warn(Name name, TextValues values, const std::string& text)
    {
        lines_.push_back({Kind::warning, textId(name), "warning - " + text, std::move(values)});
    }
    // "name: " and the system's text for the error number, for people (FitsText::systemError).
    void fileError(const std::string& name, int error);
    // The lines of `other`, after these.
    void append(const Messages& other);

    const std::vector<Line>& lines() const { return lines_; }
    bool empty() const { return lines_.empty(); }
    void clear() { lines_.clear(); }
    // The last line for people, or "".
    std::string lastReason() const;

private:
    static TextValues valuesOf(std::string first, std::string other, std::string third,
                               std::initializer_list<int64_t> numbers);

    std::vector<Line> lines_;
};
