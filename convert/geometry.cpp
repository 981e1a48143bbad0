#include "convert/geometry.h"

#include "fits/headerscan.h"

#include <algorithm>
#include <cmath>

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

Placement placeOutput(FitsImage& image, int expansion, bool noFlips, const OrientationCode& orientation)
{
    // The rotation by 180 degrees reverses both axes, and so does the anti-transposition, which
    // also exchanges them (a non-square image then has its sizes swapped); each flip undoes one
    // reversal. The transposition that the fifth letter asks for comes first: it exchanges the
    // axes once more, so that with the anti-transposition they stay.
    const OrientationSteps steps = noFlips ? OrientationSteps{} : orientation.steps();
    const bool exchange = steps.swapAxes != steps.transpose;
    const int f = expansion > 1 ? expansion : 1;
    Placement placement;
    placement.factor = f;
    placement.exchange = exchange;
    placement.reverse1 = steps.reverse1;
    placement.reverse2 = steps.reverse2;
    placement.width = f * (exchange ? image.naxis2 : image.naxis1);
    placement.height = f * (exchange ? image.naxis1 : image.naxis2);
    image.naxis1 = static_cast<int16_t>(placement.width);
    image.naxis2 = static_cast<int16_t>(placement.height);
    return placement;
}

void readOrientation(const FitsImage& image, OrientationCode& orientation)
{
    orientation = OrientationCode();
    scanHeaderToEnd(image.header, {"ORIENTST"},
                    [&](std::size_t, const std::string& value) { orientation.storeCardValue(value); });
}
