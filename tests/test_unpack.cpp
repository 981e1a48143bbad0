// Unpacking of packed and ultrafast-packed camera files, end to end: the real program runs with
// -p on files from the camera-file writer, and every written FITS file is read back byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/camerawriter.h"
#include "support/expectedimage.h"
#include "support/fitsread.h"
#include "support/runprogram.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kHeaderSize = 400;

// The value of the first card with `key`: the text between quotes, or the word after "= ".
std::string cardValue(const FitsContents& f, const std::string& key) {
    for (const std::string& card : f.cards) {
        if (cardKeyword(card) != key) continue;
        const size_t start = card.find_first_not_of(' ', 10);
        if (start == std::string::npos) return "";
        if (card[start] == '\'') return card.substr(start + 1, card.find('\'', start + 1) - start - 1);
        return card.substr(start, card.find(' ', start) - start);
    }
    return "<no " + key + ">";
}

int cardCount(const FitsContents& f, const std::string& key) {
    return int(std::count_if(f.cards.begin(), f.cards.end(),
                             [&](const std::string& card) { return cardKeyword(card) == key; }));
}

// Distinct values; every seventh needs more than a float's 24 bits, so its conversion rounds.
int32_t packedPixel(int image, int beam, int x, int y) {
    const int32_t v = image * 50021 + beam * 20011 + x * 613 + y * 3 + 1;
    return (x + 2 * y) % 7 == 0 ? v * 1021 * (image % 2 ? -1 : 1) : v;
}

int32_t ultrafastPixel(int image, int beam, int x, int y) {
    return (beam == 1 ? 1 : -3) * (x * 64 + y + 1) + 7 * image;
}

struct Layout {
    int naxis1 = 128;
    int naxis2 = 128;
    int obsmode = 1;
    int count = 10;
    bool ultrafast = false;
    int coadds = 4;
    int sequence = 7;
    const char* orientation = "";  // none: the file keeps the default code
    ClockTime end{5, 3, 7, 2};
    bool dated = false;  // a date record, for --modern
};

CameraWriter packedFile(const Layout& l) {
    const FrameGeometry g = geometryOf(l.naxis1, l.naxis2);
    CameraWriter f;
    // The header's own end time differs from its start time but must give way to the trailer's.
    f.headerSize(kHeaderSize).corners(g).totalCoadds(l.coadds).obsmode(l.obsmode);
    f.timeObs({1, 2, 3, 4}).timeEnd({6, 7, 8, 9});
    if (l.dated) f.dateTime(1997, 6, 11, 1, 2, 3);
    if (*l.orientation) f.orientation(l.orientation);
    if (l.ultrafast)
        f.ultrafast(l.count);
    else
        f.packed(l.count, l.sequence);
    f.endMarker().padTo(kHeaderSize);
    if (l.ultrafast)
        f.ultrafastData(g, l.obsmode, l.count, ultrafastPixel);
    else
        f.packedData(g, l.obsmode, l.count, packedPixel);
    return f.trailer(l.end);
}

// Pixel [x][y] of unpacked image k: each beam value / c1, beam 2 merged by the -o frame, and
// for packed images with -i the cells of the 2 x 8 groups that trade places.
std::function<float(int, int)> expectedImage(const Layout& l, int k, int frame = 0, bool interchange = false) {
    return [=](int x, int y) {
        // A group swaps only when both of its cells lie inside the image.
        const bool swaps = interchange && !l.ultrafast && x - x % 2 + 1 < l.naxis1 && y - y % 8 + 2 < l.naxis2;
        if (swaps && x % 2 == 1 && y % 8 == 1) {
            x -= 1;
            y += 1;
        } else if (swaps && x % 2 == 0 && y % 8 == 2) {
            x += 1;
            y -= 1;
        }
        const auto value = l.ultrafast ? ultrafastPixel : packedPixel;
        auto beam = [&](int b) { return double(float(value(k, b, x, y))) / float(l.coadds); };
        const bool twoBeams = l.ultrafast ? l.obsmode == 2 : l.obsmode >= 2 && l.obsmode <= 4;
        if (!twoBeams || (frame != 0 && frame != 2)) return float(beam(1));
        if (frame == 2) return float(beam(2));
        return float(double(float(beam(1))) - beam(2));
    };
}

void expectPixels(const FitsContents& f, int naxis1, int naxis2, const std::function<float(int, int)>& expected) {
    ASSERT_EQ(f.naxis1, naxis1);
    ASSERT_EQ(f.naxis2, naxis2);
    EXPECT_EQ(f.fileBytes, f.headerBytes + (size_t(4) * naxis1 * naxis2 + 2879) / 2880 * 2880);
    int wrong = 0;
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            if (f.at(x, y) != expected(x, y) && wrong++ == 0)
                ADD_FAILURE() << "pixel [" << x << "][" << y << "] is " << f.at(x, y) << ", expected "
                              << expected(x, y);
    EXPECT_EQ(wrong, 0);
}

// "t970611a.005": image number n of series 'a', numbers from 1000 on in the next letter.
std::string unpackedName(char kind, int n, const std::string& ending = "") {
    char name[32];
    std::snprintf(name, sizeof name, "%c970611%c.%03d", kind, 'a' + n / 1000, n % 1000);
    return name + ending;
}

