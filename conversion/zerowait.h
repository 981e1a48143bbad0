#pragma once

#include "fits/fitsimage.h"
#include "fits/messages.h"

#include <cstdint>
#include <string>

// Multiplies every pixel by framesPerCoimage / (framesPerCoimage - 2 (1023 - q) / 1023),
// q being the pixel's readout index (x div 2) x 16 + (y div 8).
void correctZeroWait(Raster& inputImage, int naxis1, int naxis2, float framesPerCoimage);

// The chop wait warnings of camera input: a correction of data that had a wait time
// (with -z), or a chopping mode recorded with a zero wait time (without -z).
void warnZeroWait(bool zeroWait, bool fitsInput, float chopWaitMsec, int32_t obsmode, Messages& messages);
