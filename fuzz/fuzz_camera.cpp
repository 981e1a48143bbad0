// The camera file reader on arbitrary bytes, with the options taken from the first
// byte: unpacking (which writes images into the scratch directory), the column
// interchange and a frame number. A fatal exit is an expected outcome.
#include "fits/fatal.h"
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
    CameraRequest request{"c970611a.005", "f970611a.005"};
    request.unpack = options & 1;
    request.interchange = options & 2;
    request.appendFits = options & 4;
    request.frameNumber = static_cast<int8_t>(options) >> 3; // -16 to 15
    FitsImage image;
    auto session = std::make_unique<CameraSession>();
    int64_t fileNumber = 5;
    try {
        readVESKA(request, image, *raster, *session, fileNumber);
    } catch (const FatalExit&) {
    }
    return 0;
}
