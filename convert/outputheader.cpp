#include "convert/outputheader.h"

#include "convert/console.h"
#include "convert/geometry.h"
#include "convert/modernheader.h"
#include "fits/fitsfile.h"
#include "fits/headerscan.h"
#include "fits/realtext.h"
#include "fits/scan.h"

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
    const bool naxis1Same
        = image.header.findCard("NAXIS1", value) > 0 && scanDecimal(value, size) && size == image.naxis1;
    const bool naxis2Same
        = image.header.findCard("NAXIS2", value) > 0 && scanDecimal(value, size) && size == image.naxis2;
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

// The reference pixel, scales and rotation of the image's axes.
struct PixelAxes {
    double crpix1, crpix2, cdelt1, cdelt2, crota;
};

// The reference pixel lies at the centre of the oriented image, shifted by the offsets. A -n
// image is the oriented one with the orientation's steps undone: an axis of size S that the
// steps reversed takes c to (S + 1) - c, and when they exchanged the axes, written axis 1 is
// the one that turns onto oriented axis 2, which CROTA 90 says.
PixelAxes pixelAxes(const FitsImage& image, const Options& options, const OrientationCode& orientation, double offset1,
                    double offset2, double degreesPerPixel)
{
    const OrientationSteps steps = options.noFlips ? orientation.steps() : OrientationSteps{};
    const bool swapped = steps.transpose != steps.swapAxes;
    const int size1 = swapped ? image.naxis2 : image.naxis1; // the oriented image's
    const int size2 = swapped ? image.naxis1 : image.naxis2;
    const double crpix1 = options.expansion * offset1 + size1 / 2;
    const double crpix2 = options.expansion * offset2 + size2 / 2;
    auto undo = [](bool reversed, int size, double c) { return reversed ? (size + 1.0) - c : c; };
    const double d = degreesPerPixel;
    if (!swapped)
        return {undo(steps.reverse1, size1, crpix1), undo(steps.reverse2, size2, crpix2), steps.reverse1 ? d : -d,
                steps.reverse2 ? -d : d, 0.0};
    return {undo(steps.reverse2, size2, crpix2), undo(steps.reverse1, size1, crpix1), steps.reverse2 ? -d : d,
            steps.reverse1 ? -d : d, 90.0};
}

} // namespace

