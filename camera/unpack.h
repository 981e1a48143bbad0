#pragma once

#include "camera/camerafile.h"
#include "fits/fitsimage.h"
#include "camera/readveska.h"

#include <cstdint>

// Packed layouts this program cannot unpack into right images are refused: images of
// observing modes whose beams the packed length and the reading disagree on, and
// ultrafast images larger than their 64 x 64 slot or of a single column.
void checkPackedLayout(const CameraReading& file, int32_t obsmode);

// Reads the end time stored behind the packed data into a TIME-END card and reopens the
// file at the first byte of the packed data. False, after a message, when the seek fails
// or the file cannot be reopened.
bool readTrailer(CameraReading& file, Header& header, int32_t obsmode);

// Splits a packed or ultrafast-packed file into one FITS file per image, named after the
// output name with the letter 't' and numbered on from fileNumber, which is raised past
// the images written.
void unpackImages(CameraReading& file, const CameraRequest& request, FitsImage& image, Raster& raster,
                  CameraSession& session, int64_t& fileNumber);

// Brings an ultrafast image of at least 2 columns from the camera's readout order into pixel order.
void unscrambleUltrafast(Raster& raster, int naxis1, int naxis2);
