#include "camera/readveska.h"

#include "camera/camerafile.h"
#include "camera/datablocks.h"
#include "camera/keywords.h"
#include "camera/unpack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr const char* outOfMemory = "Error allocating memory!\n";

// The minimal header, IRAFNAME and INSTRUME; the next card takes the END placeholder's place.
// False when the header cannot be allocated.
bool setUpHeader(const std::string& inputName, FitsImage& image, int32_t frameNumber)
{
    image.naxis1 = 128;
    image.naxis2 = 128;
    image.bscale = 1.0;
    image.bzero = 0.0;
    image.naxis = 2;
    image.bitpix = -32;
    if (!buildMinimalHeader(image))
        return false;

    std::string irafName = inputName;
    if (irafName.size() >= 12)
        irafName[irafName.size() - 12] = 'i';
    if (frameNumber >= 1)
        irafName.append(".").append(std::to_string(frameNumber));
    image.header.addStringCard("IRAFNAME", irafName);
    image.header.addValueCard("INSTRUME", "'VESKA3: Veskacam'", "INSTRUMENT");
    return true;
}

// A header cut short by the end of the file, or by a read error, whose reason follows.
CameraReadResult endsInHeader(const CameraStream& stream, Messages& messages)
{
    const int error = errno;
    messages.output("kovrent: Error - %s ends before the end of its header\n", stream.name().c_str());
    if (stream.failed())
        messages.fileError(stream.name(), error);
    return CameraReadResult::failed;
}

// Runs the header records up to the end marker.
CameraReadResult readHeaderRecords(CameraStream& stream, RecordTarget& target, Messages& messages)
{
    for (;;) {
        unsigned char flag = 0;
        if (stream.read(&flag, 1) != 1)
            return endsInHeader(stream, messages);
        if (flag == 255)
            return CameraReadResult::ok;
        if (flag >= 88) {
            messages.output("kovrent: unknown data flag encountered %i\n", static_cast<int>(flag));
            return CameraReadResult::fatal;
        }
        if (flag == 0) {
            messages.output("Error - unknown data flag encountered\n");
            return CameraReadResult::failed;
        }
        switch (readRecord(flag, stream, target)) {
        case RecordResult::next: break;
        case RecordResult::fail: return CameraReadResult::failed;
        case RecordResult::endOfFile: return endsInHeader(stream, messages);
        }
    }
}

// Sizes and fill counts from the image corners, then the rest of a declared header.
void afterEndMarker(CameraReading& file, FitsImage& image)
{
    file.layout.measure();
    image.naxis1 = static_cast<int16_t>(file.layout.naxis1);
    image.naxis2 = static_cast<int16_t>(file.layout.naxis2);
    int64_t remaining = file.facts.headerSize - file.stream.bytesRead();
    while (remaining > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<int64_t>(remaining, dataBlockBytes));
        const std::size_t got = file.stream.read(file.stream.scratch, chunk);
        if (got < chunk)
            break;
        remaining -= static_cast<int64_t>(got);
    }
}

// END, blank cards, and NAXIS1 and NAXIS2 with the real size.
void closeHeader(const FrameLayout& layout, FitsImage& image)
{
    image.header.end();
    image.header.replaceValueCard("NAXIS1", std::to_string(layout.naxis1), "PIXELS ON 1ST MOST VARYING AXIS");
    image.header.replaceValueCard("NAXIS2", std::to_string(layout.naxis2), "PIXELS ON 2ND MOST VARYING AXIS");
}

// Headers that leave the image undefined, or whose data would not fit the raster or
// the one-column buffer, are refused before any data are read; false with the message.
bool checkGeometry(const CameraReading& file, Messages& messages)
{
    const FrameLayout& layout = file.layout;
    const HeaderFacts& facts = file.facts;
    if (!facts.hasStart || !facts.hasEnd)
        messages.output("kovrent: Error in file header - no image corners (INITX/INITY and ENDX/ENDY records)\n");
    else if (layout.naxis1 < 1 || layout.naxis2 < 1)
        messages.output("kovrent: Error in file header - image size %d x %d\n", layout.naxis1, layout.naxis2);
    else if (!facts.hasCoadds)
        messages.output("kovrent: Error in file header - no TOTCOADD record\n");
    else if (!facts.isPacked && (layout.finX < layout.initX || layout.finX > layout.endX))
        messages.output("kovrent: Error in file header - FINX %d outside the image columns %d to %d\n", layout.finX,
                        layout.initX, layout.endX);
    else
        return true;
    return false;
}

} // namespace

CameraReadResult readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
                           Messages& messages, std::unique_ptr<PackedImages>* packed)
{
    using Result = CameraReadResult;
    // Some 100 KiB of buffers: on the heap, not on the stack, and not cleared (default
    // initialisation), since every byte is read into before it is used.
    std::unique_ptr<CameraReading> file(new (std::nothrow) CameraReading);
    if (!file) {
        messages.output("%s", outOfMemory);
        return Result::fatal;
    }
    if (!file->stream.open(request.inputName)) {
        const int error = errno;
        messages.output("kovrent: Error - file not found: %s\n", request.inputName.c_str());
        messages.fileError(request.inputName, error);
        return Result::failed;
    }
    if (!setUpHeader(request.inputName, image, request.frameNumber)) {
        messages.output("%s", outOfMemory);
        return Result::fatal;
    }
    session.orientation = OrientationCode();

    RecordTarget target{image, session, file->layout, file->facts, request.unpack, messages};
    if (const Result result = readHeaderRecords(file->stream, target, messages); result != Result::ok)
        return result;
    afterEndMarker(*file, image);

    const FrameLayout& layout = file->layout;
    if (request.unpack && !file->facts.isPacked) {
        messages.output("\nkovrent: Error - data not in packed mode\n");
        return Result::fatal;
    }
    // Sizes are checked before anything is computed from them; a refused file writes nothing.
    if (layout.naxis1 > rasterSize || layout.naxis2 > rasterSize) {
        messages.output("Error in file header - too big!\n");
        return Result::fatal;
    }
    if (!checkGeometry(*file, messages))
        return Result::fatal;
    if (file->facts.isPacked) {
        if (!checkPackedLayout(*file, session.obsmode, messages))
            return Result::fatal;
        if (!readTrailer(*file, image.header, session.obsmode, messages))
            return Result::failed;
    }
    closeHeader(layout, image);
    if (image.header.outOfMemory()) {
        messages.output("%s", outOfMemory);
        return Result::fatal;
    }

    if (file->facts.isPacked) {
        if (packed)
            *packed = std::make_unique<PackedImages>(std::move(file), request, session.obsmode, messages);
        return Result::ok;
    }
    if (!readFrames(*file, raster, request.frameNumber, session.obsmode, messages))
        return Result::fatal;
    file->stream.close();
    if (request.interchange && layout.naxis2 >= 1)
        interchangeColumns(raster, layout.naxis1, layout.naxis2);
    return Result::ok;
}
