// Every kind of output through independent validators: fitsverify finds no error and warns only
// of a TIME-OBS written twice and of undefined values, and cfitsio must read back the shape, every
// pixel and the world-coordinate cards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/camerawriter.h"
#include "support/cfitsioread.h"
#include "support/expectedimage.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kInput = "c970611a.005";
const std::string kOutput = "f970611a.005";

// Coordinate records of every camera file here; the scale values are exact in a float.
constexpr double kRa = 150.25, kDec = -30.5;
constexpr float kOffset1 = 3.5f, kOffset2 = -2.25f, kScale = 10.0f, kMagnification = 2.0f;

struct Wcs {
    double crval1, crval2, crpix1, crpix2;
    double cdelt2;  // CDELT1 is its negation
};

// The coordinate cards of a camera observation expanded by e to naxis1 x naxis2.
Wcs cameraWcs(int e, int naxis1, int naxis2) {
    return {kRa, kDec, e * double(kOffset1) + naxis1 / 2, e * double(kOffset2) + naxis2 / 2,
            double(kScale) / (e * double(kMagnification)) / 48000.0};
}

// Frame n of an observation. Multiples of 8, so that the quotients by the coadds 2, 4, 8 and 1
// of beams 1 to 4 are exact integers and the expected images exact floats.
int32_t frameValue(int n, int x, int y) { return 8 * (250 * n + 31 * x - 17 * y + (x * y) % 29); }

// The combined image of the mode, or frame `frame` alone.
Pixel observed(int obsmode, int frame) {
    return [=](int x, int y) {
        constexpr double coadds[] = {2, 4, 8, 1};
        const auto quotient = [&](int n, int beam) { return frameValue(n, x, y) / coadds[beam - 1]; };
        if (frame > 0) return quotient(frame, modeFrames(obsmode).beamOfFrame[frame - 1]);
        return double(combinedPixel(obsmode, quotient));
    };
}

// Texts of 62 to 112 characters with quotes, a tab and an 8-bit byte, which the card writers cut
// at 58 or 70.
std::string recordText(int i) {
    return "Note " + std::to_string(i) + ": Barnard's star\t0.8\xb0, N-band (10.5 um); chop 20\" E-W & ok" +
           std::string(static_cast<size_t>(i % 50), i % 2 ? '\'' : '.');
}

// Records of one card each but the first (DATE-OBS and TIME-OBS, which a later TIME-OBS with
// hundredths repeats): times, site, reals, one of them NaN, each string card once (a repeated
// keyword earns a warning of its own), then COMMENT records.
void addRecords(CameraWriter& file, int count, int year) {
    const std::function<void(CameraWriter&)> values[] = {
        [=](CameraWriter& f) { f.dateTime(year, 6, 11, 9, 5, 3); },
        [](CameraWriter& f) { f.timeObs({9, 5, 3, 7}); },
        [](CameraWriter& f) { f.timeEnd({9, 17, 41, 52}); },
        [](CameraWriter& f) { f.site(3); },
        [](CameraWriter& f) { f.wavelength(10.5f); },
        [](CameraWriter& f) { f.chopWait(12.5f); },
        [](CameraWriter& f) { f.record(10, {std::nan("")}); }};
    constexpr int strings[] = {18, 19, 20, 21, 22, 23, 52, 53};
    const int valueCount = int(std::size(values)), stringCount = int(std::size(strings));
    for (int i = 0; i < count; ++i) {
        if (i < valueCount)
            values[i](file);
        else
            file.stringRecord(i < valueCount + stringCount ? strings[i - valueCount] : 26, recordText(i));
    }
}

CameraWriter cameraHeader(int n1, int n2, int obsmode, int coadds) {
    CameraWriter file = observationHeader(n1, n2, obsmode, coadds);
    file.telescopeScale(kScale).magnification(kMagnification).raDec(kRa, kDec).offsets(kOffset1, kOffset2);
    return file;
}

// An n x n observation of four frames; the modes above CHOP get coadds of their own per beam.
void saveCamera(const fs::path& file, int n, int obsmode, int records, int year = 1997, int framesPerCoimage = 0) {
    CameraWriter header = cameraHeader(n, n, obsmode, 2);
    if (framesPerCoimage > 0) header.framesPerCoimage(framesPerCoimage).chopWait(0.0f);
    if (obsmode > 2) header.beamCoadds(2, 4).beamCoadds(3, 8).beamCoadds(4, 1);
    addRecords(header, records, year);
    saveObservation(header, file, n, n, 4, frameValue);
}

// Packed and ultrafast files of two 16 x 16 images with coadds 4, oriented by "ULYNN".
int32_t beamValue(int image, int beam, int x, int y) { return 4 * (500 * image + 200 * beam + 13 * x - 7 * y); }

