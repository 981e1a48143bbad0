// The data part of camera files through the real program: both data-block layouts, every
// observing mode and frame selection, the column interchange, and the files it must refuse.
// Expected pixels are computed here from the frames the test wrote, as the format combines them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/camerawriter.h"
#include "support/expectedimage.h"
#include "support/fitsread.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Distinct signed values per frame and cell, some beyond 2^24 so that a float quotient shows.
int32_t framePixel(int frame, int x, int y) {
    return (frame % 2 ? 1 : -1) * (frame * 4999999 + x * 4099 + y * 257);
}

// TOTCOADD, TOTCOAD2, TOTCOAD3, TOTCOAD4: distinct, so that a wrong beam's divisor shows.
constexpr int kCoadds[4] = {3, 5, 7, 11};

CameraWriter modeFile(int mode, const FrameGeometry& g, int frames, uint8_t fillByte = 0xA5) {
    CameraWriter file;
    file.corners(g).totalCoadds(kCoadds[0]).beamCoadds(2, kCoadds[1]).beamCoadds(3, kCoadds[2]);
    file.beamCoadds(4, kCoadds[3]).obsmode(mode).endMarker();
    return file.frames(g, frames, framePixel, fillByte);
}

double quotient(int frame, int beam, int x, int y) {
    return framePixel(frame, x, y) / double(float(kCoadds[beam - 1]));
}

float combined(int mode, int x, int y) {
    return combinedPixel(mode, [&](int frame, int beam) { return quotient(frame, beam, x, y); });
}

int framesOfMode(int mode) { return int(modeFrames(mode).signs.size()); }

testing::AssertionResult imageIs(const CameraRun& run, int naxis1, int naxis2,
                                 const std::function<float(int, int)>& expected) {
    if (run.result.exitStatus != 0)
        return testing::AssertionFailure() << "exit " << run.result.exitStatus << ": " << run.result.output;
    if (!run.fits) return testing::AssertionFailure() << "no single output file";
    if (run.fits->naxis1 != naxis1 || run.fits->naxis2 != naxis2)
        return testing::AssertionFailure() << "size " << run.fits->naxis1 << " x " << run.fits->naxis2;
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            if (run.fits->at(x, y) != expected(x, y))
                return testing::AssertionFailure() << "pixel " << x << "," << y << " is "
                                                   << run.fits->at(x, y) << ", expected " << expected(x, y);
    return testing::AssertionSuccess();
}

testing::AssertionResult refused(const CameraRun& run, const std::string& message) {
    if (run.result.exitStatus != 1) return testing::AssertionFailure() << "exit " << run.result.exitStatus;
    if (run.result.output.find(message) == std::string::npos)
        return testing::AssertionFailure() << "no \"" << message << "\" in: " << run.result.output;
    if (!run.written.empty()) return testing::AssertionFailure() << "wrote " << run.written.front();
    return testing::AssertionSuccess();
}

const FrameGeometry kSmall = geometryOf(16, 8);

}  // namespace

// ---- Observing modes --------------------------------------------------------------------------

TEST(CameraData, CombinedImageFollowsTheObservingMode) {
    for (int mode : {1, 2, 3, 4, 5, 7}) {
        // One frame more than the mode uses, which must not be read.
        const CameraRun run = convertCameraFile(modeFile(mode, kSmall, framesOfMode(mode) + 1), {"-n"});
        EXPECT_TRUE(imageIs(run, 16, 8, [&](int x, int y) { return combined(mode, x, y); })) << "mode " << mode;
    }
}