size_t filesIn(const fs::path& dir) {
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Unpack, EveryImageBecomesOneFileWithItsPixels) {
    struct Case {
        const char* name;
        Layout layout;
        std::vector<std::string> options;
        int frame;
        int images;
    };
    const Case cases[] = {
        {"grab 128", {}, {}, 0, 10},
        {"chop, beams merged", {.obsmode = 2, .count = 3, .coadds = 3}, {}, 0, 3},
        {"chop, beam 1", {.obsmode = 2, .count = 3}, {"-o", "1"}, 1, 3},
        {"chop, beam 2", {.obsmode = 2, .count = 3, .coadds = 3}, {"-o", "2"}, 2, 3},
        {"chop-nod doubles", {.obsmode = 3, .count = 10}, {}, 0, 20},
        {"chop-nod 4, beams merged", {.obsmode = 4, .count = 2, .coadds = 3}, {}, 0, 4},
        {"chop-nod 4, beam 2 skipped", {.obsmode = 4, .count = 2}, {"-o", "1"}, 1, 4},
        {"grab, interchanged", {.count = 2}, {"-i"}, 0, 2},
        {"grab 27 x 21, interchanged", {.naxis1 = 27, .naxis2 = 21, .count = 3}, {"-i"}, 0, 3},
        {"unused block tails", {.naxis2 = 100, .count = 3, .coadds = 3}, {}, 0, 3},
        {"512 x 512", {.naxis1 = 512, .naxis2 = 512, .count = 2}, {}, 0, 2},
        {"chop, 27 columns a block", {.naxis1 = 40, .naxis2 = 300, .obsmode = 2, .count = 3}, {}, 0, 3},
        {"ultrafast grab 64", {.naxis1 = 64, .naxis2 = 64, .count = 6, .ultrafast = true, .coadds = 3}, {"-i"}, 0, 6},
        {"ultrafast chop 64", {.naxis1 = 64, .naxis2 = 64, .obsmode = 2, .count = 3, .ultrafast = true}, {}, 0, 3},
        {"ultrafast grab 32x16", {.naxis1 = 32, .naxis2 = 16, .count = 5, .ultrafast = true}, {"-i"}, 0, 5},
        {"ultrafast chop, beam 2",
         {.naxis1 = 32, .naxis2 = 16, .obsmode = 2, .count = 3, .ultrafast = true, .coadds = 3}, {"-o", "2"}, 2, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        packedFile(c.layout).save(dir / "c970611a.005");
        std::vector<std::string> args = {"c970611a.005", "-p"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult run = runKovrent(args, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;

        const bool interchange = !c.options.empty() && c.options[0] == "-i";
        const std::string ending = c.frame > 0 ? std::string(".").append(std::to_string(c.frame)) : "";
        EXPECT_TRUE(contains(run.output, c.layout.ultrafast
                                             ? "writing " + std::to_string(c.images) + " ultrafast packed files...\n"
                                             : "writing " + std::to_string(c.images) + " files...\n"))
            << run.output;
        EXPECT_EQ(filesIn(dir.path()), size_t(c.images) + 1);
        for (int k = 0; k < c.images; ++k) {
            const std::string name = unpackedName('t', 5 + k, ending);
            SCOPED_TRACE(name);
            EXPECT_TRUE(contains(run.output, (c.layout.ultrafast ? "Now writing ultrafast unpacked file "
                                                                 : "Now writing unpacked file ") +
                                                 name + "\n"));
            const FitsContents f = readFitsFile(dir / name);
            EXPECT_EQ(cardValue(f, "IRAFNAME"), unpackedName('i', 5 + k, ending));
            EXPECT_EQ(cardValue(f, "NAXIS1"), std::to_string(c.layout.naxis1));
            EXPECT_EQ(cardValue(f, "NAXIS2"), std::to_string(c.layout.naxis2));
            // The trailer is found only behind the whole packed data of this layout.
            EXPECT_EQ(cardValue(f, "TIME-END"), "05:03:07.02");
            expectPixels(f, c.layout.naxis1, c.layout.naxis2, expectedImage(c.layout, k, c.frame, interchange));
        }
    }
}

TEST(Unpack, UnpackedFilesShareThePackedHeaderButIrafname) {
    TempDir dir;
    packedFile({}).save(dir / "c970611a.005");
    const RunResult run = runKovrent({"c970611a.005", "-p"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;

    const FitsContents first = readFitsFile(dir / "t970611a.005");
    EXPECT_EQ(cardValue(first, "PSEQ"), "7");
    EXPECT_EQ(cardValue(first, "PACKED"), "10");
    EXPECT_EQ(cardValue(first, "BITPIX"), "-32");
    EXPECT_EQ(cardValue(first, "TIME-END"), "05:03:07.02");
    EXPECT_EQ(cardCount(first, "TIME-END"), 1);
    for (int k = 1; k < 10; ++k) {
        const FitsContents f = readFitsFile(dir / unpackedName('t', 5 + k));
        ASSERT_EQ(f.cards.size(), first.cards.size());
        for (size_t i = 0; i < f.cards.size(); ++i) {
            if (cardKeyword(f.cards[i]) != "IRAFNAME") {
                EXPECT_EQ(f.cards[i], first.cards[i]) << "card " << i + 1;
            }
        }
    }
}

TEST(Unpack, RangeGoesOnAfterTheLastImage) {
    TempDir dir;
    packedFile({}).save(dir / "c970611a.005");
    const Layout second{.obsmode = 2, .count = 3, .sequence = 8};
    packedFile(second).save(dir / "c970611a.015");
    const RunResult run = runKovrent({"c970611a.", "-r", "5", "15", "-p"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;

    EXPECT_TRUE(contains(run.output, "Reading c970611a.015..."));
    EXPECT_FALSE(contains(run.output, "Reading c970611a.006"));
    EXPECT_EQ(filesIn(dir.path()), size_t(2 + 10 + 3));
    EXPECT_EQ(cardValue(readFitsFile(dir / "t970611a.014"), "PSEQ"), "7");
    for (int k = 0; k < 3; ++k) {
        const FitsContents f = readFitsFile(dir / unpackedName('t', 15 + k));
        EXPECT_EQ(cardValue(f, "PSEQ"), "8");
        EXPECT_EQ(cardValue(f, "IRAFNAME"), unpackedName('i', 15 + k));
        expectPixels(f, 128, 128, expectedImage(second, k));
    }
}

TEST(Unpack, NamesFollowNumberSeriesAndOptions) {
    struct Case {
        const char* input;
        std::vector<std::string> options;
        Layout layout;
        std::vector<std::string> names;
        std::vector<std::string> irafNames;
    };
    const Case cases[] = {
        {"c970611a.998", {}, {.count = 4},
         {"t970611a.998", "t970611a.999", "t970611b.000", "t970611b.001"},
         {"i970611a.998", "i970611a.999", "i970611b.000", "i970611b.001"}},
        {"c970611a.005", {"-o", "2", "-a"}, {.obsmode = 2, .count = 2},
         {"t970611a.005.2.fits", "t970611a.006.2.fits"}, {"i970611a.005.2", "i970611a.006.2"}},
        {"c970611a.005", {"-a"}, {.count = 2}, {"t970611a.005.fits", "t970611a.006.fits"},
         {"i970611a.005", "i970611a.006"}},
        {"c970611a.xyz", {}, {.count = 2}, {"t970611a.000", "t970611a.001"}, {"i970611a.000", "i970611a.001"}},
        {"c970611a.005", {"-d", "out"}, {.count = 2}, {"out/t970611a.005", "out/t970611a.006"},
         {"out/i970611a.005", "out/i970611a.006"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names.front());
        TempDir dir;
        fs::create_directory(dir / "out");
        packedFile(c.layout).save(dir / c.input);
        std::vector<std::string> args = {c.input, "-p"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult run = runKovrent(args, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        const int frame = c.options.size() > 1 && c.options[0] == "-o" ? 2 : 0;
        for (size_t k = 0; k < c.names.size(); ++k) {
            EXPECT_TRUE(contains(run.output, "Now writing unpacked file " + c.names[k] + "\n")) << run.output;
            const FitsContents f = readFitsFile(dir / c.names[k]);
            EXPECT_EQ(cardValue(f, "IRAFNAME"), c.irafNames[k]);
            expectPixels(f, 128, 128, expectedImage(c.layout, int(k), frame));
        }
    }
}

TEST(Unpack, TimeEndComesFromTheTrailerWithZerosForMissingBytes) {
    struct Case {
        ClockTime end;
        size_t trailerBytes;  // of the 18
        const char* expected;
    };
    const Case cases[] = {
        {{5, 3, 7, 2}, 18, "05:03:07.02"},
        {{12, 0, 59, 99}, 18, "12:00:59.99"},
        {{5, 3, 7, 2}, 14, "05:03:00.00"},
        {{5, 3, 7, 2}, 10, "00:00:00.00"},
        {{5, 3, 7, 2}, 0, "00:00:00.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        TempDir dir;
        CameraWriter f = packedFile({.count = 1, .end = c.end});
        f.truncate(f.size() - (18 - c.trailerBytes)).save(dir / "c970611a.005");
        const RunResult run = runKovrent({"c970611a.005", "-p"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        const FitsContents written = readFitsFile(dir / "t970611a.005");
        EXPECT_EQ(cardValue(written, "TIME-END"), c.expected);
        EXPECT_EQ(cardCount(written, "TIME-END"), 1);
    }
}

TEST(Unpack, FitsRunOrientsUnpackedFilesByTheirOrientst) {
    struct Case {
        const char* code;
        std::pair<int, int> (*source)(int x, int y);  // unpacked cell that lands at output [x][y]
    };
    const Case cases[] = {
        {"ULYYN", [](int x, int y) { return std::pair{127 - x, 127 - y}; }},
        {"ULYNN", [](int x, int y) { return std::pair{127 - x, y}; }},
        {"LUYYN", [](int x, int y) { return std::pair{y, x}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        TempDir dir;
        fs::create_directory(dir / "out");
        const Layout layout{.count = 2, .orientation = c.code};
        packedFile(layout).save(dir / "c970611a.005");
        ASSERT_EQ(runKovrent({"c970611a.005", "-p"}, dir.path()).exitStatus, 0);
        const RunResult run = runKovrent({"t970611a.", "-r", "5", "6", "-f", "-d", "out"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        for (int k = 0; k < 2; ++k) {
            const auto unpacked = expectedImage(layout, k);
            expectPixels(readFitsFile(dir / "out" / unpackedName('f', 5 + k)), 128, 128, [&](int x, int y) {
                const auto [sx, sy] = c.source(x, y);
                return unpacked(sx, sy);
            });
        }
    }
}

TEST(Unpack, RefusedFilesWriteNothing) {
    const FrameGeometry g = geometryOf(128, 128);
    CameraWriter plain;
    plain.corners(g).totalCoadds(1).obsmode(1).endMarker().frames(g, 1, [](int, int x, int y) { return x + y; });
    CameraWriter tooLarge, narrow;
    tooLarge.corners(geometryOf(64, 65)).totalCoadds(1).obsmode(1).ultrafast(2).endMarker().fill(32768);
    narrow.corners(geometryOf(1, 8)).totalCoadds(1).obsmode(1).ultrafast(2).endMarker().fill(32768);
    // A second PACKED record takes the count back after the first made the file a packed one.
    CameraWriter countTakenBack;
    countTakenBack.corners(g).totalCoadds(1).obsmode(1).packed(3, 1).packed(-1, 2).endMarker().fill(32768);
    struct Case {
        const char* name;
        CameraWriter file;
        std::string input;
        std::vector<std::string> options;
        std::string message;
        std::string second = ""; // the same file under a second name, given after the first
    };
    const std::string packedRefused =
        "kovrent: Error - data packed, use -p option to unpack first\nkovrent: Error reading in VESKA format data file.\n";
    const Case cases[] = {
        {"packed without -p", packedFile({.count = 1, .sequence = 0}), "c970611a.005", {}, packedRefused},
        {"ultrafast without -p", packedFile({.naxis1 = 64, .naxis2 = 64, .count = 5, .ultrafast = true}),
         "c970611a.005", {}, packedRefused},
        {"-p on unpacked data", plain, "c970611a.005", {"-p"}, "\nkovrent: Error - data not in packed mode\n"},
        {"nod", packedFile({.obsmode = 5, .count = 2}), "c970611a.005", {"-p"}, "cannot be unpacked"},
        {"two beam nod", packedFile({.obsmode = 7, .count = 2}), "c970611a.005", {"-p"}, "cannot be unpacked"},
        {"ultrafast chop-nod", packedFile({.naxis1 = 64, .naxis2 = 64, .obsmode = 3, .count = 2, .ultrafast = true}),
         "c970611a.005", {"-p"}, "cannot be unpacked"},
        {"ultrafast 64 x 65", tooLarge, "c970611a.005", {"-p"}, "64 x 64"},
        {"ultrafast of one column", narrow, "c970611a.005", {"-p"}, "columns in pairs"},
        {"name of the input", packedFile({.count = 2}), "t970611a.005", {"-p"}, "would overwrite"},
        {"count taken back", countTakenBack, "c970611a.005", {"-p"}, "packed file without images (PACKED -1)"},
        // Images 005 to 007, then 007 to 009: refused before the first is written.
        {"images of two files share a name", packedFile({.count = 3}), "c970611a.005", {"-p"},
         "c970611a.005 and c970611a.007 would both be written to t970611a.007", "c970611a.007"},
        {"an image takes the name of the next file", packedFile({.count = 2}), "c970611a.005", {"-p"},
         "unpacked file t970611a.006 would overwrite input file t970611a.006", "t970611a.006"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.file.save(dir / c.input);
        std::vector<std::string> args = {c.input};
        if (!c.second.empty()) {
            c.file.save(dir / c.second);
            args.push_back(c.second);
        }
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult run = runKovrent(args, dir.path());
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_TRUE(contains(run.output, "kovrent: Error - ")) << run.output;
        EXPECT_TRUE(contains(run.output, c.message)) << run.output;
        EXPECT_EQ(filesIn(dir.path()), c.second.empty() ? 1u : 2u);
        EXPECT_EQ(readBytes(dir / c.input), c.file.bytes());
    }
}

TEST(Unpack, TruncatedDataKeepsTheImagesWrittenBefore) {
    TempDir dir;
    const Layout layout;
    // Images 0 and 1 take blocks 1 to 4; image 2 finds block 5 but not block 6.
    packedFile(layout).truncate(kHeaderSize + 5 * kDataBlockBytes).save(dir / "c970611a.005");
    const RunResult run = runKovrent({"c970611a.005", "-p"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(contains(run.output, "kovrent: error reading packed data\n")) << run.output;
    expectPixels(readFitsFile(dir / "t970611a.005"), 128, 128, expectedImage(layout, 0));
    expectPixels(readFitsFile(dir / "t970611a.006"), 128, 128, expectedImage(layout, 1));
    EXPECT_FALSE(fs::exists(dir / "t970611a.007"));
}

TEST(Unpack, FailedWriteSkipsOneImageAndEndsWithStatusOne) {
    TempDir dir;
    const Layout layout{.count = 3};
    packedFile(layout).save(dir / "c970611a.005");
    fs::create_directory(dir / "t970611a.006");
    const RunResult run = runKovrent({"c970611a.005", "-p"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(contains(run.output, "kovrent: Error - 1 output file could not be written\n")) << run.output;
    expectPixels(readFitsFile(dir / "t970611a.005"), 128, 128, expectedImage(layout, 0));
    expectPixels(readFitsFile(dir / "t970611a.007"), 128, 128, expectedImage(layout, 2));
}

// ---- Data cubes ----

// Where the data of a FITS file start, and the size of its image or cube, from its cards.
struct Shape {
    size_t dataStart = 0;
    long naxis[3] = {0, 0, 1};
    long planeBytes() const { return naxis[0] * naxis[1] * 4; }
};

Shape shapeOf(const std::vector<uint8_t>& bytes) {
    Shape shape;
    for (size_t at = 0; at + 80 <= bytes.size(); at += 80) {
        const std::string card(reinterpret_cast<const char*>(bytes.data()) + at, 80);
        for (int axis = 0; axis < 3; ++axis)
            if (cardKeyword(card) == "NAXIS" + std::to_string(axis + 1)) shape.naxis[axis] = std::stol(card.substr(10));
        if (cardKeyword(card) == "END") {
            shape.dataStart = (at / 2880 + 1) * 2880;
            break;
        }
    }
    return shape;
}

// A cube holds in plane k the data bytes of the k-th file that the same run without --cube
// writes: for ranges of camera files, each converted file; for packed and ultrafast files, each
// unpacked image converted again with -f and the same options, with -i, -e, -n and --modern.
// fitsverify (without a warning) and astropy read it as a cube of that many planes. A range's
// cube ends where its file that ends last does (here the second). The planes of a --modern cube
// are evenly spaced (a packed file's images, files a second apart): astropy's WCS gives each
// plane's start in the table as the time of its third axis.
TEST(Cube, EveryPlaneIsTheFileThePlainRunWritesThem) {
    struct Case {
        const char* what;
        Layout layout;  // count 0: a range of three camera files of this observing mode
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"packed grab", {.count = 3}, {"-p"}},
        {"packed chop -i --modern", {.naxis1 = 64, .naxis2 = 32, .obsmode = 2, .count = 2, .dated = true},
         {"-p", "-i", "--modern"}},
        {"packed chop-nod", {.naxis1 = 32, .naxis2 = 32, .obsmode = 3, .count = 2}, {"-p", "-o", "2"}},
        {"packed chop -e 2 oriented --modern",
         {.naxis1 = 32, .naxis2 = 16, .obsmode = 2, .count = 3, .orientation = "ULYNN", .dated = true},
         {"-p", "-e", "2", "--modern"}},
        {"packed grab -n -e 3", {.naxis1 = 16, .naxis2 = 8, .count = 2}, {"-p", "-n", "-e", "3"}},
        {"ultrafast chop --modern",
         {.naxis1 = 32, .naxis2 = 16, .obsmode = 2, .count = 5, .ultrafast = true, .dated = true}, {"-p", "--modern"}},
        {"range of grabs -e 2 --modern", {.obsmode = 1, .count = 0}, {"-r", "1", "3", "-e", "2", "--modern"}},
        {"range of chop-nods -i", {.obsmode = 4, .count = 0}, {"-r", "1", "3", "-i"}},
        {"range of two-beam nods -e 3", {.obsmode = 7, .count = 0}, {"-r", "1", "3", "-e", "3"}},
    };
    TempDir all;
    std::vector<std::string> python = {"-c", R"(
import sys, warnings
from astropy.io import fits
from astropy.wcs import WCS
warnings.simplefilter("error")  # a checksum that fails, among others
for name in sys.argv[1:]:
    with fits.open(name, checksum=True) as hdus:
        h, axis = hdus[0].header, ""
        if "CTYPE3" in h:
            seconds = WCS(h).sub([3]).all_pix2world(range(h["NAXIS3"]), 0)[0]
            starts = (hdus["TIMES"].data["MJD_BEG"] - h["MJDREF"]) * 86400
            axis = h["CTYPE3"] + (" at the starts" if (abs(seconds - starts) <= 0.005).all() else "")
        print(hdus[0].data.shape, len(hdus), axis)
)"};
    std::string shapes;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path dir = all / std::to_string(&c - cases);
        fs::create_directories(dir / "plain");
        fs::create_directories(dir / "unpacked");
        fs::create_directories(dir / "cube");
        const bool range = c.layout.count == 0;
        const bool modern = std::count(c.options.begin(), c.options.end(), "--modern");
        if (range)
            for (int n = 1; n <= 3; ++n)
                saveObservation(observationHeader(16, 16, c.layout.obsmode, 2)
                                    .dateTime(1997, 6, 11, 9, 5, n)
                                    .timeEnd({9, n == 2 ? 30 : 10, n, 0}),
                                dir / ("c970611a.00" + std::to_string(n)), 16, 16, 4,
                                [n](int f, int x, int y) { return 4 * (n * 1000 + f * 100 + 7 * x - y); });
        else
            packedFile(c.layout).save(dir / "c970611a.005");
        std::vector<std::string> arguments = {range ? "c970611a." : "c970611a.005", "-d", "plain"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        if (!range) {
            // Unpacked, then each image converted with -f.
            arguments[2] = "unpacked";
            ASSERT_EQ(runKovrent(arguments, dir).exitStatus, 0);
            std::vector<std::string> again;
            for (const fs::directory_entry& image : fs::directory_iterator(dir / "unpacked"))
                again.push_back("unpacked" / image.path().filename());
            std::sort(again.begin(), again.end());
            again.insert(again.end(), {"-f", "-d", "plain"});
            for (const std::string& option : c.options)
                if (option != "-p") again.push_back(option);
            ASSERT_EQ(runKovrent(again, dir).exitStatus, 0);
        } else {
            ASSERT_EQ(runKovrent(arguments, dir).exitStatus, 0);
        }
        arguments[2] = "cube";
        arguments.push_back("--cube");
        const RunResult run = runKovrent(arguments, dir);
        ASSERT_EQ(run.exitStatus, 0) << run.output << run.errors;
        ASSERT_EQ(filesIn(dir / "cube"), 1u);
        // Named like the unpacked images, with 'k' for 't', the first number and their endings.
        const std::string name = std::string(range ? "k970611a.001" : "k970611a.005") +
                                 (std::count(c.options.begin(), c.options.end(), "-o") ? ".2" : "");
        EXPECT_TRUE(contains(run.output, "Now writing data cube cube/" + name + " (")) << run.output;
        // A range's files are the cube's planes: no line names a file the run does not write.
        if (range) {
            EXPECT_TRUE(contains(run.output, "plane 2 of cube/" + name + "\n")) << run.output;
            EXPECT_FALSE(contains(run.output, "writing cube/f970611a.")) << run.output;
        }

        const std::vector<uint8_t> cube = readBytes(dir / "cube" / name);
        const Shape shape = shapeOf(cube);
        std::vector<fs::path> planes(fs::directory_iterator(dir / "plain"), fs::directory_iterator());
        std::sort(planes.begin(), planes.end());
        ASSERT_EQ(shape.naxis[2], long(planes.size()));
        for (size_t k = 0; k < planes.size(); ++k) {
            const std::vector<uint8_t> plain = readBytes(planes[k]);
            const Shape plane = shapeOf(plain);
            ASSERT_EQ(plane.planeBytes(), shape.planeBytes());
            EXPECT_TRUE(std::equal(plain.begin() + plane.dataStart, plain.begin() + plane.dataStart + plane.planeBytes(),
                                   cube.begin() + shape.dataStart + k * shape.planeBytes()))
                << "plane " << k + 1 << " and " << planes[k];
        }
        if (range && modern) {
            const std::string header(cube.begin(), cube.begin() + shape.dataStart);
            EXPECT_TRUE(contains(header, "TIME-END=  '09:30:02.00'       / END TIME OF OBSERVATION (UT)")) << header;
            EXPECT_TRUE(contains(header, "'1997-06-11T09:30:02.00' / END OF OBSERVATION (UT)")) << header;
        }
        const RunResult verified = runProgram(KOVRENT_FITSVERIFY, {name}, dir / "cube");
        EXPECT_TRUE(contains(verified.output, "0 warning(s) and 0 error(s)")) << verified.output;
        python.push_back((dir / "cube" / name).string());
        shapes += "(" + std::to_string(shape.naxis[2]) + ", " + std::to_string(shape.naxis[1]) + ", " +
                  std::to_string(shape.naxis[0]) + ") " + (modern ? "2 TIME at the starts" : "1 ") + "\n";
    }
    const RunResult read = runProgram(KOVRENT_PYTHON, python, all.path());
    EXPECT_EQ(read.output, shapes) << read.errors;
}

// A cube is written whole or not at all: a range of another image size, or one whose cube would
// replace one of its inputs, stops before anything is written; and -f, which reads images of two
// axes, refuses a cube.
TEST(Cube, RangeOfTwoSizesWritesNothingAndFitsInputRefusesACube) {
    TempDir dir;
    for (int n = 1; n <= 3; ++n)
        saveObservation(observationHeader(16, n == 2 ? 8 : 16), dir / ("c970611a.00" + std::to_string(n)), 16,
                        n == 2 ? 8 : 16, 1, [](int, int x, int y) { return x + y; });
    const RunResult mixed = runKovrent({"c970611a.", "-r", "1", "3", "--cube"}, dir.path());
    EXPECT_EQ(mixed.exitStatus, 1);
    EXPECT_TRUE(contains(mixed.output, "c970611a.002 is 16 x 8 (BITPIX -32), but the planes of data cube "
                                       "k970611a.001 are 16 x 16")) << mixed.output;
    // The summary adds up to the range: the plane read before the failure is lost with the cube.
    EXPECT_TRUE(contains(mixed.errors, "0 files converted, 2 failed, 1 not tried")) << mixed.errors;
    EXPECT_EQ(filesIn(dir.path()), 3u);
    fs::copy_file(dir / "c970611a.001", dir / "k970611a.001");
    const std::vector<uint8_t> input = readBytes(dir / "k970611a.001");
    const RunResult over = runKovrent({"k970611a.", "-r", "1", "1", "--cube"}, dir.path());
    EXPECT_EQ(over.exitStatus, 1);
    EXPECT_TRUE(contains(over.output, "data cube k970611a.001 would overwrite input file k970611a.001")) << over.output;
    EXPECT_EQ(readBytes(dir / "k970611a.001"), input);
    fs::remove(dir / "k970611a.001");

    ASSERT_EQ(runKovrent({"c970611a.", "-r", "1", "1", "--cube"}, dir.path()).exitStatus, 0);
    const RunResult cube = runKovrent({"k970611a.001", "-f"}, dir.path());
    EXPECT_EQ(cube.exitStatus, 1);
    EXPECT_TRUE(contains(cube.errors, "k970611a.001: NAXIS 3: a data cube; -f reads images of two axes"))
        << cube.errors;
}

// Planes keep their own starts in the --modern table, and the cube's DATE-OBS is its earliest:
// each file of a range its own, and each unpacked image read with -f its DATE-BEG; planes out of
// step in time leave the third axis blank. The table names each plane's mode as the log does. Planes of
// other objects or modes are said on standard error and in HISTORY cards, not hidden behind the
// first plane's cards.
TEST(Cube, PlanesKeepTheirOwnStartsAndSayHowTheyDiffer) {
    TempDir dir;
    const struct {
        const char* object;
        int obsmode, minute;
    } files[] = {{"NGC 7027", 1, 5}, {"M 42", 2, 4}, {"NGC 7027", 1, 6}};
    for (int n = 1; n <= 3; ++n) {
        CameraWriter header = observationHeader(16, 16, files[n - 1].obsmode, 2);
        header.object(files[n - 1].object).dateTime(1997, 6, 11, 9, files[n - 1].minute, 0);
        saveObservation(header, dir / ("c970611a.00" + std::to_string(n)), 16, 16, 4,
                        [](int f, int x, int y) { return 4 * (f * 100 + x - y); });
    }
    const RunResult range = runKovrent({"c970611a.", "-r", "1", "3", "--cube", "--modern"}, dir.path());
    ASSERT_EQ(range.exitStatus, 0) << range.output << range.errors;
    for (const char* key : {"OBJECT", "OBSMODE"})
        EXPECT_TRUE(contains(range.errors, std::string("kovrent: warning - plane 2 of k970611a.001 differs from plane "
                                                       "1 in ") + key)) << range.errors;
    const std::vector<uint8_t> cube = readBytes(dir / "k970611a.001");
    const std::string header(cube.begin(), cube.begin() + shapeOf(cube).dataStart);
    EXPECT_TRUE(contains(header, "HISTORY   PLANE 2 DIFFERS FROM PLANE 1 IN OBSMODE")) << header;
    EXPECT_FALSE(contains(header, "IN LAMBDA")) << header;
    const RunResult verified = runProgram(KOVRENT_FITSVERIFY, {"k970611a.001"}, dir.path());
    EXPECT_TRUE(contains(verified.output, "0 warning(s) and 0 error(s)")) << verified.output;

    packedFile({.naxis1 = 16, .naxis2 = 16, .count = 3, .dated = true}).save(dir / "p970611a.005");
    ASSERT_EQ(runKovrent({"p970611a.005", "-p", "--modern", "-d", "."}, dir.path()).exitStatus, 0);
    const RunResult images = runKovrent({"t970611a.", "-r", "5", "7", "-f", "--cube", "--modern"}, dir.path());
    ASSERT_EQ(images.exitStatus, 0) << images.output << images.errors;
    // Images unpacked without --modern carry no start of their own: none is made up.
    fs::create_directory(dir / "old");
    ASSERT_EQ(runKovrent({"p970611a.005", "-p", "-d", "old"}, dir.path()).exitStatus, 0);
    ASSERT_EQ(runKovrent({"old/t970611a.", "-r", "5", "7", "-f", "--cube", "--modern"}, dir.path()).exitStatus, 0);

    const RunResult read = runProgram(KOVRENT_PYTHON, {"-W", "error", "-c", R"(
from astropy.io import fits
from astropy.time import Time
with fits.open("k970611a.001", checksum=True) as hdus:
    h, t = hdus[0].header, hdus["TIMES"].data
    print(list(t["FILENAME"]), list(t["OBJECT"]), list(t["OBSMODE"]), list(t["MODE"]), "CTYPE3" in h,
          list(t["DATE_BEG"]), h["DATE-OBS"],
          abs(Time(h["DATE-OBS"]).mjd - h["MJD-OBS"]) < 1e-8, all(abs(Time(t["DATE_BEG"]).mjd - t["MJD_BEG"]) < 1e-8))
with fits.open("k970611a.005", checksum=True) as hdus:
    starts = [fits.getheader("t970611a.00%d" % n)["DATE-BEG"] for n in (5, 6, 7)]
    print(list(hdus["TIMES"].data["DATE_BEG"]) == starts, len(set(starts)), hdus[0].header["CTYPE3"])
with fits.open("old/k970611a.005") as hdus:
    print(list(hdus["TIMES"].data["DATE_BEG"]), "CTYPE3" in hdus[0].header)
)"}, dir.path());
    EXPECT_EQ(read.output,
              "['c970611a.001', 'c970611a.002', 'c970611a.003'] ['NGC 7027', 'M 42', 'NGC 7027'] [1, 2, 1] "
              "['GRAB', 'CHOP', 'GRAB'] False "
              "['1997-06-11T09:05:00.00', '1997-06-11T09:04:00.00', '1997-06-11T09:06:00.00'] "
              "1997-06-11T09:04:00.00 True True\nTrue 3 TIME\n['', '', ''] False\n") << read.errors;
}

// ---- Every frame of an observation ----

float bigEndianFloat(const std::vector<uint8_t>& bytes, size_t at) {
    const uint32_t word = uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
                          uint32_t(bytes[at + 3]);
    float value = 0;
    std::memcpy(&value, &word, 4);
    return value;
}

// --frames writes the frames that the observing mode reads as the planes of k970611a.001, plane n
// the data of the -o n output, each card naming its frame; the combined image is their sum with
// the signs of the mode table. The bundled sample, with a declared header size and FINX, is read
// once per frame. It refuses what cannot go with it.
TEST(Frames, EveryPlaneIsTheFrameThatDashOWritesAndTheyFormTheCombinedImage) {
    const struct {
        int obsmode;
        std::vector<const char*> labels;
        std::vector<int> signs;
        bool modern;
        bool sample = false;
    } modes[] = {
        {1, {"GRAB: FRAME"}, {1}, false},
        {2, {"CHOP: CHOP 1", "CHOP: CHOP 2"}, {1, -1}, true},
        {3, {"CHOP-NOD: NOD A, CHOP 1", "CHOP-NOD: NOD A, CHOP 2", "CHOP-NOD: NOD B, CHOP 1", "CHOP-NOD: NOD B, CHOP 2"},
         {1, -1, -1, 1}, true},
        {5, {"NOD: NOD A", "NOD: NOD B"}, {1, -1}, false},
        {7, {"TWO BEAM NOD: BEAM 1", "TWO BEAM NOD: BEAM 2", "TWO BEAM NOD: BEAM 3", "TWO BEAM NOD: BEAM 4"},
         {-1, 1, 1, -1}, false},
        {3, {"CHOP-NOD: NOD A, CHOP 1", "CHOP-NOD: NOD A, CHOP 2", "CHOP-NOD: NOD B, CHOP 1", "CHOP-NOD: NOD B, CHOP 2"},
         {1, -1, -1, 1}, false, true},
    };
    for (const auto& m : modes) {
        SCOPED_TRACE("observing mode " + std::to_string(m.obsmode) + (m.sample ? ", the sample" : ""));
        TempDir dir;
        CameraWriter header = observationHeader(16, 8, m.obsmode, 3);
        header.beamCoadds(2, 5).beamCoadds(3, 7).beamCoadds(4, 9);
        if (m.sample)
            fs::copy_file(fs::path(KOVRENT_SOURCE_DIR) / "examples" / "c970611a.005", dir / "c970611a.001");
        else
            saveObservation(header, dir / "c970611a.001", 16, 8, int(m.labels.size()),
                            [](int f, int x, int y) { return 1000 * f + 37 * x - 11 * y; });
        fs::create_directory(dir / "plain");
        std::vector<std::string> arguments = {"c970611a.001", "--frames", "-e", "2", "-d", "."};
        if (m.modern) arguments.push_back("--modern");
        const RunResult run = runKovrent(arguments, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output << run.errors;
        EXPECT_TRUE(contains(run.output, "writing ./k970611a.001\n")) << run.output;
        const std::vector<uint8_t> cube = readBytes(dir / "k970611a.001");
        const Shape shape = shapeOf(cube);
        ASSERT_EQ(shape.naxis[2], long(m.labels.size()));
        const std::string cards(cube.begin(), cube.begin() + shape.dataStart);
        for (size_t n = 1; n <= m.labels.size(); ++n) {
            char card[81];
            std::snprintf(card, sizeof card, "FRAME%-3zu= '%s'", n, m.labels[n - 1]);
            EXPECT_TRUE(contains(cards, card)) << card;
            ASSERT_EQ(runKovrent({"c970611a.001", "-o", std::to_string(n), "-e", "2", "-d", "plain"}, dir.path())
                          .exitStatus, 0);
            const std::vector<uint8_t> frame = readBytes(dir / "plain" / ("f970611a.001." + std::to_string(n)));
            const Shape alone = shapeOf(frame);
            ASSERT_EQ(alone.planeBytes(), shape.planeBytes());
            EXPECT_TRUE(std::equal(frame.begin() + alone.dataStart, frame.begin() + alone.dataStart + alone.planeBytes(),
                                   cube.begin() + shape.dataStart + (n - 1) * shape.planeBytes()))
                << "plane " << n;
        }
        if (m.modern) {
            const RunResult verified = runProgram(KOVRENT_FITSVERIFY, {"k970611a.001"}, dir.path());
            EXPECT_TRUE(contains(verified.output, "0 warning(s) and 0 error(s)")) << verified.output;
        }
        ASSERT_EQ(runKovrent({"c970611a.001", "-e", "2", "-d", "plain"}, dir.path()).exitStatus, 0);
        const std::vector<uint8_t> combined = readBytes(dir / "plain" / "f970611a.001");
        const size_t start = shapeOf(combined).dataStart;
        int wrong = 0;
        for (long i = 0; i < shape.naxis[0] * shape.naxis[1]; ++i) {
            // Each plane is rounded to a float: the sum may differ by their rounding, which the
            // cancelling beams of a subtraction leave large beside the result.
            double sum = 0, size = 0;
            for (size_t n = 0; n < m.signs.size(); ++n) {
                const double plane = bigEndianFloat(cube, shape.dataStart + n * shape.planeBytes() + 4 * i);
                sum += m.signs[n] * plane;
                size += std::abs(plane);
            }
            const double value = bigEndianFloat(combined, start + 4 * i);
            if (std::abs(value - sum) > 4e-7 * size + 1e-6 && wrong++ == 0)
                ADD_FAILURE() << "element " << i << ": combined " << value << ", signed sum of the planes " << sum;
        }
    }

    TempDir dir;
    saveObservation(observationHeader(8, 8, 2, 1), dir / "c970611a.001", 8, 8, 2, [](int, int x, int) { return x; });
    for (const std::vector<std::string>& refused : std::vector<std::vector<std::string>>{
             {"--cube", "-r", "1", "1"}, {"-o", "2"}, {"-p"}, {"-f"}}) {
        std::vector<std::string> arguments = {"c970611a.001", "--frames"};
        arguments.insert(arguments.end(), refused.begin(), refused.end());
        const RunResult run = runKovrent(arguments, dir.path());
        EXPECT_EQ(run.exitStatus, 1) << refused[0];
        EXPECT_TRUE(contains(run.errors, "it cannot go with " + refused[0])) << run.errors;
    }
    EXPECT_FALSE(fs::exists(dir / "k970611a.001"));
}
