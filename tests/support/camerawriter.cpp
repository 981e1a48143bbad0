#include "support/camerawriter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace testsupport {
namespace {

struct RecordLayout {
    int bytes;                // after the flag; -1 for a string
    std::string_view fields;  // letters as documented at recordFields
};

// One row per data flag, written from the camera's header format; index 0 is unused. The byte
// column and the field column are kept apart on purpose: a test checks that they agree.
constexpr std::array<RecordLayout, 88> kRecords = {{
    {0, ""},
    {4, "f"},       {8, "ff"},       {4, "f"},       {4, "f"},       {4, "f"},       // 1-5
    {4, "f"},       {4, "f"},        {8, "fx4"},     {4, "f"},       {4, "f"},       // 6-10
    {4, "f"},       {4, "i"},        {4, "hh"},      {4, "hh"},      {4, "x4"},      // 11-15
    {2, "x2"},      {4, "hh"},       {-1, "s"},      {-1, "s"},      {-1, "s"},      // 16-20
    {-1, "s"},      {-1, "s"},       {-1, "s"},      {12, "hhhhhh"}, {16, "dd"},     // 21-25
    {-1, "s"},      {2, "x2"},       {2, "x2"},      {2, "b"},       {2, "b"},       // 26-30
    {2, "x2"},      {2, "h"},        {2, "h"},       {2, "h"},       {2, "h"},       // 31-35
    {2, "x2"},      {2, "h"},        {2, "h"},       {4, "i"},       {2, "h"},       // 36-40
    {8, "ff"},      {4, "f"},        {2, "h"},       {2, "x2"},      {12, "fff"},    // 41-45
    {12, "fff"},    {4, "f"},        {2, "h"},       {8, "ff"},      {2, "x2"},      // 46-50
    {2, "x2"},      {-1, "s"},       {-1, "s"},      {4, "hh"},      {4, "hh"},      // 51-55
    {2, "h"},       {4, "f"},        {4, "f"},       {-1, "s"},      {4, "f"},       // 56-60
    {2, "h"},       {2, "h"},        {2, "h"},       {8, "hhhh"},    {4, "f"},       // 61-65
    {2, "h"},       {8, "hhhh"},     {2, "h"},       {2, "h"},       {4, "f"},       // 66-70
    {4, "i"},       {8, "hhhh"},     {8, "ff"},      {64, "x64"},    {4, "hh"},      // 71-75
    {4, "i"},       {4, "i"},        {4, "i"},       {4, "i"},       {2, "h"},       // 76-80
    {2, "h"},       {56, "ddddddd"}, {4, "i"},       {6, "fx2"},     {4, "f"},       // 81-85
    {12, "iii"},    {4, "f"},                                                        // 86-87
}};

void putLittleEndian(std::vector<uint8_t>& out, size_t at, uint64_t bits, int width) {
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>(bits >> (8 * i));
}

int64_t checkedInteger(double value, double low, double high) {
    if (value != std::floor(value) || value < low || value > high)
        throw std::invalid_argument("camera file: integer field out of range");
    return static_cast<int64_t>(value);
}

int16_t checkedInt16(int64_t value) {
    if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max())
        throw std::invalid_argument("camera file: value does not fit in int16");
    return static_cast<int16_t>(value);
}

}  // namespace

FrameGeometry geometryOf(int naxis1, int naxis2, int blockColumns) {
    FrameGeometry g;
    g.initX = 0;
    g.initY = 0;
    g.endX = naxis1 - 1;
    g.endY = naxis2 - 1;
    g.finX = blockColumns > 0 ? blockColumns - 1 : g.endX;
    return g;
}

int recordBytes(int flag) {
    if (flag < 1 || flag > 87) throw std::invalid_argument("camera file: no record for this flag");
    return kRecords[flag].bytes;
}

std::string_view recordFields(int flag) {
    if (flag < 1 || flag > 87) return {};
    return kRecords[flag].fields;
}