void savePacked(const fs::path& file, int obsmode, bool ultrafast) {
    const FrameGeometry g = geometryOf(16, 16);
    CameraWriter f = cameraHeader(16, 16, obsmode, 4);
    f.orientation("ULYNN").dateTime(1997, 6, 11, 9, 5, 3).timeObs({9, 5, 3, 7}).record(57, {1950.0});
    if (ultrafast)
        f.ultrafast(2).endMarker().ultrafastData(g, obsmode, 2, beamValue);
    else
        f.packed(2, 1).endMarker().packedData(g, obsmode, 2, beamValue);
    f.trailer({5, 3, 7, 2}).save(file.string());
}

Pixel unpacked(int image, int obsmode) {
    return [=](int x, int y) {
        const double beam1 = beamValue(image, 1, x, y) / 4.0;
        return obsmode == 2 ? beam1 - beamValue(image, 2, x, y) / 4.0 : beam1;
    };
}

struct Output {
    std::string file;
    int bitpix;
    Image pixels;
    std::optional<Wcs> wcs;  // none: an unpacked image, which gets no coordinate cards
    int headerBlocks = 0;    // 0: not checked
    std::optional<Image> modernPixels = std::nullopt;  // with --modern, where they differ: masked pixels undefined
};

struct Case {
    std::string name;
    std::function<void(const fs::path& dir)> prepare;  // writes the input files
    std::vector<std::vector<std::string>> runs;        // kovrent's arguments, run in order
    std::vector<Output> outputs;
    std::string start = "";  // the camera file's start, ISO, when it has a date record
    bool modern = false;     // every run with --modern
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// A camera observation converted to f970611a.005 (with ".n" for -o n).
struct Camera {
    const char* name;
    int obsmode = 1;
    std::vector<std::string> options = {};
    int e = 1;
    int n = 16;
    Net net = Net::rotation;
    int frame = 0;
    int records = 0;  // extra string and COMMENT records, one card each
    int headerBlocks = 0;
    int year = 1997;  // of the date record, the first of the extra records
    Pixel pixels = {};  // the image before orientation, when not observed(obsmode, frame)
    int framesPerCoimage = 0;
};

Case cameraCase(const Camera& c) {
    std::vector<std::string> arguments = {kInput};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const int size = c.e * c.n;
    const std::string output = c.frame ? std::string(kOutput).append(".").append(std::to_string(c.frame)) : kOutput;
    Wcs wcs = cameraWcs(c.e, size, size);
    // -n leaves out the default code's rotation, which reverses both axes: the cards count from their ends.
    if (std::find(c.options.begin(), c.options.end(), "-n") != c.options.end())
        wcs = {wcs.crval1, wcs.crval2, size + 1 - wcs.crpix1, size + 1 - wcs.crpix2, -wcs.cdelt2};
    // The second extra record is the TIME-OBS with hundredths; a year of five digits has no date.
    std::string start;
    if (c.records > 0 && c.year <= 9999)
        start = std::to_string(c.year) + (c.records > 1 ? "-06-11T09:05:03.07" : "-06-11T09:05:03");
    const Pixel pixels = c.pixels ? c.pixels : observed(c.obsmode, c.frame);
    return {c.name,
            [c](const fs::path& dir) { saveCamera(dir / kInput, c.n, c.obsmode, c.records, c.year, c.framesPerCoimage); },
            {arguments},
            {{output, -32, placed(pixels, c.n, c.n, c.net, c.e), wcs, c.headerBlocks}},
            start};
}

// -i swaps pixels [x0 + 1][y0 + 1] and [x0][y0 + 2] of every group of 2 x 8 in the camera
// reader; then -z multiplies by F / (F - 2 (1023 - q) / 1023) for the group's readout index q.
Pixel interchangedAndCorrected(const Pixel& pixel, int frames) {
    return [=](int x, int y) {
        const int x0 = x / 2 * 2, y0 = y / 8 * 8;
        const double value = x == x0 + 1 && y == y0 + 1 ? pixel(x0, y0 + 2)
                             : x == x0 && y == y0 + 2   ? pixel(x0 + 1, y0 + 1)
                                                        : pixel(x, y);
        const double q = (x / 2) * 16 + y / 8;
        return double(float(frames / (((1023.0 - q) * 0.0009775171065493646) * -2.0 + frames) * float(value)));
    };
}

std::vector<Case> allCases() {
    // The plain GRAB header has 36 cards: 21 from the reader, 10 coordinate cards, 4 HISTORY
    // cards and END. 13 records more (14 cards) put the reader's END into slot 36; the NOD
    // header (39 cards) with 68 records more ends exactly at card 108, with no empty block behind.
    const Camera cameras[] = {
        {.name = "GrabInOneBlock", .headerBlocks = 1},
        {.name = "Chop", .obsmode = 2},
        {.name = "ChopNod3", .obsmode = 3},
        {.name = "ChopNod4", .obsmode = 4},
        {.name = "Nod", .obsmode = 5},
        {.name = "TwoBeamNod", .obsmode = 7},
        {.name = "ExpandedBy1", .options = {"-e", "1"}},
        {.name = "ExpandedBy2", .obsmode = 2, .options = {"-e", "2"}, .e = 2},
        {.name = "ExpandedBy3", .obsmode = 5, .options = {"-e", "3"}, .e = 3},
        {.name = "ExpandedBy4To512", .options = {"-e", "4"}, .e = 4, .n = 128},
        {.name = "NoFlips", .obsmode = 2, .options = {"-n"}, .net = Net::identity},
        {.name = "Frame3", .obsmode = 3, .options = {"-o", "3"}, .frame = 3},
        {.name = "Frame4", .obsmode = 7, .options = {"-o", "4"}, .frame = 4},
        {.name = "HeaderOfTwoBlocks", .records = 13, .headerBlocks = 2},
        {.name = "DatedAfter1999", .records = 1, .year = 2003},
        {.name = "DateOfYear10000LeftOut", .records = 1, .year = 10000},
        {.name = "HeaderOfThreeBlocks", .obsmode = 5, .records = 68, .headerBlocks = 3},
        {.name = "ZeroWaitAndInterchange", .obsmode = 2, .options = {"-z", "-i"}, .records = 2,
         .pixels = interchangedAndCorrected(observed(2, 0), 4), .framesPerCoimage = 4},
    };
    std::vector<Case> cases;
    for (const Camera& camera : cameras) cases.push_back(cameraCase(camera));

    const Pixel mask = [](int x, int y) { return (x + y) % 5 == 0 ? 0.0 : 1.0; };
    const Pixel gain = [](int x, int y) { return 0.5 + 0.25 * ((x + 2 * y) % 4); };
    const Pixel chop = observed(2, 0);
    const Pixel corrected = [=](int x, int y) { return mask(x, y) * gain(x, y) * chop(x, y); };
    // --modern leaves masked pixels undefined: NaN, or an integer image's BLANK (-32768 for BITPIX 16).
    const auto undefinedWhereMasked = [=](const Pixel& pixel, double undefined) {
        return [=](int x, int y) { return mask(x, y) == 0.0 ? undefined : pixel(x, y); };
    };
    cases.push_back({"MaskAndGain",
                     [=](const fs::path& dir) {
                         saveCamera(dir / kInput, 16, 2, 0);
                         writeFitsFile(dir / "mask.fits", primaryCards(8, 16, 16), 8, 16, 16, mask);
                         writeFitsFile(dir / "gain.fits", primaryCards(-32, 16, 16), -32, 16, 16, gain);
                     },
                     {{kInput, "-m", "mask.fits", "-g", "gain.fits"}},
                     {{kOutput, -32, placed(corrected, 16, 16, Net::rotation), cameraWcs(1, 16, 16), 0,
                       placed(undefinedWhereMasked(corrected, std::nan("")), 16, 16, Net::rotation)}}});

    // FITS input keeps its BITPIX; "ULYNN" flips axis 2 of the rotation back. Its reals may have
    // the lower-case exponent of earlier versions' files, which the output has in upper case.
    const Pixel integers = [](int x, int y) { return 300.0 * x - 41.0 * y - 7.0; };
    const auto fitsInputOf = [=](std::vector<std::pair<const char*, const char*>> values) {
        return [=](const fs::path& dir) {
            std::vector<std::string> cards = primaryCards(16, 16, 16);
            for (const auto& [key, value] : values) cards.push_back(valueCard(key, value, ""));
            cards.push_back(fitsCard("ORIENTST= 'ULYNN'"));
            writeFitsFile(dir / kInput, cards, 16, 16, 16, integers);
        };
    };
    const auto fitsInput = fitsInputOf({{"RA", "20.5"}, {"DEC", "-40.25"}, {"OFFSET1", "1.5"}, {"OFFSET2", "-0.5"},
                                        {"TELESCLE", "8.0"}, {"MAGNIFIC", "4.0"}});
    const Wcs fitsInputWcs{20.5, -40.25, 2 * 1.5 + 16, 2 * -0.5 + 16, 8.0 / (2 * 4.0) / 48000.0};
    cases.push_back({"FitsInput", fitsInput, {{kInput, "-f", "-e", "2"}},
                     {{kOutput, 16, placed(integers, 16, 16, Net::rFlip2, 2), fitsInputWcs}}});
    cases.push_back({"FitsInputWithLowerCaseExponents",
                     fitsInputOf({{"RA", "2.050000000000e+001"}, {"DEC", "-4.025000000000e+001"}, {"OFFSET1", "1.5e0"},
                                  {"OFFSET2", "-5e-1"}, {"TELESCLE", "8.0e+000"}, {"MAGNIFIC", "0.4e1"}}),
                     {{kInput, "-f", "-e", "2"}},
                     {{kOutput, 16, placed(integers, 16, 16, Net::rFlip2, 2), fitsInputWcs}}});
    const Pixel maskedIntegers = [=](int x, int y) { return mask(x, y) * integers(x, y); };
    cases.push_back({"FitsInputMasked",
                     [=](const fs::path& dir) {
                         fitsInput(dir);
                         writeFitsFile(dir / "mask.fits", primaryCards(8, 16, 16), 8, 16, 16, mask);
                     },
                     {{kInput, "-f", "-e", "2", "-m", "mask.fits"}},
                     {{kOutput, 16, placed(maskedIntegers, 16, 16, Net::rFlip2, 2), fitsInputWcs, 0,
                       placed(undefinedWhereMasked(integers, -32768), 16, 16, Net::rFlip2, 2)}}});

    // The unpacked images, and the first of them converted again with -f: its header brings
    // the coordinate records and the orientation code of the packed file.
    cases.push_back({"PackedChopUnpackedThenConverted",
                     [](const fs::path& dir) { savePacked(dir / kInput, 2, false); },
                     {{kInput, "-p"}, {"t970611a.005", "-f", "-e", "2"}},
                     {{"t970611a.005", -32, placed(unpacked(0, 2), 16, 16, Net::identity), std::nullopt},
                      {"t970611a.006", -32, placed(unpacked(1, 2), 16, 16, Net::identity), std::nullopt},
                      {kOutput, -32, placed(unpacked(0, 2), 16, 16, Net::rFlip2, 2), cameraWcs(2, 32, 32)}},
                     "1997-06-11T09:05:03.07"});
    cases.push_back({"UltrafastUnpacked",
                     [](const fs::path& dir) { savePacked(dir / kInput, 1, true); },
                     {{kInput, "-p"}},
                     {{"t970611a.005", -32, placed(unpacked(0, 1), 16, 16, Net::identity), std::nullopt},
                      {"t970611a.006", -32, placed(unpacked(1, 1), 16, 16, Net::identity), std::nullopt}},
                     "1997-06-11T09:05:03.07"});
    // Each case again with --modern: the same pixels, more cards.
    for (size_t i = 0, plain = cases.size(); i < plain; ++i) {
        Case modern = cases[i];
        modern.name += "Modern";
        modern.modern = true;
        for (std::vector<std::string>& run : modern.runs) run.push_back("--modern");
        for (Output& out : modern.outputs) {
            out.headerBlocks = 0;
            if (out.modernPixels) out.pixels = *out.modernPixels;
        }
        cases.push_back(modern);
    }
    return cases;
}

class Validators : public testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        GetParam().prepare(dir_.path());
        for (const std::vector<std::string>& arguments : GetParam().runs) {
            const RunResult run = runKovrent(arguments, dir_.path());
            ASSERT_EQ(run.exitStatus, 0) << run.output;
            // A run without a problem says nothing on standard error but its summary.
            static const std::regex summary(R"(kovrent: \d+ (files converted|images unpacked), 0 failed, in [0-9.]+ s\n)");
            EXPECT_TRUE(run.errors.empty() || std::regex_match(run.errors, summary)) << run.errors;
        }
    }

    TempDir dir_;
};

