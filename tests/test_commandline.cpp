// The real kovrent binary: usage, option errors, option recognition, maps, input and output
// names, and how a run ends. Inputs are small FITS files converted with -f.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "camerafile.h"
#include "fitsfile.h"
#include "fitsimage.h"
#include "runprogram.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kVersion = "kovrent Data conversion program  version 2.31\n";

const std::string kUsage =
    "Usage: kovrent filename (-e n) (-f) (-g gainname) (-r n1 n2) \n"
    "               (-m maskname) (-o frame#) (-d outdir) (-i) (-a)\n\n"
    "where  filename = name (or root name) of file(s) to convert\n"
    "       -e = select expansion factor, where n is a factor of 2\n"
    "            If expanded, the map is also flipped so that N is up, E to the\n"
    "            left, and shifted for the dead column. \n"
    "       -f = input files are in FITS format already; use this after unpacking \n"
    "       -a = add a '.fits' at the end of the output name, so that iraf\n"
    "            can read in the file as FITS format\n"
    "       -g = enter gain map to use on data, gain map in FITS format\n"
    "       -m = enter FITS mask file name, where 1=good, 0=bad pixel\n"
    "       -o = enter frame number in observation, only that frame will be\n"
    "            extracted.  For chop, 1 or 2 is valid; for chop-nod, 1,2,3,4 \n"
    "       -p = unpack files; only the -r option can be used with this one.  Run\n"
    "            kovrent with this option first to unpack; then run with the -f\n"
    "            option to read in the unpacked files and expand, use mask, etc.\n"
    "       -r = range of files, n1=start number, n2=end number.  For\n"
    "            this option, enter a root filename, e.g., c920605a.\n"
    "       -n = no flips or rotations, for preparing the gain maps.\n"
    "       -i = interchange columns 4 and 5, this is necessary for all data taken \n"
    "            between June 1994 and Sept. 1994, including all Jupiter crash data\n"
    "       -z = correct data taken with zero chopper wait time \n"
    "       -d = enter directory for output (default: same as input directory)\n"
    "  note:  all gain and mask operations are carried out before the image\n"
    "         is expanded, if those options are selected.\n\n"
    "  Example: to convert the first 100 files taken on June 11, 1997,\n"
    "           expanding them by 4 and using a gain matrix `gain.map':\n"
    "    kovrent c970611a. -r 1 100 -g gain.map -e 4\n";

using Args = std::vector<std::string>;

std::string joined(const Args& args) {
    std::string text;
    for (const std::string& a : args) text += " '" + a + "'";
    return text;
}

// A FITS image written with the library, every pixel `raw`, or raw(x, y).
void writeImage(const fs::path& file, int naxis1, int naxis2, std::function<float(int, int)> raw,
                int bitpix = -32, double bscale = 1.0, double bzero = 0.0) {
    FitsImage image;
    image.bitpix = int16_t(bitpix);
    image.naxis1 = int16_t(naxis1);
    image.naxis2 = int16_t(naxis2);
    image.bscale = bscale;
    image.bzero = bzero;
    buildMinimalHeader(image);
    image.header.end();
    image.pixelCount = naxis1 * naxis2;
    auto raster = std::make_unique<Raster>();
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y) (*raster)[x][y] = raw(x, y);
    ASSERT_TRUE(writeFITS(file.string(), image, *raster));
}

void writeImage(const fs::path& file, int naxis1, int naxis2, float raw, int bitpix = -32,
                double bscale = 1.0, double bzero = 0.0) {
    writeImage(file, naxis1, naxis2, [raw](int, int) { return raw; }, bitpix, bscale, bzero);
}

struct Image {
    FitsImage record;
    std::unique_ptr<Raster> raster = std::make_unique<Raster>();
};

std::unique_ptr<Image> readImage(const fs::path& file) {
    auto image = std::make_unique<Image>();
    testing::internal::CaptureStdout();
    const FitsReadResult result = readFITS(file.string(), image->record, *image->raster);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, FitsReadResult::ok) << file;
    return image;
}

// Every file below the directory, as paths relative to it.
std::set<std::string> filesIn(const fs::path& directory) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), directory).string());
    return files;
}

