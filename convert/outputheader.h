#pragma once

#include "camera/orientation.h"
#include "convert/commandline.h"
#include "fits/fitsfile.h"
#include "fits/fitsimage.h"

#include <string>

// Overwrites the NAXIS1 and NAXIS2 cards where they stand; the run ends when the
// header has no NAXIS1 card.
void rewriteAxisSizes(FitsImage& image, int naxis1, int naxis2);

// True when the NAXIS1 or NAXIS2 card does not hold the record's size.
bool axisCardsDiffer(const FitsImage& image);

// Appends the world-coordinate and HISTORY cards in place of the header's END card, then
// END and blank cards. With -n the coordinates describe the pixels as written, through the
// orientation that the code asked for and the run left out.
// With --modern, the header also gets the cards of modernheader.h, HISTORY cards for -z (with
// `framesPerCoimage`, the frames per coimage the correction used) and for -i, and checksums.
void completeHeader(FitsImage& image, const Options& options, const OrientationCode& orientation,
                    float framesPerCoimage = 0.0f);

// The HISTORY text of an oriented output.
constexpr const char* orientedHistory = "THE IMAGE HAS BEEN ORIENTED WITH NORTH UP AND EAST TO THE LEFT";

// The HISTORY texts of --modern for the steps that changed pixels and have none of their own.
std::string zeroWaitHistory(float framesPerCoimage);
constexpr const char* interchangeHistory = "COLUMNS 4 AND 5 OF EVERY READOUT GROUP HAVE BEEN INTERCHANGED";

// The FITS file from the raster as it stands, or from data encoded as the file holds them
// (into `folder`, the opened folder of the name, when given), its messages and standard output
// flushed. False when the file could not be written.
bool writeImage(const std::string& name, const FitsImage& image, const Raster& raster,
                const OutputFolder* folder = nullptr);
bool writeImage(const std::string& name, const FitsImage& image, const unsigned char* data,
                const OutputFolder* folder = nullptr);

// "writing <name>", writeImage of the data, and the header freed.
bool writeOutput(const std::string& outputName, FitsImage& image, const unsigned char* data,
                 const OutputFolder* folder = nullptr);