struct Verdict {
    int warnings = -1;  // the counts of the closing summary; -1 when it is missing
    int errors = -1;
    std::vector<std::string> messages;  // one per "*** Error:" or "*** Warning:", lines joined
    std::string report;
};

// fitsverify prints its warnings and summary on standard output, its errors on standard error.
Verdict verify(const fs::path& file) {
    const fs::path findings = file.string() + ".findings";
    const RunResult run = runProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>\"$2\"", KOVRENT_FITSVERIFY,
                                                 file.string(), findings.string()},
                                     file.parent_path());
    Verdict verdict;
    std::ifstream in(findings);
    std::ostringstream all;
    all << run.output << in.rdbuf();
    verdict.report = all.str();

    static const std::regex summary(R"(Verification found (\d+) warning\(s\) and (\d+) error\(s\))");
    std::smatch m;
    if (std::regex_search(run.output, m, summary)) {
        verdict.warnings = std::stoi(m[1]);
        verdict.errors = std::stoi(m[2]);
    }
    std::istringstream lines(verdict.report);
    std::string line;
    bool inMessage = false;  // a message goes on in indented lines up to a blank one
    while (std::getline(lines, line)) {
        const size_t text = line.find_first_not_of(' ');
        if (line.starts_with("*** "))
            verdict.messages.push_back(line);
        else if (inMessage && text != 0 && text != line.npos)
            verdict.messages.back().append(" ").append(line.substr(text));
        inMessage = line.starts_with("*** ") || (inMessage && text != line.npos);
    }
    return verdict;
}

