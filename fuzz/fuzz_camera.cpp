// The camera file reader on arbitrary bytes, with the options taken from the first
// byte: unpacking (which writes images into the scratch directory), the column
// interchange and a frame number. A fatal exit is an expected outcome.
#include "fatal.h"
#include "readveska.h"
#include "scratch.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const ScratchDirectory scratch;
    const uint8_t options = data[0];
    scratch.write("c970611a.005", data + 1, size - 1);

    static auto raster = std::make_unique<Raster>();
    const bool unpack = options & 1;
    const bool interchange = options & 2;
    const bool appendFits = options & 4;
    const int32_t frameNumber = static_cast<int8_t>(options) >> 3; // -16 to 15
    FitsImage image;
    std::string orientation;
    int64_t fileNumber = 5;
    int32_t obsmode = 0;
    try {
        readVESKA("c970611a.005", "f970611a.005", image, *raster, frameNumber, unpack, interchange, orientation,
                  fileNumber, obsmode, appendFits);
    } catch (const FatalExit&) {
    }
    return 0;
}