void completeHeader(FitsImage& image, const Options& options, const OrientationCode& orientation,
                    float framesPerCoimage)
{
    enum { ra, dec, offset1, offset2, magnific, telescle };
    double values[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    scanHeaderToEnd(image.header, {"RA", "DEC", "OFFSET1", "OFFSET2", "MAGNIFIC", "TELESCLE"},
                    [&](std::size_t keyword, const std::string& value) { scanReal(value, values[keyword]); });
    // The new cards start on the END card and carry on from there.
    Header& header = image.header;
    if (!header.resumeAtEnd())
        fatalExit("kovrent: error, END keyword not found\n");

    // With --modern, the cards of an input that had them take their new values where they stand.
    auto coordinate = [&](std::string_view keyword, const std::string& value, std::string_view comment) {
        if (options.modern)
            header.setValueCard(keyword, value, comment);
        else
            header.addValueCard(keyword, value, comment);
    };
    const int expansion = options.expansion;
    if (expansion > 1) {
        coordinate("EXPOFF1", formatReal(expansion * values[offset1]), "EXPANDED OFFSET IN PIXELS");
        coordinate("EXPOFF2", formatReal(expansion * values[offset2]), "EXPANDED OFFSET IN PIXELS");
    }
    const bool scaled = values[telescle] > 0 && values[magnific] > 0;
    // 2.0833333333333333e-05 is 1/48000: 0.075 mm per pixel over 3600 arcseconds per degree.
    const double degreesPerPixel
        = scaled ? (values[telescle] / (expansion * values[magnific])) * 2.0833333333333333e-05 : 0.0;
    const PixelAxes axes = pixelAxes(image, options, orientation, values[offset1], values[offset2], degreesPerPixel);
    if (scaled) {
        coordinate("CDELT1", formatReal(axes.cdelt1), "DEGREES/PIXEL IN R.A.");
        coordinate("CDELT2", formatReal(axes.cdelt2), "DEGREES/PIXEL IN DEC.");
    }
    coordinate("CRVAL1", formatReal(values[ra]), "RA OF REFERENCE LOCATION");
    coordinate("CRVAL2", formatReal(values[dec]), "DEC OF REFERENCE LOCATION");
    coordinate("CROTA1", formatReal(axes.crota), "ROTATION OF AXIS 1");
    coordinate("CROTA2", formatReal(axes.crota), "ROTATION OF AXIS 2");
    coordinate("CRPIX1", formatReal(axes.crpix1), "ARRAY LOCATION OF REF. PIXEL");
    coordinate("CRPIX2", formatReal(axes.crpix2), "ARRAY LOCATION OF REF. PIXEL");
    coordinate("CTYPE1", "'RA---TAN'", "TYPE OF COORD. ON AXIS 1");
    coordinate("CTYPE2", "'DEC--TAN'", "TYPE OF COORD. ON AXIS 2");
    if (options.modern)
        addCoordinateUnits(header);

    header.addCommentCard(
        "HISTORY ", formatted("THIS FILE WAS CONVERTED FROM VESKA-PC FORMAT BY KOVRENT V. %2.2f", programVersion));
    header.addCommentCard("HISTORY ", "TIME OF CONVERSION: " + localTimeText());
    // A frame number below 1 reads frame 1.
    if (options.frameNumber != 0)
        header.addCommentCard("HISTORY ",
                              formatted("THE FOLLOWING IMAGE DATA IS FRAME %2i OF THE ORIGINAL DATA SET",
                                        options.frameNumber < 1 ? 1 : options.frameNumber));
    else
        header.addCommentCard("HISTORY ", "ALL OFF-SOURCE FRAMES IN THE ORIGINAL IMAGE HAVE BEEN SUBTRACTED");
    if (expansion > 1)
        header.addCommentCard("HISTORY ",
                              formatted("THE IMAGE WAS EXPANDED BY A FACTOR OF %2i IN BOTH DIRECTIONS", expansion));
    if (!options.noFlips)
        header.addCommentCard("HISTORY ", orientedHistory);
    if (options.mask)
        header.addCommentCard("HISTORY ", "MASK FILE APPLIED: " + options.maskName);
    if (options.gain)
        header.addCommentCard("HISTORY ", "GAIN MAP APPLIED: " + options.gainName);
    if (options.modern) {
        if (options.zeroWait)
            header.addCommentCard("HISTORY ", zeroWaitHistory(framesPerCoimage));
        // The camera reader interchanges; FITS input was interchanged when it was unpacked.
        if (options.interchange && !options.fitsInput)
            header.addCommentCard("HISTORY ", interchangeHistory);
        addTimeCards(header, observationTimes(header));
        addChecksumCards(header);
    }
    header.end();
}

std::string zeroWaitHistory(float framesPerCoimage)
{
    return formatted("THE ZERO CHOPPER WAIT WAS CORRECTED WITH %g FRAMES PER COIMAGE",
                     static_cast<double>(framesPerCoimage));
}

namespace {

template <typename Pixels>
bool writeImageOf(const std::string& name, const FitsImage& image, const Pixels& pixels, const OutputFolder* folder)
{
    Messages messages;
    WriteFailure failure;
    const bool written = writeFITS(name, image, pixels, messages, &failure, folder);
    print(messages);
    // The file's messages end here; a log or a pipe shows them as they happen.
    flushOutput();
    return written;
}

} // namespace

bool writeImage(const std::string& name, const FitsImage& image, const Raster& raster, const OutputFolder* folder)
{
    return writeImageOf(name, image, raster, folder);
}

bool writeImage(const std::string& name, const FitsImage& image, const unsigned char* data, const OutputFolder* folder)
{
    return writeImageOf(name, image, data, folder);
}

bool writeOutput(const std::string& outputName, FitsImage& image, const unsigned char* data, const OutputFolder* folder)
{
    say("writing %s\n", outputName.c_str());
    const bool written = writeImage(outputName, image, data, folder);
    image.header.freeHeader();
    return written;
}
