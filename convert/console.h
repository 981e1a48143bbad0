#pragma once

#include "fits/messages.h"

#include <string>

// The one way a run ends on a fatal error: the message goes to standard output,
// which is flushed, and a FatalExit travels up to main, which ends the process
// with its status. Tests and fuzz targets catch it instead of losing the process.
struct FatalExit {
    int status;
};

[[noreturn]] void fatalExit(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The program's own text on standard output.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While it lives, what this thread says, notices and ends a run with (the message of fatalExit)
// goes to `messages` instead of the console, to be printed in its turn by the thread that
// writes the outputs; flushOutput does nothing meanwhile.
class CapturedOutput {
public:
    explicit CapturedOutput(Messages& messages);
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

private:
    Messages* previous_;
};

// fatalExit, with `reason` for people on standard error after the message.
[[noreturn]] void fatalExitBecause(const std::string& reason, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// One line for the person at the console on standard error: "kovrent: " and the text.
// Standard output keeps the program's own messages; it is flushed first, so that on a
// terminal the two streams read in order.
void notice(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "kovrent: name: reason" with the system's text for the error number.
void noticeFileError(const std::string& name, int error);

// Prints what an operation of the libraries had to say, in its order, and forgets it.
void print(Messages& messages);

// print, then the run ends as fatalExit ends it.
[[noreturn]] void fatalExitAfter(Messages& messages);

// Flushes standard output. The reason of the first flush that failed is kept for the end of the
// run: once the stream's buffer has been given up, a later flush succeeds with nothing to write.
void flushOutput();

// Forgets earlier failures of standard output, for a new run in the same process.
void resetOutputError();

// 0 when everything standard output was given has been written, else the system's error number
// (EBADF for a stream whose file was closed).
int outputError();
