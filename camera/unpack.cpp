#include "camera/unpack.h"

#include "camera/datablocks.h"
#include "fits/fatal.h"
#include "fits/fitsfile.h"
#include "camera/keywords.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int slotBytes = 8192;
constexpr int ultrafastSide = 64; // ultrafast images are at most 64 x 64 pixels
constexpr int slotsPerBlock = dataBlockBytes / slotBytes;

bool isUltrafast(const HeaderFacts& facts)
{
    return facts.ultrafastCount > 0;
}

int32_t columnsPerBlock(const FrameLayout& layout)
{
    return dataBlockBytes / (4 * layout.naxis2);
}

int64_t imageCount(const HeaderFacts& facts)
{
    return isUltrafast(facts) ? facts.ultrafastCount : facts.packedCount;
}

// Bytes of packed data between the header and the trailer.
int64_t packedLength(const CameraReading& file, int32_t obsmode)
{
    if (isUltrafast(file.facts)) {
        const int64_t bytes = int64_t{file.facts.ultrafastCount} * slotBytes * (obsmode > 1 ? 2 : 1);
        return (bytes + dataBlockBytes - 1) / dataBlockBytes * dataBlockBytes;
    }
    const int64_t columns = int64_t{file.layout.naxis1} * file.facts.packedCount * (obsmode > 1 ? 2 : 1);
    const int64_t blocks = (columns + columnsPerBlock(file.layout) - 1) / columnsPerBlock(file.layout);
    return blocks * dataBlockBytes;
}

// The data blocks of the packed data, read whole, one at a time, into the scratch buffer.
class BlockReader {
public:
    BlockReader(CameraStream& stream, const FrameLayout& layout) : stream_(stream), layout_(layout) {}

    // The next column of a packed image, from a new block when this one is used up.
    const unsigned char* nextColumn()
    {
        if (columnsLeft_ == 0) {
            readBlock();
            columnsLeft_ = columnsPerBlock(layout_);
            cursor_ = stream_.scratch;
        }
        --columnsLeft_;
        const unsigned char* column = cursor_;
        cursor_ += 4 * static_cast<std::size_t>(layout_.naxis2);
        return column;
    }

    // The next 8192-byte slot of an ultrafast image.
    const unsigned char* nextSlot()
    {
        if (slot_ == slotsPerBlock) {
            readBlock();
            slot_ = 0;
        }
        return stream_.scratch + slotBytes * slot_++;
    }

private:
    void readBlock()
    {
        if (stream_.read(stream_.scratch, dataBlockBytes) != dataBlockBytes)
            fatalExitBecause(stream_.shortReadReason(), "kovrent: error reading packed data\n");
    }

    CameraStream& stream_;
    const FrameLayout& layout_;
    int32_t columnsLeft_ = 0;
    const unsigned char* cursor_ = nullptr;
    int slot_ = slotsPerBlock;
};

// Beam 2 of a chopped image: subtracted from beam 1 (frame 0), alone (frame 2), or dropped.
void mergeBeam2(float& cell, double value, int32_t frameNumber)
{
    if (frameNumber == 0)
        cell = static_cast<float>(cell - value);
    else if (frameNumber == 2)
        cell = static_cast<float>(value);
}

// The packed values are taken as floats before they are divided.
double scaled(int32_t value, float divisor)
{
    return static_cast<double>(static_cast<float>(value)) / divisor;
}

// One packed image: beam 1, and beam 2 for the chopping modes, each over the coadds of beam 1.
void readPackedImage(BlockReader& blocks, const FrameLayout& layout, Raster& raster, float divisor,
                     int32_t frameNumber, int32_t obsmode)
{
    for (int x = 0; x < layout.naxis1; ++x) {
        const unsigned char* column = blocks.nextColumn();
        for (int y = 0; y < layout.naxis2; ++y)
            raster[x][y] = static_cast<float>(scaled(littleInt32(column + 4 * y), divisor));
    }
    if (obsmode < 2 || obsmode > 4)
        return;
    for (int x = 0; x < layout.naxis1; ++x) {
        const unsigned char* column = blocks.nextColumn();
        for (int y = 0; y < layout.naxis2; ++y)
            mergeBeam2(raster[x][y], scaled(littleInt32(column + 4 * y), divisor), frameNumber);
    }
}

// One ultrafast image: a slot, and the next one for a chop, in readout order, then unscrambled.
void readUltrafastImage(BlockReader& blocks, const FrameLayout& layout, Raster& raster, float divisor,
                        int32_t frameNumber, int32_t obsmode)
{
    const unsigned char* slot = blocks.nextSlot();
    for (int x = 0, k = 0; x < layout.naxis1; ++x)
        for (int y = 0; y < layout.naxis2; ++y, k += 2)
            raster[x][y] = static_cast<float>(scaled(littleInt16(slot + k), divisor));
    if (obsmode == 2) {
        slot = blocks.nextSlot();
        for (int x = 0, k = 0; x < layout.naxis1; ++x)
            for (int y = 0; y < layout.naxis2; ++y, k += 2)
                mergeBeam2(raster[x][y], scaled(littleInt16(slot + k), divisor), frameNumber);
    }
    unscrambleUltrafast(raster, layout.naxis1, layout.naxis2);
}

