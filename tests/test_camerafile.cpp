// The test-side camera-file writer against byte layouts written out by hand from the format.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "camerafile.h"

using namespace testsupport;

namespace {

int32_t int32At(const CameraFile& f, size_t at) {
    const auto& b = f.bytes();
    return int32_t(uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                   uint32_t(b[at + 3]) << 24);
}

int16_t int16At(const CameraFile& f, size_t at) {
    return int16_t(uint16_t(f.bytes()[at] | f.bytes()[at + 1] << 8));
}

int32_t framePixel(int frame, int x, int y) { return frame * 1000000 + x * 1000 + y; }

std::pair<int, int> pixelAt(int x, int y) { return {x, y}; }

}  // namespace

TEST(CameraFile, CornersAndObsmodeMatchHandWrittenBytes) {
    CameraFile f;
    f.initXY(0, 0).endXY(127, 127).obsmode(2).endMarker();
    const std::vector<uint8_t> expected = {0x0D, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x7F,
                                           0x00, 0x7F, 0x00, 0x1D, 0x02, 0x00, 0xFF};
    EXPECT_EQ(f.bytes(), expected);
}

TEST(CameraFile, ValuesAreLittleEndian) {
    CameraFile f;
    f.int16(-2).int32(0x01020304).float32(1.5f).float64(-2.0).text("AB").text("");
    const std::vector<uint8_t> expected = {0xFE, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00,
                                           0xC0, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0xC0, 0x02, 'A',  'B',  0x00};
    EXPECT_EQ(f.bytes(), expected);
}

