#pragma once

// The one way a run ends on a fatal error: the message goes to standard output,
// which is flushed, and a FatalExit travels up to main, which ends the process
// with its status. Tests and fuzz targets catch it instead of losing the process.
struct FatalExit {
    int status;
};

[[noreturn]] void fatalExit(const char* format, ...) __attribute__((format(printf, 1, 2)));
