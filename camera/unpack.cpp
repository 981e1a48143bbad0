#include "camera/unpack.h"

#include "camera/cameratexts.h"
#include "camera/datablocks.h"
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
int64_t packedLength(const FrameLayout& layout, const HeaderFacts& facts, int32_t obsmode)
{
    if (isUltrafast(facts)) {
        const int64_t bytes = int64_t{facts.ultrafastCount} * slotBytes * (obsmode > 1 ? 2 : 1);
        return (bytes + dataBlockBytes - 1) / dataBlockBytes * dataBlockBytes;
    }
    const int64_t columns = int64_t{layout.naxis1} * facts.packedCount * (obsmode > 1 ? 2 : 1);
    const int64_t blocks = (columns + columnsPerBlock(layout) - 1) / columnsPerBlock(layout);
    return blocks * dataBlockBytes;
}

} // namespace

// The data blocks of the packed data, read whole, one at a time, into the scratch buffer.
class BlockReader {
public:
    BlockReader(CameraStream& stream, const FrameLayout& layout) : stream_(stream), layout_(layout) {}

    // The next column of a packed image, from a new block when this one is used up; null when
    // that block comes up short.
    const unsigned char* nextColumn()
    {
        if (columnsLeft_ == 0) {
            if (!readBlock())
                return nullptr;
            columnsLeft_ = columnsPerBlock(layout_);
            cursor_ = block_;
        }
        --columnsLeft_;
        const unsigned char* column = cursor_;
        cursor_ += 4 * static_cast<std::size_t>(layout_.naxis2);
        return column;
    }

    // The next 8192-byte slot of an ultrafast image, or null as nextColumn.
    const unsigned char* nextSlot()
    {
        if (slot_ == slotsPerBlock) {
            if (!readBlock())
                return nullptr;
            slot_ = 0;
        }
        return block_ + slotBytes * slot_++;
    }

private:
    // The next block where it stands in the stream's buffer, which nothing else reads meanwhile.
    bool readBlock()
    {
        std::size_t got = 0;
        block_ = stream_.view(dataBlockBytes, got);
        return got == dataBlockBytes;
    }

    CameraStream& stream_;
    const FrameLayout& layout_;
    int32_t columnsLeft_ = 0;
    const unsigned char* block_ = nullptr;
    const unsigned char* cursor_ = nullptr;
    int slot_ = slotsPerBlock;
};

namespace {

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

// Beam 1, and beam 2 when there is one, merged by frame number, into the image's naxis1 x naxis2
// cells; `value(bytes, k)` reads value k of a beam's bytes, the image's column x holding values
// x naxis2 to (x + 1) naxis2 - 1.
template <typename Value>
void decodeBeams(const unsigned char* beam1, const unsigned char* beam2, int naxis1, int naxis2, Raster& raster,
                 float divisor, int32_t frameNumber, Value value)
{
    for (int x = 0, k = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y, ++k)
            raster[x][y] = static_cast<float>(scaled(value(beam1, k), divisor));
    if (beam2)
        for (int x = 0, k = 0; x < naxis1; ++x)
            for (int y = 0; y < naxis2; ++y, ++k)
                mergeBeam2(raster[x][y], scaled(value(beam2, k), divisor), frameNumber);
}

} // namespace

Result checkPackedLayout(const CameraReading& file, int32_t obsmode, Messages& messages)
{
    const HeaderFacts& facts = file.facts;
    const FrameLayout& layout = file.layout;
    if (isUltrafast(facts)) {
        if (layout.naxis1 > ultrafastSide || layout.naxis2 > ultrafastSide) {
            return messages.fatal(CameraText::ultrafastTooLarge, {layout.naxis1, layout.naxis2});
        }
        // The readout order takes the columns in pairs: of a single column it would place
        // half the values outside the image and leave half the image unwritten.
        if (layout.naxis1 < 2) {
            return messages.fatal(CameraText::ultrafastOneColumn, {layout.naxis1, layout.naxis2});
        }
        if (obsmode > 2) {
            return messages.fatal(CameraText::ultrafastMode, {obsmode});
        }
    } else if (obsmode > 4) {
        return messages.fatal(CameraText::packedMode, {obsmode});
    } else if (facts.packedCount < 1) {
        // A later PACKED record can take back the count that made the file a packed one.
        return messages.fatal(CameraText::packedEmpty, {facts.packedCount});
    }
    return Result();
}

int64_t packedDataEnd(const CameraReading& file, int32_t obsmode, int64_t dataStart)
{
    // As readTrailer counts them: the images of a packed chop-nod file are its count twice.
    HeaderFacts facts = file.facts;
    if (!isUltrafast(facts) && obsmode > 2)
        facts.packedCount *= 2;
    return dataStart + packedLength(file.layout, facts, obsmode);
}