int64_t packedDataBytes(int naxis1, int naxis2, int obsmode, int packedCount) {
    if (packedCount <= 0) return 0;
    const int64_t columnsPerBlock = kDataBlockBytes / (4 * int64_t{naxis2});
    if (columnsPerBlock < 1) throw std::invalid_argument("camera file: column longer than a block");
    const int64_t images = int64_t{packedCount} * (obsmode > 2 ? 2 : 1);
    const int64_t columns = int64_t{naxis1} * images * (obsmode > 1 ? 2 : 1);
    const int64_t blocks = (columns + columnsPerBlock - 1) / columnsPerBlock;
    return blocks * kDataBlockBytes;
}

int64_t ultrafastDataBytes(int obsmode, int ultrafastCount) {
    if (ultrafastCount <= 0) return 0;
    const int64_t raw = int64_t{ultrafastCount} * kUltrafastSlotBytes * (obsmode > 1 ? 2 : 1);
    return (raw + kDataBlockBytes - 1) / kDataBlockBytes * kDataBlockBytes;
}

// The camera reads an ultrafast image in 16 passes. Pass c takes the columns of parity c % 2,
// left to right, and in each of them the rows c / 2, c / 2 + 8, c / 2 + 16, ...: so the 2 x 8
// groups of the readout are visited one member at a time.
std::vector<std::pair<int, int>> ultrafastReadOrder(int naxis1, int naxis2) {
    if (naxis1 < 2 || naxis1 > 64 || naxis2 < 1 || naxis2 > 64)
        throw std::invalid_argument("camera file: no ultrafast readout order for this size");
    std::vector<std::pair<int, int>> order;
    order.reserve(static_cast<size_t>(naxis1) * naxis2);
    for (int pass = 0; pass < 16; ++pass)
        for (int x = pass % 2; x < naxis1; x += 2)
            for (int y = pass / 2; y < naxis2; y += 8) order.emplace_back(x, y);
    return order;
}

CameraWriter& CameraWriter::byte(uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

CameraWriter& CameraWriter::int16(int16_t value) {
    bytes_.resize(bytes_.size() + 2);
    putLittleEndian(bytes_, bytes_.size() - 2, static_cast<uint16_t>(value), 2);
    return *this;
}

CameraWriter& CameraWriter::int32(int32_t value) {
    bytes_.resize(bytes_.size() + 4);
    putLittleEndian(bytes_, bytes_.size() - 4, static_cast<uint32_t>(value), 4);
    return *this;
}

CameraWriter& CameraWriter::float32(float value) {
    bytes_.resize(bytes_.size() + 4);
    putLittleEndian(bytes_, bytes_.size() - 4, std::bit_cast<uint32_t>(value), 4);
    return *this;
}

CameraWriter& CameraWriter::float64(double value) {
    bytes_.resize(bytes_.size() + 8);
    putLittleEndian(bytes_, bytes_.size() - 8, std::bit_cast<uint64_t>(value), 8);
    return *this;
}

CameraWriter& CameraWriter::fill(size_t count, uint8_t value) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
}

CameraWriter& CameraWriter::flag(int flag) {
    if (flag < 0 || flag > 255) throw std::invalid_argument("camera file: flag is one byte");
    return byte(static_cast<uint8_t>(flag));
}

