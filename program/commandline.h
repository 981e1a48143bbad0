#pragma once

#include "conversion/options.h"
#include "fits/messages.h"
#include "fits/result.h"
#include "conversion/version.h"

#include <cstdint>
#include <string>
#include <vector>

// The most workers a run has: beyond, threads only wait for the disk and each other, and each
// holds its buffers and, while its unit waits for its turn, a hidden file.
constexpr int mostJobs = 256;

// The command line: the conversion it asks for, and the run around it.
struct Options : ConversionOptions {
    std::string inputName;       // the first argument: a file, or the root of a numbered series
    std::vector<std::string> inputNames; // it and every further name, in order
    int32_t firstNumber = -1;    // -r n1
    int32_t lastNumber = -1;     // -r n2
    bool keepGoing = false;      // --keep-going: on past a file that fails
    int jobs = 0;                // --jobs: the workers of the run; 0 for one per processor
    bool progress = true;        // a progress line on a terminal, unless --no-progress
    bool quiet = false;          // -q, --quiet: no line per file; warnings, errors and the summary stay
    std::string logName;         // --log: the observing log to write instead of converting
    bool showUsage = false;      // no argument, or "-h" or "--help" as the first
    bool showVersion = false;    // "--version" as the first argument
};

// Reads the command line into `options`. Long options may stand anywhere, the first argument
// included, and take their value as --jobs 4 or --jobs=4. A bad option value fails with its text
// and, for -e and -r, the valid form for people. Every argument it ignores, and every option the
// run will not use (with -p, with --log), is named in `messages`, unless the line begins with a
// short option, whose hint the caller gives when the run fails (optionsFirstHint).
Result parseCommandLine(int argc, const char* const* argv, Options& options, Messages& messages);

// Why a command line that begins with an option failed: the file name comes first. Shows
// the command as it should be when a later argument names an existing file.
void optionsFirstHint(int argc, const char* const* argv, Messages& messages);

void printUsage();