// Values over the whole 32-bit range, the extremes among them, divided by small, huge,
// negative and zero coadds: every quotient must round as the division rounds it.
TEST(CameraData, QuotientsRoundAsTheDivisionDoesOverTheWholeRange) {
    const int32_t edges[] = {INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1, 0, 1, -1, 16777217, -16777219};
    const FramePixel pixel = [&](int frame, int x, int y) {
        const uint32_t k = static_cast<uint32_t>(frame * 131 + x * 8 + y);
        return k % 5 == 0 ? edges[k / 5 % 9] : static_cast<int32_t>(k * 2654435761u ^ (k << 13));
    };
    const int32_t divisorSets[][4] = {
        {1, 3, 7, 11}, {180, 16777217, 100000007, INT32_MAX}, {-3, -180, 5, INT32_MIN}, {0, 3, 0, 5}};
    for (const auto& coadds : divisorSets) {
        CameraWriter file;
        file.corners(kSmall).totalCoadds(coadds[0]).beamCoadds(2, coadds[1]).beamCoadds(3, coadds[2]);
        file.beamCoadds(4, coadds[3]).obsmode(7).endMarker().frames(kSmall, 4, pixel);
        const auto quotient = [&](int frame, int beam, int x, int y) {
            return pixel(frame, x, y) / double(float(coadds[beam - 1]));
        };
        for (const char* frame : {"0", "1"}) {
            const CameraRun run = convertCameraFile(file, {"-n", "-o", frame});
            ASSERT_EQ(run.result.exitStatus, 0) << run.result.output;
            ASSERT_TRUE(run.fits);
            for (int x = 0; x < 16; ++x)
                for (int y = 0; y < 8; ++y) {
                    const float expected = frame[0] == '1' ? float(quotient(1, 1, x, y))
                                                           : combinedPixel(7, [&](int n, int beam) { return quotient(n, beam, x, y); });
                    const float got = run.fits->at(x, y);
                    EXPECT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected)))
                        << "divisors " << coadds[0] << " ... -o " << frame << " pixel " << x << "," << y << ": "
                        << got << ", expected " << expected;
                }
        }
    }
}

TEST(CameraData, SelectedFrameIsDividedByItsBeamsCoadds) {
    for (int mode : {1, 2, 3, 4, 5, 6, 7}) {
        const CameraWriter file = modeFile(mode, kSmall, 5);
        for (int n : {1, 2, 3, 4, 5, -1}) {
            const int frame = n < 1 ? 1 : n;
            const CameraRun run = convertCameraFile(file, {"-n", "-o", std::to_string(n)});
            EXPECT_TRUE(imageIs(run, 16, 8, [&](int x, int y) {
                return float(quotient(frame, modeFrames(mode).beamOfFrame[frame - 1], x, y));
            })) << "mode " << mode << " -o " << n;
            // A frame number of 1 or more names the frame in the output name and IRAFNAME.
            const std::string name = n >= 1 ? "970611a.001." + std::to_string(n) : "970611a.001";
            EXPECT_EQ(run.written, std::vector<std::string>{'f' + name});
            if (run.fits) {
                EXPECT_EQ(run.fits->cards[7], stringCard("IRAFNAME", 'i' + name));
            }
        }
    }
}

TEST(CameraData, FrameBeyondTheFileIsRefused) {
    for (const char* n : {"3", "100"}) {
        const CameraRun run = convertCameraFile(modeFile(2, kSmall, 2), {"-n", "-o", n});
        EXPECT_TRUE(refused(run, "kovrent: not enough data for *obsmode 2\n")) << n;
    }
}

TEST(CameraData, UnsupportedModeIsRefusedCombinedButGivesSingleFrames) {
    for (int mode : {6, 0, 8, -1, 127, -128}) {
        const CameraWriter file = modeFile(mode, kSmall, 4);
        const CameraRun combinedRun = convertCameraFile(file, {"-n"});
        EXPECT_TRUE(refused(combinedRun, "Observing mode not supported! (" + std::to_string(mode) + ")\n"));
        const CameraRun single = convertCameraFile(file, {"-n", "-o", "1"});
        EXPECT_TRUE(imageIs(single, 16, 8, [](int x, int y) { return float(quotient(1, 1, x, y)); }));
    }
    // A first file without an OBSMODE record has mode 0.
    CameraWriter file;
    file.corners(kSmall).totalCoadds(1).endMarker().frames(kSmall, 2, framePixel);
    EXPECT_TRUE(refused(convertCameraFile(file, {"-n"}), "Observing mode not supported! (0)\n"));
}

