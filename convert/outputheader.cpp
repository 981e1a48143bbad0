#include "outputheader.h"

#include "fatal.h"
#include "fitsfile.h"
#include "headerscan.h"
#include "realtext.h"
#include "scan.h"

#include <cstdio>
#include <ctime>

void rewriteAxisSizes(FitsImage& image, int naxis1, int naxis2)
{
    if (!image.header.replaceValueCard("NAXIS1", std::to_string(naxis1), "PIXELS ON 1ST MOST VARYING AXIS"))
        fatalExit("kovrent: error, NAXIS keyword not found\n");
    image.header.replaceValueCard("NAXIS2", std::to_string(naxis2), "PIXELS ON 2ND MOST VARYING AXIS");
}

bool axisCardsDiffer(const FitsImage& image)
{
    std::string value;
    int64_t size = 0;
    const bool naxis1Same = image.header.findCard("NAXIS1", value) > 0 && scanDecimal(value, size)
                            && size == image.naxis1;
    const bool naxis2Same = image.header.findCard("NAXIS2", value) > 0 && scanDecimal(value, size)
                            && size == image.naxis2;
    return !naxis1Same || !naxis2Same;
}

namespace {

std::string localTimeText()
{
    const std::time_t now = std::time(nullptr);
    char text[64] = "";
    // The classic 24-character layout: "Tue Dec  8 17:35:18 2026". The time zone is
    // read once per run: localtime_r does not look at the zone file again for every file.
    [[maybe_unused]] static const bool zoneRead = [] {
        tzset();
        return true;
    }();
    std::tm local{};
    if (localtime_r(&now, &local))
        std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
    return text;
}

template <typename... Values>
std::string formatted(const char* format, Values... values)
{
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

} // namespace

void completeHeader(FitsImage& image, const Options& options)
{
    enum { ra, dec, offset1, offset2, magnific, telescle };
    double values[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    scanHeaderToEnd(image.header, {"RA", "DEC", "OFFSET1", "OFFSET2", "MAGNIFIC", "TELESCLE"},
                    [&](std::size_t keyword, const std::string& value) { scanReal(value, values[keyword]); });
    // The new cards start on the END card and carry on from there.
    Header& header = image.header;
    if (!header.resumeAtEnd())
        fatalExit("kovrent: error, END keyword not found\n");

    const int expansion = options.expansion;
    if (expansion > 1) {
        header.addValueCard("EXPOFF1", formatReal(expansion * values[offset1]), "EXPANDED OFFSET IN PIXELS");
        header.addValueCard("EXPOFF2", formatReal(expansion * values[offset2]), "EXPANDED OFFSET IN PIXELS");
    }
    if (values[telescle] > 0 && values[magnific] > 0) {
        // 2.0833333333333333e-05 is 1/48000: 0.075 mm per pixel over 3600 arcseconds per degree.
        const double degreesPerPixel = (values[telescle] / (expansion * values[magnific])) * 2.0833333333333333e-05;
        header.addValueCard("CDELT1", formatReal(-degreesPerPixel), "DEGREES/PIXEL IN R.A.");
        header.addValueCard("CDELT2", formatReal(degreesPerPixel), "DEGREES/PIXEL IN DEC.");
    }
    header.addValueCard("CRVAL1", formatReal(values[ra]), "RA OF REFERENCE LOCATION");
    header.addValueCard("CRVAL2", formatReal(values[dec]), "DEC OF REFERENCE LOCATION");
    header.addValueCard("CROTA1", formatReal(0.0), "ROTATION OF AXIS 1");
    header.addValueCard("CROTA2", formatReal(0.0), "ROTATION OF AXIS 2");
    header.addValueCard("CRPIX1", formatReal(expansion * values[offset1] + image.naxis1 / 2),
                        "ARRAY LOCATION OF REF. PIXEL");
    header.addValueCard("CRPIX2", formatReal(expansion * values[offset2] + image.naxis2 / 2),
                        "ARRAY LOCATION OF REF. PIXEL");
    header.addValueCard("CTYPE1", "'RA---TAN'", "TYPE OF COORD. ON AXIS 1");
    header.addValueCard("CTYPE2", "'DEC--TAN'", "TYPE OF COORD. ON AXIS 2");

    header.addCommentCard("HISTORY ",
                          formatted("THIS FILE WAS CONVERTED FROM VESKA-PC FORMAT BY KOVRENT V. %2.2f", programVersion));
    header.addCommentCard("HISTORY ", "TIME OF CONVERSION: " + localTimeText());
    // A frame number below 1 reads frame 1.
    if (options.frameNumber != 0)
        header.addCommentCard("HISTORY ", formatted("THE FOLLOWING IMAGE DATA IS FRAME %2i OF THE ORIGINAL DATA SET",
                                                    options.frameNumber < 1 ? 1 : options.frameNumber));
    else
        header.addCommentCard("HISTORY ", "ALL OFF-SOURCE FRAMES IN THE ORIGINAL IMAGE HAVE BEEN SUBTRACTED");
    if (expansion > 1)
        header.addCommentCard("HISTORY ",
                              formatted("THE IMAGE WAS EXPANDED BY A FACTOR OF %2i IN BOTH DIRECTIONS", expansion));
    if (!options.noFlips)
        header.addCommentCard("HISTORY ", "THE IMAGE HAS BEEN ORIENTED WITH NORTH UP AND EAST TO THE LEFT");
    if (options.mask)
        header.addCommentCard("HISTORY ", "MASK FILE APPLIED: " + options.maskName);
    if (options.gain)
        header.addCommentCard("HISTORY ", "GAIN MAP APPLIED: " + options.gainName);
    header.end();
}

bool writeOutput(const std::string& outputName, FitsImage& image, const Raster& outputImage,
                 const OutputFolder* folder)
{
    image.pixelCount = image.naxis1 * image.naxis2;
    std::printf("writing %s\n", outputName.c_str());
    const bool written = writeFITS(outputName, image, outputImage, nullptr, folder);
    // The file's messages end here; a log or a pipe shows them as they happen.
    flushOutput();
    image.header.freeHeader();
    return written;
}
