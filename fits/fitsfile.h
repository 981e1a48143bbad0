#pragma once

#include "fitsimage.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// Reads a single-image FITS file into `image` (header chain, sizes, BITPIX, BSCALE,
// BZERO) and `raster`. 0 on success; 1 cannot open, -1 out of memory, -2 short
// header, -3 not FITS, -4 BITPIX not supported, -5 image larger than the raster.
int readFITS(const std::string& name, FitsImage& image, Raster& raster);

// Writes the finished header chain from `image.header` and the image from `raster`.
// The file appears under its name only once it is complete: a failure leaves no
// partial file and keeps any earlier file of that name. 0 on success, -1 on failure.
int writeFITS(const std::string& name, FitsImage& image, const Raster& raster);

// Data blocks of an image: the ceiling of |bytesPerPixel| x pixelCount / 2880.
int64_t dataBlockCount(int bytesPerPixel, int32_t pixelCount);

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens with std::fopen; the file is closed when the handle goes.
File openFile(const std::string& name, const char* mode);

// True when both names designate one existing file.
bool sameFile(const std::string& first, const std::string& second);

// Where the last component of a path begins: after its last '/', or at 0.
std::size_t fileNameStart(const std::string& path);
