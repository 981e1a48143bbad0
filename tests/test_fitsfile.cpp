// Reading and writing FITS files: files built byte by byte here, element encodings, block
// counts, the failure results and messages, and cfitsio as an independent reader.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fits/fitsfile.h"
#include "fits/fitstexts.h"
#include "fits/fitsimage.h"
#include "support/cfitsioread.h"
#include "support/runprogram.h"

#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBlock = 2880;

// Header blocks from card texts: each card blank-padded to 80, the last block to 2880.
Bytes headerBytes(const std::vector<std::string>& cards) {
    Bytes bytes;
    for (std::string c : cards) {
        c.resize(80, ' ');
        bytes.insert(bytes.end(), c.begin(), c.end());
    }
    bytes.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, ' ');
    return bytes;
}

std::vector<std::string> imageCards(int bitpix, int naxis1, int naxis2) {
    return {"SIMPLE  =                    T", "BITPIX  = " + std::to_string(bitpix),
            "NAXIS   =                    2", "NAXIS1  = " + std::to_string(naxis1),
            "NAXIS2  = " + std::to_string(naxis2)};
}

std::vector<std::string> withEnd(std::vector<std::string> cards) {
    cards.push_back("END");
    return cards;
}

void putBigEndian(Bytes& out, uint32_t value, int size) {
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

// The element as the file stores it, for values that fit the element without wrapping.
uint32_t elementBits(int bitpix, float value) {
    if (bitpix == -32) return std::bit_cast<uint32_t>(value);
    return uint32_t(int32_t(value));
}

// A pixel pattern that each element type holds exactly.
float patternValue(int bitpix, int x, int y) {
    switch (bitpix) {
        case 8: return float((x * 7 + y * 13) % 256);
        case 16: return float((x * 131 + y * 97) % 65536 - 32768);
        case 32: return float((x * 30011 + y * 7919) % 16777216 - 8388608);
        default: return x * 0.5f - y * 0.03125f + 1.0f / 3.0f;
    }
}

std::unique_ptr<Raster> newRaster(float fill = 0.0f) {
    auto raster = std::make_unique<Raster>();
    for (auto& column : raster->cells)
        for (float& cell : column) cell = fill;
    return raster;
}

// A finished library-built header: minimal header, END over the placeholder, padding.
void finishedHeader(FitsImage& image, int bitpix, int naxis1, int naxis2, double bscale = 1.0,
                    double bzero = 0.0) {
    image.bitpix = int16_t(bitpix);
    image.naxis1 = int16_t(naxis1);
    image.naxis2 = int16_t(naxis2);
    image.bscale = bscale;
    image.bzero = bzero;
    buildMinimalHeader(image);
    image.header.addEndCard();
}

struct Captured {
    bool read;  // the read succeeded
    std::string output;
};

// What the messages have for standard output.
std::string outputOf(const Messages& messages) {
    std::string text;
    for (const Messages::Line& line : messages.lines())
        if (!line.forPeople()) text += line.text;
    return text;
}

Captured readCaptured(const fs::path& file, FitsImage& image, Raster& raster) {
    Messages messages;
    const bool read = readFITS(file.string(), image, raster, messages).ok();
    return {read, outputOf(messages)};
}

bool readFile(const fs::path& file, FitsImage& image, Raster& raster) {
    return readCaptured(file, image, raster).read;
}

bool writeFile(const fs::path& file, const FitsImage& image, const Raster& raster) {
    Messages messages;
    return writeFITS(file.string(), image, raster, messages).ok();
}

size_t entries(const fs::path& directory) {
    return size_t(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

TEST(DataBlockCount, CeilingOfBytesOver2880) {
    const struct {
        int bytesPerPixel;
        int32_t pixels;
        int64_t blocks;
    } cases[] = {{-4, 128 * 128, 23}, {-4, 512 * 512, 365}, {4, 512 * 512, 365}, {2, 512 * 512, 183},
                 {1, 512 * 512, 92},  {1, 2880, 1},        {1, 2881, 2},       {-4, 720, 1},
                 {-4, 721, 2},        {2, 1, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(dataBlockCount(c.bytesPerPixel, c.pixels), c.blocks) << c.bytesPerPixel << " x " << c.pixels;
}

// A 3 x 2 image per BITPIX: element k of the file lands in [k mod 3][k div 3].
TEST(ReadFITS, DecodesBigEndianElements) {
    const struct {
        int bitpix;
        std::vector<uint32_t> elements;
        std::vector<float> values;
    } cases[] = {
        {8, {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}, {0, 1, 127, 128, 254, 255}},
        {16, {0x0000, 0x0001, 0x7FFF, 0x8000, 0xFFFE, 0x1234}, {0, 1, 32767, -32768, -2, 4660}},
        {32,
         {0x00000000, 0x00000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0x01000001},
         {0, 1, 2147483648.0f, -2147483648.0f, -2, 16777216.0f}},
        {-32,
         {0x3FC00000, 0xC0200000, 0x00000000, 0x80000000, 0x7F800000, 0x00000001},
         {1.5f, -2.5f, 0.0f, -0.0f, std::bit_cast<float>(0x7F800000u), std::bit_cast<float>(0x00000001u)}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Bytes file = headerBytes(withEnd(imageCards(c.bitpix, 3, 2)));
        for (uint32_t e : c.elements) putBigEndian(file, e, std::abs(c.bitpix) / 8);
        file.resize(2 * kBlock, 0);
        writeBytes(dir / "in.fits", file);

        FitsImage image;
        auto raster = newRaster(7777.0f);
        ASSERT_TRUE(readFile(dir / "in.fits", image, *raster)) << c.bitpix;
        EXPECT_EQ(image.bitpix, c.bitpix);
        EXPECT_EQ(image.bytesPerPixel(), c.bitpix / 8);
        EXPECT_EQ(image.naxis, 2);
        EXPECT_EQ(image.naxis1, 3);
        EXPECT_EQ(image.naxis2, 2);
        EXPECT_EQ(image.pixelCount(), 6);
        EXPECT_EQ(image.bscale, 1.0);
        EXPECT_EQ(image.bzero, 0.0);
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(std::bit_cast<uint32_t>((*raster)[k % 3][k / 3]), std::bit_cast<uint32_t>(c.values[k]))
                << "BITPIX " << c.bitpix << ", element " << k;
        EXPECT_EQ((*raster)[3][0], 7777.0f) << "outside the image";
        EXPECT_EQ((*raster)[0][2], 7777.0f) << "outside the image";
    }
}

TEST(ReadFITS, KeepsScaleWithoutApplyingIt) {
    // The scale is found wherever it stands: in the first block, or behind 40 comments in the
    // second, where a map from another program may carry it. Either exponent letter reads, and
    // cards with an undefined value count as absent.
    const struct {
        int comments;
        std::string bscale, bzero;
        double scale, zero;
    } cases[] = {
        {0, "BSCALE  =  2.500000000000e+000", "BZERO   = -1.000000000000e+001", 2.5, -10.0},
        {40, "BSCALE  =  2.500000000000E+000", "BZERO   = -1.000000000000E+001", 2.5, -10.0},
        {0, "BSCALE  =                      / none", "BZERO   =                      / none", 1.0, 0.0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<std::string> cards = imageCards(16, 1, 1);
        for (int k = 0; k < c.comments; ++k) cards.push_back("COMMENT   history of the map");
        cards.push_back(c.bscale);
        cards.push_back(c.bzero);
        Bytes file = headerBytes(withEnd(cards));
        const size_t dataStart = file.size();
        putBigEndian(file, 3, 2);
        file.resize(dataStart + kBlock, 0);
        writeBytes(dir / "in.fits", file);
        FitsImage image;
        auto raster = newRaster();
        ASSERT_TRUE(readFile(dir / "in.fits", image, *raster)) << c.bscale;
        EXPECT_EQ(image.bscale, c.scale) << c.bscale;
        EXPECT_EQ(image.bzero, c.zero) << c.bzero;
        EXPECT_EQ((*raster)[0][0], 3.0f) << c.bscale;
    }
}

// END as card 37: two header blocks, data after the second. Read and written back, the file
// comes out byte for byte, odd float bit patterns included.
TEST(ReadFITS, TwoHeaderBlocksRoundTripExactly) {
    std::vector<std::string> cards = imageCards(-32, 5, 3);
    while (cards.size() < 36) cards.push_back("COMMENT   filler " + std::to_string(cards.size() + 1));
    cards.push_back("END");
    Bytes file = headerBytes(cards);
    ASSERT_EQ(file.size(), 2 * kBlock);
    const uint32_t bits[15] = {0x3F800000, 0xBF800000, 0x7FC00123, 0xFF800000, 0x00000001,
                               0x80000000, 0x7F7FFFFF, 0x00800000, 0x3EAAAAAB, 0xC2F6E979,
                               0x00000000, 0x12345678, 0x807FFFFF, 0x7F800000, 0x42280000};
    for (uint32_t b : bits) putBigEndian(file, b, 4);
    file.resize(3 * kBlock, 0);

    TempDir dir;
    writeBytes(dir / "in.fits", file);
    FitsImage image;
    auto raster = newRaster();
    ASSERT_TRUE(readFile(dir / "in.fits", image, *raster));
    ASSERT_NE(image.header.firstBlock()->next, nullptr);
    EXPECT_EQ(image.header.firstBlock()->next->next, nullptr);
    std::string value;
    EXPECT_EQ(image.header.findCard("END", value), 37);
    for (int k = 0; k < 15; ++k) EXPECT_EQ(std::bit_cast<uint32_t>((*raster)[k % 5][k / 5]), bits[k]) << k;

    ASSERT_TRUE(writeFile(dir / "out.fits", image, *raster));
    EXPECT_EQ(readBytes(dir / "out.fits"), file);
}

// Values written out of their element's range wrap; fractions are truncated toward zero.
TEST(WriteFITS, StoresTruncatedWrappedBigEndianElements) {
    const struct {
        int bitpix;
        float written;
        Bytes element;
        float readBack;
    } cases[] = {
        {8, 3.7f, {0x03}, 3},
        {8, -1.0f, {0xFF}, 255},
        {8, 300.0f, {0x2C}, 44},
        {16, -3.7f, {0xFF, 0xFD}, -3},
        {16, 3.7f, {0x00, 0x03}, 3},
        {16, 32767.0f, {0x7F, 0xFF}, 32767},
        {16, 32768.0f, {0x80, 0x00}, -32768},
        {16, 40000.0f, {0x9C, 0x40}, -25536},
        {16, -40000.0f, {0x63, 0xC0}, 25536},
        {32, -3.7f, {0xFF, 0xFF, 0xFF, 0xFD}, -3},
        {32, 3e9f, {0xB2, 0xD0, 0x5E, 0x00}, -1294967296.0f},
        {32, 1e10f, {0x54, 0x0B, 0xE4, 0x00}, 1410065408.0f},
        {-32, 1.5f, {0x3F, 0xC0, 0x00, 0x00}, 1.5f},
        {-32, -0.1f, {0xBD, 0xCC, 0xCC, 0xCD}, -0.1f},
    };
    for (const auto& c : cases) {
        TempDir dir;
        FitsImage image;
        finishedHeader(image, c.bitpix, 1, 1);
        auto raster = newRaster();
        (*raster)[0][0] = c.written;
        ASSERT_TRUE(writeFile(dir / "one.fits", image, *raster));

        const Bytes file = readBytes(dir / "one.fits");
        ASSERT_EQ(file.size(), 2 * kBlock) << c.bitpix << " " << c.written;
        Bytes expectedData = c.element;
        expectedData.resize(kBlock, 0);
        EXPECT_EQ(Bytes(file.begin() + kBlock, file.end()), expectedData) << c.bitpix << " " << c.written;

        FitsImage back;
        ASSERT_TRUE(readFile(dir / "one.fits", back, *raster));
        EXPECT_EQ((*raster)[0][0], c.readBack) << c.bitpix << " " << c.written;
    }
}

// File size, element bytes and the zero fill of the last data block, then the image read back.
TEST(WriteFITS, RoundTripsEveryBitpix) {
    const struct {
        int bitpix, naxis1, naxis2;
        size_t dataBlocks;
        size_t zeroElements;  // after the last pixel, in the last block
    } cases[] = {
        {-32, 128, 128, 23, 176}, {-32, 512, 512, 365, 656}, {32, 512, 512, 365, 656},
        {16, 512, 512, 183, 1376}, {8, 512, 512, 92, 2816},  {16, 3, 5, 1, 1425},
        {8, 512, 1, 1, 2368},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("BITPIX " + std::to_string(c.bitpix) + ", " + std::to_string(c.naxis1) + " x " +
                     std::to_string(c.naxis2));
        const int size = std::abs(c.bitpix) / 8;
        auto raster = newRaster(-1.0f);
        for (int x = 0; x < c.naxis1; ++x)
            for (int y = 0; y < c.naxis2; ++y) (*raster)[x][y] = patternValue(c.bitpix, x, y);
        TempDir dir;
        FitsImage image;
        finishedHeader(image, c.bitpix, c.naxis1, c.naxis2);
        ASSERT_TRUE(writeFile(dir / "out.fits", image, *raster));

        const Bytes file = readBytes(dir / "out.fits");
        ASSERT_EQ(file.size(), (1 + c.dataBlocks) * kBlock);
        Bytes expectedData;
        for (int k = 0; k < c.naxis1 * c.naxis2; ++k)
            putBigEndian(expectedData, elementBits(c.bitpix, patternValue(c.bitpix, k % c.naxis1, k / c.naxis1)), size);
        EXPECT_EQ(expectedData.size() + c.zeroElements * size, c.dataBlocks * kBlock);
        expectedData.resize(c.dataBlocks * kBlock, 0);
        EXPECT_TRUE(Bytes(file.begin() + kBlock, file.end()) == expectedData) << "data bytes differ";

        FitsImage back;
        auto readBack = newRaster(-1.0f);
        ASSERT_TRUE(readFile(dir / "out.fits", back, *readBack));
        EXPECT_EQ(back.naxis1, c.naxis1);
        EXPECT_EQ(back.naxis2, c.naxis2);
        EXPECT_EQ(back.bitpix, c.bitpix);
        EXPECT_EQ(back.pixelCount(), c.naxis1 * c.naxis2);
        int wrong = 0;
        for (int x = 0; x < c.naxis1; ++x)
            for (int y = 0; y < c.naxis2; ++y) wrong += (*readBack)[x][y] != (*raster)[x][y];
        EXPECT_EQ(wrong, 0);
    }
}

struct ReadFailure {
    const char* what;
    Bytes file;
    bool read;
    std::string message;  // empty: one line beginning "rf:"
};

TEST(ReadFITS, RefusesWithResultAndMessage) {
    const std::string notFits = "rf: File not in FITS format\n";
    const std::string shortRead = "rf: File read error\n";
    auto cardsWith = [](int bitpix, int naxis1, int naxis2, std::vector<std::string> extra) {
        std::vector<std::string> cards = imageCards(bitpix, naxis1, naxis2);
        cards.insert(cards.end(), extra.begin(), extra.end());
        return headerBytes(withEnd(cards));
    };
    auto without = [](const std::string& keyword) {
        std::vector<std::string> cards;
        for (const std::string& c : imageCards(16, 2, 2))
            if (c.compare(0, keyword.size() + 1, keyword + " ") != 0) cards.push_back(c);
        return headerBytes(withEnd(cards));
    };
    const ReadFailure cases[] = {
        {"empty file", {}, false, shortRead},
        {"short first header block", Bytes(1000, ' '), false, shortRead},
        {"no END before the file ends", headerBytes(imageCards(16, 2, 2)), false, shortRead},
        {"no SIMPLE", without("SIMPLE"), false, notFits},
        {"no NAXIS", without("NAXIS"), false, notFits},
        {"no NAXIS1", without("NAXIS1"), false, notFits},
        {"no NAXIS2", without("NAXIS2"), false, notFits},
        {"no BITPIX", without("BITPIX"), false, notFits},
        {"NAXIS1 0", cardsWith(16, 0, 2, {}), false, notFits},
        {"NAXIS2 -1", cardsWith(16, 2, -1, {}), false, notFits},
        {"BITPIX -64", cardsWith(-64, 2, 2, {}), false, notFits},
        {"BITPIX -33", cardsWith(-33, 2, 2, {}), false, notFits},
        {"BSCALE 0", cardsWith(16, 2, 2, {"BSCALE  = 0"}), false, notFits},
        {"BSCALE 0.0E+000", cardsWith(16, 2, 2, {"BSCALE  =  0.000000000000e+000"}), false, notFits},
        {"BITPIX 64", cardsWith(64, 2, 2, {}), false, "rf:  64 BITPIX format not supported.\n"},
        {"BITPIX 12", cardsWith(12, 2, 2, {}), false, "rf:  12 BITPIX format not supported.\n"},
        {"BITPIX -16", cardsWith(-16, 2, 2, {}), false, "rf:  -16 BITPIX format not supported.\n"},
        {"BITPIX 4", cardsWith(4, 2, 2, {}), false, "rf:  4 BITPIX format not supported.\n"},
        {"BITPIX 0", cardsWith(0, 2, 2, {}), false, "rf:  0 BITPIX format not supported.\n"},
        {"NAXIS1 513", cardsWith(-32, 513, 2, {}), false, ""},
        {"NAXIS2 1000", cardsWith(8, 2, 1000, {}), false, ""},
    };
    for (const ReadFailure& c : cases) {
        TempDir dir;
        writeBytes(dir / "in.fits", c.file);
        FitsImage image;
        auto raster = newRaster();
        const Captured got = readCaptured(dir / "in.fits", image, *raster);
        EXPECT_EQ(got.read, c.read) << c.what;
        if (c.message.empty()) {
            EXPECT_EQ(got.output.rfind("rf:", 0), 0u) << c.what << ": " << got.output;
            EXPECT_EQ(got.output.find('\n'), got.output.size() - 1) << c.what << ": " << got.output;
        } else {
            EXPECT_EQ(got.output, c.message) << c.what;
        }
    }
}

TEST(ReadFITS, NaxisThreeIsRefused) {
    TempDir dir;
    std::vector<std::string> cards = imageCards(16, 2, 2);
    cards[2] = "NAXIS   =                    3";
    cards.push_back("NAXIS3  =                    2");
    writeBytes(dir / "in.fits", headerBytes(withEnd(cards)));
    FitsImage image;
    auto raster = newRaster();
    const Captured got = readCaptured(dir / "in.fits", image, *raster);
    EXPECT_FALSE(got.read);
    EXPECT_EQ(got.output, "rf: File not in FITS format\n");
}

TEST(ReadFITS, MissingFileNamesIt) {
    TempDir dir;
    FitsImage image;
    auto raster = newRaster();
    const fs::path name = dir / "absent.fits";
    const Captured got = readCaptured(name, image, *raster);
    EXPECT_FALSE(got.read);
    EXPECT_EQ(got.output, "rf: Error - file not found ( " + name.string() + " )\n");
}

// 128 x 128 floats need 23 data blocks; the file stops 100 bytes into block 21.
TEST(ReadFITS, ShortDataGiveOneMessagePerShortBlockAndFailOnlyWhenPixelsAreMissing) {
    const std::string line = "rf: Error reading FITS data- EOF encountered before end of data\n";
    const struct {
        int pixels;  // of the 128 x 128 image, in the file
        bool read;
        int shortBlocks;
    } cases[] = {{20 * 720 + 25, false, 3}, {128 * 128, true, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pixels);
        Bytes file = headerBytes(withEnd(imageCards(-32, 128, 128)));
        for (int k = 0; k < c.pixels; ++k)
            putBigEndian(file, std::bit_cast<uint32_t>(patternValue(-32, k % 128, k / 128)), 4);
        TempDir dir;
        writeBytes(dir / "in.fits", file);
        FitsImage image;
        auto raster = newRaster();
        const Captured got = readCaptured(dir / "in.fits", image, *raster);
        EXPECT_EQ(got.read, c.read);
        std::string lines;
        for (int i = 0; i < c.shortBlocks; ++i) lines += line;
        EXPECT_EQ(got.output, lines);
        for (int k : {0, 14399, 14400, c.pixels - 1})
            EXPECT_EQ((*raster)[k % 128][k / 128], patternValue(-32, k % 128, k / 128)) << "pixel " << k;
    }
}

struct FailedWrite {
    const char* what;
    std::string name;
    int bitpix, naxis1;
    bool header;
    std::string message;
    std::error_code cause;  // the system's error, or the text of the refusal
};

TEST(WriteFITS, FailureLeavesNoFile) {
    const std::string openError = "wf: Error opening file for writing\n";
    const std::string writeError = "wf:  Error writing FITS file\n";
    const FailedWrite cases[] = {
        {"no header", "out.fits", -32, 4, false, "rf: Error - no header block defined, file not written\n",
         FitsText::noHeaderBlock},
        {"directory missing", "missing/out.fits", -32, 4, true, openError, systemCause(ENOENT)},
        {"a file as directory", "plain/out.fits", -32, 4, true, openError, systemCause(ENOTDIR)},
        {"a folder at the name", "folder", -32, 4, true, openError, systemCause(EISDIR)},
        {"BITPIX 24", "out.fits", 24, 4, true, writeError, FitsText::writeError},
        {"NAXIS1 600", "out.fits", -32, 600, true, writeError, FitsText::writeError},
    };
    for (const FailedWrite& c : cases) {
        TempDir dir;
        writeBytes(dir / "plain", {});
        fs::create_directory(dir / "folder");
        FitsImage image;
        if (c.header) finishedHeader(image, c.bitpix, c.naxis1, 4);
        auto raster = newRaster(1.0f);
        Messages messages;
        const Result written = writeFITS((dir / c.name).string(), image, *raster, messages);
        EXPECT_EQ(outputOf(messages), c.message) << c.what;
        EXPECT_FALSE(written) << c.what;
        EXPECT_EQ(written.cause(), c.cause) << c.what;
        EXPECT_EQ(entries(dir.path()), 2u) << c.what;
        EXPECT_TRUE(fs::is_empty(dir / "folder")) << c.what;
    }
}

TEST(WriteFITS, FailureKeepsEarlierFileOfThatName) {
    TempDir dir;
    const fs::path name = dir / "out.fits";
    auto raster = newRaster(2.0f);
    FitsImage good;
    finishedHeader(good, 16, 4, 4);
    ASSERT_TRUE(writeFile(name, good, *raster));
    const Bytes before = readBytes(name);

    FitsImage bad;
    finishedHeader(bad, 24, 4, 4);
    EXPECT_FALSE(writeFile(name, bad, *raster));
    EXPECT_EQ(readBytes(name), before);
    EXPECT_EQ(entries(dir.path()), 1u);
}

// The link is replaced by the file; what it pointed to stays as it was.
TEST(WriteFITS, ReplacesASymbolicLinkNeverItsTarget) {
    TempDir dir;
    const fs::path target = dir / "target.fits";
    const fs::path link = dir / "link.fits";
    writeBytes(target, {1, 2, 3});
    fs::create_symlink(target.filename(), link);
    auto raster = newRaster(2.0f);
    FitsImage image;
    finishedHeader(image, 16, 4, 4);
    ASSERT_TRUE(writeFile(link, image, *raster));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link)));
    EXPECT_EQ(fs::file_size(link), 2u * 2880);
    EXPECT_EQ(readBytes(target), (Bytes{1, 2, 3}));
    EXPECT_EQ(entries(dir.path()), 2u);
}

// A file the user may not write is refused though the folder would let the rename replace it.
// Root may write any file, so as root the write runs in a child that has become nobody.
TEST(WriteFITS, RefusesAFileTheUserMayNotWrite) {
    TempDir dir;
    const fs::path name = dir / "kept.fits";
    writeBytes(name, {1, 2, 3});
    fs::permissions(name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir.path(), fs::perms::all);
    auto attempt = [&] {
        auto raster = newRaster(2.0f);
        FitsImage image;
        finishedHeader(image, 16, 4, 4);
        Messages messages;
        const Result written = writeFITS(name.string(), image, *raster, messages);
        return !written && written.cause() == std::errc::permission_denied
               && outputOf(messages) == "wf: Error opening file for writing\n";
    };
    bool refused = false;
    if (geteuid() != 0) {
        refused = attempt();
    } else {
        const pid_t child = fork();
        if (child == 0) {
            const bool done = setgid(65534) == 0 && setuid(65534) == 0 && attempt();
            std::fflush(stdout);
            _exit(done ? 0 : 1);
        }
        int status = 0;
        refused = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(readBytes(name), (Bytes{1, 2, 3}));
    EXPECT_EQ(entries(dir.path()), 1u);
}

class CfitsioReadsWrittenFile : public testing::TestWithParam<int> {};

TEST_P(CfitsioReadsWrittenFile, HeaderAndPixels) {
    const int bitpix = GetParam();
    constexpr int n1 = 7, n2 = 5;
    auto raster = newRaster();
    for (int x = 0; x < n1; ++x)
        for (int y = 0; y < n2; ++y) (*raster)[x][y] = patternValue(bitpix, x * 40, y * 50);
    TempDir dir;
    FitsImage image;
    finishedHeader(image, bitpix, n1, n2, 0.5, 10.0);
    ASSERT_TRUE(writeFile(dir / "out.fits", image, *raster));

    const CfitsioImage file = readWithCfitsio(dir / "out.fits", {"BSCALE", "BZERO"});
    EXPECT_EQ(file.bitpix, bitpix);
    EXPECT_EQ(file.naxis, 2);
    EXPECT_EQ(file.naxis1, n1);
    EXPECT_EQ(file.naxis2, n2);
    EXPECT_EQ(file.numbers.at("BSCALE"), 0.5);
    EXPECT_EQ(file.numbers.at("BZERO"), 10.0);
    for (int k = 0; k < n1 * n2; ++k)
        EXPECT_DOUBLE_EQ(file.pixels.at(k), double((*raster)[k % n1][k / n1]) * 0.5 + 10.0) << "pixel " << k;
}

INSTANTIATE_TEST_SUITE_P(Bitpix, CfitsioReadsWrittenFile, testing::Values(8, 16, 32, -32),
                         [](const testing::TestParamInfo<int>& info) {
                             return info.param < 0 ? "Minus" + std::to_string(-info.param)
                                                   : "Plus" + std::to_string(info.param);
                         });

}  // namespace
