#include "convert/console.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int firstOutputError = 0;

} // namespace

void flushOutput()
{
    if (std::fflush(stdout) != 0 && firstOutputError == 0)
        firstOutputError = errno != 0 ? errno : EIO;
}

void resetOutputError()
{
    std::clearerr(stdout);
    firstOutputError = 0;
}

int outputError()
{
    flushOutput();
    if (std::ferror(stdout) && firstOutputError == 0)
        firstOutputError = EIO;
    return firstOutputError;
}

void fatalExit(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    flushOutput();
    throw FatalExit{1};
}

void fatalExitBecause(const std::string& reason, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    notice("%s", reason.c_str());
    throw FatalExit{1};
}

void notice(const char* format, ...)
{
    flushOutput();
    std::fputs("kovrent: ", stderr);
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

void noticeFileError(const std::string& name, int error)
{
    notice("%s: %s", name.c_str(), std::strerror(error));
}

void print(Messages& messages)
{
    for (const Messages::Line& line : messages.lines()) {
        if (line.forPeople)
            notice("%s", line.text.c_str());
        else
            std::fputs(line.text.c_str(), stdout);
    }
    messages.clear();
}

void fatalExitAfter(Messages& messages)
{
    print(messages);
    flushOutput();
    throw FatalExit{1};
}

void endBySignal(int signal)
{
    std::raise(signal);
    std::_Exit(128 + signal);
}