TEST(CameraData, DefaultOrientationTurnsTheImageHalfWay) {
    const CameraRun run = convertCameraFile(modeFile(2, kSmall, 2), {});
    EXPECT_TRUE(imageIs(run, 16, 8, [](int x, int y) { return combined(2, 15 - x, 7 - y); }));
}

// ---- Data-block layouts -----------------------------------------------------------------------

TEST(CameraData, BothBlockLayoutsAreReadAndFillIsSkipped) {
    struct Case {
        FrameGeometry g;
        int mode;
        int64_t frameBytes;  // by hand: columns and fill of the blocks
    };
    const Case cases[] = {
        {geometryOf(128, 128, 64), 2, 2 * 32768},   // FINX: two full blocks, no fill
        {geometryOf(64, 64), 2, 16384 + 16384},     // one block, half fill
        {geometryOf(128, 128), 3, 65536},           // more than 8192 pixels: no fill at all
        {geometryOf(100, 100), 5, 40000},
        {geometryOf(64, 128), 1, 32768},            // exactly one block
        {geometryOf(40, 64, 20), 7, 2 * (5120 + 27648)},
        {{10, 20, 41, 35, 25}, 2, 2 * (1024 + 31744)},  // corners away from 0: 32 x 16, 16 columns first
    };
    for (const Case& c : cases) {
        for (uint8_t fillByte : {uint8_t{0x00}, uint8_t{0xA5}}) {
            const CameraWriter header = modeFile(c.mode, c.g, 0);
            const CameraWriter file = modeFile(c.mode, c.g, framesOfMode(c.mode) + 1, fillByte);
            ASSERT_EQ(int64_t(file.size() - header.size()), (framesOfMode(c.mode) + 1) * c.frameBytes);
            const CameraRun run = convertCameraFile(file, {"-n"});
            EXPECT_TRUE(imageIs(run, c.g.naxis1(), c.g.naxis2(),
                                [&](int x, int y) { return combined(c.mode, x, y); }))
                << c.g.naxis1() << " x " << c.g.naxis2() << " FINX " << c.g.finX;
        }
    }
}

TEST(CameraData, FileReadFromAPipeSkipsItsFillAndFrames) {
    // Fill bytes in every block, a chop-nod combination and a selected later frame: on a pipe
    // the skips are read through, and the image equals that of the same file on disk.
    struct Case {
        std::vector<std::string> options;
        std::string output;
    };
    const CameraWriter file = modeFile(3, geometryOf(64, 64), 4);
    for (const Case& c : {Case{{"-n"}, "stdin"}, Case{{"-n", "-o", "3"}, "stdin.3"}}) {
        const CameraRun direct = convertCameraFile(file, c.options);
        ASSERT_TRUE(direct.fits.has_value()) << direct.result.output;

        TempDir dir;
        writeBytes(dir / kCameraFileName, file.bytes());
        fs::create_directory(dir / "out");
        std::string script = std::string("cat ") + kCameraFileName + " | \"$0\" /dev/stdin -d out";
        for (const std::string& option : c.options) script.append(" ").append(option);
        const RunResult piped = runProgram("/bin/sh", {"-c", script, KOVRENT_BINARY}, dir.path());
        ASSERT_EQ(piped.exitStatus, 0) << piped.output;
        ASSERT_TRUE(fs::exists(dir / "out" / c.output)) << piped.output;
        EXPECT_EQ(readFitsFile(dir / "out" / c.output).pixels, direct.fits->pixels) << c.output;
    }
}

// ---- Column interchange -----------------------------------------------------------------------

