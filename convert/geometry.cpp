#include "convert/geometry.h"

#include "fits/headerscan.h"

#include <algorithm>
#include <cmath>
#include <utility>

void applyMask(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2)
{
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            if (maskMap[x][y] == 0.0f)
                inputImage[x][y] = 0.0f;
}

void applyGain(Raster& inputImage, const Raster& gainMap, int naxis1, int naxis2)
{
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            inputImage[x][y] = static_cast<float>(static_cast<double>(gainMap[x][y]) * inputImage[x][y]);
}

void transposeInput(FitsImage& image, Raster& inputImage, Raster& scratch)
{
    const int nx = image.naxis1;
    const int ny = image.naxis2;
    for (int x = 0; x < nx; ++x)
        for (int y = 0; y < ny; ++y)
            scratch[y][x] = inputImage[x][y];
    for (int a = 0; a < ny; ++a)
        for (int b = 0; b < nx; ++b)
            inputImage[a][b] = scratch[a][b];
    std::swap(image.naxis1, image.naxis2);
}

void orientAndExpand(FitsImage& image, const Raster& inputImage, Raster& outputImage, int expansion, bool noFlips,
                     const OrientationCode& orientation)
{
    const int nx = image.naxis1;
    const int ny = image.naxis2;
    const int f = expansion > 1 ? expansion : 1;

    const OrientationSteps steps = noFlips ? OrientationSteps{} : orientation.steps();
    const bool swapAxes = steps.swapAxes;
    const bool reverse1 = steps.reverse1;
    const bool reverse2 = steps.reverse2;

    // The anti-transposition of a non-square image is the image with its sizes swapped.
    // Each output cell takes the input pixel whose replicated block covers it.
    const int e1 = f * (swapAxes ? ny : nx);
    const int e2 = f * (swapAxes ? nx : ny);
    int source2[rasterSize];
    for (int y = 0; y < e2; ++y)
        source2[y] = (reverse2 ? e2 - 1 - y : y) / f;
    for (int x = 0; x < e1; ++x) {
        const int source1 = (reverse1 ? e1 - 1 - x : x) / f;
        float* out = outputImage[x];
        if (!swapAxes && f == 1) {
            // Whole columns, kept or reversed: the common case, copied without the index table.
            const float* in = inputImage[source1];
            if (reverse2)
                std::reverse_copy(in, in + e2, out);
            else
                std::copy(in, in + e2, out);
        } else if (swapAxes) {
            for (int y = 0; y < e2; ++y)
                out[y] = inputImage[source2[y]][source1];
        } else {
            const float* in = inputImage[source1];
            for (int y = 0; y < e2; ++y)
                out[y] = in[source2[y]];
        }
    }
    image.naxis1 = static_cast<int16_t>(e1);
    image.naxis2 = static_cast<int16_t>(e2);
}

void readOrientation(const FitsImage& image, OrientationCode& orientation)
{
    orientation = OrientationCode();
    scanHeaderToEnd(image.header, {"ORIENTST"},
                    [&](std::size_t, const std::string& value) { orientation.storeCardValue(value); });
}
