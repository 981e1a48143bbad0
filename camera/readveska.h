#pragma once

#include "camera/observation.h"
#include "camera/session.h"
#include "camera/unpack.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"

#include <memory>
#include <optional>

// What the header of a camera file gives besides its cards: the observation record, the
// orientation code of its ORIENTST record ("ULYYN" without one) and the values its records set
// for the later files of a run.
struct CameraHeader {
    Observation observation;
    OrientationCode orientation;
    CarriedValues carried;
};

// The first half of readVESKA: opens the file and writes its cards into `image`'s header, behind
// seven blank cards that the image's final size fills (fillMinimalCards): IRAFNAME, INSTRUME and
// a card or more per header record; `header` takes what the records say. `file` holds the
// file's buffers, kept from file to file (a new one when empty); on success the file stands at
// its data. A failure is of this file alone; one that ends the run (as a corrupt file would
// the camera's own software) says all in `messages`, and `header` keeps the values of the
// records read before it.
Result readCameraHeader(const CameraRequest& request, FitsImage& image, CameraHeader& header,
                        std::unique_ptr<CameraReading>& file, Messages& messages);

// The header of a camera file alone, for a log of many files: its records read as
// readCameraHeader reads them (of a packed file too, as with -p) and `image`'s size from the
// image corners they give (0 x 0 without both), the data left unread. The file is read in small
// pieces, a little beyond the header; `cancel` is asked when a signal interrupts a wait for it.
Result readCameraHeaderOnly(const std::string& name, FitsImage& image, CameraHeader& header,
                            std::unique_ptr<CameraReading>& file, Messages& messages,
                            Cancellation* cancel = nullptr);
// The same for a file read as `request` asks: without -p, a packed file is refused and an
// unpacked one keeps the card of its TIME-END record, as readCameraHeader reads them.
Result readCameraHeaderOnly(const CameraRequest& request, FitsImage& image, CameraHeader& header,
                            std::unique_ptr<CameraReading>& file, Messages& messages);

// Where the data that a conversion of the file whose header readCameraHeaderOnly read last in
// `file` end, in bytes from the file's start: every frame that `obsmode` combines (the first
// alone when the mode is unknown), or a packed file's images; -1 when its header gives no image.
int64_t declaredDataEnd(const CameraReading& file, std::optional<int64_t> obsmode);

// The second half, given the observing mode that applies (the file's own, or the one an earlier
// file of the run left): the header closed with END and the image's size in `image`, and the
// frames combined by observing mode (or the frame asked for) into `raster`; or, for a packed
// file, its images left in `packed` (which unpacking needs, and which takes the file from
// `file`) for the caller to read one by one.
Result readCameraData(std::unique_ptr<CameraReading>& file, const CameraRequest& request, int32_t obsmode,
                      FitsImage& image, CameraHeader& header, Raster& raster, Messages& messages,
                      std::unique_ptr<PackedImages>* packed = nullptr);

// Reads one camera data file, both halves: `session` gives what earlier files of a run left and
// takes this file's own values; the header's first cards take the camera's image size.
Result readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
                 CameraHeader& header, Messages& messages, std::unique_ptr<PackedImages>* packed = nullptr);
