#pragma once

#include "fitsimage.h"

#include <cstdint>
#include <string>
#include <string_view>

// Set from the CHOPWAIT and FRPERCOI records; they keep their value from file to
// file when a later file lacks the record.
extern float chopWaitMsec;
extern float framesPerCoimage;

// Unpacked images written, and write failures, in this run; unpacking goes on after a failure.
extern int unpackedImages;
extern int unpackWriteFailures;

// Reads one camera data file: its header into FITS cards in `image`, its frames
// combined by observing mode (or the frame `frameNumber`) into `raster`. With
// `unpack`, a packed file is split into one FITS file per image instead, named after
// `outputName`, the driver's output name, whose ".n" (frameNumber) and ".fits"
// (appendFits) endings every unpacked name gets as well. 0 on success; non-zero
// (after a message) when the file cannot be read.
int readVESKA(const std::string& inputName, const std::string& outputName, FitsImage& image,
              Raster& raster, int32_t frameNumber, bool unpack, bool interchange,
              std::string& orientation, int64_t& fileNumber, int32_t& obsmode, bool appendFits = false);

// Puts a word into the five-letter orientation code the way a C string is copied into
// the code's buffer: a word shorter than five letters is followed by a NUL and leaves
// the letters after that as they were ("D" over "ULYYN" gives "D", NUL, "YYN"); only
// five letters are kept of a longer word.
void storeOrientationWord(std::string& code, std::string_view word);

// Option -i: swaps cells [x0+1][y0+1] and [x0][y0+2] in every group of 2 columns by 8 rows
// where both lie inside the image.
void interchangeColumns(Raster& raster, int naxis1, int naxis2);