bool endsWith(const std::string& text, const std::string& ending)
{
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// The names of the unpacked images: the base "t970611a." and the endings the
// driver gives every output name (".n" for a frame, ".fits" with -a).
struct UnpackedNames {
    std::string base;
    std::string frameEnding;
    std::string fitsEnding;

    UnpackedNames(std::string outputName, int32_t frameNumber, bool appendFits)
    {
        if (appendFits && endsWith(outputName, ".fits")) {
            fitsEnding = ".fits";
            outputName.resize(outputName.size() - fitsEnding.size());
        }
        if (frameNumber >= 1) {
            const std::string ending = std::string(".").append(std::to_string(frameNumber));
            if (endsWith(outputName, ending)) {
                frameEnding = ending;
                outputName.resize(outputName.size() - ending.size());
            }
        }
        // The mark and the cut stay within the file's own name, so that a short name never
        // changes the directory the images go to.
        const std::size_t start = fileNameStart(outputName);
        if (outputName.size() >= 12 && outputName.size() - 12 >= start)
            outputName[outputName.size() - 12] = 't';
        base = outputName.substr(0, std::max(outputName.size() >= 3 ? outputName.size() - 3 : 0, start));
    }

    // The file name of image number n and its IRAFNAME; false, with the reason, when no name
    // can be formed: the series letter would have to pass 0xFF.
    bool forImage(int64_t n, std::string& fileName, std::string& irafName, std::string& reason) const
    {
        std::string name = base;
        if (n > 999) {
            n -= 1000;
            // Numbers from 1000 on go on in the next series letter: t970611b.003. Not in a
            // directory, and never a dot, which would become a '/'.
            if (name.size() >= 2 && name.size() - 2 >= fileNameStart(name) && name[name.size() - 2] != '.') {
                char& letter = name[name.size() - 2];
                // Past 0xFF the letter would wrap to NUL, which ends a file name.
                if (static_cast<unsigned char>(letter) == 0xFF) {
                    reason = "the series letter of " + base + " is 0xFF: image numbers from 1000 on need a next one";
                    return false;
                }
                ++letter;
            }
        }
        char digits[32];
        std::snprintf(digits, sizeof digits, "%03lld", static_cast<long long>(n));
        name += digits;
        irafName = name;
        if (irafName.size() >= 12)
            irafName[irafName.size() - 12] = 'i';
        irafName += frameEnding;
        fileName = name + frameEnding + fitsEnding;
        return true;
    }
};

} // namespace

void checkPackedLayout(const CameraReading& file, int32_t obsmode)
{
    const HeaderFacts& facts = file.facts;
    if (isUltrafast(facts)) {
        if (file.layout.naxis1 > ultrafastSide || file.layout.naxis2 > ultrafastSide)
            fatalExit("kovrent: Error - ultrafast images of %d x %d pixels do not fit their 64 x 64 slot\n",
                      file.layout.naxis1, file.layout.naxis2);
        // The readout order takes the columns in pairs: of a single column it would place
        // half the values outside the image and leave half the image unwritten.
        if (file.layout.naxis1 < 2)
            fatalExit("kovrent: Error - ultrafast images of %d x %d pixels cannot be unscrambled: the camera "
                      "reads their columns in pairs\n",
                      file.layout.naxis1, file.layout.naxis2);
        if (obsmode > 2)
            fatalExit("kovrent: Error - ultrafast packed data in observing mode %i cannot be unpacked\n", obsmode);
    } else if (obsmode > 4) {
        fatalExit("kovrent: Error - packed data in observing mode %i cannot be unpacked\n", obsmode);
    } else if (facts.packedCount < 1) {
        // A later PACKED record can take back the count that made the file a packed one.
        fatalExit("kovrent: Error - packed file without images (PACKED %d)\n", facts.packedCount);
    }
}