TEST_P(Validators, FitsverifyFindsNoErrorAndOnlyTheIntendedWarnings) {
    // A TIME-OBS in whole seconds before the one with hundredths, and undefined values.
    static const std::regex allowed(
        R"(\*\*\* Warning: Keyword TIME-OBS is duplicated in card #\d+ and card #\d+\.)"
        R"(|\*\*\* Warning: Keyword #\d+, [A-Z0-9_-]+ has a null value\.)");
    for (const Output& out : GetParam().outputs) {
        SCOPED_TRACE(out.file);
        const Verdict verdict = verify(dir_ / out.file);
        EXPECT_EQ(verdict.errors, 0) << verdict.report;
        EXPECT_EQ(verdict.warnings, int(verdict.messages.size())) << verdict.report;
        for (const std::string& message : verdict.messages)
            EXPECT_TRUE(std::regex_match(message, allowed)) << message;
        // An archive takes the checksums of a --modern output as they are, and fitsverify has
        // nothing to say of it.
        if (GetParam().modern) {
            EXPECT_EQ(verdict.warnings, 0) << verdict.report;
            const RunResult check = runProgram(KOVRENT_FITSCHECK, {out.file}, dir_.path());
            EXPECT_EQ(check.exitStatus, 0) << check.output << check.errors;
        }
    }
}
TEST_P(Validators, CfitsioReadsShapePixelsAndCoordinates) {
    for (const Output& out : GetParam().outputs) {
        SCOPED_TRACE(out.file);
        const Image& expected = out.pixels;
        const CfitsioImage file = readWithCfitsio(dir_ / out.file, {"CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2", "CROTA1",
                                                                    "CROTA2", "CDELT1", "CDELT2", "CTYPE1", "CTYPE2"});
        EXPECT_EQ(file.hdus, 1);
        EXPECT_EQ(file.bitpix, out.bitpix);
        EXPECT_EQ(file.naxis, 2);
        ASSERT_EQ(file.naxis1, expected.naxis1);
        ASSERT_EQ(file.naxis2, expected.naxis2);
        if (out.headerBlocks > 0) {
            EXPECT_EQ(file.dataStart, 2880 * out.headerBlocks);
        }
        int wrong = 0;
        for (int y = 0; y < expected.naxis2; ++y)
            for (int x = 0; x < expected.naxis1; ++x)
                if (file.at(x, y) != double(float(expected.at(x, y)))
                    && !(std::isnan(file.at(x, y)) && std::isnan(expected.at(x, y))) && wrong++ == 0)
                    ADD_FAILURE() << "pixel [" << x << "][" << y << "] is " << file.at(x, y) << ", expected "
                                  << expected.at(x, y);
        EXPECT_EQ(wrong, 0);

        if (!out.wcs) {
            for (const char* keyword : {"CRVAL1", "CRPIX1", "CDELT1", "CROTA1", "CTYPE1"})
                EXPECT_FALSE(file.has(keyword)) << keyword;
            continue;
        }
        const Wcs& w = *out.wcs;
        const std::map<std::string, double> exact = {{"CRVAL1", w.crval1}, {"CRVAL2", w.crval2}, {"CRPIX1", w.crpix1},
                                                     {"CRPIX2", w.crpix2}, {"CROTA1", 0.0},     {"CROTA2", 0.0}};
        for (const auto& [keyword, wanted] : exact) EXPECT_EQ(file.numbers.at(keyword), wanted) << keyword;
        EXPECT_NEAR(file.numbers.at("CDELT1"), -w.cdelt2, std::abs(w.cdelt2) * 1e-12);
        EXPECT_NEAR(file.numbers.at("CDELT2"), w.cdelt2, std::abs(w.cdelt2) * 1e-12);
        EXPECT_EQ(file.strings, (std::map<std::string, std::string>{{"CTYPE1", "RA---TAN"}, {"CTYPE2", "DEC--TAN"}}));
    }
}

