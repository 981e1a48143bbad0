#include "camera/readveska.h"

#include "camera/camerafile.h"
#include "camera/cameratexts.h"
#include "camera/datablocks.h"
#include "camera/keywords.h"
#include "camera/unpack.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>

namespace {

// IRAFNAME and INSTRUME behind the seven cards that the image's size fills at the end.
void setUpHeader(const std::string& inputName, FitsImage& image, int32_t frameNumber)
{
    image.naxis = 2;
    image.bscale = 1.0;
    image.bzero = 0.0;
    image.bitpix = -32;
    reserveMinimalCards(image.header);

    std::string irafName = inputName;
    if (irafName.size() >= 12)
        irafName[irafName.size() - 12] = 'i';
    if (frameNumber >= 1)
        irafName.append(".").append(std::to_string(frameNumber));
    image.header.addStringCard("IRAFNAME", irafName);
    image.header.addValueCard("INSTRUME", "'VESKA3: Veskacam'", "INSTRUMENT");
}

// Runs the header records up to the end marker.
Result readHeaderRecords(CameraStream& stream, RecordTarget& target, Messages& messages)
{
    for (;;) {
        unsigned char flag = 0;
        if (stream.read(&flag, 1) != 1)
            return endsInHeader(stream, messages);
        if (flag == 255)
            return Result();
        if (flag >= 88)
            return messages.fatal(CameraText::unknownFlag, {flag});
        if (flag == 0)
            return messages.failed(CameraText::flagZero);
        if (Result record = readRecord(flag, stream, target); !record)
            return record;
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

// Headers that leave the image undefined, or whose data would not fit the raster or
// the one-column buffer, are refused before any data are read.
Result checkGeometry(const CameraReading& file, Messages& messages)
{
    const FrameLayout& layout = file.layout;
    const HeaderFacts& facts = file.facts;
    if (!facts.hasStart || !facts.hasEnd)
        return messages.fatal(CameraText::noCorners);
    if (layout.naxis1 < 1 || layout.naxis2 < 1)
        return messages.fatal(CameraText::badSize, {layout.naxis1, layout.naxis2});
    if (!facts.hasCoadds)
        return messages.fatal(CameraText::noCoadds);
    if (!facts.isPacked && (layout.finX < layout.initX || layout.finX > layout.endX))
        return messages.fatal(CameraText::finXOutside, {layout.finX, layout.initX, layout.endX});
    return Result();
}

} // namespace

namespace {

Result readHeader(const CameraRequest& request, FitsImage& image, CameraHeader& header,
                  std::unique_ptr<CameraReading>& file, Messages& messages, std::size_t readAhead)
{
    header = CameraHeader();
    // Some 300 KiB of buffers: on the heap, not on the stack, and not cleared (default
    // initialisation), since every byte is read into before it is used.
    if (!file)
        file.reset(new CameraReading);
    file->layout = FrameLayout();
    file->facts = HeaderFacts();
    if (Result opened = file->stream.open(request.inputName, readAhead, request.cancel); !opened) {
        messages.say(CameraText::notFound, request.inputName);
        messages.fileError(request.inputName, opened.cause().value());
        return Result::failed(opened.cause(), messages.lastReason());
    }
    setUpHeader(request.inputName, image, request.frameNumber);
    RecordTarget target{image,        header.observation, header.orientation, header.carried,
                        file->layout, file->facts,        request.unpack,     messages};
    Result result = readHeaderRecords(file->stream, target, messages);
    if (!result)
        file->stream.close();
    return result;
}

} // namespace

Result readCameraHeader(const CameraRequest& request, FitsImage& image, CameraHeader& header,
                        std::unique_ptr<CameraReading>& file, Messages& messages)
{
    return readHeader(request, image, header, file, messages, CameraStream::viewLimit);
}

Result readCameraHeaderOnly(const std::string& name, FitsImage& image, CameraHeader& header,
                            std::unique_ptr<CameraReading>& file, Messages& messages, Cancellation* cancel)
{
    CameraRequest request;
    request.inputName = name;
    request.unpack = true;
    request.cancel = cancel;
    return readCameraHeaderOnly(request, image, header, file, messages);
}

Result readCameraHeaderOnly(const CameraRequest& request, FitsImage& image, CameraHeader& header,
                            std::unique_ptr<CameraReading>& file, Messages& messages)
{
    // Headers hold a few hundred bytes: one page of the file is read for most.
    constexpr std::size_t headerReadAhead = 4096;
    Result result = readHeader(request, image, header, file, messages, headerReadAhead);
    image.naxis1 = image.naxis2 = 0;
    if (result && file->facts.hasStart && file->facts.hasEnd) {
        file->layout.measure();
        image.naxis1 = static_cast<int16_t>(std::clamp<int64_t>(file->layout.naxis1, 0, INT16_MAX));
        image.naxis2 = static_cast<int16_t>(std::clamp<int64_t>(file->layout.naxis2, 0, INT16_MAX));
    }
    file->stream.close();
    return result;
}

int64_t declaredDataEnd(const CameraReading& file, std::optional<int64_t> obsmode)
{
    FrameLayout layout = file.layout;
    const HeaderFacts& facts = file.facts;
    if (!facts.hasStart || !facts.hasEnd || !facts.hasCoadds)
        return -1;
    layout.measure();
    if (layout.naxis1 < 1 || layout.naxis2 < 1 || layout.naxis1 > rasterSize || layout.naxis2 > rasterSize)
        return -1;
    // The data begin behind the end marker, or behind the header size that a record declares.
    const int64_t dataStart = std::max<int64_t>(file.stream.bytesRead(), facts.headerSize);
    const int32_t mode = obsmode && *obsmode >= INT32_MIN && *obsmode <= INT32_MAX ? static_cast<int32_t>(*obsmode) : 1;
    if (facts.isPacked)
        return facts.ultrafastCount > 0 || facts.packedCount > 0 ? packedDataEnd(file, mode, dataStart) : -1;
    if (layout.finX < layout.initX || layout.finX > layout.endX)
        return -1;
    const ObservingMode* combined = obsmode ? observingMode(*obsmode) : nullptr;
    return framesEnd(layout, dataStart, combined ? combined->frames : 1);
}

Result readCameraData(std::unique_ptr<CameraReading>& file, const CameraRequest& request, int32_t obsmode,
                      FitsImage& image, CameraHeader& header, Raster& raster, Messages& messages,
                      std::unique_ptr<PackedImages>* packed)
{
    afterEndMarker(*file, image);
    const FrameLayout& layout = file->layout;
    if (request.unpack && !file->facts.isPacked)
        return messages.fatal(CameraText::notPacked);
    // Sizes are checked before anything is computed from them; a refused file writes nothing.
    if (layout.naxis1 > rasterSize || layout.naxis2 > rasterSize)
        return messages.fatal(CameraText::tooBig);
    if (Result geometry = checkGeometry(*file, messages); !geometry)
        return geometry;
    if (file->facts.isPacked) {
        if (Result layout = checkPackedLayout(*file, obsmode, messages); !layout)
            return layout;
        std::string endTime;
        if (Result trailer = readTrailer(*file, obsmode, endTime, messages); !trailer)
            return trailer;
        RecordTarget target{image,        header.observation, header.orientation, header.carried,
                            file->layout, file->facts,        request.unpack,     messages};
        addTimeCard(target, "TIME-END", endTime, "END TIME OF OBSERVATION (UT)");
    }
    image.header.addEndCard();

    if (file->facts.isPacked) {
        if (packed)
            *packed = std::make_unique<PackedImages>(std::move(file), request, obsmode, messages);
        return Result();
    }
    Result read = readFrames(*file, raster, request.frameNumber, obsmode, messages);
    file->stream.close();
    if (!read)
        return read;
    if (request.interchange && layout.naxis2 >= 1)
        interchangeColumns(raster, layout.naxis1, layout.naxis2);
    return Result();
}

Result readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
                 CameraHeader& header, Messages& messages, std::unique_ptr<PackedImages>* packed)
{
    std::unique_ptr<CameraReading> file;
    Result result = readCameraHeader(request, image, header, file, messages);
    session = session.after(header.carried);
    if (result)
        result = readCameraData(file, request, session.obsmode, image, header, raster, messages, packed);
    if (result)
        fillMinimalCards(image);
    return result;
}