CameraWriter& CameraWriter::text(std::string_view text) {
    if (text.size() > 255) throw std::invalid_argument("camera file: string longer than 255");
    byte(static_cast<uint8_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
}

CameraWriter& CameraWriter::endMarker() { return byte(kEndMarker); }

CameraWriter& CameraWriter::padTo(size_t headerSize) {
    if (bytes_.size() < headerSize) bytes_.resize(headerSize, 0);
    return *this;
}

CameraWriter& CameraWriter::record(int flag, const std::vector<double>& values) {
    const std::string_view fields = recordFields(flag);
    if (fields.empty() || fields == "s")
        throw std::invalid_argument("camera file: not a record with fixed fields");
    this->flag(flag);
    size_t next = 0;
    auto take = [&]() {
        if (next == values.size()) throw std::invalid_argument("camera file: too few values");
        return values[next++];
    };
    for (size_t i = 0; i < fields.size(); ++i) {
        switch (fields[i]) {
        case 'b':  // int8 in the first byte of a 2-byte field
            byte(static_cast<uint8_t>(checkedInteger(take(), -128, 127))).byte(0);
            break;
        case 'h': int16(static_cast<int16_t>(checkedInteger(take(), -32768, 32767))); break;
        case 'i':
            int32(static_cast<int32_t>(checkedInteger(take(), -2147483648.0, 2147483647.0)));
            break;
        case 'f': float32(static_cast<float>(take())); break;
        case 'd': float64(take()); break;
        case 'x': {
            size_t count = 0;
            while (i + 1 < fields.size() && fields[i + 1] >= '0' && fields[i + 1] <= '9')
                count = count * 10 + (fields[++i] - '0');
            fill(count);
            break;
        }
        }
    }
    if (next != values.size()) throw std::invalid_argument("camera file: too many values");
    return *this;
}

CameraWriter& CameraWriter::stringRecord(int flag, std::string_view text) {
    if (recordFields(flag) != "s") throw std::invalid_argument("camera file: not a string record");
    return this->flag(flag).text(text);
}

CameraWriter& CameraWriter::telescopeScale(float arcsecPerMm) { return record(1, {arcsecPerMm}); }
CameraWriter& CameraWriter::magnification(float value) { return record(7, {value}); }
CameraWriter& CameraWriter::wavelength(float micrometres) { return record(11, {micrometres}); }
CameraWriter& CameraWriter::totalCoadds(int32_t coadds) { return record(12, {double(coadds)}); }
CameraWriter& CameraWriter::initXY(int x, int y) { return record(13, {double(x), double(y)}); }
CameraWriter& CameraWriter::endXY(int x, int y) { return record(14, {double(x), double(y)}); }
CameraWriter& CameraWriter::object(std::string_view name) { return stringRecord(18, name); }
CameraWriter& CameraWriter::telescope(std::string_view name) { return stringRecord(20, name); }

CameraWriter& CameraWriter::dateTime(int year, int month, int day, int hour, int minute, int second) {
    return record(24, {double(year), double(month), double(day), double(hour), double(minute),
                       double(second)});
}

CameraWriter& CameraWriter::raDec(double raDegrees, double decDegrees) {
    return record(25, {raDegrees, decDegrees});
}

CameraWriter& CameraWriter::obsmode(int mode) { return record(29, {double(mode)}); }
CameraWriter& CameraWriter::sampleMode(int mode) { return record(30, {double(mode)}); }
CameraWriter& CameraWriter::framesPerCoimage(int frames) { return record(40, {double(frames)}); }
CameraWriter& CameraWriter::offsets(float x, float y) { return record(41, {x, y}); }
CameraWriter& CameraWriter::chopWait(float msec) { return record(42, {msec}); }
CameraWriter& CameraWriter::site(int code) { return record(48, {double(code)}); }

CameraWriter& CameraWriter::packed(int count, int sequence) {
    return record(54, {double(count), double(sequence)});
}

CameraWriter& CameraWriter::orientation(std::string_view code) { return stringRecord(59, code); }

CameraWriter& CameraWriter::timeObs(ClockTime start) {
    return record(67, {double(start.hours), double(start.minutes), double(start.seconds),
                       double(start.hundredths)});
}

CameraWriter& CameraWriter::headerSize(int size) { return record(68, {double(size)}); }
CameraWriter& CameraWriter::headerSize32(int32_t size) { return record(71, {double(size)}); }

CameraWriter& CameraWriter::timeEnd(ClockTime end) {
    return record(72, {double(end.hours), double(end.minutes), double(end.seconds),
                       double(end.hundredths)});
}

CameraWriter& CameraWriter::beamCoadds(int beam, int32_t coadds) {
    static constexpr int kFlagOfBeam[] = {0, 0, 76, 78, 79};
    if (beam < 2 || beam > 4) throw std::invalid_argument("camera file: beams 2 to 4 only");
    return record(kFlagOfBeam[beam], {double(coadds)});
}

CameraWriter& CameraWriter::finX(int x) { return record(77, {double(x)}); }
CameraWriter& CameraWriter::ultrafast(int count) { return record(80, {double(count)}); }

CameraWriter& CameraWriter::corners(const FrameGeometry& g) {
    initXY(g.initX, g.initY).endXY(g.endX, g.endY);
    if (g.finX != g.endX) finX(g.finX);
    return *this;
}

CameraWriter& CameraWriter::frames(const FrameGeometry& g, int count, const FramePixel& value,
                               uint8_t fillByte) {
    if (g.naxis2() < 1 || g.blockColumns() < 0)
        throw std::invalid_argument("camera file: frame geometry without columns");
    const int64_t column = 4 * int64_t{g.naxis2()};
    auto columns = [&](int frame, int fromX, int toX) {
        for (int x = fromX; x < toX; ++x)
            for (int y = 0; y < g.naxis2(); ++y) int32(value(frame, x, y));
    };
    for (int frame = 1; frame <= count; ++frame) {
        columns(frame, 0, g.blockColumns());
        const int64_t fill1 = kDataBlockBytes - column * g.blockColumns();
        if (fill1 > 0) fill(static_cast<size_t>(fill1), fillByte);
        if (g.finX != g.endX) {
            columns(frame, g.blockColumns(), g.naxis1());
            const int64_t fill2 = kDataBlockBytes - column * (g.endX - g.finX);
            if (fill2 > 0) fill(static_cast<size_t>(fill2), fillByte);
        }
    }
    return *this;
}

CameraWriter& CameraWriter::packedData(const FrameGeometry& g, int obsmode, int packedCount,
                                   const BeamPixel& value) {
    const int naxis1 = g.naxis1(), naxis2 = g.naxis2();
    if (naxis1 < 1 || naxis2 < 1) throw std::invalid_argument("camera file: empty packed image");
    const size_t start = bytes_.size();
    const int64_t length = packedDataBytes(naxis1, naxis2, obsmode, packedCount);
    bytes_.resize(start + static_cast<size_t>(length), 0);

    const int64_t columnBytes = 4 * int64_t{naxis2};
    const int64_t columnsPerBlock = kDataBlockBytes / columnBytes;
    const int images = packedCount * (obsmode > 2 ? 2 : 1);
    const int beams = (obsmode >= 2 && obsmode <= 4) ? 2 : 1;
    // Column m of the whole run sits in block m / columnsPerBlock, so block tails stay zero.
    int64_t m = 0;
    for (int image = 0; image < images; ++image)
        for (int beam = 1; beam <= beams; ++beam)
            for (int x = 0; x < naxis1; ++x, ++m) {
                const int64_t at = start + (m / columnsPerBlock) * kDataBlockBytes +
                                   (m % columnsPerBlock) * columnBytes;
                for (int y = 0; y < naxis2; ++y)
                    putLittleEndian(bytes_, static_cast<size_t>(at + 4 * y),
                                    static_cast<uint32_t>(value(image, beam, x, y)), 4);
            }
    return *this;
}

CameraWriter& CameraWriter::ultrafastData(const FrameGeometry& g, int obsmode, int ultrafastCount,
                                      const BeamPixel& value) {
    const auto order = ultrafastReadOrder(g.naxis1(), g.naxis2());
    if (order.size() * 2 > kUltrafastSlotBytes)
        throw std::invalid_argument("camera file: ultrafast image larger than its slot");
    const size_t start = bytes_.size();
    bytes_.resize(start + static_cast<size_t>(ultrafastDataBytes(obsmode, ultrafastCount)), 0);

    const int beams = obsmode == 2 ? 2 : 1;
    size_t slot = 0;
    for (int image = 0; image < ultrafastCount; ++image)
        for (int beam = 1; beam <= beams; ++beam, ++slot) {
            const size_t at = start + slot * kUltrafastSlotBytes;
            for (size_t k = 0; k < order.size(); ++k) {
                const auto [x, y] = order[k];
                putLittleEndian(bytes_, at + 2 * k,
                                static_cast<uint16_t>(checkedInt16(value(image, beam, x, y))), 2);
            }
        }
    return *this;
}

CameraWriter& CameraWriter::trailer(ClockTime end) {
    fill(10);
    for (int part : {end.hours, end.minutes, end.seconds, end.hundredths})
        int16(checkedInt16(part));
    return *this;
}

CameraWriter& CameraWriter::truncate(size_t size) {
    if (size < bytes_.size()) bytes_.resize(size);
    return *this;
}

void CameraWriter::save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes_.data()),
              static_cast<std::streamsize>(bytes_.size()));
    out.close();
    if (!out) throw std::runtime_error("camera file: cannot write " + path);
}

}  // namespace testsupport