// astropy shows the header of every output without a warning; one interpreter reads them all.
// A --modern output also opens with its checksums verified and gives its coordinates without a
// warning: its DATE-OBS is the camera file's start, an unpacked image's DATE-BEG lies its share
// of the way from start to end, the HISTORY names -z and -i, and CCDData reads it in adu.
TEST(Astropy, ShowsEveryHeaderWithoutAWarning) {
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::string> arguments = {"-c", R"(
import sys, warnings
from astropy.io import fits
from astropy.nddata import CCDData
from astropy.time import Time
from astropy.wcs import WCS
def modern(name, start, options):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with fits.open(name, checksum=True) as hdus:
            h = hdus[0].header
            if "CTYPE1" in h: WCS(h)
        if CCDData.read(name).unit != "adu": return "BUNIT"
    twice = {k for k in h.keys() if k not in ("HISTORY", "COMMENT", "TIME-OBS") and list(h.keys()).count(k) > 1}
    if twice: return "the cards written twice " + " ".join(sorted(twice))
    if (start != "-") != ("DATE-OBS" in h): return "DATE-OBS"
    if start != "-" and abs((Time(h["DATE-OBS"]) - Time(start)).sec) > 0.01: return h["DATE-OBS"]
    if "IMAGENUM" in h and "DATE-BEG" in h:
        share = (Time(h["DATE-END"]) - Time(h["DATE-OBS"])) * (h["IMAGENUM"] - 1) / h["NIMAGES"]
        if abs((Time(h["DATE-BEG"]) - Time(h["DATE-OBS"]) - share).sec) > 0.01: return h["DATE-BEG"]
    history = str(h.get("HISTORY", ""))
    if ("-z" in options) != ("ZERO CHOPPER WAIT WAS CORRECTED WITH 4 FRAMES" in history): return "-z"
    if ("-i" in options and "-f" not in options) != ("COLUMNS 4 AND 5" in history): return "-i"
for name, start, options in zip(*[iter(sys.argv[1:])] * 3):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        repr(fits.getheader(name))
    if caught:
        print("%s: %d warnings, the first: %s" % (name, len(caught), caught[0].message))
    if options != "-" and modern(name, start, options): print(name, "is wrong in", modern(name, start, options))
print("read", (len(sys.argv) - 1) // 3)
)"};
    for (const Case& c : allCases()) {
        const TempDir& dir = *dirs.emplace_back(std::make_unique<TempDir>());
        c.prepare(dir.path());
        std::string options;
        for (const std::vector<std::string>& run : c.runs) {
            ASSERT_EQ(runKovrent(run, dir.path()).exitStatus, 0) << c.name;
            for (const std::string& word : run) options += word + " ";
        }
        for (const Output& out : c.outputs)
            arguments.insert(arguments.end(), {(dir / out.file).string(), c.start.empty() ? "-" : c.start,
                                               c.modern ? options : "-"});
    }
    const RunResult run = runProgram(KOVRENT_PYTHON, arguments, dirs.front()->path());
    EXPECT_EQ(run.exitStatus, 0) << run.output << run.errors;
    EXPECT_EQ(run.output, "read " + std::to_string((arguments.size() - 2) / 3) + "\n");
}

// astropy.wcs takes MJD-OBS from DATE-OBS: each output is dated in the century the camera
// recorded, the day counted from the calendar.
TEST(Astropy, DatesEveryCentury) {
    TempDir dir;
    std::vector<std::string> arguments = {"-c", R"(
import sys, datetime, warnings
from astropy.io import fits
from astropy.wcs import WCS
warnings.simplefilter("ignore")  # the note that MJD-OBS was set from DATE-OBS
for i, year in enumerate(map(int, sys.argv[1:])):
    mjd = WCS(fits.getheader("f970611a.00%d" % (i + 1))).wcs.mjdobs
    if mjd != (datetime.date(year, 6, 11) - datetime.date(1858, 11, 17)).days: print(year, "gives", mjd)
print("dated")
)"};
    for (const int year : {1997, 1900, 1999, 2000, 2003, 1899}) {
        arguments.push_back(std::to_string(year));
        CameraWriter header = cameraHeader(4, 4, 1, 1);
        header.dateTime(year, 6, 11, 9, 5, 3);
        saveObservation(header, dir / ("c970611a.00" + std::to_string(arguments.size() - 2)), 4, 4, 1, frameValue);
    }
    ASSERT_EQ(runKovrent({"c970611a.", "-r", "1", "6"}, dir.path()).exitStatus, 0);
    const RunResult run = runProgram(KOVRENT_PYTHON, arguments, dir.path());
    EXPECT_EQ(run.output, "dated\n") << run.errors;
}

// The coordinates of a -n file put every camera pixel where the oriented file puts it, for each
// family and flips of the orientation code, with and without the transposition and expansion.
// A camera pixel is found in both files by its value, at the centre of its replicated block;
// where the two images are the same, so are their coordinate cards.
TEST(Astropy, NoFlipsCoordinatesPlaceEveryPixelAsTheOrientedFileDoes) {
    TempDir dir;
    std::vector<std::string> arguments = {"-c", R"(
import sys, warnings
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS
warnings.simplefilter("ignore")
def read(name):
    hdu = fits.open(name)[0]
    rows, columns = np.indices(hdu.data.shape)
    at = {v: (columns[hdu.data == v].mean(), rows[hdu.data == v].mean()) for v in np.unique(hdu.data)}
    return hdu, WCS(hdu.header).all_pix2world(np.array([at[v] for v in sorted(at)]), 0)
for n, o in zip(sys.argv[1::2], sys.argv[2::2]):
    (hn, skyn), (ho, skyo) = read(n), read(o)
    if skyn.shape != (20, 2) or np.abs(skyn - skyo).max() > 1e-9: print(n, "is off by", np.abs(skyn - skyo).max())
    cards = ["CRPIX1", "CRPIX2", "CDELT1", "CDELT2", "CROTA1", "CROTA2"]
    if np.array_equal(hn.data, ho.data) and [hn.header[k] for k in cards] != [ho.header[k] for k in cards]:
        print(n, "has other cards than the same image")
print("compared", len(sys.argv) // 2)
)"};
    // Rotation: no flip, axis 2, axis 1, both; anti-transposition: no flip, axis 1, axis 2, both.
    const std::string codes[] = {"ULYY", "ULYN", "URYY", "DLNY", "LUNN", "LUYN", "RDYN", "LDNY"};
    for (int i = 0; i < 16; ++i) {
        CameraWriter header = cameraHeader(5, 4, 1, 1);
        header.orientation(codes[i / 2] + (i % 2 ? "Y" : "N"));
        saveObservation(header, dir / ("c970611a.0" + std::to_string(10 + i)), 5, 4, 1,
                        [](int, int x, int y) { return 1 + x + 10 * y; });
    }
    for (const std::string e : {"1", "2"}) {
        for (const std::string kind : {"n", "o"}) {
            fs::create_directory(dir / (kind + e));
            std::vector<std::string> run = {"c970611a.", "-r", "10", "25", "-e", e, "-d", kind + e};
            if (kind == "n") run.push_back("-n");
            ASSERT_EQ(runKovrent(run, dir.path()).exitStatus, 0) << kind + e;
        }
        for (int i = 10; i < 26; ++i)
            for (const std::string kind : {"n", "o"}) arguments.push_back(kind + e + "/f970611a.0" + std::to_string(i));
    }
    const RunResult run = runProgram(KOVRENT_PYTHON, arguments, dir.path());
    EXPECT_EQ(run.output, "compared 32\n") << run.errors;
}

// Maps as astropy writes them, 64-bit reals and an image extension behind an empty primary HDU
// (unsigned 16-bit, so with a BZERO of its own), are applied. A tile-compressed map, and 64-bit
// reals as input, are refused with the reason on standard error.
TEST(Astropy, MapsItWritesAreAppliedAndOthersRefusedWithTheirReason) {
    TempDir dir;
    const RunResult written = runProgram(KOVRENT_PYTHON, {"-c", R"(
import numpy as np
from astropy.io import fits
rows, columns = np.indices((3, 4))
fits.writeto("gain.fits", 0.1 + 0.5 * columns + 0.25 * rows)
mask = np.where((columns == 1) & (rows == 2), 0, 1).astype(np.uint16)
fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(mask)]).writeto("mask.fits")
fits.CompImageHDU(np.ones((3, 4), dtype=np.float32)).writeto("tiled.fits")
fits.writeto("c970611a.064", np.ones((3, 4)))
)"}, dir.path());
    ASSERT_EQ(written.exitStatus, 0) << written.errors;
    const FramePixel frame = [](int, int x, int y) { return 8 * (1 + x + 4 * y); };
    saveObservation(observationHeader(4, 3), dir / kInput, 4, 3, 1, frame);
    ASSERT_EQ(runKovrent({kInput, "-n", "-m", "mask.fits", "-g", "gain.fits"}, dir.path()).exitStatus, 0);
    const FitsContents out = readFitsFile(dir / kOutput);
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 3; ++y) {
            const double gain = static_cast<float>(0.1 + 0.5 * x + 0.25 * y);
            EXPECT_EQ(out.at(x, y), x == 1 && y == 2 ? 0.0f : static_cast<float>(gain * frame(1, x, y))) << x << y;
        }

    const RunResult tiled = runKovrent({kInput, "-g", "tiled.fits"}, dir.path());
    EXPECT_EQ(tiled.exitStatus, 1);
    EXPECT_TRUE(tiled.output.ends_with("tiled.fits\nrf: File not in FITS format\nkovrent: Error reading in gain map!\n"));
    EXPECT_EQ(tiled.errors, "kovrent: tiled.fits: tile-compressed (a binary-table extension): uncompress it first\n");
    const RunResult input = runKovrent({"c970611a.064", "-f"}, dir.path());
    EXPECT_TRUE(input.output.ends_with("...rf: File not in FITS format\nkovrent: Error reading in FITS format data file.\n"));
    EXPECT_EQ(input.errors, "kovrent: c970611a.064: BITPIX -64 is read only for maps\n");
}

