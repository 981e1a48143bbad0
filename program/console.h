#pragma once

#include "fits/messages.h"

#include <string>

// The program's console. Standard output carries the program's own texts, exactly as scripts
// know them; standard error carries lines for people, each "kovrent: " and the line. Only the
// program's driver prints, one thread at a time.

// Prints what the libraries and the run said, in its order.
void print(const Messages& messages);

// A quiet run (-q) prints no line per file: what reading and writing each file or image says on
// standard output, and which cube a packed file's images go into. Warnings and errors stay.
void setQuiet(bool quiet);

// One line for the person at the console on standard error: "kovrent: " and the text.
// Standard output is flushed first, so that on a terminal the two streams read in order.
void notice(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Flushes standard output. The reason of the first flush that failed is kept for the end of the
// run: once the stream's buffer has been given up, a later flush succeeds with nothing to write.
void flushOutput();

// Forgets earlier failures of standard output, for a new run in the same process.
void resetOutputError();

// 0 when everything standard output was given has been written, else the system's error number
// (EBADF for a stream whose file was closed).
int outputError();
