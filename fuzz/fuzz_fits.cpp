// readFITS on arbitrary bytes: any result code is fine; a crash, a sanitizer report or
// a leak is a finding.
#include "fits/fitsfile.h"
#include "fuzz/scratch.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const ScratchDirectory scratch;
    scratch.write("input.fits", data, size);
    static auto raster = std::make_unique<Raster>();
    FitsImage image;
    Messages messages;
    // A header that was read must also write back.
    if (readFITS("input.fits", image, *raster, messages))
        writeFITS("output.fits", image, *raster, messages);
    return 0;
}
