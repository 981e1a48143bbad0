#include "conversion/geometry.h"

void applyMask(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2)
{
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            if (maskMap[x][y] == 0.0f)
                inputImage[x][y] = 0.0f;
}

void markMasked(Raster& inputImage, const Raster& maskMap, int naxis1, int naxis2, float value)
{
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            if (maskMap[x][y] == 0.0f)
                inputImage[x][y] = value;
}

void applyGain(Raster& inputImage, const Raster& gainMap, int naxis1, int naxis2)
{
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            inputImage[x][y] = static_cast<float>(static_cast<double>(gainMap[x][y]) * inputImage[x][y]);
}

Placement placementFor(int naxis1, int naxis2, int expansion, const Orientation& turn)
{
    const int f = expansion > 1 ? expansion : 1;
    return {f * (turn.exchange ? naxis2 : naxis1), f * (turn.exchange ? naxis1 : naxis2), f, turn};
}