TEST(CameraData, InterchangeSwapsPixelsFourAndFiveOfEveryGroup) {
    struct Swap {
        int x, y;
        float value;
    };
    struct Case {
        int naxis1, naxis2;
        std::vector<Swap> changed;  // by hand, for pixels 100x + y + 1
    };
    const Case cases[] = {
        {4, 16, {{1, 1, 3}, {0, 2, 102}, {3, 1, 203}, {2, 2, 302},
                 {1, 9, 11}, {0, 10, 110}, {3, 9, 211}, {2, 10, 310}}},
        // At the edges, a swap whose partner lies outside the image is left out.
        {5, 8, {{1, 1, 3}, {0, 2, 102}, {3, 1, 203}, {2, 2, 302}}},
        {4, 10, {{1, 1, 3}, {0, 2, 102}, {3, 1, 203}, {2, 2, 302}}},
        {3, 11, {{1, 1, 3}, {0, 2, 102}, {1, 9, 11}, {0, 10, 110}}},
    };
    for (const Case& c : cases) {
        const FrameGeometry g = geometryOf(c.naxis1, c.naxis2);
        CameraWriter file;
        file.corners(g).totalCoadds(1).obsmode(1).endMarker();
        file.frames(g, 1, [](int, int x, int y) { return 100 * x + y + 1; });
        const CameraRun run = convertCameraFile(file, {"-n", "-i"});
        EXPECT_TRUE(imageIs(run, c.naxis1, c.naxis2, [&](int x, int y) {
            for (const Swap& s : c.changed)
                if (s.x == x && s.y == y) return s.value;
            return float(100 * x + y + 1);
        })) << c.naxis1 << " x " << c.naxis2;
    }

    // Odd widths in a range: no pixel of an earlier file reaches a later one.
    const FrameGeometry g = geometryOf(155, 110);
    TempDir range;
    std::vector<CameraRun> alone;
    for (int n = 1; n <= 3; ++n) {
        CameraWriter file;
        file.corners(g).totalCoadds(1).obsmode(1).endMarker();
        file.frames(g, 1, [n](int, int x, int y) { return 1000000 * n + 1000 * x + y; });
        file.save(range / ("c970611a.00" + std::to_string(n)));
        alone.push_back(convertCameraFile(file, {"-i", "-e", "3"}));
        ASSERT_TRUE(alone.back().fits) << alone.back().result.output;
    }
    const RunResult run = runKovrent({"c970611a.", "-r", "1", "3", "-i", "-e", "3"}, range.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(readFitsFile(range / ("f970611a.00" + std::to_string(n))).pixels, alone[n - 1].fits->pixels)
            << n;
}

TEST(CameraData, InterchangeChangesExactlyTheGroupCells) {
    const CameraWriter file = modeFile(2, geometryOf(128, 128, 64), 2);
    const CameraRun plain = convertCameraFile(file, {"-n"});
    const CameraRun swapped = convertCameraFile(file, {"-n", "-i"});
    ASSERT_TRUE(plain.fits && swapped.fits);
    std::set<std::pair<int, int>> partners;
    for (int x0 = 0; x0 < 128; x0 += 2)
        for (int y0 = 0; y0 < 128; y0 += 8) {
            EXPECT_EQ(swapped.fits->at(x0 + 1, y0 + 1), plain.fits->at(x0, y0 + 2));
            EXPECT_EQ(swapped.fits->at(x0, y0 + 2), plain.fits->at(x0 + 1, y0 + 1));
            partners.insert({x0 + 1, y0 + 1});
            partners.insert({x0, y0 + 2});
        }
    ASSERT_EQ(partners.size(), 2048u);
    for (int x = 0; x < 128; ++x)
        for (int y = 0; y < 128; ++y)
            if (!partners.count({x, y})) {
                ASSERT_EQ(swapped.fits->at(x, y), plain.fits->at(x, y)) << x << "," << y;
            }
}

// ---- Refusals ---------------------------------------------------------------------------------

TEST(CameraData, ShortDataEndsTheRunWithTheMessageOfItsPlace) {
    // 40 x 64 CHOP-NOD with FINX after 20 columns: per frame, columns at 0 and 32768 (5120 bytes
    // each), fill at 5120 and 37888; frames 65536 bytes apart.
    const FrameGeometry g = geometryOf(40, 64, 20);
    const size_t header = modeFile(3, g, 0).size();
    const std::string first = "kovrent: not enough data for *obsmode 3\n";
    const std::string later = "kovrent(readVESKA): not enough data for *obsmode 3\n";
    struct Case {
        size_t dataBytes;
        std::vector<std::string> options;
        std::string message;  // empty: converts
    };
    const Case cases[] = {
        {100, {}, first},                          // frame 1, block 1
        {5130, {}, first},                         // fill of block 1: block 2 comes up short
        {32768 + 300, {}, first},                  // frame 1, block 2
        {65536, {}, later},                        // frame 2 missing
        {65536 + 100, {}, later},                  // frame 2, block 1
        {2 * 65536 + 5000, {}, later},             // frame 3, block 1
        {3 * 65536 + 256, {}, later},              // frame 4 after its first column
        {3 * 65536 + 32768 + 5119, {}, first},     // frame 4, block 2
        {65536 + 100, {"-o", "2"}, first},         // a selected frame
        {3 * 65536 + 37888 + 100, {}, ""},         // fill of the last block is never tested
    };
    for (const Case& c : cases) {
        CameraWriter file = modeFile(3, g, 4);
        file.truncate(header + c.dataBytes);
        std::vector<std::string> options = {"-n"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const CameraRun run = convertCameraFile(file, options);
        if (c.message.empty()) {
            EXPECT_TRUE(imageIs(run, 40, 64, [](int x, int y) { return combined(3, x, y); }));
        } else {
            EXPECT_TRUE(refused(run, c.message)) << c.dataBytes;
        }
        if (c.message == first) {
            EXPECT_EQ(run.result.output.find("readVESKA"), std::string::npos) << c.dataBytes;
        }
    }
}

TEST(CameraData, ImagesUpTo512PixelsEachWayAreAccepted) {
    for (const FrameGeometry& g : {geometryOf(512, 8), geometryOf(8, 512)}) {
        const CameraRun run = convertCameraFile(modeFile(1, g, 1), {"-n"});
        EXPECT_TRUE(imageIs(run, g.naxis1(), g.naxis2(), [](int x, int y) { return combined(1, x, y); }));
    }
}

TEST(CameraData, HeadersThatCannotBeReadAreRefusedBeforeAnyData) {
    const std::string headerError = "kovrent: Error in file header - ";
    struct Case {
        CameraWriter header;
        std::string message;
    };
    const Case cases[] = {
        {CameraWriter().initXY(0, 0).endXY(512, 0).totalCoadds(1), "Error in file header - too big!\n"},
        {CameraWriter().initXY(0, 0).endXY(0, 512).totalCoadds(1), "Error in file header - too big!\n"},
        {CameraWriter().initXY(100, 7).endXY(612, 7).totalCoadds(1), "Error in file header - too big!\n"},
        {CameraWriter().endXY(7, 7).totalCoadds(1), headerError},                  // no INITX/INITY
        {CameraWriter().initXY(0, 0).totalCoadds(1), headerError},                 // no ENDX/ENDY
        {CameraWriter().totalCoadds(1), headerError},                              // no corners at all
        {CameraWriter().initXY(0, 0).endXY(7, 7), headerError},                    // no TOTCOADD
        {CameraWriter().initXY(5, 0).endXY(4, 7).totalCoadds(1), headerError},     // no columns
        {CameraWriter().initXY(0, 5).endXY(7, 4).totalCoadds(1), headerError},     // no rows
        {CameraWriter().initXY(0, 5).endXY(7, 2).totalCoadds(1), headerError},     // -2 rows
        {CameraWriter().initXY(4, 0).endXY(10, 7).finX(3).totalCoadds(1), headerError},  // FINX before INITX
        // 64 columns with FINX 127 would skip 65536 bytes after block 2; FINX lies beyond ENDX.
        {CameraWriter().initXY(0, 0).endXY(63, 127).finX(127).totalCoadds(1), headerError},
    };
    for (const Case& c : cases) {
        CameraWriter file = c.header;
        file.obsmode(1).endMarker().fill(4 * 65536, 0x11);
        const CameraRun run = convertCameraFile(file, {"-n"});
        EXPECT_TRUE(refused(run, c.message));
        EXPECT_EQ(run.result.output.find("Error reading in VESKA"), std::string::npos);
    }
}

TEST(CameraData, UnpackingAFileThatIsNotPackedIsRefused) {
    const CameraRun run = convertCameraFile(modeFile(2, kSmall, 2), {"-p"});
    EXPECT_TRUE(refused(run, "...\nkovrent: Error - data not in packed mode\n"));
}
