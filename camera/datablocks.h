#pragma once

#include "camera/camerafile.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"

#include <cstdint>
#include <string>

// How a frame's values combine with what the raster cell holds; q = value / divisor.
enum class Merge { store, subtract, add, addNegate };

// One frame of an observation: what it is ("NOD A, CHOP 1"), how it joins the combined image
// (the first is stored), and the beam (1 to 4) whose coadds divide it.
struct ObservedFrame {
    const char* label;
    Merge merge;
    int beam;
};

// The observing modes whose frames combine into one image: their name, how many frames an
// observation has and what each is; null for any other mode.
struct ObservingMode {
    const char* name;
    int frames;
    ObservedFrame frame[4];
};
const ObservingMode* observingMode(int64_t obsmode);

// The name of an observing mode as the observing log and a cube's table of planes give it:
// GRAB, CHOP, ..., or "mode 6" for one whose frames the program does not combine.
std::string observingModeName(int64_t obsmode);

// Where the last column that readFrames reads of `frames` frames ends, in bytes from the file's
// start, for frames that begin at `dataStart`: the file must be at least this long.
int64_t framesEnd(const FrameLayout& layout, int64_t dataStart, int64_t frames);

// The coadds that divide frame n (from 1) of the file when it is taken alone (-o n).
float frameDivisor(const HeaderFacts& facts, int32_t obsmode, int32_t n);

// Builds the image of an unpacked file from the frames behind its header: one frame
// (frameNumber of 1 or more, or negative) or the combination of every frame that the
// observing mode defines, each divided by its beam's coadds. Fails, ending the run, when the
// data end early or the mode combines no frames.
Result readFrames(CameraReading& file, Raster& raster, int32_t frameNumber, int32_t obsmode, Messages& messages);

// Merges `count` columns of `rows` little-endian 32-bit values into the raster's columns from x
// on, each value (rounded to a float first with `floatValues`, as packed images have them) over
// `divisor`, formed in double and rounded to float once per cell, as the division rounds it.
void mergeColumnValues(Raster& raster, int32_t x, const unsigned char* columns, int32_t count, int32_t rows,
                       Merge merge, double divisor, bool floatValues);

// Option -i: swaps cells [x0+1][y0+1] and [x0][y0+2] in every group of 2 columns by 8 rows
// where both lie inside the image.
void interchangeColumns(Raster& raster, int naxis1, int naxis2);