INSTANTIATE_TEST_SUITE_P(EveryOutput, Validators, testing::ValuesIn(allCases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace

// The observing log reads back in astropy, warnings as errors: typed columns with units, every
// value as the header gives it (the sexagesimal texts as astropy writes the same angles), a
// missing record masked, and a file that cannot be read in its row with the reason and what its
// header said before it failed.
TEST(Astropy, ObservingLogReadsAsTypedColumnsWithUnits) {
    TempDir dir;
    CameraWriter full = observationHeader(8, 8, 3, 2);
    full.object("M 42, \"core\"").wavelength(10.5f).dateTime(1997, 6, 11, 9, 5, 3).timeObs({9, 5, 3, 7}).site(3);
    full.raDec(83.6330833, -5.3911111).record(47, {1.23}).record(49, {-2.5, 3.25}).record(83, {17});
    full.timeEnd({9, 17, 41, 52}).record(5, {2.5});
    saveObservation(full, dir / "c970611a.001", 8, 8, 4, frameValue);
    savePacked(dir / "c970611a.002", 1, false);
    CameraWriter cut;
    cut.object("CUT").wavelength(2.2f);
    cut.save((dir / "c970611a.003").string());
    // The first file one byte short of its last frame's 8 x 8 values: each frame fills a data block
    // of 32768 bytes, whose fill behind the last one no conversion reads.
    const std::vector<uint8_t> whole = readBytes(dir / "c970611a.001");
    std::ofstream(dir / "c970611a.005", std::ios::binary).write(reinterpret_cast<const char*>(whole.data()),
                                                              std::streamsize(whole.size() - 32768 + 8 * 8 * 4 - 1));

    const RunResult range = runKovrent({"c970611a.", "-r", "1", "5", "--log", "night.ecsv"}, dir.path());
    EXPECT_EQ(range.exitStatus, 1);
    EXPECT_EQ(std::count(range.output.begin(), range.output.end(), '\n'), 1) << range.output;
    EXPECT_TRUE(range.errors.starts_with("kovrent: night.ecsv: 5 files logged, 2 not read, 1 short, in "))
        << range.errors;
    EXPECT_EQ(runKovrent({"c970611a.005"}, dir.path()).exitStatus, 1);
    const RunResult names = runKovrent({"c970611a.001", "c970611a.002", "--log", "night.csv"}, dir.path());
    EXPECT_EQ(names.exitStatus, 0) << names.errors;
    // A converted file logged with -f gives the row of its camera file.
    ASSERT_EQ(runKovrent({"c970611a.001", "--modern"}, dir.path()).exitStatus, 0);
    EXPECT_EQ(runKovrent({"f970611a.001", "-f", "--log", "fits.ecsv"}, dir.path()).exitStatus, 0);
    // A log never takes the place of an input.
    const auto input = readBytes(dir / "c970611a.001");
    EXPECT_EQ(runKovrent({"c970611a.001", "c970611a.002", "--log", "c970611a.001"}, dir.path()).exitStatus, 1);
    EXPECT_EQ(readBytes(dir / "c970611a.001"), input);

    const RunResult read = runProgram(KOVRENT_PYTHON, {"-W", "error", "-c", R"(
import os
import astropy.units as u
from astropy.coordinates import Angle
from astropy.table import Table
from astropy.time import Time
t = Table.read("night.ecsv")
first, packed, cut, missing, short = t
declared = os.path.getsize("c970611a.001") - 32768 + 8 * 8 * 4
checks = {
    "units": (t["LAMBDA"].unit, t["RA"].unit, t["ITIME"].unit, t["NAXIS1"].unit) == (u.um, u.deg, u.s, u.pix),
    "types": (t["OBSFINUM"].dtype.kind, t["RA"].dtype.kind, t["OBJECT"].dtype.kind) == ("i", "f", "U"),
    "file": list(t["file"]) == ["c970611a.00%d" % n for n in (1, 2, 3, 4, 5)] and list(t["number"]) == [1, 2, 3, 4, 5],
    "object": first["OBJECT"] == 'M 42, "core"' and first["mode"] == "CHOP-NOD",
    "values": (first["LAMBDA"], first["AIRMASS"], first["RAOFFSET"], first["DEOFFSET"], first["OBSFINUM"])
              == (10.5, 1.23, -2.5, 3.25, 17),
    "start": Time(first["start"]) == Time("1997-06-11T09:05:03.07") and first["OBSERVAT"] == "Mauna Kea",
    "ra": first["RA_HMS"] == Angle(first["RA"] * u.deg).to_string(unit=u.hour, sep=":", precision=2, pad=True),
    "dec": first["DEC_DMS"] == Angle(first["DEC"] * u.deg).to_string(sep=":", precision=1, alwayssign=True, pad=True),
    "size": (first["NAXIS1"], first["NAXIS2"], packed["NAXIS1"], packed["PACKED"]) == (8, 8, 16, 2),
    "masked": t["PACKED"].mask[0] and t["SKYFLUX"].mask.all() and t["NAXIS1"].mask[2] and t["OBJECT"].mask[3],
    "cut": (cut["OBJECT"], cut["LAMBDA"]) == ("CUT", 2.2),
    "status": list(t["status"][:2]) == ["ok", "ok"] and cut["status"].startswith("c970611a.003")
              and missing["status"] == "c970611a.004: No such file or directory",
    "short": short["status"] == "short: %d of %d bytes" % (declared - 1, declared) and short["OBJECT"] == first["OBJECT"],
    "times": isinstance(t["start"], Time) and isinstance(t["end"], Time) and t["end"].mask.tolist()[1:4] == [True] * 3
             and first["end"].isot == "1997-06-11T09:17:41.520",
    "exposure": t["EXPTIME"].unit == u.s and first["EXPTIME"] == 2.5 * 4,
    "csv": Table.read("night.csv", format="ascii.csv")["OBJECT"][0] == 'M 42, "core"',
    "fits": [str(v) for v in list(Table.read("fits.ecsv")[0])[1:]] == [str(v) for v in list(first)[1:]],
}
print(" ".join(name for name, good in checks.items() if not good) or "read")
)"}, dir.path());
    EXPECT_EQ(read.output, "read\n") << read.errors;
}
