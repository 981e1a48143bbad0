#pragma once

#include "fits/scan.h"

#include <cstdint>
#include <string>

// What a conversion is asked to do with each input, as the command line's options say it: how the
// image is read, corrected, turned and expanded, what its header holds, and how its outputs are
// named.
struct ConversionOptions {
    std::string outputDirectory; // -d
    std::string gainName;        // -g
    std::string maskName;        // -m
    int32_t expansion = 1;       // -e
    int32_t frameNumber = 0;     // -o; 0 means all frames combined
    bool appendFits = false;     // -a
    bool toDirectory = false;    // -d
    bool fitsInput = false;      // -f
    bool gain = false;           // -g
    bool interchange = false;    // -i
    bool mask = false;           // -m
    bool noFlips = false;        // -n
    bool unpack = false;         // -p
    bool zeroWait = false;       // -z
    bool modern = false;         // --modern: ISO times, full coordinates, provenance, checksums
    bool cube = false;           // --cube: a packed file's images, or a range, as one data cube
    bool frames = false;         // --frames: every frame of each file as the planes of its own cube
};

// A number of an option as people write it: a sign, then decimal digits, leading zeros and all,
// or 0x and hexadecimal digits, with white space around it and nothing else. `notNumber` for
// anything else or a number beyond 32 bits; `empty` for white space alone.
ScanResult readOptionNumber(const std::string& text, int32_t& value);
