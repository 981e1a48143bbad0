#pragma once

#include "camera/observation.h"
#include "conversion/options.h"
#include "fits/encode.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"

#include <cstdint>
#include <string>

// Appends the world-coordinate and HISTORY cards in place of the header's END card, then END
// and blank cards, from the record's values and the image's written size. `leftOut` is the
// orientation that the code asked for and -n left out (or none): the coordinates then describe
// the pixels as written.
// With --modern, the header also gets the cards of modernheader.h, HISTORY cards for -z (with
// `framesPerCoimage`, the frames per coimage the correction used) and for -i of a camera file
// (`fromCamera`), whose columns it interchanged, and checksums. Fails when the header has no END
// card.
Result completeHeader(FitsImage& image, const ConversionOptions& options, const Observation& observation,
                      bool fromCamera, const Orientation& leftOut, float framesPerCoimage, Messages& messages);

// The element that stands for an undefined pixel in an integer image: its BLANK card's value,
// or else the least value of a signed BITPIX (255 for BITPIX 8). Undefined pixels of a
// floating-point image are NaN.
int64_t blankValue(const FitsImage& image);

// The HISTORY texts of --modern for the steps that changed pixels and have none of their own.
std::string zeroWaitHistory(float framesPerCoimage);
constexpr const char* interchangeHistory = "COLUMNS 4 AND 5 OF EVERY READOUT GROUP HAVE BEEN INTERCHANGED";
