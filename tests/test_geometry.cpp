// Orientation (from the camera's ORIENTST record or a FITS input's card), transposition,
// expansion, mask and gain, end to end through the program: the output pixels against
// placements computed here from the input values.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/camerawriter.h"
#include "support/expectedimage.h"
#include "support/fitsread.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

using namespace testsupport;

namespace {

const std::string kInput = "c970611a.005";
const std::string kOutput = "f970611a.005";

// A grab of distinct values with the given ORIENTST record (none when empty).
void saveGrab(const std::filesystem::path& file, int nx, int ny, const std::string& orientation) {
    CameraWriter header = observationHeader(nx, ny);
    if (!orientation.empty()) header.orientation(orientation);
    saveObservation(header, file, nx, ny, 1,
                    [](int, int x, int y) { return static_cast<int32_t>(distinct(x, y)); });
}

std::vector<std::string> withInput(std::vector<std::string> options) {
    options.insert(options.begin(), kInput);
    return options;
}

struct FlipCase {
    const char* code;
    Net net;
};

// Family R flips axis 2 for (U, 4th N) or (D, 4th Y) and axis 1 for (L, 3rd N) or (R, 3rd Y);
// family A flips axis 1 for (2nd U, 3rd Y) or (2nd D, 3rd N), axis 2 for (L, 4th Y) or (R, 4th N).
const FlipCase kFlipCases[] = {
    {"ULYYN", Net::rotation}, {"ULYNN", Net::rFlip2},   {"ULNYN", Net::rFlip1},
    {"ULNNN", Net::identity}, {"DLYNN", Net::rotation}, {"DLYYN", Net::rFlip2},
    {"DRYNN", Net::rFlip1},   {"DRYYN", Net::identity}, {"URNYN", Net::rotation},
    {"UXYNN", Net::rFlip2},   {"URYYN", Net::rFlip1},   {"LLYNN", Net::anti},
    {"LUYNN", Net::aFlip1},   {"LDNNN", Net::aFlip1},   {"LLYYN", Net::aFlip2},
    {"RLYNN", Net::aFlip2},   {"LUYYN", Net::transpose}, {"RDNNN", Net::transpose},
    {"RUYYN", Net::aFlip1},   {"XUYYN", Net::aFlip1},   {"XLYYN", Net::anti},
    // A shorter code ends early and leaves the rest of ULYYN behind its end: D, end, Y, Y, N.
    {"D", Net::rFlip2},       {"DR", Net::rFlip2},      {"L", Net::aFlip2},
};

}  // namespace

