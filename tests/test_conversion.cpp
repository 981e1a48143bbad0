// The per-file chain end to end through the program: output header cards and pixels against
// expectations written out by hand or computed here from the input values.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "conversion/conversion.h"
#include "conversion/names.h"
#include "program/commandline.h"
#include "program/run.h"
#include "support/camerawriter.h"
#include "support/expectedimage.h"
#include "support/fitsread.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kInput = "c970611a.005";
const std::string kOutput = "f970611a.005";
const std::string kVersionLine = "kovrent Data conversion program  version " KOVRENT_VERSION "\n";

const std::string kConverted = "THIS FILE WAS CONVERTED FROM VESKA-PC FORMAT BY KOVRENT V. " KOVRENT_VERSION;
const std::string kTime = "TIME OF CONVERSION";  // stands for the time card, checked by pattern
const std::string kOffSource = "ALL OFF-SOURCE FRAMES IN THE ORIGINAL IMAGE HAVE BEEN SUBTRACTED";
const std::string kOriented = "THE IMAGE HAS BEEN ORIENTED WITH NORTH UP AND EAST TO THE LEFT";
const std::string kChopWaitZero = "Warning -- chop wait time = 0, use -z option\n";

int32_t distinctFrame(int, int x, int y) { return static_cast<int32_t>(distinct(x, y)); }

// Local time in the classic 24-character layout, then blanks to the end of the card.
bool isTimeCard(const std::string& card) {
    static const std::regex layout(
        "HISTORY   TIME OF CONVERSION: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} {26}");
    return std::regex_match(card, layout);
}

// The texts of the HISTORY cards, the time card replaced by kTime once its layout is checked.
std::vector<std::string> historyOf(const FitsContents& fits) {
    std::vector<std::string> texts;
    for (const std::string& card : fits.cards) {
        if (cardKeyword(card) != "HISTORY") continue;
        if (card.starts_with("HISTORY   " + kTime)) {
            EXPECT_TRUE(isTimeCard(card)) << card;
            texts.push_back(kTime);
            continue;
        }
        std::string text = card.substr(10);
        text.erase(text.find_last_not_of(' ') + 1);
        texts.push_back(text);
    }
    return texts;
}

// Keyword and value text of the world-coordinate cards, in header order.
std::vector<std::pair<std::string, std::string>> coordinatesOf(const FitsContents& fits) {
    static const std::vector<std::string> keywords = {
        "EXPOFF1", "EXPOFF2", "CDELT1", "CDELT2", "CRVAL1", "CRVAL2",
        "CROTA1",  "CROTA2",  "CRPIX1", "CRPIX2", "CTYPE1", "CTYPE2"};
    std::vector<std::pair<std::string, std::string>> found;
    for (const std::string& card : fits.cards) {
        const std::string key = cardKeyword(card);
        if (std::find(keywords.begin(), keywords.end(), key) == keywords.end()) continue;
        std::string value = card.substr(10, card.find(" / ") - 10);
        value.erase(0, value.find_first_not_of(' '));
        found.emplace_back(key, value);
    }
    return found;
}

int indexOf(const FitsContents& fits, const std::string& keyword) {
    for (size_t i = 0; i < fits.cards.size(); ++i)
        if (cardKeyword(fits.cards[i]) == keyword) return static_cast<int>(i);
    return -1;
}

bool allBlank(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

std::vector<std::string> withInput(std::vector<std::string> options) {
    options.insert(options.begin(), kInput);
    return options;
}

// The zero-wait factor of pixel [x][y] for 4 frames per coimage, worked by hand: 4 / (4 - 2 (1023 - q)
// / 1023) at readout index q = (x div 2) 16 + y div 8, so 2 at q = 0, 1.998046875 at 1, 1.5 at 341,
// 1.2 at 682 and 1 at 1023, at both corners of the readout group.
struct Factor {
    int x, y;
    double factor;
};
const Factor kFactorsFor4[] = {{0, 0, 2.0},     {1, 7, 2.0},     {0, 8, 1.998046875}, {1, 15, 1.998046875},
                               {42, 40, 1.5},   {43, 47, 1.5},   {84, 80, 1.2},       {85, 87, 1.2},
                               {126, 120, 1.0}, {127, 127, 1.0}};

}  // namespace

