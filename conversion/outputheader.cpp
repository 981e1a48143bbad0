#include "conversion/outputheader.h"

#include "conversion/conversiontexts.h"
#include "conversion/modernheader.h"
#include "conversion/version.h"
#include "fits/realtext.h"
#include "fits/scan.h"

#include <cstdio>
#include <ctime>

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
// image is the oriented one with the orientation left out undone: an axis of size S that it
// reversed takes c to (S + 1) - c, and when it exchanged the axes, written axis 1 is the one
// that turns onto oriented axis 2, which CROTA 90 says.
PixelAxes pixelAxes(const FitsImage& image, int expansion, const Orientation& leftOut, double offset1, double offset2,
                    double degreesPerPixel)
{
    const Orientation& turn = leftOut;
    const int size1 = turn.exchange ? image.naxis2 : image.naxis1; // the oriented image's
    const int size2 = turn.exchange ? image.naxis1 : image.naxis2;
    const double crpix1 = expansion * offset1 + size1 / 2;
    const double crpix2 = expansion * offset2 + size2 / 2;
    auto undo = [](bool reversed, int size, double c) { return reversed ? (size + 1.0) - c : c; };
    const double d = degreesPerPixel;
    if (!turn.exchange)
        return {undo(turn.reverse1, size1, crpix1), undo(turn.reverse2, size2, crpix2), turn.reverse1 ? d : -d,
                turn.reverse2 ? -d : d, 0.0};
    return {undo(turn.reverse2, size2, crpix2), undo(turn.reverse1, size1, crpix1), turn.reverse2 ? -d : d,
            turn.reverse1 ? -d : d, 90.0};
}

} // namespace

Result completeHeader(FitsImage& image, const ConversionOptions& options, const Observation& observation,
                      bool fromCamera, const Orientation& leftOut, float framesPerCoimage, Messages& messages)
{
    // The new cards start on the END card and carry on from there.
    Header& header = image.header;
    if (!header.resumeAtEnd()) {
        return messages.failed(ConversionText::noEndCard);
    }

    // With --modern, the cards of an input that had them take their new values where they stand.
    auto coordinate = [&](std::string_view keyword, const std::string& value, std::string_view comment) {
        if (options.modern)
            header.setValueCard(keyword, value, comment);
        else
            header.addValueCard(keyword, value, comment);
    };
    const int expansion = options.expansion;
    const Observation& values = observation;
    if (expansion > 1) {
        coordinate("EXPOFF1", formatReal(expansion * values.offset1), "EXPANDED OFFSET IN PIXELS");
        coordinate("EXPOFF2", formatReal(expansion * values.offset2), "EXPANDED OFFSET IN PIXELS");
    }
    const bool scaled = values.telescopeScale > 0 && values.magnification > 0;
    // 2.0833333333333333e-05 is 1/48000: 0.075 mm per pixel over 3600 arcseconds per degree.
    const double degreesPerPixel
        = scaled ? (values.telescopeScale / (expansion * values.magnification)) * 2.0833333333333333e-05 : 0.0;
    const PixelAxes axes = pixelAxes(image, expansion, leftOut, values.offset1, values.offset2, degreesPerPixel);
    if (scaled) {
        coordinate("CDELT1", formatReal(axes.cdelt1), "DEGREES/PIXEL IN R.A.");
        coordinate("CDELT2", formatReal(axes.cdelt2), "DEGREES/PIXEL IN DEC.");
    }
    coordinate("CRVAL1", formatReal(values.ra), "RA OF REFERENCE LOCATION");
    coordinate("CRVAL2", formatReal(values.dec), "DEC OF REFERENCE LOCATION");
    coordinate("CROTA1", formatReal(axes.crota), "ROTATION OF AXIS 1");
    coordinate("CROTA2", formatReal(axes.crota), "ROTATION OF AXIS 2");
    coordinate("CRPIX1", formatReal(axes.crpix1), "ARRAY LOCATION OF REF. PIXEL");
    coordinate("CRPIX2", formatReal(axes.crpix2), "ARRAY LOCATION OF REF. PIXEL");
    coordinate("CTYPE1", "'RA---TAN'", "TYPE OF COORD. ON AXIS 1");
    coordinate("CTYPE2", "'DEC--TAN'", "TYPE OF COORD. ON AXIS 2");
    if (options.modern) {
        addCoordinateUnits(header, observation);
        addUnitCard(header);
    }

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
        if (options.mask && image.bitpix < 0)
            header.addCommentCard("HISTORY ", "PIXELS THAT THE MASK MARKS BAD ARE UNDEFINED (NAN)");
        if (options.mask && image.bitpix > 0) {
            header.setValueCard("BLANK", std::to_string(blankValue(image)), "VALUE OF UNDEFINED PIXELS");
            header.addCommentCard("HISTORY ", "PIXELS THAT THE MASK MARKS BAD ARE UNDEFINED (BLANK)");
        }
        if (options.zeroWait)
            header.addCommentCard("HISTORY ", zeroWaitHistory(framesPerCoimage));
        // The camera reader interchanges; FITS input was interchanged when it was unpacked.
        if (options.interchange && fromCamera)
            header.addCommentCard("HISTORY ", interchangeHistory);
        addTimeCards(header, observation.times());
        commentUndefinedValues(header);
        addChecksumCards(header);
    }
    header.addEndCard();
    return Result();
}

int64_t blankValue(const FitsImage& image)
{
    std::string value;
    int64_t blank = 0;
    if (image.header.findCard("BLANK", value) > 0 && scanDecimal(value, blank))
        return blank;
    switch (image.bitpix) {
    case 8: return 255;
    case 16: return INT16_MIN;
    default: return INT32_MIN;
    }
}

std::string zeroWaitHistory(float framesPerCoimage)
{
    return formatted("THE ZERO CHOPPER WAIT WAS CORRECTED WITH %g FRAMES PER COIMAGE",
                     static_cast<double>(framesPerCoimage));
}
