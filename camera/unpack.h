#pragma once

#include "camera/camerafile.h"
#include "camera/session.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Packed layouts this program cannot unpack into right images are refused: images of
// observing modes whose beams the packed length and the reading disagree on, and
// ultrafast images larger than their 64 x 64 slot or of a single column. False, with the
// message, for such a layout: one that ends the run.
Result checkPackedLayout(const CameraReading& file, int32_t obsmode, Messages& messages);

// Reads the end time stored behind the packed data (09:17:41.52), and
// reopens the file at the first byte of the packed data. False, with the message, when the
// seek fails or the file cannot be reopened.
Result readTrailer(CameraReading& file, int32_t obsmode, std::string& endTime, Messages& messages);

// Where the packed data of the file end, in bytes from its start, for data that begin at
// `dataStart`: the data blocks of every image, which unpacking reads whole; the trailer behind
// them may be missing.
int64_t packedDataEnd(const CameraReading& file, int32_t obsmode, int64_t dataStart);

class BlockReader;

// The images of a packed or ultrafast-packed file, read one at a time by the driver, which
// names and writes them, once readVESKA has read the file's header.
class PackedImages {
public:
    // Takes the file, standing at the first byte of its packed data; `messages` takes the
    // count of images and a warning for a beam that -o asks for and the images lack.
    PackedImages(std::unique_ptr<CameraReading> file, const CameraRequest& request, int32_t obsmode,
                 Messages& messages);
    ~PackedImages();
    PackedImages(const PackedImages&) = delete;
    PackedImages& operator=(const PackedImages&) = delete;

    int64_t count() const;
    bool ultrafast() const;
    // The beams each image has: 2 for the chopping modes (ultrafast: chop alone), else 1.
    int beams() const;

    // The next image in `raster`: beam 1, minus beam 2 of a chop (or beam 2 alone for -o 2),
    // interchanged with -i (packed images), in pixel order (ultrafast images). False, with
    // the message, when the data end before it does.
    Result readNext(Raster& raster, Messages& messages);
    // readNext in two steps: the next image's values as the file holds them, read in order,
    // and then, on any thread, those values made the image.
    Result takeNext(std::vector<unsigned char>& bytes, Messages& messages);
    void decode(const std::vector<unsigned char>& bytes, Raster& raster) const;

private:
    std::unique_ptr<CameraReading> file_;
    int32_t frameNumber_;
    int32_t obsmode_;
    bool interchange_;
    float divisor_; // the coadds of beam 1
    std::unique_ptr<BlockReader> blocks_;
};

// Brings an ultrafast image of at least 2 columns from the camera's readout order into pixel order.
void unscrambleUltrafast(Raster& raster, int naxis1, int naxis2);
