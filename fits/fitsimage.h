#pragma once

#include "fits/header.h"

#include <cstdint>

// The description of one image and its header.
struct FitsImage {
    int16_t naxis = 0;
    int16_t naxis1 = 0;
    int16_t naxis2 = 0;
    double bscale = 1.0;
    double bzero = 0.0;
    int16_t bitpix = 0;
    Header header;

    // A copy, its header with it (a Header is copied only on purpose).
    FitsImage clone() const
    {
        FitsImage copy{naxis, naxis1, naxis2, bscale, bzero, bitpix, Header()};
        copy.header = header.clone();
        return copy;
    }

    // BITPIX / 8, truncated toward zero: 1, 2, 4, or -4 for 32-bit floating point.
    int16_t bytesPerPixel() const { return static_cast<int16_t>(bitpix / 8); }
    int32_t pixelCount() const { return int32_t{naxis1} * naxis2; }
};

constexpr int rasterSize = 512;

// 512 x 512 pixels indexed [x][y]: x along FITS axis 1, [x][y] at x * 512 + y.
struct Raster {
    float cells[rasterSize][rasterSize];

    float* operator[](int x) { return cells[x]; }
    const float* operator[](int x) const { return cells[x]; }
};

// A fresh header of SIMPLE, BITPIX, NAXIS, NAXIS1, NAXIS2, BSCALE, BZERO and an END
// placeholder, from the image's own values; the place is on the placeholder, so that the
// next card takes its slot.
void buildMinimalHeader(FitsImage& image);

// A reader that learns the image's size only after its other cards keeps the first seven cards
// of a fresh header blank, and fills them once the size is final: SIMPLE to BZERO, from the
// image's own values, each written once.
constexpr int minimalCardCount = 7;
void reserveMinimalCards(Header& header);
void fillMinimalCards(FitsImage& image);
