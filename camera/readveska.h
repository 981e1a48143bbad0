#pragma once

#include "camera/session.h"
#include "camera/unpack.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"

#include <memory>

// How a read of a camera file ended.
enum class CameraReadResult {
    ok,
    failed, // the file cannot be read as asked: its messages, then the driver's own line
    fatal,  // the messages tell all, and the run ends
};

// Reads one camera data file: its header into FITS cards in `image`, its frames combined by
// observing mode (or the frame asked for) into `raster`. With `unpack`, a packed file's
// images are left in `packed` (which unpacking needs) instead, for the driver to read one by
// one. `messages` takes
// what there is to say: warnings, and the reason of a failure.
CameraReadResult readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
                           Messages& messages, std::unique_ptr<PackedImages>* packed = nullptr);
