#include "fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void fatalExit(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
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
    std::fflush(stdout);
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