TEST(Conversion, RoadOfOneFile) {
    TempDir dir;
    // A chop: F1 - F2 over 4 coadds is exact in a float, and so is its product with the gain.
    const FramePixel frame = [](int n, int x, int y) {
        const int32_t sky = 4 * (300 + x + y);
        return n == 1 ? sky + 4 * (997 * x - 4 * y + 7) : sky;
    };
    const Pixel gain = [](int x, int y) { return 0.5 + 0.25 * ((x + y) % 4); };
    CameraWriter header = observationHeader(128, 128, 2, 4);
    header.telescopeScale(10.0f).magnification(2.0f).raDec(316.7575, -12.5).offsets(3.5f, -2.25f).chopWait(12.5f);
    saveObservation(header, dir / kInput, 128, 128, 2, frame);
    writeFitsFile(dir / "gain.fits", primaryCards(-32, 128, 128), -32, 128, 128, gain);

    const RunResult run = runKovrent({kInput, "-e", "2", "-g", "gain.fits"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output, kVersionLine + "Reading gain file gain.fits\nReading " + kInput +
                              "...writing " + kOutput + "\n");

    const FitsContents out = readFitsFile(dir / kOutput);
    EXPECT_EQ(out.cards.at(3), valueCard("NAXIS1", "256", "PIXELS ON 1ST MOST VARYING AXIS"));
    EXPECT_EQ(out.cards.at(4), valueCard("NAXIS2", "256", "PIXELS ON 2ND MOST VARYING AXIS"));
    const std::vector<std::string> added = {
        valueCard("EXPOFF1", "7.000000000000E+000", "EXPANDED OFFSET IN PIXELS"),
        valueCard("EXPOFF2", "-4.500000000000E+000", "EXPANDED OFFSET IN PIXELS"),
        valueCard("CDELT1", "-5.208333333333E-005", "DEGREES/PIXEL IN R.A."),
        valueCard("CDELT2", "5.208333333333E-005", "DEGREES/PIXEL IN DEC."),
        valueCard("CRVAL1", "3.167575000000E+002", "RA OF REFERENCE LOCATION"),
        valueCard("CRVAL2", "-1.250000000000E+001", "DEC OF REFERENCE LOCATION"),
        valueCard("CROTA1", "0.000000000000E+000", "ROTATION OF AXIS 1"),
        valueCard("CROTA2", "0.000000000000E+000", "ROTATION OF AXIS 2"),
        valueCard("CRPIX1", "1.350000000000E+002", "ARRAY LOCATION OF REF. PIXEL"),
        valueCard("CRPIX2", "1.235000000000E+002", "ARRAY LOCATION OF REF. PIXEL"),
        valueCard("CTYPE1", "'RA---TAN'", "TYPE OF COORD. ON AXIS 1"),
        valueCard("CTYPE2", "'DEC--TAN'", "TYPE OF COORD. ON AXIS 2"),
        commentCard("HISTORY ", kConverted),
        "time",
        commentCard("HISTORY ", kOffSource),
        commentCard("HISTORY ", "THE IMAGE WAS EXPANDED BY A FACTOR OF  2 IN BOTH DIRECTIONS"),
        commentCard("HISTORY ", kOriented),
        commentCard("HISTORY ", "GAIN MAP APPLIED: gain.fits"),
        commentCard("END", ""),
    };
    const int first = indexOf(out, "EXPOFF1");
    ASSERT_GT(first, 0);
    ASSERT_EQ(out.cards.size(), first + added.size());
    for (size_t i = 0; i < added.size(); ++i) {
        if (added[i] == "time")
            EXPECT_TRUE(isTimeCard(out.cards[first + i])) << out.cards[first + i];
        else
            EXPECT_EQ(out.cards[first + i], added[i]);
    }
    EXPECT_TRUE(allBlank(out.afterEnd));
    // 256 x 256 floats take 92 data blocks.
    EXPECT_EQ(out.fileBytes, out.headerBytes + 92 * 2880);

    const Pixel gained = [&](int x, int y) { return gain(x, y) * (frame(1, x, y) - frame(2, x, y)) / 4.0; };
    Image expected(256, 256);
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) expected.at(x, y) = gained(127 - x / 2, 127 - y / 2);
    EXPECT_EQ(differences(out, expected), "");
}