TEST(CommandLine, UsageWhenNoArgumentOrHelpFirst) {
    for (const Args& args : {Args{}, Args{"-h"}, Args{"-h", "-e", "0"}, Args{"-h", "-r"}}) {
        TempDir dir;
        const RunResult run = runKovrent(args, dir.path());
        EXPECT_EQ(run.exitStatus, 0) << joined(args);
        EXPECT_EQ(run.output, kVersion + kUsage) << joined(args);
    }
    EXPECT_EQ(std::count(kUsage.begin(), kUsage.end(), '\n'), 30);  // 28 strings, two end in a blank line
}

TEST(CommandLine, HelpInLaterPlaceIsIgnored) {
    TempDir dir;
    writeImage(dir / "c970611a.005", 4, 3, 1.0f);
    const RunResult run = runKovrent({"c970611a.005", "-h", "-f"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, kVersion + "Reading c970611a.005...writing f970611a.005\n");
    EXPECT_TRUE(fs::exists(dir / "f970611a.005"));
}

TEST(CommandLine, BadValuesEndTheRunWithTheirMessage) {
    const std::string expansion = "Error specifying expansion factor\n";
    const std::string frame = "kovrent: Error in observation frame number\n";
    const std::string limits = "Error specifying limits\n";
    const std::string directory = "kovrent: Error in output directory name\n";
    const std::string gain = "kovrent: Error in gain name\n";
    const std::string mask = "kovrent: Error in mask file name\n";
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{""}, "kovrent: Error in data file name\n"},
        {{"  "}, "kovrent: Error in data file name\n"},
        {{"c970611a.005", "-e", "x2"}, expansion},
        {{"c970611a.005", "-e", "0"}, expansion},
        {{"c970611a.005", "-e", "-2"}, expansion},
        {{"c970611a.005", "-e"}, expansion},
        {{"c970611a.005", "-expand", "big"}, expansion},
        {{"c970611a.005", "-e", "-f"}, expansion},  // the value is taken whatever it looks like
        {{"c970611a.005", "-o", "first"}, frame},
        {{"c970611a.005", "-o"}, frame},
        {{"c970611a.005", "-r", "1", "three"}, limits},
        {{"c970611a.005", "-r", "1", "-f"}, limits},
        {{"c970611a.005", "-r", "1"}, limits},
        {{"c970611a.005", "-r", "1", ""}, limits},
        {{"c970611a.005", "-r", "1", " "}, limits},
        {{"c970611a.005", "-r"}, limits},
        {{"c970611a.005", "-r", "-2", "5"}, limits},
        {{"c970611a.005", "-d", ""}, directory},
        {{"c970611a.005", "-d", "   "}, directory},
        // Stops before the mask is looked for.
        {{"c970611a.005", "-d", "missing", "-m", "mask.fits"}, "kovrent: Error - no output directory missing\n"},
        {{"c970611a.005", "-d"}, directory},
        {{"c970611a.005", "-g", ""}, gain},
        {{"c970611a.005", "-g"}, gain},
        {{"c970611a.005", "-m", " "}, mask},
        {{"c970611a.005", "-m"}, mask},
        {{"c970611a.005", "-a", "-e", "2", "-o", "x"}, frame},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const RunResult run = runKovrent(c.args, dir.path());
        EXPECT_EQ(run.exitStatus, 1) << joined(c.args);
        EXPECT_EQ(run.output, kVersion + c.message) << joined(c.args);
        EXPECT_TRUE(filesIn(dir.path()).empty()) << joined(c.args);
    }
}

// A 4 x 3 input; the options show through the output's name and size.
TEST(CommandLine, OptionsByLetterWithNumbersReadAsInC) {
    const struct {
        Args options;
        std::string output;
        int naxis1, naxis2;
        std::vector<std::string> directories = {};
    } cases[] = {
        {{"-e", "010"}, "f970611a.005", 32, 24},
        {{"-e", "0x2"}, "f970611a.005", 8, 6},
        {{"-e", "3rd"}, "f970611a.005", 12, 9},
        {{"-e", ""}, "f970611a.005", 4, 3},
        {{"-expand", "2"}, "f970611a.005", 8, 6},
        {{"-o", "0x2"}, "f970611a.005.2", 4, 3},
        {{"-o", "010"}, "f970611a.005.8", 4, 3},
        {{"-o", "0"}, "f970611a.005", 4, 3},
        {{"-o", " "}, "f970611a.005", 4, 3},
        {{"-a"}, "f970611a.005.fits", 4, 3},
        {{"-append"}, "f970611a.005.fits", 4, 3},
        {{"-A", "-D", "-b", "-h", "-5", "-", "word", "-y"}, "f970611a.005", 4, 3},
        {{"-d", "-a"}, "-a/f970611a.005", 4, 3, {"-a"}},
        {{"-e", "2", "-e", "3"}, "f970611a.005", 12, 9},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (const std::string& d : c.directories) fs::create_directory(dir / d);
        writeImage(dir / "c970611a.005", 4, 3, 1.0f);
        Args args = {"c970611a.005", "-f"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult run = runKovrent(args, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << joined(args) << "\n" << run.output;
        EXPECT_EQ(run.output, kVersion + "Reading c970611a.005...writing " + c.output + "\n") << joined(args);
        EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"c970611a.005", c.output})) << joined(args);
        const auto out = readImage(dir / c.output);
        EXPECT_EQ(out->record.naxis1, c.naxis1) << joined(args);
        EXPECT_EQ(out->record.naxis2, c.naxis2) << joined(args);
    }
}