TEST(Orientation, EveryFlipCaseOfBothFamilies) {
    constexpr int n = 16;
    for (const FlipCase& c : kFlipCases) {
        SCOPED_TRACE(c.code);
        TempDir dir;
        saveGrab(dir / kInput, n, n, c.code);
        const RunResult run = runKovrent({kInput}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(differences(readFitsFile(dir / kOutput), placed(distinct, n, n, c.net)), "");
    }
}

TEST(Orientation, TranspositionExpansionAndNoFlips) {
    struct Case {
        const char* name;
        int nx, ny;
        const char* code;
        std::vector<std::string> options;
        bool transposed;  // the fifth letter acted before the orientation
        Net net;
        int factor;
    };
    const Case cases[] = {
        {"transposed, non-square", 128, 64, "ULYYY", {}, true, Net::rotation, 1},
        {"transposed and expanded", 128, 64, "ULNNY", {"-e", "2"}, true, Net::identity, 2},
        {"non-square, no transposition", 128, 64, "ULYYN", {}, false, Net::rotation, 1},
        {"family A, non-square", 128, 64, "LLYNN", {}, false, Net::anti, 1},
        {"family A, non-square, both flips", 128, 64, "LUYYN", {"-e", "2"}, false, Net::transpose, 2},
        {"-n ignores every letter", 128, 64, "ULYYY", {"-n"}, false, Net::identity, 1},
        {"-n with expansion", 128, 64, "ULYYY", {"-n", "-e", "2"}, false, Net::identity, 2},
        {"rotation in 2 x 2 blocks", 16, 16, "ULYYN", {"-e", "2"}, false, Net::rotation, 2},
        {"family A in 4 x 4 blocks", 16, 16, "LUYNN", {"-e", "4"}, false, Net::aFlip1, 4},
        {"128 x 128 by 4 fills the raster", 128, 128, "ULYYN", {"-e", "4"}, false, Net::rotation, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        saveGrab(dir / kInput, c.nx, c.ny, c.code);
        const RunResult run = runKovrent(withInput(c.options), dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;

        const Image expected =
            c.transposed ? placed([](int a, int b) { return distinct(b, a); }, c.ny, c.nx, c.net, c.factor)
                         : placed(distinct, c.nx, c.ny, c.net, c.factor);
        const FitsContents out = readFitsFile(dir / kOutput);
        EXPECT_EQ(differences(out, expected), "");
        // The cards follow the sizes, also when only the axes were exchanged.
        EXPECT_EQ(out.cards.at(3), valueCard("NAXIS1", std::to_string(expected.naxis1),
                                             "PIXELS ON 1ST MOST VARYING AXIS"));
        EXPECT_EQ(out.cards.at(4), valueCard("NAXIS2", std::to_string(expected.naxis2),
                                             "PIXELS ON 2ND MOST VARYING AXIS"));
    }
}

TEST(Orientation, ExpansionBeyondTheRasterOrBelowOneIsRefused) {
    struct Case {
        int nx, ny;
        const char* code;
        const char* factor;
        const char* message;
    };
    const Case cases[] = {
        {128, 128, "ULYYN", "5", "kovrent: Error - expansion by 5 "},
        {16, 16, "ULYYN", "33", "kovrent: Error - expansion by 33 "},
        {128, 64, "ULYYY", "5", "kovrent: Error - expansion by 5 "},
        {16, 16, "ULYYN", "0", "Error specifying expansion factor\n"},
        {16, 16, "ULYYN", "-1", "Error specifying expansion factor\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.factor);
        TempDir dir;
        saveGrab(dir / kInput, c.nx, c.ny, c.code);
        const RunResult run = runKovrent({kInput, "-e", c.factor}, dir.path());
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(std::filesystem::exists(dir / kOutput));
    }
}

TEST(MaskAndGain, AppliedBeforeTheGeometry) {
    constexpr int n = 16;
    struct Map {
        int bitpix, naxis1, naxis2;
        std::vector<std::string> scaling;  // BSCALE and BZERO cards
        Pixel stored;
    };
    // Mask values by (x + 2y) mod 5: zeros of both signs are bad; 1, 0.5 and -1 are good.
    const Pixel signedZeros = [](int x, int y) {
        static const double values[] = {0.0, -0.0, 1.0, 0.5, -1.0};
        return values[(x + 2 * y) % 5];
    };
    const Pixel one = [](int, int) { return 1.0; };
    const Pixel two = [](int, int) { return 2.0; };
    const std::vector<std::string> halfMinusOne = {valueCard("BSCALE", "0.5", ""),
                                                   valueCard("BZERO", "-1.0", "")};
    const std::vector<std::string> quarterPlusHalf = {valueCard("BSCALE", "0.25", ""),
                                                      valueCard("BZERO", "0.5", "")};
    struct Case {
        const char* name;
        std::optional<Map> mask, gain;
        Pixel factor;  // what the pixel is multiplied by, from the map values above
        int nx = n, ny = n;
    };
    const Case cases[] = {
        // BZERO -0.0 keeps the sign of a zero through the scaling at load.
        {"zeros of both signs are bad pixels",
         Map{-32, n, n, {valueCard("BZERO", "-0.0", "")}, signedZeros}, std::nullopt,
         [](int x, int y) { return (x + 2 * y) % 5 < 2 ? 0.0 : 1.0; }},
        {"a mask smaller than the image", Map{-32, 10, 12, {}, one}, std::nullopt,
         [](int x, int y) { return x < 10 && y < 12 ? 1.0 : 0.0; }},
        // Stored 0, 2, 4 are -1, 0, 1 after the scaling: only the stored 2 is bad.
        {"mask scaled at load", Map{16, n, n, halfMinusOne, [](int x, int y) { return 2.0 * ((x + y) % 3); }},
         std::nullopt, [](int x, int y) { return (x + y) % 3 == 1 ? 0.0 : 1.0; }},
        {"gain doubles", std::nullopt, Map{-32, n, n, {}, two}, two},
        // Stored 0 and 6 are 0.5 and 2 after the scaling; beyond the map the gain is 0.
        {"gain scaled at load, smaller than the image", std::nullopt,
         Map{16, 12, n, quarterPlusHalf, [](int x, int) { return 6.0 * (x % 2); }},
         [](int x, int) { return x >= 12 ? 0.0 : x % 2 ? 2.0 : 0.5; }},
        {"mask, then gain", Map{-32, n, n, {}, signedZeros}, Map{-32, n, n, {}, two},
         [](int x, int y) { return (x + 2 * y) % 5 < 2 ? 0.0 : 2.0; }},
        // Rows beyond the width are masked and gained too.
        {"mask and gain of a taller image", Map{-32, 6, n, {}, signedZeros}, Map{-32, 6, n, {}, two},
         [](int x, int y) { return (x + 2 * y) % 5 < 2 ? 0.0 : 2.0; }, 6, n},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        saveGrab(dir / kInput, c.nx, c.ny, "ULYYN");
        std::vector<std::string> options;
        const struct {
            const std::optional<Map>& map;
            const char* option;
            const char* name;
        } maps[] = {{c.mask, "-m", "mask.fits"}, {c.gain, "-g", "gain.fits"}};
        for (const auto& [map, option, name] : maps) {
            if (!map) continue;
            std::vector<std::string> cards = primaryCards(map->bitpix, map->naxis1, map->naxis2);
            cards.insert(cards.end(), map->scaling.begin(), map->scaling.end());
            writeFitsFile(dir / name, cards, map->bitpix, map->naxis1, map->naxis2, map->stored);
            options.insert(options.end(), {option, name});
        }
        const RunResult run = runKovrent(withInput(options), dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        const Pixel expected = [&](int x, int y) { return c.factor(x, y) * distinct(x, y); };
        EXPECT_EQ(differences(readFitsFile(dir / kOutput), placed(expected, c.nx, c.ny, Net::rotation)), "");
    }
}

TEST(FitsInput, OrientedByItsOrientstCard) {
    std::vector<std::string> farCards(36, commentCard("COMMENT", "FILLER"));
    farCards.push_back(fitsCard("ORIENTST= 'ULNNN'"));
    struct Case {
        const char* name;
        std::vector<std::string> cards;
        bool transposed;
        Net net;
    };
    const Case cases[] = {
        {"no ORIENTST: ULYYN", {}, false, Net::rotation},
        {"quoted", {fitsCard("ORIENTST= 'ULNNN'")}, false, Net::identity},
        {"four letters get N", {fitsCard("ORIENTST= 'LUYY'")}, false, Net::transpose},
        {"blank inside the quotes", {fitsCard("ORIENTST= ' LUYNN'")}, false, Net::aFlip1},
        {"fifth letter Y transposes", {fitsCard("ORIENTST= 'ULYYY'")}, true, Net::rotation},
        {"only five letters count", {fitsCard("ORIENTST= 'ULNNNY'")}, false, Net::identity},
        {"as the camera reader writes it",
         {commentCard("COMMENT", "THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA"),
          fitsCard("ORIENTST= 'RLYNN'")},
         false, Net::aFlip2},
        {"in the second header block", farCards, false, Net::identity},
        {"one letter keeps the rest of ULYYN", {fitsCard("ORIENTST= 'D'")}, false, Net::rFlip2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<std::string> cards = c.cards;
        // A chop without wait time as far as the cards go: FITS input still never warns.
        cards.push_back(valueCard("OBSMODE", "2", ""));
        cards.push_back(valueCard("CHOPWAIT", "0.0", ""));
        saveFitsInput(dir / kInput, cards);
        const RunResult run = runKovrent({kInput, "-f"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_EQ(run.output.find("Warning"), std::string::npos) << run.output;
        const Image expected = c.transposed ? placed([](int a, int b) { return distinct(b, a); }, 16, 16, c.net)
                                            : placed(distinct, 16, 16, c.net);
        EXPECT_EQ(differences(readFitsFile(dir / kOutput), expected), "");
    }
}
