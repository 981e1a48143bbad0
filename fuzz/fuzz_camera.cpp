// The camera file reader on arbitrary bytes, with the options taken from the first
// byte: unpacking (whose images are all read), the column interchange and a frame number.
// Every result is an expected outcome.
#include "camera/readveska.h"
#include "fuzz/scratch.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const ScratchDirectory scratch;
    const uint8_t options = data[0];
    scratch.write("c970611a.005", data + 1, size - 1);

    static auto raster = std::make_unique<Raster>();
    CameraRequest request{"c970611a.005"};
    request.unpack = options & 1;
    request.interchange = options & 2;
    request.frameNumber = static_cast<int8_t>(options) >> 3; // -16 to 15
    FitsImage image;
    CameraSession session;
    CameraHeader header;
    Messages messages;
    std::unique_ptr<PackedImages> packed;
    if (readVESKA(request, image, *raster, session, header, messages, &packed) && packed)
        for (int64_t k = 0; k < packed->count() && packed->readNext(*raster, messages); ++k) {
        }
    return 0;
}
