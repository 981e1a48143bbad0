#pragma once


#include "fits/unfinished.h"

// The whole program as a process: it opens a standard stream that was closed on /dev/null,
// ignores SIGXFSZ (an oversized write fails and is reported), keeps a reserve of memory for
// reporting its lack, and lets the signals that end a process first remove the run's unfinished
// files; then it runs kovrentRun and restores what it changed. Returns the exit status.
int kovrentMain(int argc, const char* const* argv);

// The program's run alone: version line, command line, maps, then every input file. It touches
// no process-wide state (signal dispositions and masks, the new-handler): tests and fuzz targets
// call it in their own process. The hidden files of its writes are recorded in `unfinished`, and
// how far it came in `tally`, when given. Returns the exit status; fatal errors are caught here
// and give 1.
class RunTally;
int kovrentRun(int argc, const char* const* argv, UnfinishedFiles* unfinished = nullptr, RunTally* tally = nullptr);
