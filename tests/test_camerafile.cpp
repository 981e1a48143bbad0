// The test-side camera-file writer against byte layouts written out by hand from the format.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "support/camerawriter.h"

using namespace testsupport;

namespace {

// The value of `bytes` little-endian bytes at `at`: signed for 2 and 4 bytes, a plain byte for 1.
int64_t valueAt(const CameraWriter& f, size_t at, int bytes) {
    uint64_t bits = 0;
    for (int i = bytes - 1; i >= 0; --i) bits = bits << 8 | f.bytes().at(at + i);
    if (bytes == 1) return int64_t(bits);
    const int unused = 64 - 8 * bytes;
    return int64_t(bits << unused) >> unused;
}

int32_t framePixel(int frame, int x, int y) { return frame * 1000000 + x * 1000 + y; }

std::pair<int, int> pixelAt(int x, int y) { return {x, y}; }

}  // namespace

TEST(CameraWriter, RecordsAndValuesMatchHandWrittenBytes) {
    struct Case {
        CameraWriter file;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {CameraWriter().initXY(0, 0).endXY(127, 127).obsmode(2).endMarker(),
         {0x0D, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x7F, 0x00, 0x7F, 0x00, 0x1D, 0x02, 0x00, 0xFF}},
        {CameraWriter().int16(-2).int32(0x01020304).float32(1.5f).float64(-2.0).text("AB").text(""),
         {0xFE, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x00, 0x00, 0xC0, 0x02, 'A', 'B', 0x00}},
        {CameraWriter().headerSize(512), {68, 0x00, 0x02}},
        {CameraWriter().headerSize32(70000), {71, 0x70, 0x11, 0x01, 0x00}},
        {CameraWriter().finX(63), {77, 63, 0, 0, 0}},
        {CameraWriter().beamCoadds(3, 258), {78, 0x02, 0x01, 0, 0}},
        {CameraWriter().obsmode(-1), {29, 0xFF, 0x00}},
        {CameraWriter().orientation("ULYYN"), {59, 5, 'U', 'L', 'Y', 'Y', 'N'}},
        {CameraWriter().timeObs({9, 5, 3, 7}), {67, 9, 0, 5, 0, 3, 0, 7, 0}},
        {CameraWriter().dateTime(1997, 6, 11, 9, 5, 3),
         {24, 0xCD, 0x07, 6, 0, 11, 0, 9, 0, 5, 0, 3, 0}},
        {CameraWriter().packed(-3, 2), {54, 0xFD, 0xFF, 2, 0}},
        {CameraWriter().record(8, {2.0}), {8, 0x00, 0x00, 0x00, 0x40, 0, 0, 0, 0}},
        {CameraWriter().corners(geometryOf(128, 128, 64)),
         {13, 0, 0, 0, 0, 14, 127, 0, 127, 0, 77, 63, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.file.bytes(), c.bytes) << int(c.bytes[0]);
}

TEST(CameraWriter, EveryFlagHasItsRecordSize) {
    for (int flag = 1; flag <= 87; ++flag) {
        const std::string_view fields = recordFields(flag);
        CameraWriter f;
        if (fields == "s") {
            EXPECT_EQ(recordBytes(flag), -1) << flag;
            f.stringRecord(flag, "abc");
            EXPECT_EQ(f.size(), 5u) << flag;
            continue;
        }
        std::vector<double> values;
        for (char c : fields)
            if (c != 'x' && (c < '0' || c > '9')) values.push_back(0.0);
        f.record(flag, values);
        EXPECT_EQ(f.size(), size_t(1 + recordBytes(flag))) << flag;
    }
    // Total sizes the format names for a few odd records.
    EXPECT_EQ(CameraWriter().record(8, {0.0}).size(), 9u);
    EXPECT_EQ(CameraWriter().record(84, {0.0}).size(), 7u);
    EXPECT_EQ(CameraWriter().record(74).size(), 65u);
    EXPECT_EQ(recordBytes(82), 56);
    EXPECT_THROW(CameraWriter().record(13, {1.0}), std::invalid_argument);
    EXPECT_THROW(CameraWriter().record(13, {1.5, 2.0}), std::invalid_argument);
}

TEST(CameraWriter, PadToReachesDeclaredHeaderSize) {
    CameraWriter f;
    f.headerSize(512).endMarker().padTo(512);
    EXPECT_EQ(f.size(), 512u);
    EXPECT_EQ(f.bytes()[4], 0);
    f.padTo(50);
    EXPECT_EQ(f.size(), 512u);
}

// Frames of both block layouts, packed and ultrafast data: their sizes, and values at offsets
// counted by hand (int32 pixels, int16 ultrafast values and trailer fields, fill bytes).
TEST(CameraWriter, DataPartsMatchOffsetsCountedByHand) {
    struct Probe {
        size_t at;
        int bytes;
        int64_t value;
    };
    struct Case {
        const char* name;
        CameraWriter file;
        size_t size;
        std::vector<Probe> probes;
    };
    const auto beams = [](int image, int beam, int x, int y) { return image * 1000000 + beam * 100000 + x * 1000 + y + 1; };
    const auto slot = [](int image, int beam, int x, int y) { return image * 1000 + beam * 500 + x * 64 + y - 29999; };
    const Case cases[] = {
        {"FINX: two full data blocks", CameraWriter().frames(geometryOf(128, 128, 64), 2, framePixel), 4 * 32768,
         {{0, 4, framePixel(1, 0, 0)}, {32768 - 4, 4, framePixel(1, 63, 127)},
          {32768 + (1 * 128 + 3) * 4, 4, framePixel(1, 65, 3)}, {2 * 32768, 4, framePixel(2, 0, 0)}}},
        {"small frame and its fill", CameraWriter().frames(geometryOf(64, 64), 2, framePixel, 0xA5), 2 * 32768,
         {{16384 - 4, 4, framePixel(1, 63, 63)}, {16384, 1, 0xA5}, {32767, 1, 0xA5}, {32768, 4, framePixel(2, 0, 0)}}},
        {"large frames without fill", CameraWriter().frames(geometryOf(100, 100), 2, framePixel), 80000,
         {{40000, 4, framePixel(2, 0, 0)}}},
        {"128 x 128 without FINX", CameraWriter().frames(geometryOf(128, 128), 1, framePixel), 65536, {}},
        // 100 columns of 64 rows split after 64: 16384 + 16384 fill, then 36 columns (9216) + 23552.
        {"second data block with its own fill", CameraWriter().frames(geometryOf(100, 64, 64), 1, framePixel, 0x11),
         65536, {{32768, 4, framePixel(1, 64, 0)}, {32768 + 9216 - 4, 4, framePixel(1, 99, 63)}, {32768 + 9216, 1, 0x11}}},
        // 100 rows: 81 columns a block. Column 80 of the run is image 1, x 30, the last one in
        // block 1; column 81 opens block 2. The trailer: 10 ignored bytes, then the end time.
        {"packed columns across blocks, then the trailer",
         CameraWriter().packedData(geometryOf(50, 100), 1, 3, beams).trailer({5, 3, 7, 2}), 65536 + 18,
         {{80 * 400 + 4 * 99, 4, beams(1, 1, 30, 99)}, {81 * 400, 4, 0}, {32768, 4, beams(1, 1, 31, 0)},
          {32768 + 68 * 400, 4, beams(2, 1, 49, 0)}, {32768 + 69 * 400, 4, 0}, {65536 + 10, 2, 5},
          {65536 + 12, 2, 3}, {65536 + 14, 2, 7}, {65536 + 16, 2, 2}}},
        {"packed chop: both beams", CameraWriter().packedData(geometryOf(128, 128), 2, 2, beams), 8 * 32768,
         {{2 * 32768, 4, beams(0, 2, 0, 0)}, {4 * 32768 + 4 * 5, 4, beams(1, 1, 0, 5)}}},
        {"ultrafast chop: scrambled images in slots", CameraWriter().ultrafastData(geometryOf(64, 64), 2, 3, slot), 65536,
         {{0, 2, slot(0, 1, 0, 0)}, {2, 2, slot(0, 1, 0, 8)}, {16, 2, slot(0, 1, 2, 0)},
          {8192 + 2 * 4095, 2, slot(0, 2, 63, 63)}, {32768 + 2 * 256, 2, slot(2, 1, 1, 0)}, {32768 + 16384, 2, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.file.size(), c.size);
        for (const Probe& p : c.probes) EXPECT_EQ(valueAt(c.file, p.at, p.bytes), p.value) << "at " << p.at;
    }
}

TEST(CameraWriter, DataLengthsCountBeamsAndBlocks) {
    EXPECT_EQ(packedDataBytes(128, 128, 1, 10), 20 * 32768);
    EXPECT_EQ(packedDataBytes(128, 128, 2, 10), 40 * 32768);
    EXPECT_EQ(packedDataBytes(128, 128, 3, 10), 80 * 32768);
    // 100 rows: 81 columns per block; 3 images of 50 columns need 150 columns, two blocks.
    EXPECT_EQ(packedDataBytes(50, 100, 1, 3), 2 * 32768);
    EXPECT_EQ(ultrafastDataBytes(1, 5), 65536);
    EXPECT_EQ(ultrafastDataBytes(2, 1), 32768);
    EXPECT_EQ(ultrafastDataBytes(3, 4), 65536);
}

TEST(CameraWriter, UltrafastReadOrderFollowsTheCameraWalk) {
    const auto order = ultrafastReadOrder(64, 64);
    ASSERT_EQ(order.size(), 4096u);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(order[k], pixelAt(0, 8 * k));
        EXPECT_EQ(order[8 + k], pixelAt(2, 8 * k));
    }
    EXPECT_EQ(order[255], pixelAt(62, 56));
    EXPECT_EQ(order[256], pixelAt(1, 0));
    EXPECT_EQ(order[511], pixelAt(63, 56));
    EXPECT_EQ(order[512], pixelAt(0, 1));
    EXPECT_EQ(order[767], pixelAt(62, 57));
    EXPECT_EQ(order[4095], pixelAt(63, 63));
    const std::set<std::pair<int, int>> distinct(order.begin(), order.end());
    EXPECT_EQ(distinct.size(), 4096u);
    EXPECT_THROW(ultrafastReadOrder(1, 8), std::invalid_argument);
}
