#pragma once

#include "convert/version.h"

#include <cstdint>
#include <string>

struct Options {
    std::string inputName;       // the first argument: a file, or the root of a numbered series
    std::string outputDirectory; // -d
    std::string gainName;        // -g
    std::string maskName;        // -m
    int32_t expansion = 1;       // -e
    int32_t frameNumber = 0;     // -o; 0 means all frames combined
    int32_t firstNumber = -1;    // -r n1
    int32_t lastNumber = -1;     // -r n2
    bool appendFits = false;     // -a
    bool toDirectory = false;    // -d
    bool fitsInput = false;      // -f
    bool gain = false;           // -g
    bool interchange = false;    // -i
    bool mask = false;           // -m
    bool noFlips = false;        // -n
    bool unpack = false;         // -p
    bool zeroWait = false;       // -z
    bool keepGoing = false;      // --keep-going: on past a file that fails
    bool modern = false;         // --modern: ISO times, full coordinates, provenance, checksums
    bool cube = false;           // --cube: a packed file's images, or a range, as one data cube
    bool showUsage = false;      // no argument, or "-h" or "--help" as the first
    bool showVersion = false;    // "--version" as the first argument
};

// Reads the command line; a bad option value ends the run through fatalExit, with the valid
// form of -e and -r on standard error. Every argument it ignores, and every option that -p
// makes it ignore, is named on standard error, unless the line begins with an option, whose
// hint the caller gives when the run fails (optionsFirstHint).
Options parseCommandLine(int argc, const char* const* argv);

// Why a command line that begins with an option failed: the file name comes first. Shows
// the command as it should be when a later argument names an existing file.
void optionsFirstHint(int argc, const char* const* argv);

void printUsage();
