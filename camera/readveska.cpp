#include "readveska.h"

#include "datablocks.h"
#include "fatal.h"
#include "headerstate.h"
#include "unpack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string HeaderState::shortReadReason() const
{
    if (std::ferror(stream.get()))
        return inputName + ": " + std::strerror(errno);
    return inputName + " ends before the end of its data";
}

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
bool endsInHeader(const HeaderState& state, const std::string& inputName)
{
    const int error = errno;
    std::printf("kovrent: Error - %s ends before the end of its header\n", inputName.c_str());
    if (std::ferror(state.stream.get()))
        noticeFileError(inputName, error);
    return false;
}

// Runs the header records up to the end marker; false after a message.
bool readHeaderRecords(HeaderState& state, RecordTarget& target, const std::string& inputName)
{
    for (;;) {
        unsigned char flag = 0;
        if (state.read(&flag, 1) != 1)
            return endsInHeader(state, inputName);
        if (flag == 255)
            return true;
        if (flag >= 88)
            fatalExit("kovrent: unknown data flag encountered %i\n", static_cast<int>(flag));
        if (flag == 0) {
            std::printf("Error - unknown data flag encountered\n");
            return false;
        }
        switch (readRecord(flag, state, target)) {
        case RecordResult::next:
            break;
        case RecordResult::fail:
            return false;
        case RecordResult::endOfFile:
            return endsInHeader(state, inputName);
        }
    }
}

// Sizes and fill counts from the image corners, then the rest of a declared header.
void afterEndMarker(HeaderState& state, FitsImage& image)
{
    state.naxis1 = state.endX - state.initX + 1;
    state.naxis2 = state.endY - state.initY + 1;
    image.naxis1 = static_cast<int16_t>(state.naxis1);
    image.naxis2 = static_cast<int16_t>(state.naxis2);
    state.skipBefore = dataBlockBytes + (static_cast<int64_t>(state.initX) - state.finX - 1) * state.naxis2 * 4;
    state.skipAfter = state.endX == state.finX
                          ? 0
                          : dataBlockBytes + (static_cast<int64_t>(state.finX) - state.endX) * state.naxis2 * 4;
    int64_t remaining = state.headerSize - state.bytesRead;
    while (remaining > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<int64_t>(remaining, dataBlockBytes));
        const std::size_t got = state.read(state.scratch, chunk);
        if (got < chunk)
            break;
        remaining -= static_cast<int64_t>(got);
    }
}

// END, blank cards, and NAXIS1 and NAXIS2 with the real size.
void closeHeader(HeaderState& state, FitsImage& image)
{
    image.header.end();
    image.header.replaceValueCard("NAXIS1", std::to_string(state.naxis1), "PIXELS ON 1ST MOST VARYING AXIS");
    image.header.replaceValueCard("NAXIS2", std::to_string(state.naxis2), "PIXELS ON 2ND MOST VARYING AXIS");
}

// Headers that leave the image undefined, or whose data would not fit the raster or
// the one-column buffer, are refused before any data are read.
void checkGeometry(const HeaderState& state)
{
    if (!state.hasStart || !state.hasEnd)
        fatalExit("kovrent: Error in file header - no image corners (INITX/INITY and ENDX/ENDY records)\n");
    if (state.naxis1 < 1 || state.naxis2 < 1)
        fatalExit("kovrent: Error in file header - image size %d x %d\n", state.naxis1, state.naxis2);
    if (!state.hasCoadds)
        fatalExit("kovrent: Error in file header - no TOTCOADD record\n");
    if (!state.isPacked && (state.finX < state.initX || state.finX > state.endX))
        fatalExit("kovrent: Error in file header - FINX %d outside the image columns %d to %d\n", state.finX,
                  state.initX, state.endX);
}

} // namespace

bool readVESKA(const CameraRequest& request, FitsImage& image, Raster& raster, CameraSession& session,
               int64_t& fileNumber)
{
    const std::string& inputName = request.inputName;
    HeaderState headerState;
    HeaderState* const state = &headerState;
    state->stream = openFile(inputName, "rb");
    state->inputName = inputName;
    if (!state->stream) {
        const int error = errno;
        std::printf("kovrent: Error - file not found: %s\n", inputName.c_str());
        noticeFileError(inputName, error);
        return false;
    }
    // Whole data blocks per read instead of the library's small default buffer.
    std::setvbuf(state->stream.get(), state->streamBuffer, _IOFBF, sizeof state->streamBuffer);
    setUpHeader(inputName, image, request.frameNumber);
    session.orientation = "ULYYN";

    RecordTarget target{image, request.unpack, session};
    if (!readHeaderRecords(*state, target, inputName))
        return false;
    afterEndMarker(*state, image);

    if (request.unpack && !state->isPacked)
        fatalExit("\nkovrent: Error - data not in packed mode\n");
    // Sizes are checked before anything is computed from them; a refused file writes nothing.
    if (state->naxis1 > rasterSize || state->naxis2 > rasterSize)
        fatalExit("Error in file header - too big!\n");
    checkGeometry(*state);
    if (state->isPacked) {
        checkPackedLayout(*state, session.obsmode);
        if (!readTrailer(*state, inputName, image, session.obsmode))
            return false;
    }
    closeHeader(*state, image);

    if (state->isPacked) {
        unpackImages(*state, request, image, raster, session, fileNumber);
        return true;
    }
    readFrames(*state, raster, request.frameNumber, session.obsmode);
    state->stream.reset();
    if (request.interchange && state->naxis2 >= 1)
        interchangeColumns(raster, state->naxis1, state->naxis2);
    return true;
}