TEST(Conversion, WorldCoordinateCards) {
    struct Case {
        const char* name;
        int nx, ny;
        std::optional<float> telescle, magnific;
        bool raDec;
        int fillers;  // COMMENT records between MAGNIFIC and RA
        const char* factor;
        std::vector<std::pair<std::string, std::string>> cards;
    };
    const std::pair<std::string, std::string> crota1{"CROTA1", "0.000000000000E+000"},
        crota2{"CROTA2", "0.000000000000E+000"}, ctype1{"CTYPE1", "'RA---TAN'"},
        ctype2{"CTYPE2", "'DEC--TAN'"}, crval1{"CRVAL1", "1.502500000000E+002"},
        crval2{"CRVAL2", "-3.050000000000E+001"};
    // OFFSET1 3.5 and OFFSET2 -2.25 throughout; CRPIX = e x OFFSET + expanded size div 2.
    const Case cases[] = {
        {"scale at e = 1", 16, 16, 10.0f, 2.0f, true, 0, "1",
         {{"CDELT1", "-1.041666666667E-004"}, {"CDELT2", "1.041666666667E-004"}, crval1, crval2, crota1,
          crota2, {"CRPIX1", "1.150000000000E+001"}, {"CRPIX2", "5.750000000000E+000"}, ctype1, ctype2}},
        {"scale at e = 2", 16, 16, 10.0f, 2.0f, true, 0, "2",
         {{"EXPOFF1", "7.000000000000E+000"}, {"EXPOFF2", "-4.500000000000E+000"},
          {"CDELT1", "-5.208333333333E-005"}, {"CDELT2", "5.208333333333E-005"}, crval1, crval2, crota1,
          crota2, {"CRPIX1", "2.300000000000E+001"}, {"CRPIX2", "1.150000000000E+001"}, ctype1, ctype2}},
        // 15 cards before TELESCLE: RA, DEC and the offsets in the second block, then END.
        {"values in both header blocks", 16, 16, 10.0f, 2.0f, true, 25, "2",
         {{"EXPOFF1", "7.000000000000E+000"}, {"EXPOFF2", "-4.500000000000E+000"},
          {"CDELT1", "-5.208333333333E-005"}, {"CDELT2", "5.208333333333E-005"}, crval1, crval2, crota1,
          crota2, {"CRPIX1", "2.300000000000E+001"}, {"CRPIX2", "1.150000000000E+001"}, ctype1, ctype2}},
        {"no TELESCLE, odd sizes", 15, 13, std::nullopt, 2.0f, true, 0, "1",
         {crval1, crval2, crota1, crota2, {"CRPIX1", "1.050000000000E+001"},
          {"CRPIX2", "3.750000000000E+000"}, ctype1, ctype2}},
        {"no MAGNIFIC", 16, 16, 10.0f, std::nullopt, true, 0, "1",
         {crval1, crval2, crota1, crota2, {"CRPIX1", "1.150000000000E+001"},
          {"CRPIX2", "5.750000000000E+000"}, ctype1, ctype2}},
        {"TELESCLE 0", 16, 16, 0.0f, 2.0f, true, 0, "1",
         {crval1, crval2, crota1, crota2, {"CRPIX1", "1.150000000000E+001"},
          {"CRPIX2", "5.750000000000E+000"}, ctype1, ctype2}},
        {"MAGNIFIC negative", 16, 16, 10.0f, -2.0f, true, 0, "1",
         {crval1, crval2, crota1, crota2, {"CRPIX1", "1.150000000000E+001"},
          {"CRPIX2", "5.750000000000E+000"}, ctype1, ctype2}},
        {"no RA and DEC", 16, 16, 10.0f, 2.0f, false, 0, "1",
         {{"CDELT1", "-1.041666666667E-004"}, {"CDELT2", "1.041666666667E-004"},
          {"CRVAL1", "0.000000000000E+000"}, {"CRVAL2", "0.000000000000E+000"}, crota1, crota2,
          {"CRPIX1", "1.150000000000E+001"}, {"CRPIX2", "5.750000000000E+000"}, ctype1, ctype2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        CameraWriter header = observationHeader(c.nx, c.ny);
        if (c.telescle) header.telescopeScale(*c.telescle);
        if (c.magnific) header.magnification(*c.magnific);
        for (int i = 0; i < c.fillers; ++i) header.stringRecord(26, "FILLER");
        if (c.raDec) header.raDec(150.25, -30.5);
        header.offsets(3.5f, -2.25f);
        saveObservation(header, dir / kInput, c.nx, c.ny, 1, distinctFrame);
        const RunResult run = runKovrent({kInput, "-e", c.factor}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(coordinatesOf(readFitsFile(dir / kOutput)), c.cards);
    }
}

TEST(Conversion, HistoryCardsFollowTheOptions) {
    struct Case {
        std::vector<std::string> options;
        std::string output;
        std::vector<std::string> history;
    };
    const Case cases[] = {
        {{}, kOutput, {kConverted, kTime, kOffSource, kOriented}},
        {{"-o", "2"}, kOutput + ".2",
         {kConverted, kTime, "THE FOLLOWING IMAGE DATA IS FRAME  2 OF THE ORIGINAL DATA SET", kOriented}},
        {{"-o", "10"}, kOutput + ".10",
         {kConverted, kTime, "THE FOLLOWING IMAGE DATA IS FRAME 10 OF THE ORIGINAL DATA SET", kOriented}},
        // Frame 1 is what a frame number below 1 reads.
        {{"-o", "-1"}, kOutput, {kConverted, kTime, "THE FOLLOWING IMAGE DATA IS FRAME  1 OF THE ORIGINAL DATA SET", kOriented}},
        {{"-e", "2"}, kOutput,
         {kConverted, kTime, kOffSource, "THE IMAGE WAS EXPANDED BY A FACTOR OF  2 IN BOTH DIRECTIONS", kOriented}},
        {{"-n"}, kOutput, {kConverted, kTime, kOffSource}},
        {{"-g", "gain.fits", "-m", "mask.fits"}, kOutput,
         {kConverted, kTime, kOffSource, kOriented, "MASK FILE APPLIED: mask.fits", "GAIN MAP APPLIED: gain.fits"}},
        {{"-n", "-e", "4", "-o", "1", "-m", "mask.fits", "-g", "gain.fits"}, kOutput + ".1",
         {kConverted, kTime, "THE FOLLOWING IMAGE DATA IS FRAME  1 OF THE ORIGINAL DATA SET",
          "THE IMAGE WAS EXPANDED BY A FACTOR OF  4 IN BOTH DIRECTIONS", "MASK FILE APPLIED: mask.fits",
          "GAIN MAP APPLIED: gain.fits"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " " + std::to_string(c.options.size()));
        TempDir dir;
        saveObservation(observationHeader(16, 16), dir / kInput, 16, 16, 10, distinctFrame);
        for (const char* map : {"mask.fits", "gain.fits"})
            writeFitsFile(dir / map, primaryCards(-32, 16, 16), -32, 16, 16, [](int, int) { return 1.0; });
        const RunResult run = runKovrent(withInput(c.options), dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(historyOf(readFitsFile(dir / c.output)), c.history);
    }
}

// The reader's header has 15 cards before the fillers (7 of the minimal header, IRAFNAME,
// INSTRUME, the four corners, TOTCOADD, OBSMODE); without options 12 cards follow it.
TEST(Conversion, EndCardAtTheEdgeOfABlock) {
    struct Case {
        const char* name;
        int fillers;
        int firstAdded;  // card index of CRVAL1, where the reader's END stood
        int end;         // card index of the final END
        size_t headerBytes;
    };
    const Case cases[] = {
        {"new END in slot 36: no further block", 8, 23, 35, 2880},
        {"new END in slot 1 of a second block", 9, 24, 36, 5760},
        {"reader's END in slot 36: a fresh block follows", 20, 35, 47, 5760},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        CameraWriter header = observationHeader(16, 16);
        for (int i = 0; i < c.fillers; ++i) header.stringRecord(26, "FILLER " + std::to_string(i));
        saveObservation(header, dir / kInput, 16, 16, 1, distinctFrame);
        const RunResult run = runKovrent({kInput}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;

        const FitsContents out = readFitsFile(dir / kOutput);
        EXPECT_EQ(out.cards.at(c.firstAdded - 1),
                  commentCard("COMMENT", "FILLER " + std::to_string(c.fillers - 1)));
        EXPECT_EQ(cardKeyword(out.cards.at(c.firstAdded)), "CRVAL1");
        EXPECT_EQ(static_cast<int>(out.cards.size()) - 1, c.end);
        EXPECT_EQ(out.headerBytes, c.headerBytes);
        EXPECT_TRUE(allBlank(out.afterEnd));
        EXPECT_EQ(out.fileBytes, c.headerBytes + 2880);  // 16 x 16 floats in one data block
    }
}

TEST(ZeroWait, CorrectionByReadoutIndexBeforeTheRotation) {
    TempDir dir;
    CameraWriter header = observationHeader(128, 128, 2);
    header.framesPerCoimage(4).chopWait(0.0f);
    saveObservation(header, dir / kInput, 128, 128, 2,
                    [](int n, int x, int y) { return n == 1 ? static_cast<int32_t>(distinct(x, y)) : 0; });
    const RunResult run = runKovrent({kInput, "-z"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output.find("Warning"), std::string::npos) << run.output;

    const FitsContents out = readFitsFile(dir / kOutput);
    for (const Factor& f : kFactorsFor4)
        EXPECT_FLOAT_EQ(out.at(127 - f.x, 127 - f.y), f.factor * distinct(f.x, f.y)) << f.x << "," << f.y;
}

TEST(ZeroWait, Warnings) {
    struct Case {
        const char* name;
        std::optional<float> chopWait;  // none: no CHOPWAIT record, the held 0 applies
        int obsmode;
        bool correct;
        std::string warning;
    };
    const std::string correctedAt5 = "Warning -- zero wait correction done for chop wait= 5.000000\n";
    const Case cases[] = {
        {"chop", 0.0f, 2, false, kChopWaitZero},
        {"chop-nod 3", 0.0f, 3, false, kChopWaitZero},
        {"chop-nod 4", 0.0f, 4, false, kChopWaitZero},
        {"negative zero", -0.0f, 2, false, kChopWaitZero},
        {"no CHOPWAIT record", std::nullopt, 2, false, kChopWaitZero},
        {"grab", 0.0f, 1, false, ""},
        {"nod", 0.0f, 5, false, ""},
        {"two-beam nod", 0.0f, 7, false, ""},
        {"chop with a wait", 5.0f, 2, false, ""},
        {"corrected, no wait", 0.0f, 2, true, ""},
        {"corrected with a wait", 5.0f, 2, true, correctedAt5},
        {"corrected grab with a wait", 5.0f, 1, true, correctedAt5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        CameraWriter header = observationHeader(16, 16, c.obsmode);
        header.framesPerCoimage(4);
        if (c.chopWait) header.chopWait(*c.chopWait);
        saveObservation(header, dir / kInput, 16, 16, 4, distinctFrame);
        const RunResult run = runKovrent(c.correct ? withInput({"-z"}) : withInput({}), dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(run.output, kVersionLine + "Reading " + kInput + "..." + c.warning + "writing " + kOutput + "\n");
    }
}

TEST(ZeroWait, HeldValuesAcrossARange) {
    struct File {
        std::optional<float> chopWait;
        std::optional<int> obsmode;
    };
    struct Case {
        const char* name;
        File first, second;
        size_t warnings;
    };
    const Case cases[] = {
        {"second file without CHOPWAIT keeps the first's wait", {5.0f, 2}, {std::nullopt, 2}, 0},
        {"second file without OBSMODE keeps the chop mode", {0.0f, 2}, {0.0f, std::nullopt}, 2},
        {"a wait of 0 in the second file warns again", {5.0f, 2}, {0.0f, 2}, 1},
        {"every run starts without a wait", {std::nullopt, 2}, {5.0f, 2}, 1},
    };
    auto warnings = [](const std::string& output) {
        size_t count = 0;
        for (size_t at = output.find(kChopWaitZero); at != std::string::npos; at = output.find(kChopWaitZero, at + 1))
            ++count;
        return count;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        int number = 1;
        for (const File& f : {c.first, c.second}) {
            CameraWriter header;
            header.corners(geometryOf(16, 16)).totalCoadds(1);
            if (f.obsmode) header.obsmode(*f.obsmode);
            if (f.chopWait) header.chopWait(*f.chopWait);
            saveObservation(header, dir / ("c970611a.00" + std::to_string(number++)), 16, 16, 2, distinctFrame);
        }
        const RunResult run = runKovrent({"c970611a.", "-r", "1", "2"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(warnings(run.output), c.warnings) << run.output;
        EXPECT_TRUE(fs::exists(dir / "f970611a.002"));
        // Run twice in one process, the program holds nothing over from the first run.
        const std::string root = (dir / "c970611a.").string();
        const char* const argv[] = {"kovrent", root.c_str(), "-r", "1", "2"};
        for (int pass = 1; pass <= 2; ++pass) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(kovrentRun(5, argv), 0);
            EXPECT_EQ(warnings(testing::internal::GetCapturedStdout()), c.warnings) << "run " << pass;
        }
    }
}

TEST(ZeroWait, FitsInputTakesFramesPerCoimageFromItsCard) {
    TempDir dir;
    saveFitsInput(dir / kInput, {valueCard("FRPERCOI", "4", ""), valueCard("CHOPWAIT", "5.0", ""),
                                 valueCard("OBSMODE", "2", "")});
    RunResult run = runKovrent({kInput, "-f", "-z", "-n"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output.find("Warning"), std::string::npos) << run.output;
    const FitsContents out = readFitsFile(dir / kOutput);
    for (const Factor& f : kFactorsFor4) {
        if (f.x < 16 && f.y < 16) {
            EXPECT_FLOAT_EQ(out.at(f.x, f.y), f.factor * distinct(f.x, f.y)) << f.x << "," << f.y;
        }
    }

    TempDir bare;
    saveFitsInput(bare / kInput, {});
    run = runKovrent({kInput, "-f", "-z"}, bare.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.output.find("kovrent: Error - -z needs the frames per coimage, but " + kInput +
                              " has no FRPERCOI card\n"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(fs::exists(bare / kOutput));
}

TEST(WriteFailure, ReportedAndTheRangeGoesOn) {
    TempDir dir;
    for (const char* name : {"c970611a.001", "c970611a.002"})
        saveObservation(observationHeader(16, 16), dir / name, 16, 16, 1, distinctFrame);

    // A directory in the way of the first output: the second is still written, whole.
    fs::create_directories(dir / "out" / "f970611a.001");
    const RunResult run = runKovrent({"c970611a.", "-r", "1", "2", "-d", "out"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.output.find("writing out/f970611a.001\nwf: Error opening file for writing\nReading c970611a.002"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(run.output.ends_with("kovrent: Error - 1 output file could not be written\n")) << run.output;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir / "out")) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"f970611a.001", "f970611a.002"}));
    EXPECT_TRUE(fs::is_empty(dir / "out" / "f970611a.001"));
    EXPECT_EQ(differences(readFitsFile(dir / "out" / "f970611a.002"), placed(distinct, 16, 16, Net::rotation)), "");
}

namespace {

// The bytes with what differs from run to run masked: the time of conversion and the checksum
// that counts it.
std::string maskedBytes(std::string bytes) {
    static const std::regex time("TIME OF CONVERSION: .{24}"), checksum("CHECKSUM= '[^']{16}'");
    bytes = std::regex_replace(bytes, time, "TIME OF CONVERSION: (masked)");
    return std::regex_replace(bytes, checksum, "CHECKSUM= '(masked)'");
}

std::string fileText(const fs::path& file) {
    const std::vector<uint8_t> bytes = readBytes(file);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

// The library call gives in memory what the program writes: the header's blocks and the data
// without the zeros that pad them. One converter after another takes over the buffers of the one
// before, with other options, for a file, its frames, a packed file's images and its cube.
TEST(Conversion, LibraryCallGivesTheBytesTheProgramWrites) {
    TempDir dir;
    CameraWriter header = observationHeader(128, 128);
    header.raDec(316.7575, 42.2358).telescopeScale(1.56f).magnification(2.0f).obsmode(3).offsets(3.5f, -2.0f);
    saveObservation(header, dir / kInput, 128, 128, 4, [](int frame, int x, int y) { return frame * 7919 + x - 3 * y; });
    const FrameGeometry g = geometryOf(16, 16);
    CameraWriter packedFile;
    packedFile.corners(g).totalCoadds(2).obsmode(2).packed(5, 1).endMarker();
    packedFile.packedData(g, 2, 5, [](int image, int beam, int x, int y) { return image * 100 + beam * 7 + x - y; })
        .trailer({9, 30, 0, 0});
    packedFile.save((dir / "p970611a.001").string());
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    auto expectWritten = [](const Output& output, const std::string& name) {
        const std::string written = fileText(name);
        ASSERT_EQ(output.header.size() % 2880, 0u) << name;
        EXPECT_EQ(maskedBytes(output.header), maskedBytes(written.substr(0, output.header.size()))) << name;
        EXPECT_EQ(std::string(output.data.begin(), output.data.end()),
                  written.substr(output.header.size(), output.data.size())) << name;
        const std::size_t image = (output.header.size() + output.data.size() + 2879) / 2880 * 2880;
        EXPECT_EQ(maskedBytes(output.extension), maskedBytes(written.substr(std::min(image, written.size())))) << name;
    };
    Workspace workspace;
    const std::vector<std::vector<std::string>> runs = {
        {kInput},
        {kInput, "-e", "2", "--modern"},
        {kInput, "-n", "-o", "2", "-i"},
        {kInput, "-z", "-e", "3"},
        {kInput, "--frames", "--modern"},
        {"p970611a.001", "-p", "-e", "2"},
        {"p970611a.001", "-p", "--cube", "--modern"},
    };
    for (const std::vector<std::string>& run : runs) {
        std::string shown;
        for (const std::string& word : run) shown += word + " ";
        SCOPED_TRACE(shown);
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().filename().string()[0] != 'c' && entry.path().filename().string()[0] != 'p')
                fs::remove(entry.path());
        ASSERT_EQ(runKovrent(run, dir.path()).exitStatus, 0);

        std::vector<const char*> argv{"kovrent"};
        for (const std::string& word : run) argv.push_back(word.c_str());
        Options parsed;
        Messages messages;
        ASSERT_TRUE(parseCommandLine(int(argv.size()), argv.data(), parsed, messages).ok());
        SessionInOrder session;
        Converter converter(parsed, Maps(), nullptr, std::move(workspace));
        Conversion conversion;
        if (parsed.frames) {
            ASSERT_TRUE(converter.convertFrames(parsed.inputName, session, messages, conversion).ok());
            expectWritten(conversion.output, outputNameFor(parsed.inputName, parsed, 'k'));
        } else if (parsed.unpack && parsed.cube) {
            ASSERT_TRUE(converter.convertPackedCube(parsed.inputName, messages, conversion).ok());
            expectWritten(conversion.output, outputNameFor(parsed.inputName, parsed, 'k'));
        } else if (parsed.unpack) {
            ASSERT_TRUE(converter.convert(parsed.inputName, session, messages, conversion).ok());
            ASSERT_EQ(conversion.packed->count(), 5);
            const UnpackedNames names(outputNameFor(parsed.inputName, parsed), -1, false);
            for (int64_t k = 0; k < 5; ++k) {
                UnpackedNames::ImageName name;
                ASSERT_TRUE(names.forImage(1 + k, name).ok());
                Output output;
                ASSERT_TRUE(converter.takePackedImage(conversion, messages).ok());
                ASSERT_TRUE(converter.convertPackedImage(conversion, k, {name.fileName, name.irafName}, messages, output).ok());
                expectWritten(output, name.fileName);
            }
        } else {
            ASSERT_TRUE(converter.convert(parsed.inputName, session, messages, conversion).ok());
            expectWritten(conversion.output,
                          parsed.frameNumber > 0 ? kOutput + "." + std::to_string(parsed.frameNumber) : kOutput);
        }
        workspace = converter.releaseWorkspace();
    }
    fs::current_path(before);
}

// However many workers a run has, it says the same, in the same order, and writes the same
// bytes: over a range that goes past a failing file, and over the images of packed files.
TEST(Conversion, EveryNumberOfWorkersGivesTheSameRun) {
    TempDir dir;
    for (int n = 1; n <= 24; ++n) {
        CameraWriter header = observationHeader(16, 16);
        // Every third file lacks its observing mode, which it takes over from the one before.
        if (n % 3 != 0) header.obsmode(n % 2 == 0 ? 2 : 1).chopWait(n % 4 == 0 ? 0.0f : 2.0f);
        char name[32];
        std::snprintf(name, sizeof name, "c970611a.%03d", n);
        saveObservation(header, dir / name, 16, 16, 2, distinctFrame);
    }
    writeBytes(dir / "c970611a.013", std::vector<uint8_t>(100, 0x5A));
    const FrameGeometry g = geometryOf(16, 16);
    for (const char* name : {"p970611a.001", "p970611a.041"}) {
        CameraWriter packed;
        packed.corners(g).totalCoadds(2).obsmode(2).packed(17, 1).endMarker();
        packed.packedData(g, 2, 17, [](int image, int beam, int x, int y) { return image * 100 + beam * 7 + x - y; })
            .trailer({9, 30, 0, 0});
        packed.save((dir / name).string());
    }
    const std::vector<std::vector<std::string>> runs = {
        {"c970611a.", "-r", "1", "24", "--keep-going", "-e", "2"},
        {"c970611a.", "-r", "1", "24", "--modern"},
        {"c970611a.", "-r", "1", "12", "--cube", "--modern"},
        {"p970611a.", "-r", "1", "60", "-p", "--modern"},
        {"p970611a.001", "-p", "--cube"},
    };
    for (const std::vector<std::string>& run : runs) {
        std::string results[2];
        for (int pass = 0; pass < 2; ++pass) {
            const fs::path out = dir / ("out" + std::to_string(pass));
            fs::remove_all(out);
            fs::create_directory(out);
            std::vector<std::string> arguments = run;
            arguments.insert(arguments.end(), {"-d", out.string(), "--jobs", pass == 0 ? "1" : "4"});
            const RunResult result = runKovrent(arguments, dir.path());
            std::string text = std::to_string(result.exitStatus) + "\n" + result.output + "\n" +
                               std::regex_replace(result.errors, std::regex(" in [0-9.]+ s"), "");
            std::vector<std::string> names;
            for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename());
            std::sort(names.begin(), names.end());
            for (const std::string& name : names) text += "\n" + name + "\n" + maskedBytes(fileText(out / name));
            results[pass] = std::regex_replace(text, std::regex(out.string()), "OUT");
        }
        EXPECT_EQ(results[0], results[1]) << run[0] << " " << run[1] << " " << run[2];
    }
}

// A library run returns only when its workers have ended: one that failed part-way waits for the
// workers still converting regular files, so that none goes on in the caller's process. Only a
// worker waiting on an input that may never come (a FIFO) is left behind.
TEST(Conversion, LibraryRunEndsWithItsWorkers) {
    TempDir dir;
    for (int n = 1; n <= 40; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "c970611a.%03d", n);
        saveObservation(observationHeader(64, 64).obsmode(1), dir / name, 64, 64, 2, distinctFrame);
    }
    writeBytes(dir / "c970611a.004", std::vector<uint8_t>(100, 0x5A));
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first
    auto threads = [] {
        return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
    };
    const std::string root = (dir / "c970611a.").string(), out = (dir / "out").string();
    fs::create_directory(out);
    for (const char* cube : {"--modern", "--cube"}) {
        const char* const argv[] = {"kovrent", root.c_str(), "-r", "1", "40", "-d", out.c_str(), "--jobs", "4", cube};
        const auto before = threads();
        for (int pass = 0; pass < 10; ++pass) {
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const int status = kovrentRun(10, argv);
            const auto after = threads();
            testing::internal::GetCapturedStdout();
            testing::internal::GetCapturedStderr();
            ASSERT_EQ(status, 1) << cube;
            ASSERT_EQ(after, before) << cube << ", run " << pass;
        }
    }
}