TEST(CommandLine, MapLoadFailuresEndTheRun) {
    const std::string missingMask =
        "Reading mask file absent.fits\nrf: Error - file not found ( absent.fits )\n"
        "kovrent: Error reading in mask map!\n";
    const struct {
        Args args;
        std::string output;
    } cases[] = {
        {{"c970611a.005", "-f", "-m", "absent.fits"}, missingMask},
        {{"c970611a.005", "-f", "-g", "gone.fits", "-m", "absent.fits"}, missingMask},
        {{"c970611a.", "-f", "-r", "5", "3", "-m", "absent.fits"}, missingMask},
        {{"c970611a.005", "-f", "-g", "absent.fits"},
         "Reading gain file absent.fits\nrf: Error - file not found ( absent.fits )\n"
         "kovrent: Error reading in gain map!\n"},
        {{"c970611a.005", "-f", "-g", "wide.fits"},
         "Reading gain file wide.fits\nrf:  64 BITPIX format not supported.\n"
         "kovrent: Error reading in gain map!\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        writeImage(dir / "c970611a.005", 4, 3, 1.0f);
        FitsImage wide;
        wide.bitpix = 64;
        wide.naxis1 = 4;
        wide.naxis2 = 3;
        buildMinimalHeader(wide);  // its END placeholder ends it
        const char* cards = wide.header.firstBlock()->cards;
        std::vector<uint8_t> bytes(cards, cards + blockLength);
        writeBytes(dir / "wide.fits", bytes);

        const RunResult run = runKovrent(c.args, dir.path());
        EXPECT_EQ(run.exitStatus, 1) << joined(c.args);
        EXPECT_EQ(run.output, kVersion + c.output) << joined(c.args);
        EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"c970611a.005", "wide.fits"}));
    }
}

