#pragma once

#include "fits/fitsimage.h"

#include <string>

// The orientation code of FITS input from its ORIENTST card; "ULYYN" without one.
void readOrientation(const FitsImage& image, std::string& orientation);

// Pixels whose mask value is zero (of either sign) become 0.0.
void applyMask(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2);

// Multiplies every pixel by the gain map.
void applyGain(Raster& inputImage, const Raster& gainMap, int naxis1, int naxis2);

// Swaps the axes of the input image and the record's sizes; `scratch` is overwritten.
void transposeInput(FitsImage& image, Raster& inputImage, Raster& scratch);

// What the orientation code does to the axes: the transposition of a fifth letter 'Y', then the
// exchange of the anti-transposition (any first letter but U and D), and which axes of the
// oriented image run against the axes they came from (the rotation and the anti-transposition
// reverse both; each flip undoes one reversal).
struct OrientationSteps {
    bool transpose = false;
    bool swapAxes = false;
    bool reverse1 = false;
    bool reverse2 = false;
};
OrientationSteps orientationSteps(const std::string& orientation);

// Fills outputImage from inputImage: a copy with -n, otherwise the rotation (first
// letter U or D) or anti-transposition (any other first letter) with the flips that
// the orientation code asks for, every pixel replicated into an e x e block. The
// record's sizes become those of the output image.
void orientAndExpand(FitsImage& image, const Raster& inputImage, Raster& outputImage, int expansion,
                     bool noFlips, const std::string& orientation);