Result readTrailer(CameraReading& file, int32_t obsmode, std::string& endTime, Messages& messages)
{
    CameraStream& stream = file.stream;
    if (!isUltrafast(file.facts) && obsmode > 2)
        file.facts.packedCount *= 2;
    const int64_t dataStart = stream.bytesRead();
    if (Result passed = stream.seekForward(packedLength(file.layout, file.facts, obsmode)); !passed) {
        messages.say(CameraText::seekFailed);
        messages.fileError(stream.name(), passed.cause().value());
        return Result::failed(passed.cause(), messages.lastReason());
    }
    // 10 ignored bytes, then hours, minutes, seconds and hundredths; missing bytes count as zeros.
    unsigned char trailer[18] = {};
    const std::size_t got = stream.read(trailer, sizeof trailer);
    std::memset(trailer + got, 0, sizeof trailer - got);
    endTime = timeText(littleInt16(trailer + 10), littleInt16(trailer + 12), littleInt16(trailer + 14),
                       littleInt16(trailer + 16));

    if (Result reopened = stream.reopenAt(dataStart); !reopened) {
        messages.say(CameraText::reopenFailed);
        messages.fileError(stream.name(), reopened.cause().value());
        return Result::failed(reopened.cause(), messages.lastReason());
    }
    return Result();
}

PackedImages::PackedImages(std::unique_ptr<CameraReading> file, const CameraRequest& request, int32_t obsmode,
                           Messages& messages)
    : file_(std::move(file)), frameNumber_(request.frameNumber), obsmode_(obsmode), interchange_(request.interchange),
      divisor_(static_cast<float>(file_->facts.coadds[0])),
      blocks_(std::make_unique<BlockReader>(file_->stream, file_->layout))
{
    if (ultrafast())
        messages.say(CameraText::ultrafastCount, {file_->facts.ultrafastCount});
    else
        messages.say(CameraText::packedCount, {file_->facts.packedCount});
    if (const ObservingMode* mode = observingMode(obsmode); mode && frameNumber_ > beams()) {
        TextValues values;
        values.name = mode->name;
        values.numbers[0] = frameNumber_;
        values.numbers[1] = obsmode;
        values.numbers[2] = beams();
        messages.warn(CameraText::beamBeyondImages, values, sentence(CameraText::beamBeyondImages, values));
    }
}

PackedImages::~PackedImages() = default;

int64_t PackedImages::count() const
{
    return imageCount(file_->facts);
}

bool PackedImages::ultrafast() const
{
    return isUltrafast(file_->facts);
}

int PackedImages::beams() const
{
    return (ultrafast() ? obsmode_ == 2 : obsmode_ >= 2 && obsmode_ <= 4) ? 2 : 1;
}

Result PackedImages::takeNext(std::vector<unsigned char>& bytes, Messages& messages)
{
    const FrameLayout& layout = file_->layout;
    // A packed image's beams take naxis1 columns each, carried across data blocks; an
    // ultrafast image's take a slot each.
    const std::size_t columnBytes = 4 * static_cast<std::size_t>(layout.naxis2);
    const std::size_t beamBytes = ultrafast() ? slotBytes : static_cast<std::size_t>(layout.naxis1) * columnBytes;
    bytes.resize(beams() * beamBytes);
    unsigned char* to = bytes.data();
    bool read = true;
    for (int beam = 0; beam < beams() && read; ++beam) {
        if (ultrafast()) {
            const unsigned char* slot = blocks_->nextSlot();
            read = slot != nullptr;
            if (read)
                to = std::copy_n(slot, slotBytes, to);
            continue;
        }
        for (int x = 0; x < layout.naxis1 && read; ++x) {
            const unsigned char* column = blocks_->nextColumn();
            read = column != nullptr;
            if (read)
                to = std::copy_n(column, columnBytes, to);
        }
    }
    if (!read) {
        messages.say(CameraText::packedShort);
        messages.reason("%s", file_->stream.shortReadReason().c_str());
        return Result::fatal(CameraText::packedShort, messages.lastReason());
    }
    return Result();
}

void PackedImages::decode(const std::vector<unsigned char>& bytes, Raster& raster) const
{
    const FrameLayout& layout = file_->layout;
    const int64_t count = int64_t{layout.naxis1} * layout.naxis2;
    if (ultrafast()) {
        decodeBeams(bytes.data(), beams() == 2 ? bytes.data() + slotBytes : nullptr, layout.naxis1, layout.naxis2,
                    raster, divisor_, frameNumber_,
                    [](const unsigned char* beam, int k) { return littleInt16(beam + 2 * k); });
        unscrambleUltrafast(raster, layout.naxis1, layout.naxis2);
        return;
    }
    // A packed image's columns lie as the raster's do: merged as the frames of a file are.
    mergeColumnValues(raster, 0, bytes.data(), layout.naxis1, layout.naxis2, Merge::store, divisor_, true);
    if (beams() == 2 && (frameNumber_ == 0 || frameNumber_ == 2))
        mergeColumnValues(raster, 0, bytes.data() + 4 * count, layout.naxis1, layout.naxis2,
                          frameNumber_ == 0 ? Merge::subtract : Merge::store, divisor_, true);
    if (interchange_ && layout.naxis2 >= 1)
        interchangeColumns(raster, layout.naxis1, layout.naxis2);
}

Result PackedImages::readNext(Raster& raster, Messages& messages)
{
    std::vector<unsigned char> bytes;
    Result taken = takeNext(bytes, messages);
    if (taken)
        decode(bytes, raster);
    return taken;
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
