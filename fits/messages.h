#pragma once

#include <cstdarg>
#include <string>
#include <vector>

// The text vprintf makes of `format` and its arguments.
std::string vformatted(const char* format, std::va_list arguments);

// What an operation of the libraries has to say, in the order it happened: the program's own
// texts for standard output (as scripts know them, with their line ends) and lines for people
// on standard error (without the program's name). The libraries never print; the driver prints
// these when the operation returns.
class Messages {
public:
    struct Line {
        bool forPeople; // standard error, else standard output
        std::string text;
    };

    // printf-style text for standard output.
    void output(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // printf-style line for standard error.
    void reason(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "name: " and the system's text for the error number, on standard error.
    void fileError(const std::string& name, int error);

    const std::vector<Line>& lines() const { return lines_; }
    bool empty() const { return lines_.empty(); }
    void clear() { lines_.clear(); }

private:
    void add(bool forPeople, const char* format, std::va_list arguments);

    std::vector<Line> lines_;
};
