#include "program/console.h"

#include "camera/cameratexts.h"
#include "program/progress.h"
#include "program/texts.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

int firstOutputError = 0;
bool quietRun = false;

// The lines that a quiet run leaves out: each tells of one file, image or cube read or written.
bool perFileLine(const TextId& id)
{
    for (const ProgramText text :
         {ProgramText::readingFile, ProgramText::writingFile, ProgramText::writingUnpacked,
          ProgramText::writingUltrafast, ProgramText::writingCube, ProgramText::planeOf, ProgramText::imagesIntoCube})
        if (id == textId(text))
            return true;
    return id == textId(CameraText::packedCount) || id == textId(CameraText::ultrafastCount);
}

void noticeText(const std::string& text)
{
    progressLine().clearBefore(true);
    flushOutput();
    std::fputs("kovrent: ", stderr);
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
}

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

void notice(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    noticeText(vformatted(format, arguments));
    va_end(arguments);
}

void setQuiet(bool quiet)
{
    quietRun = quiet;
}

void print(const Messages& messages)
{
    for (const Messages::Line& line : messages.lines()) {
        if (quietRun && perFileLine(line.id))
            continue;
        progressLine().clearBefore(line.forPeople());
        if (line.forPeople())
            noticeText(programWording(line));
        else
            std::fputs(line.text.c_str(), stdout);
    }
}
