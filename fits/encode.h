#pragma once

#include "fits/fitsimage.h"

#include <cstddef>
#include <vector>

// How each pixel of a written image is found in the raster it comes from: its axis 1 runs along
// the raster's first index, or along the second when the axes are exchanged, and either written
// axis may run backwards. The one value that the encoder and the world coordinates both follow.
struct Orientation {
    bool exchange = false;
    bool reverse1 = false;
    bool reverse2 = false;
};

// Where the pixels of a raster go in a file's data: the written image of width x height pixels
// takes each raster pixel as a factor x factor block, turned as `turn` says.
struct Placement {
    int width = 0;
    int height = 0;
    int factor = 1;
    Orientation turn;

    // The raster's corner width x height as it stands.
    static Placement asIs(int width, int height) { return {width, height, 1, {}}; }
};

// The data of the placed image as its file holds them, in one pass from the raster: pixels in
// file order (axis 1 fastest), each an element of BITPIX in big-endian order, with no padding.
// `data` takes width x height x |BITPIX| / 8 bytes; `scratch` holds the image before its blocks
// are replicated.
void encodePixels(const Raster& raster, const Placement& placement, int bitpix, std::vector<unsigned char>& data,
                  std::vector<unsigned char>& scratch);
