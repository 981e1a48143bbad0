#pragma once

#include "camera/orientation.h"
#include "fits/encode.h"
#include "fits/fitsimage.h"

#include <string>

// The orientation code of FITS input from its ORIENTST card; "ULYYN" without one.
void readOrientation(const FitsImage& image, OrientationCode& orientation);

// Pixels whose mask value is zero (of either sign) become 0.0.
void applyMask(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2);

// Multiplies every pixel by the gain map.
void applyGain(Raster& inputImage, const Raster& gainMap, int naxis1, int naxis2);

// Where the pixels of inputImage go in the output image: as they stand with -n, otherwise the
// transposition of the fifth letter, then the rotation (first letter U or D) or
// anti-transposition (any other first letter) with the flips that the orientation code asks
// for, every pixel an e x e block. The record's sizes become
// those of the output image.
Placement placeOutput(FitsImage& image, int expansion, bool noFlips, const OrientationCode& orientation);
