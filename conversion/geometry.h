#pragma once

#include "fits/encode.h"
#include "fits/fitsimage.h"

// Pixels whose mask value is zero (of either sign) become 0.0.
void applyMask(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2);

// Pixels whose mask value is zero become `value`: how --modern leaves them undefined.
void markMasked(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2, float value);

// Multiplies every pixel by the gain map.
void applyGain(Raster& inputImage, const Raster& gainMap, int naxis1, int naxis2);

// Where the pixels of a naxis1 x naxis2 input image go in the written image: turned as `turn`
// says, every pixel an e x e block (e the expansion factor, or 1 below 2). The written image's
// width and height are the placement's.
Placement placementFor(int naxis1, int naxis2, int expansion, const Orientation& turn);
