#include "conversion/zerowait.h"

#include "conversion/conversiontexts.h"

#include <cmath>
#include <cstdio>

void correctZeroWait(Raster& inputImage, int naxis1, int naxis2, float framesPerCoimage)
{
    const double frames = framesPerCoimage;
    for (int y = 0; y < naxis2; ++y) {
        for (int x = 0; x < naxis1; ++x) {
            const int q = (x / 2) * 16 + y / 8;
            // 0.0009775171065493646 is the double nearest to 1/1023.
            const double denominator = ((1023.0 - q) * 0.0009775171065493646) * -2.0 + frames;
            inputImage[x][y] = static_cast<float>((frames / denominator) * inputImage[x][y]);
        }
    }
}

void warnZeroWait(bool zeroWait, bool fitsInput, float chopWaitMsec, int32_t obsmode, Messages& messages)
{
    if (fitsInput)
        return;
    if (zeroWait) {
        if (chopWaitMsec > 0.0f)
            messages.say(ConversionText::zeroWaitCorrected, static_cast<double>(chopWaitMsec));
    } else if (chopWaitMsec == 0.0f && obsmode >= 2 && obsmode <= 4) {
        messages.say(ConversionText::chopWaitZero);
    }
}
