// The conversion of a camera file on arbitrary bytes, with the options taken from the first
// byte: unpacking (whose images are all converted, one by one or, with --modern, as a cube's
// planes), the column interchange, a frame number and --modern. Every result is an expected
// outcome.
#include "conversion/conversion.h"
#include "fuzz/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const ScratchDirectory scratch;
    const uint8_t bits = data[0];
    scratch.write("c970611a.005", data + 1, size - 1);

    ConversionOptions options;
    options.unpack = bits & 1;
    options.interchange = bits & 2;
    options.modern = options.cube = bits & 4;
    options.frameNumber = static_cast<int8_t>(bits) >> 3; // -16 to 15
    Converter converter(options, Maps());
    SessionInOrder session;
    Messages messages;
    Conversion conversion;
    if (!converter.convert("c970611a.005", session, messages, conversion) || !conversion.packed)
        return 0;
    Output output;
    const ImageNames names{"t970611a.005", "i970611a.005"};
    for (int64_t k = 0; k < conversion.packed->count() && converter.takePackedImage(conversion, messages); ++k)
        if (!converter.convertPackedImage(conversion, k, names, messages, output))
            break;
    return 0;
}