// Mask raw 4 or 2 with BSCALE 0.5, BZERO -1 gives 1 (good) or 0 (bad); gain raw 3 with BSCALE
// 1.5, BZERO 0.5 gives 5. With -n the image keeps its place.
TEST(CommandLine, MapsAreScaledThenApplied) {
    TempDir dir;
    writeImage(dir / "c970611a.005", 4, 3, 5.0f);
    writeImage(dir / "my gain.fits", 4, 3, 3.0f, 16, 1.5, 0.5);
    writeImage(dir / "my mask.fits", 4, 3, [](int x, int y) { return x == 1 && y == 2 ? 2.0f : 4.0f; }, 16,
               0.5, -1.0);
    // Map names keep their inner blanks.
    const RunResult run =
        runKovrent({"c970611a.005", "-f", "-n", "-m", " my mask.fits ", "-g", "my gain.fits\t"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output, kVersion + "Reading mask file my mask.fits\nReading gain file my gain.fits\n" +
                              "Reading c970611a.005...writing f970611a.005\n");
    const auto out = readImage(dir / "f970611a.005");
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ((*out->raster)[x][y], (x == 1 && y == 2) ? 0.0f : 25.0f) << x << "," << y;
}

TEST(CommandLine, UnpackSwitchesMapsAndFitsInputOff) {
    TempDir dir;
    const RunResult run =
        runKovrent({"c970611a.005", "-f", "-m", "absent.fits", "-g", "absent.fits", "-p"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output.find("Reading mask file"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Reading gain file"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.rfind(kVersion + "Reading c970611a.005...", 0), 0u) << run.output;
    const std::string last = "kovrent: Error reading in VESKA format data file.\n";
    ASSERT_GE(run.output.size(), last.size());
    EXPECT_EQ(run.output.substr(run.output.size() - last.size()), last);
}

// Input and output names of single files and ranges, beside the input or in another directory.
TEST(CommandLine, InputAndOutputNames) {
    const struct {
        Args args;
        std::vector<std::pair<std::string, std::string>> converted;  // input, output as printed
        std::vector<std::string> directories = {};
    } cases[] = {
        {{"c970611a.", "-f", "-r", "1", "3"},
         {{"c970611a.001", "f970611a.001"}, {"c970611a.002", "f970611a.002"}, {"c970611a.003", "f970611a.003"}}},
        {{"c970611a.", "-f", "-r", "99", "100"},
         {{"c970611a.099", "f970611a.099"}, {"c970611a.100", "f970611a.100"}}},
        {{"c970611a.", "-f", "-r", "0", "0"}, {{"c970611a.000", "f970611a.000"}}},
        {{"c970611a.", "-f", "-r", "010", "011"},
         {{"c970611a.008", "f970611a.008"}, {"c970611a.009", "f970611a.009"}}},
        {{"c970611a.005", "-f", "-o", "2", "-a"}, {{"c970611a.005", "f970611a.005.2.fits"}}},
        {{"data/c970611a.005", "-f"}, {{"data/c970611a.005", "data/f970611a.005"}}, {"data"}},
        {{"data/c970611a.005", "-f", "-d", "out/"}, {{"data/c970611a.005", "out/f970611a.005"}}, {"data", "out"}},
        {{"data/c970611a.005", "-f", "-d", "out"}, {{"data/c970611a.005", "out/f970611a.005"}}, {"data", "out"}},
        {{"c970611a.005", "-f", "-d", "out"}, {{"c970611a.005", "out/f970611a.005"}}, {"out"}},
        {{"c970611a.005", "-f", "-d", "out/"}, {{"c970611a.005", "out/f970611a.005"}}, {"out"}},
        // Names keep their inner blanks; only the outer ones are dropped.
        {{" my c970611a.005\t", "-f", "-d", " out dir "}, {{"my c970611a.005", "out dir/my f970611a.005"}},
         {"out dir"}},
        {{"data/c970611a.", "-f", "-r", "1", "2", "-d", "out", "-a"},
         {{"data/c970611a.001", "out/f970611a.001.fits"}, {"data/c970611a.002", "out/f970611a.002.fits"}},
         {"data", "out"}},
        {{"c970611a.", "-f", "-r", "5", "3"}, {}},
        // A name whose last characters read as a negative number is converted once.
        {{"c970611ab-02", "-f"}, {{"c970611ab-02", "f970611ab-02"}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (const std::string& d : c.directories) fs::create_directory(dir / d);
        std::set<std::string> expectedFiles;
        std::string expectedOutput = kVersion;
        float value = 1.0f;
        for (const auto& [input, output] : c.converted) {
            writeImage(dir / input, 3, 2, value++);
            expectedFiles.insert(input);
            expectedFiles.insert(output);
            expectedOutput += "Reading " + input + "...writing " + output + "\n";
        }
        const RunResult run = runKovrent(c.args, dir.path());
        EXPECT_EQ(run.exitStatus, 0) << joined(c.args);
        EXPECT_EQ(run.output, expectedOutput) << joined(c.args);
        EXPECT_EQ(filesIn(dir.path()), expectedFiles) << joined(c.args);
        value = 1.0f;
        for (const auto& [input, output] : c.converted) {
            if (!fs::exists(dir / output)) continue;
            const auto out = readImage(dir / output);
            EXPECT_EQ((*out->raster)[0][0], value++) << output << " holds the image of " << input;
        }
    }
}

TEST(CommandLine, NeverWritesOverAFileItReads) {
    const struct {
        Args args;
        std::string input;
        std::vector<std::string> directories = {};
    } cases[] = {
        {{"f970611a.005", "-f"}, "f970611a.005"},
        {{"short.fits", "-f"}, "short.fits"},
        {{"data/f970611a.005", "-f", "-d", "data"}, "data/f970611a.005", {"data"}},
        {{"data/f970611a.005", "-f", "-d", "./data/"}, "data/f970611a.005", {"data"}},
        {{"c970611a.005", "-f", "-n", "-m", "f970611a.005"}, "c970611a.005"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (const std::string& d : c.directories) fs::create_directory(dir / d);
        writeImage(dir / c.input, 4, 3, 1.0f);
        writeImage(dir / "f970611a.005", 4, 3, 1.0f, 16);  // the input itself in most cases
        const std::set<std::string> before = filesIn(dir.path());
        std::vector<std::vector<uint8_t>> bytes;
        for (const std::string& f : before) bytes.push_back(readBytes(dir / f));

        const RunResult run = runKovrent(c.args, dir.path());
        EXPECT_EQ(run.exitStatus, 1) << joined(c.args);
        const std::string lastLine =
            run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1);
        EXPECT_EQ(lastLine.rfind("kovrent: Error", 0), 0u) << run.output;
        EXPECT_NE(lastLine.find("overwrite"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("writing"), std::string::npos) << run.output;
        EXPECT_EQ(filesIn(dir.path()), before) << joined(c.args);
        size_t i = 0;
        for (const std::string& f : before) EXPECT_EQ(readBytes(dir / f), bytes[i++]) << f;
    }
}

TEST(CommandLine, ReadErrorInRangeKeepsEarlierOutputs) {
    TempDir dir;
    writeImage(dir / "c970611a.001", 3, 2, 1.0f);
    writeImage(dir / "c970611a.002", 3, 2, 2.0f);
    writeBytes(dir / "c970611a.003", std::vector<uint8_t>(2 * blockLength, ' '));
    writeImage(dir / "c970611a.004", 3, 2, 4.0f);
    const RunResult run = runKovrent({"c970611a.", "-f", "-r", "1", "4"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, kVersion + "Reading c970611a.001...writing f970611a.001\n" +
                              "Reading c970611a.002...writing f970611a.002\n" +
                              "Reading c970611a.003...rf: File not in FITS format\n" +
                              "kovrent: Error reading in FITS format data file.\n");
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"c970611a.001", "c970611a.002", "c970611a.003",
                                                           "c970611a.004", "f970611a.001", "f970611a.002"}));
    EXPECT_EQ((*readImage(dir / "f970611a.002")->raster)[0][0], 2.0f);
}

// What a person needs to act goes to standard error; standard output and the status stay
// what they always were. Every row runs beside the same files.
TEST(CommandLine, ReasonsHintsAndWarningsOnStandardError) {
    const std::string notFound = "kovrent: Error reading in VESKA format data file.\n";
    const struct {
        Args args;
        int status;
        std::string output;               // after the version line
        std::vector<std::string> errors;  // each a line of standard error; none: it stays empty
    } cases[] = {
        {{"c970611a.005"}, 0, "Reading c970611a.005...writing f970611a.005\n", {}},
        {{"--version"}, 0, "", {}},
        {{"--help"}, 0, kUsage, {"kovrent: messages go to standard output; reasons, hints and warnings"}},
        {{"c970611a.005", "-x", "--help", "c970611a.006"}, 0, "Reading c970611a.005...writing f970611a.005\n",
         {"kovrent: warning - argument -x ignored\n", "kovrent: warning - argument --help ignored\n",
          "kovrent: warning - argument c970611a.006 ignored\n"}},
        {{"-e", "2", "c970611a.005"}, 1, "Reading -e...kovrent: Error - file not found: -e\n" + notFound,
         {"kovrent: -e: No such file or directory\n",
          "kovrent: the file name comes first: kovrent c970611a.005 -e 2\n"}},
        {{"-r", "1", "2"}, 1, "Reading -r...kovrent: Error - file not found: -r\n" + notFound,
         {"kovrent: the file name comes first: kovrent filename [options]\n"}},
        {{"nosuch.005"}, 1, "Reading nosuch.005...kovrent: Error - file not found: nosuch.005\n" + notFound,
         {"kovrent: nosuch.005: No such file or directory\n"}},
        // "hello": 'h' (104) is no data flag. The FITS text: S (83) and E (69) take 4 and 2 bytes,
        // '=' (61) two more, and X (88) is no data flag.
        {{"n970611a.005"}, 1, "Reading n970611a.005...kovrent: unknown data flag encountered 104\n",
         {"kovrent: n970611a.005 does not look like a camera file"}},
        {{"s970611a.005"}, 1, "Reading s970611a.005...kovrent: unknown data flag encountered 88\n",
         {"kovrent: s970611a.005 is a FITS file: FITS input needs -f\n"}},
        {{"c970611a.005", "-f"}, 1,
         "Reading c970611a.005...rf: File not in FITS format\nkovrent: Error reading in FITS format data file.\n",
         {"kovrent: c970611a.005 is not a FITS file; camera files are converted without -f\n"}},
        {{"c970611a.005", "-m", "c970611a.006"}, 1,
         "Reading mask file c970611a.006\nrf: File not in FITS format\nkovrent: Error reading in mask map!\n",
         {"kovrent: c970611a.006 is not a FITS file\n"}},
        {{"c970611a.005", "-g", "."}, 1, "Reading gain file .\nrf: File read error\nkovrent: Error reading in gain map!\n",
         {"kovrent: .: Is a directory\n"}},
        {{"c970611a.005", "-o", "3"}, 1, "Reading c970611a.005...kovrent: not enough data for *obsmode 1\n",
         {"kovrent: warning - frame 3 asked for with -o, but observing mode 1 (GRAB) has 1 frame\n",
          "kovrent: c970611a.005 ends before the end of its data\n"}},
        {{"c970611a.010", "-p", "-o", "2"}, 0,
         "Reading c970611a.010...writing 2 files...\nNow writing unpacked file t970611a.010.2\n"
         "Now writing unpacked file t970611a.011.2\n",
         {"kovrent: warning - frame 2 asked for with -o, but the packed images of observing mode 1 (GRAB) have 1 "
          "beam; beam 1 is written\n",
          "kovrent: 2 images unpacked, 0 failed, in "}},
        {{"c970611a.005", "-d", "missing"}, 1, "kovrent: Error - no output directory missing\n",
         {"kovrent: missing: No such file or directory\n"}},
        {{"c970611a.005", "-d", "c970611a.006"}, 1, "kovrent: Error - no output directory c970611a.006\n",
         {"kovrent: c970611a.006: Not a directory\n"}},
        {{"c970611a.008"}, 1,
         "Reading c970611a.008...writing f970611a.008\nwf: Error opening file for writing\n"
         "kovrent: Error - 1 output file could not be written\n",
         {"kovrent: f970611a.008: Is a directory\n"}},
        {{"c970611a.", "-r", "6", "5"}, 0, "", {"kovrent: warning - nothing to convert: range 6 to 5\n"}},
        {{"c970611a.", "-r", "5", "6"}, 0,
         "Reading c970611a.005...writing f970611a.005\nReading c970611a.006...writing f970611a.006\n",
         {"kovrent: 2 files converted, 0 failed, in "}},
        {{"c970611a.", "-r", "5", "7"}, 1,
         "Reading c970611a.005...writing f970611a.005\nReading c970611a.006...writing f970611a.006\n"
         "Reading c970611a.007...kovrent: Error - file not found: c970611a.007\n" + notFound,
         {"kovrent: c970611a.007: No such file or directory\n", "kovrent: 2 files converted, 1 failed, in "}},
    };
    const FrameGeometry g = geometryOf(4, 3);
    for (const auto& c : cases) {
        TempDir dir;
        fs::create_directory(dir / "f970611a.008");
        for (const char* name : {"c970611a.005", "c970611a.006", "c970611a.008"}) {
            CameraFile camera;
            camera.corners(g).totalCoadds(1).obsmode(1).endMarker().frames(g, 1, [](int, int x, int y) { return x + y; });
            camera.save(dir / name);
        }
        CameraFile packed;
        packed.corners(g).totalCoadds(1).obsmode(1).packed(2, 1).endMarker();
        packed.packedData(g, 1, 2, [](int, int, int x, int y) { return x - y; }).trailer({}).save(dir / "c970611a.010");
        writeBytes(dir / "n970611a.005", {'h', 'e', 'l', 'l', 'o'});
        writeBytes(dir / "s970611a.005", {'S', 'I', 'M', 'P', 'L', 'E', ' ', ' ', '=', ' ', ' ', 'X'});

        const RunResult run = runKovrent(c.args, dir.path());
        EXPECT_EQ(run.exitStatus, c.status) << joined(c.args);
        EXPECT_EQ(run.output, kVersion + c.output) << joined(c.args);
        if (c.errors.empty()) {
            EXPECT_EQ(run.errors, "") << joined(c.args);
        }
        size_t from = 0;  // the lines in order
        for (const std::string& line : c.errors) {
            const size_t at = run.errors.find(line, from);
            EXPECT_NE(at, std::string::npos) << joined(c.args) << ": no \"" << line << "\" in\n" << run.errors;
            if (at != std::string::npos) from = at + line.size();
        }
    }
}

}  // namespace