bool readTrailer(CameraReading& file, Header& header, int32_t obsmode)
{
    CameraStream& stream = file.stream;
    if (!isUltrafast(file.facts) && obsmode > 2)
        file.facts.packedCount *= 2;
    const int64_t dataStart = stream.bytesRead();
    if (!stream.seekForward(packedLength(file, obsmode))) {
        const int error = errno;
        std::printf("Fseek failed on packed file!\n");
        noticeFileError(stream.name(), error);
        return false;
    }
    // 10 ignored bytes, then hours, minutes, seconds and hundredths; missing bytes count as zeros.
    unsigned char trailer[18] = {};
    const std::size_t got = stream.read(trailer, sizeof trailer);
    std::memset(trailer + got, 0, sizeof trailer - got);
    const std::string text = timeText(littleInt16(trailer + 10), littleInt16(trailer + 12), littleInt16(trailer + 14),
                                      littleInt16(trailer + 16));
    header.addValueCard("TIME-END", text, "END TIME OF OBSERVATION (UT)");

    if (!stream.reopenAt(dataStart)) {
        const int error = errno;
        std::printf("Error reopening packed file\n");
        noticeFileError(stream.name(), error);
        return false;
    }
    return true;
}

void unpackImages(CameraReading& file, const CameraRequest& request, FitsImage& image, Raster& raster,
                  CameraSession& session, int64_t& fileNumber)
{
    const FrameLayout& layout = file.layout;
    const int32_t frameNumber = request.frameNumber;
    const int32_t obsmode = session.obsmode;
    const UnpackedNames names(request.outputName, frameNumber, request.appendFits);
    // A file without a number in its name is numbered from 0.
    const int64_t startNumber = std::max<int64_t>(fileNumber, 0);
    const int64_t images = imageCount(file.facts);
    const bool ultrafast = isUltrafast(file.facts);
    const auto divisor = static_cast<float>(file.facts.coadds[0]);

    if (ultrafast)
        std::printf("writing %i ultrafast packed files...\n", file.facts.ultrafastCount);
    else
        std::printf("writing %i files...\n", file.facts.packedCount);
    fileNumber = startNumber + images - 1;
    const int beams = (ultrafast ? obsmode == 2 : obsmode >= 2 && obsmode <= 4) ? 2 : 1;
    if (const ObservingMode* mode = observingMode(obsmode); mode && frameNumber > beams)
        notice("warning - frame %d asked for with -o, but the packed images of observing mode %d (%s) have %d "
               "beam%s; beam 1 is written",
               frameNumber, obsmode, mode->name, beams, beams == 1 ? "" : "s");

    BlockReader blocks(file.stream, layout);
    std::string fileName, irafName;
    for (int64_t k = 0; k < images; ++k) {
        std::string reason;
        if (!names.forImage(startNumber + k, fileName, irafName, reason))
            fatalExitBecause(reason, "kovrent: Error - no file name for unpacked image number %lld\n",
                             static_cast<long long>(startNumber + k));
        // Two images of one run never share a name: the later one would replace the earlier.
        if (!session.unpackedNames.insert(fileName).second)
            fatalExitBecause(fileName + " is the name of an earlier image of this run",
                             "kovrent: Error - no file name for unpacked image number %lld\n",
                             static_cast<long long>(startNumber + k));
        if (replacesFile(fileName, request.inputName, request.folder))
            fatalExit("kovrent: Error - unpacked file %s would overwrite input file %s\n", fileName.c_str(),
                      request.inputName.c_str());
        std::printf(ultrafast ? "Now writing ultrafast unpacked file %s\n" : "Now writing unpacked file %s\n",
                    fileName.c_str());
        if (ultrafast)
            readUltrafastImage(blocks, layout, raster, divisor, frameNumber, obsmode);
        else
            readPackedImage(blocks, layout, raster, divisor, frameNumber, obsmode);

        if (!image.header.replaceStringCard("IRAFNAME", irafName))
            fatalExit("kovrent: error, IRAFNAME keyword not found\n");
        if (!ultrafast && request.interchange && layout.naxis2 >= 1)
            interchangeColumns(raster, layout.naxis1, layout.naxis2);
        if (writeFITS(fileName, image, raster, nullptr, request.folder))
            ++session.unpackedImages;
        else
            ++session.unpackWriteFailures;
        flushOutput();
    }
    file.stream.close();
}

void unscrambleUltrafast(Raster& raster, int naxis1, int naxis2)
{
    float table[ultrafastSide][ultrafastSide] = {};
    naxis1 = std::min(naxis1, ultrafastSide);
    naxis2 = std::min(naxis2, ultrafastSide);
    // The camera reads rows 8 apart in every second column; each new pass takes the other
    // columns, and every second pass starts one row lower. (column, row) is where the next
    // value goes.
    int column = 0, row = 0, pass = 0;
    for (int x = 0; x < naxis1; ++x) {
        for (int y = 0; y < naxis2; ++y) {
            // Odd sizes send the walk past the image; what leaves the table is dropped.
            if (column < ultrafastSide && row < ultrafastSide)
                table[column][row] = raster[x][y];
            row += 8;
            if (row > naxis2 - 1) {
                column += 2;
                if (column > naxis1 - 1) {
                    ++pass;
                    column = pass % 2 == 0 ? 0 : 1;
                }
                row = pass / 2;
            }
        }
    }
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            raster[x][y] = table[x][y];
}