TEST(CameraFile, NamedRecordsMatchHandWrittenBytes) {
    struct Case {
        CameraFile file;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {CameraFile().headerSize(512), {68, 0x00, 0x02}},
        {CameraFile().headerSize32(70000), {71, 0x70, 0x11, 0x01, 0x00}},
        {CameraFile().finX(63), {77, 63, 0, 0, 0}},
        {CameraFile().beamCoadds(3, 258), {78, 0x02, 0x01, 0, 0}},
        {CameraFile().obsmode(-1), {29, 0xFF, 0x00}},
        {CameraFile().orientation("ULYYN"), {59, 5, 'U', 'L', 'Y', 'Y', 'N'}},
        {CameraFile().timeObs({9, 5, 3, 7}), {67, 9, 0, 5, 0, 3, 0, 7, 0}},
        {CameraFile().dateTime(1997, 6, 11, 9, 5, 3),
         {24, 0xCD, 0x07, 6, 0, 11, 0, 9, 0, 5, 0, 3, 0}},
        {CameraFile().packed(-3, 2), {54, 0xFD, 0xFF, 2, 0}},
        {CameraFile().record(8, {2.0}), {8, 0x00, 0x00, 0x00, 0x40, 0, 0, 0, 0}},
        {CameraFile().corners(geometryOf(128, 128, 64)),
         {13, 0, 0, 0, 0, 14, 127, 0, 127, 0, 77, 63, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.file.bytes(), c.bytes) << int(c.bytes[0]);
}

TEST(CameraFile, EveryFlagHasItsRecordSize) {
    for (int flag = 1; flag <= 87; ++flag) {
        const std::string_view fields = recordFields(flag);
        CameraFile f;
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
    EXPECT_EQ(CameraFile().record(8, {0.0}).size(), 9u);
    EXPECT_EQ(CameraFile().record(84, {0.0}).size(), 7u);
    EXPECT_EQ(CameraFile().record(74).size(), 65u);
    EXPECT_EQ(recordBytes(82), 56);
    EXPECT_THROW(CameraFile().record(13, {1.0}), std::invalid_argument);
    EXPECT_THROW(CameraFile().record(13, {1.5, 2.0}), std::invalid_argument);
}

TEST(CameraFile, PadToReachesDeclaredHeaderSize) {
    CameraFile f;
    f.headerSize(512).endMarker().padTo(512);
    EXPECT_EQ(f.size(), 512u);
    EXPECT_EQ(f.bytes()[4], 0);
    f.padTo(50);
    EXPECT_EQ(f.size(), 512u);
}

TEST(CameraFile, FinXFrameIsTwoFullDataBlocks) {
    const FrameGeometry g = geometryOf(128, 128, 64);
    EXPECT_EQ(frameBytes(g), 2 * 32768);
    CameraFile f;
    f.frames(g, 2, framePixel);
    ASSERT_EQ(f.size(), 4u * 32768);
    EXPECT_EQ(int32At(f, 0), framePixel(1, 0, 0));
    EXPECT_EQ(int32At(f, 32768 - 4), framePixel(1, 63, 127));
    EXPECT_EQ(int32At(f, 32768 + (1 * 128 + 3) * 4), framePixel(1, 65, 3));
    EXPECT_EQ(int32At(f, 2 * 32768), framePixel(2, 0, 0));
}

TEST(CameraFile, SmallFrameWithoutFinXHasFill) {
    const FrameGeometry g = geometryOf(64, 64);
    EXPECT_EQ(frameBytes(g), 32768);
    CameraFile f;
    f.frames(g, 2, framePixel, 0xA5);
    ASSERT_EQ(f.size(), 2u * 32768);
    EXPECT_EQ(int32At(f, 16384 - 4), framePixel(1, 63, 63));
    EXPECT_EQ(f.bytes()[16384], 0xA5);
    EXPECT_EQ(f.bytes()[32767], 0xA5);
    EXPECT_EQ(int32At(f, 32768), framePixel(2, 0, 0));
}

TEST(CameraFile, LargeFrameWithoutFinXHasNoFill) {
    EXPECT_EQ(frameBytes(geometryOf(128, 128)), 65536);
    EXPECT_EQ(frameBytes(geometryOf(100, 100)), 40000);
    CameraFile f;
    f.frames(geometryOf(100, 100), 2, framePixel);
    EXPECT_EQ(int32At(f, 40000), framePixel(2, 0, 0));
}

TEST(CameraFile, SecondDataBlockGetsItsOwnFill) {
    // 100 columns of 64 rows split after 64: 16384 + 16384 fill, then 36 columns (9216) + 23552.
    const FrameGeometry g = geometryOf(100, 64, 64);
    EXPECT_EQ(frameBytes(g), 65536);
    CameraFile f;
    f.frames(g, 1, framePixel, 0x11);
    ASSERT_EQ(f.size(), 65536u);
    EXPECT_EQ(int32At(f, 32768), framePixel(1, 64, 0));
    EXPECT_EQ(int32At(f, 32768 + 9216 - 4), framePixel(1, 99, 63));
    EXPECT_EQ(f.bytes()[32768 + 9216], 0x11);
}

TEST(CameraFile, PackedLengthCountsBeamsAndBlocks) {
    EXPECT_EQ(packedDataBytes(128, 128, 1, 10), 20 * 32768);
    EXPECT_EQ(packedDataBytes(128, 128, 2, 10), 40 * 32768);
    EXPECT_EQ(packedDataBytes(128, 128, 3, 10), 80 * 32768);
    // 100 rows: 81 columns per block; 3 images of 50 columns need 150 columns, two blocks.
    EXPECT_EQ(packedDataBytes(50, 100, 1, 3), 2 * 32768);
}

TEST(CameraFile, PackedColumnsCarryOverBlocksAndTrailerFollows) {
    auto value = [](int image, int beam, int x, int y) {
        return image * 1000000 + beam * 100000 + x * 1000 + y + 1;
    };
    CameraFile f;
    f.packedData(geometryOf(50, 100), 1, 3, value).trailer({5, 3, 7, 2});
    ASSERT_EQ(f.size(), 65536u + 18);
    // Column 80 of the run is image 1, x 30, the last one in block 1; column 81 opens block 2.
    EXPECT_EQ(int32At(f, 80 * 400 + 4 * 99), value(1, 1, 30, 99));
    EXPECT_EQ(int32At(f, 81 * 400), 0);  // unused tail of block 1
    EXPECT_EQ(int32At(f, 32768), value(1, 1, 31, 0));
    EXPECT_EQ(int32At(f, 32768 + 68 * 400), value(2, 1, 49, 0));
    EXPECT_EQ(int32At(f, 32768 + 69 * 400), 0);
    const std::vector<uint8_t> tail(f.bytes().end() - 8, f.bytes().end());
    EXPECT_EQ(tail, (std::vector<uint8_t>{5, 0, 3, 0, 7, 0, 2, 0}));
}

TEST(CameraFile, PackedChopImageHoldsBothBeams) {
    auto value = [](int image, int beam, int x, int y) { return image * 100 + beam * 10 + x + y; };
    CameraFile f;
    f.packedData(geometryOf(128, 128), 2, 2, value);
    ASSERT_EQ(f.size(), 8u * 32768);
    EXPECT_EQ(int32At(f, 2 * 32768), value(0, 2, 0, 0));
    EXPECT_EQ(int32At(f, 4 * 32768 + 4 * 5), value(1, 1, 0, 5));
}

TEST(CameraFile, UltrafastReadOrderFollowsTheCameraWalk) {
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

TEST(CameraFile, UltrafastSlotsHoldScrambledImages) {
    EXPECT_EQ(ultrafastDataBytes(1, 5), 65536);
    EXPECT_EQ(ultrafastDataBytes(2, 1), 32768);
    EXPECT_EQ(ultrafastDataBytes(3, 4), 65536);
    // Every value distinct from zero and within int16.
    auto value = [](int image, int beam, int x, int y) {
        return image * 1000 + beam * 500 + x * 64 + y - 29999;
    };
    CameraFile f;
    f.ultrafastData(geometryOf(64, 64), 2, 3, value);
    ASSERT_EQ(f.size(), 65536u);
    EXPECT_EQ(int16At(f, 0), value(0, 1, 0, 0));
    EXPECT_EQ(int16At(f, 2), value(0, 1, 0, 8));
    EXPECT_EQ(int16At(f, 16), value(0, 1, 2, 0));
    EXPECT_EQ(int16At(f, 8192 + 2 * 4095), value(0, 2, 63, 63));
    EXPECT_EQ(int16At(f, 32768 + 2 * 256), value(2, 1, 1, 0));
    EXPECT_EQ(int16At(f, 32768 + 16384), 0);
}
