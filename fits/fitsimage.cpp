#include "fits/fitsimage.h"

#include "fits/realtext.h"

#include <string>

namespace {

// SIMPLE to BZERO from the image's own values, each handed to `put`.
template <typename Put>
void minimalCards(const FitsImage& image, Put put)
{
    put("SIMPLE", "T", "DATA IS IN FITS FORMAT");
    put("BITPIX", std::to_string(image.bitpix), "BITS PER PIXEL(<0:=REAL)");
    put("NAXIS", std::to_string(image.naxis), "NUMBER OF AXES");
    put("NAXIS1", std::to_string(image.naxis1), "PIXELS ON 1ST MOST VARYING AXIS");
    put("NAXIS2", std::to_string(image.naxis2), "PIXELS ON 2ND MOST VARYING AXIS");
    put("BSCALE", formatReal(image.bscale), "VALUE= DATA*BSCALE+BZERO");
    put("BZERO", formatReal(image.bzero), " ");
}

} // namespace

void buildMinimalHeader(FitsImage& image)
{
    Header& header = image.header;
    header.freeHeader();
    header.appendBlock();
    image.naxis = 2;
    minimalCards(image, [&](const char* keyword, const std::string& value, const char* comment) {
        header.addValueCard(keyword, value, comment);
    });
    header.placeValueCard("END", " ", "END OF FITS HEADER INFORMATION");
}

void reserveMinimalCards(Header& header)
{
    header.freeHeader();
    for (int card = 1; card <= minimalCardCount; ++card)
        header.addCommentCard("", "");
}

void fillMinimalCards(FitsImage& image)
{
    image.naxis = 2;
    int number = 0;
    minimalCards(image, [&](const char* keyword, const std::string& value, const char* comment) {
        image.header.writeValueCardAt(++number, keyword, value, comment);
    });
}
