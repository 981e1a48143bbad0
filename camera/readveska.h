#pragma once

#include "fits/fitsfile.h"
#include "fits/fitsimage.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <string_view>

// What camera files leave for the driver and for the next file of the run: each value keeps
// what an earlier file set when a later file lacks its record.
struct CameraSession {
    std::string orientation = "ULYYN"; // the orientation code, set for every file (ORIENTST)
    int32_t obsmode = 0;               // OBSMODE
    float chopWaitMsec = 0.0f;         // CHOPWAIT
    float framesPerCoimage = 0.0f;     // FRPERCOI
    int unpackedImages = 0;            // images unpacking wrote in this run
    int unpackWriteFailures = 0;       // and those it could not write; it goes on after one
    std::unordered_set<std::string> unpackedNames; // the names unpacking gave its images
};

// What is asked of one camera file.
struct CameraRequest {
    std::string inputName;
    std::string outputName;   // the driver's; unpacked images are named after it
    int32_t frameNumber = 0;  // -o: one frame, or 0 for all of them combined
    bool unpack = false;      // -p
    bool interchange = false; // -i
    bool appendFits = false;  // -a: unpacked names keep the ".fits" ending
    const OutputFolder* folder = nullptr; // the opened folder of outputName, where unpacked images go
};

// Reads one camera data file: its header into FITS cards in `image`, its frames combined by
// observing mode (or the frame asked for) into `raster`. With `unpack`, a packed file is split
// into one FITS file per image instead, numbered on from `fileNumber`, which is raised past
// the images written. False (after a message) when the file cannot be read.
bool readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
               int64_t& fileNumber);

// Puts a word into the five-letter orientation code the way a C string is copied into
// the code's buffer: a word shorter than five letters is followed by a NUL and leaves
// the letters after that as they were ("D" over "ULYYN" gives "D", NUL, "YYN"); only
// five letters are kept of a longer word.
void storeOrientationWord(std::string& code, std::string_view word);
