#include "convert/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int firstOutputError = 0;

// Where this thread's words go instead of the console, while it has a capture.
thread_local Messages* capture = nullptr;

void sayText(const std::string& text)
{
    if (capture)
        capture->output("%s", text.c_str());
    else
        std::fputs(text.c_str(), stdout);
}

void noticeText(const std::string& text)
{
    if (capture) {
        capture->reason("%s", text.c_str());
        return;
    }
    flushOutput();
    std::fputs("kovrent: ", stderr);
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
}

} // namespace

CapturedOutput::CapturedOutput(Messages& messages) : previous_(capture)
{
    capture = &messages;
}

CapturedOutput::~CapturedOutput()
{
    capture = previous_;
}

void flushOutput()
{
    if (capture)
        return;
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

void say(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    sayText(vformatted(format, arguments));
    va_end(arguments);
}

void fatalExit(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    sayText(vformatted(format, arguments));
    va_end(arguments);
    flushOutput();
    throw FatalExit{1};
}

void fatalExitBecause(const std::string& reason, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    sayText(vformatted(format, arguments));
    va_end(arguments);
    noticeText(reason);
    throw FatalExit{1};
}

void notice(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    noticeText(vformatted(format, arguments));
    va_end(arguments);
}

void noticeFileError(const std::string& name, int error)
{
    notice("%s: %s", name.c_str(), std::strerror(error));
}

void print(Messages& messages)
{
    for (const Messages::Line& line : messages.lines()) {
        if (line.forPeople)
            noticeText(line.text);
        else
            sayText(line.text);
    }
    messages.clear();
}

void fatalExitAfter(Messages& messages)
{
    print(messages);
    flushOutput();
    throw FatalExit{1};
}
