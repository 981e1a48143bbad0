#include "camera/readveska.h"

#include "camera/camerafile.h"
#include "camera/datablocks.h"
#include "fits/fatal.h"
#include "camera/keywords.h"
#include "camera/unpack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

void storeOrientationWord(std::string& code, std::string_view word)
{
    if (word.size() >= 5) {
        code = word.substr(0, 5);
        return;
    }
    std::string previous = code;
    previous.resize(5, '\0');
    code = word;
    code += '\0';
    code += previous.substr(word.size() + 1);
}

namespace {

// The minimal header, IRAFNAME and INSTRUME; the next card takes the END placeholder's place.
void setUpHeader(const std::string& inputName, FitsImage& image, int32_t frameNumber)
{
    image.naxis1 = 128;
    image.naxis2 = 128;
    image.bscale = 1.0;
    image.bzero = 0.0;
    image.naxis = 2;
    image.bitpix = -32;
    if (!buildMinimalHeader(image))
        fatalExit("Error allocating memory!\n");

    std::string irafName = inputName;
    if (irafName.size() >= 12)
        irafName[irafName.size() - 12] = 'i';
    if (frameNumber >= 1)
        irafName.append(".").append(std::to_string(frameNumber));
    image.header.addStringCard("IRAFNAME", irafName);
    image.header.addValueCard("INSTRUME", "'VESKA3: Veskacam'", "INSTRUMENT");
}

// A header cut short by the end of the file, or by a read error, whose reason follows.
bool endsInHeader(const CameraStream& stream)
{
    const int error = errno;
    std::printf("kovrent: Error - %s ends before the end of its header\n", stream.name().c_str());
    if (stream.failed())
        noticeFileError(stream.name(), error);
    return false;
}

// Runs the header records up to the end marker; false after a message.
bool readHeaderRecords(CameraStream& stream, RecordTarget& target)
{
    for (;;) {
        unsigned char flag = 0;
        if (stream.read(&flag, 1) != 1)
            return endsInHeader(stream);
        if (flag == 255)
            return true;
        if (flag >= 88)
            fatalExit("kovrent: unknown data flag encountered %i\n", static_cast<int>(flag));
        if (flag == 0) {
            std::printf("Error - unknown data flag encountered\n");
            return false;
        }
        switch (readRecord(flag, stream, target)) {
        case RecordResult::next:
            break;
        case RecordResult::fail:
            return false;
        case RecordResult::endOfFile:
            return endsInHeader(stream);
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
// the one-column buffer, are refused before any data are read.
void checkGeometry(const CameraReading& file)
{
    const FrameLayout& layout = file.layout;
    const HeaderFacts& facts = file.facts;
    if (!facts.hasStart || !facts.hasEnd)
        fatalExit("kovrent: Error in file header - no image corners (INITX/INITY and ENDX/ENDY records)\n");
    if (layout.naxis1 < 1 || layout.naxis2 < 1)
        fatalExit("kovrent: Error in file header - image size %d x %d\n", layout.naxis1, layout.naxis2);
    if (!facts.hasCoadds)
        fatalExit("kovrent: Error in file header - no TOTCOADD record\n");
    if (!facts.isPacked && (layout.finX < layout.initX || layout.finX > layout.endX))
        fatalExit("kovrent: Error in file header - FINX %d outside the image columns %d to %d\n", layout.finX,
                  layout.initX, layout.endX);
}

} // namespace

bool readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
               int64_t& fileNumber)
{
    // Some 100 KiB of buffers: on the heap, not on the stack, and not cleared (default
    // initialisation), since every byte is read into before it is used.
    const std::unique_ptr<CameraReading> file(new CameraReading);
    if (!file->stream.open(request.inputName)) {
        const int error = errno;
        std::printf("kovrent: Error - file not found: %s\n", request.inputName.c_str());
        noticeFileError(request.inputName, error);
        return false;
    }
    setUpHeader(request.inputName, image, request.frameNumber);
    session.orientation = "ULYYN";

    RecordTarget target{image, session, file->layout, file->facts, request.unpack};
    if (!readHeaderRecords(file->stream, target))
        return false;
    afterEndMarker(*file, image);

    const FrameLayout& layout = file->layout;
    if (request.unpack && !file->facts.isPacked)
        fatalExit("\nkovrent: Error - data not in packed mode\n");
    // Sizes are checked before anything is computed from them; a refused file writes nothing.
    if (layout.naxis1 > rasterSize || layout.naxis2 > rasterSize)
        fatalExit("Error in file header - too big!\n");
    checkGeometry(*file);
    if (file->facts.isPacked) {
        checkPackedLayout(*file, session.obsmode);
        if (!readTrailer(*file, image.header, session.obsmode))
            return false;
    }
    closeHeader(layout, image);

    if (file->facts.isPacked) {
        unpackImages(*file, request, image, raster, session, fileNumber);
        return true;
    }
    readFrames(*file, raster, request.frameNumber, session.obsmode);
    file->stream.close();
    if (request.interchange && layout.naxis2 >= 1)
        interchangeColumns(raster, layout.naxis1, layout.naxis2);
    return true;
}
