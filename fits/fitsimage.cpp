#include "fits/fitsimage.h"

#include "fits/realtext.h"

#include <string>

bool buildMinimalHeader(FitsImage& image)
{
    Header& header = image.header;
    header.freeHeader();
    if (!header.appendBlock())
        return false;
    image.naxis = 2;
    header.addValueCard("SIMPLE", "T", "DATA IS IN FITS FORMAT");
    header.addValueCard("BITPIX", std::to_string(image.bitpix), "BITS PER PIXEL(<0:=REAL)");
    header.addValueCard("NAXIS", "2", "NUMBER OF AXES");
    header.addValueCard("NAXIS1", std::to_string(image.naxis1), "PIXELS ON 1ST MOST VARYING AXIS");
    header.addValueCard("NAXIS2", std::to_string(image.naxis2), "PIXELS ON 2ND MOST VARYING AXIS");
    header.addValueCard("BSCALE", formatReal(image.bscale), "VALUE= DATA*BSCALE+BZERO");
    header.addValueCard("BZERO", formatReal(image.bzero), " ");
    header.placeValueCard("END", " ", "END OF FITS HEADER INFORMATION");
    return true;
}
