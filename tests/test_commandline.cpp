// The command line: the parser's reading of options and its refusals in this process; usage,
// maps, input and output names and how a run ends through the real kovrent binary. Inputs are
// small FITS files converted with -f.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "program/texts.h"
#include "fits/fitsfile.h"
#include "fits/fitsimage.h"
#include "program/commandline.h"
#include "program/console.h"
#include "support/camerawriter.h"
#include "support/fitsread.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kVersion = "kovrent Data conversion program  version " KOVRENT_VERSION "\n";

// The options that the manual's OPTIONS section describes, one entry each, or that a text names:
// every word that begins with one or two dashes and a letter, without a value after "=".
std::set<std::string> optionsNamed(const std::string& text) {
    std::set<std::string> options;
    for (size_t at = text.find('-'); at != std::string::npos; at = text.find('-', at + 1)) {
        const bool wordStart = at == 0 || std::string(" (\n").find(text[at - 1]) != std::string::npos;
        const size_t name = text.compare(at, 2, "--") == 0 ? at + 2 : at + 1;
        if (!wordStart || name >= text.size() || !std::islower(static_cast<unsigned char>(text[name]))) continue;
        const size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", name);
        options.insert(text.substr(at, end - at));
        at = end - 1;
    }
    return options;
}

std::set<std::string> manualOptions() {
    const std::vector<uint8_t> bytes = readBytes(fs::path(KOVRENT_SOURCE_DIR) / "doc" / "kovrent.1.in");
    std::string text(bytes.begin(), bytes.end());
    text = text.substr(text.find("\n.SH OPTIONS\n"));
    text = text.substr(0, text.find("\n.SH ", 1));
    // Each entry's first line (".BI \-e " n""), without the roff escapes of its dashes.
    std::string entries;
    for (size_t at = text.find(".TP\n"); at != std::string::npos; at = text.find(".TP\n", at + 1))
        for (size_t k = at + 4; k < text.size() && (k == at + 4 || text[k - 1] != '\n'); ++k)
            if (text[k] != '\\') entries.push_back(text[k]);
    return optionsNamed(entries);
}

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
    image.header.addEndCard();
    auto raster = std::make_unique<Raster>();
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y) (*raster)[x][y] = raw(x, y);
    Messages messages;
    ASSERT_TRUE(writeFITS(file.string(), image, *raster, messages).ok());
}

void writeImage(const fs::path& file, int naxis1, int naxis2, float raw, int bitpix = -32,
                double bscale = 1.0, double bzero = 0.0) {
    writeImage(file, naxis1, naxis2, [raw](int, int) { return raw; }, bitpix, bscale, bzero);
}

// Every file below the directory, as paths relative to it.
std::set<std::string> filesIn(const fs::path& directory) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), directory).string());
    return files;
}

// The usage names every option the manual describes, and no other.
TEST(CommandLine, UsageWhenNoArgumentOrHelpFirst) {
    TempDir dir;
    const RunResult usage = runKovrent({"-h"}, dir.path());
    ASSERT_EQ(usage.output.rfind(kVersion + "Usage: kovrent filename", 0), 0u) << usage.output;
    EXPECT_EQ(optionsNamed(usage.output.substr(kVersion.size())), manualOptions());
    EXPECT_GE(manualOptions().size(), 20u);
    for (const Args& args : {Args{}, Args{"-h"}, Args{"--help"}}) {
        const RunResult run = runKovrent(args, dir.path());
        EXPECT_EQ(run.exitStatus, 0) << joined(args);
        EXPECT_EQ(run.output, usage.output) << joined(args);
    }
}

// The fields of the options, for comparing whole readings.
auto fields(const Options& o) {
    return std::tuple(o.inputName, o.inputNames, o.outputDirectory, o.gainName, o.maskName, o.expansion, o.frameNumber,
                      o.firstNumber, o.lastNumber, o.appendFits, o.toDirectory, o.fitsInput, o.gain, o.interchange,
                      o.mask, o.noFlips, o.unpack, o.zeroWait, o.showUsage, o.showVersion, o.keepGoing, o.jobs,
                      o.logName, o.quiet, o.modern, o.progress);
}

// Numbers are read as C reads them: octal, hexadecimal, digits up to the first other character.
TEST(CommandLine, ParsedOptionsAndBadValues) {
    const std::string expansion = "Error specifying expansion factor\n";
    const std::string frame = "kovrent: Error in observation frame number\n";
    const std::string limits = "Error specifying limits\n";
    const std::string directory = "kovrent: Error in output directory name\n";
    const std::string gain = "kovrent: Error in gain name\n";
    const std::string mask = "kovrent: Error in mask file name\n";
    const std::string name = "c970611a.005";
    const struct {
        Args args;
        std::function<void(Options&)> change;  // from the defaults with `name` as input
        std::string message = "";              // the fatal end's, on standard output
    } cases[] = {
        // Numbers as people write them: leading zeros are decimal, 0x hexadecimal, nothing may follow.
        {{name, "-e", "010"}, [](Options& o) { o.expansion = 10; }},
        {{name, "-e", "0x2"}, [](Options& o) { o.expansion = 2; }},
        {{name, "-e", "3rd"}, nullptr, expansion},
        {{name, "-e", "2.5"}, nullptr, expansion},
        {{name, "-e", ""}, [](Options&) {}},
        {{name, "-expand", "2"}, [](Options& o) { o.expansion = 2; }},
        {{name, "-e", "2", "-e", "3"}, [](Options& o) { o.expansion = 3; }},
        {{name, "-o", "0x2"}, [](Options& o) { o.frameNumber = 2; }},
        {{name, "-o", "010"}, [](Options& o) { o.frameNumber = 10; }},
        {{name, "-r", "008", "010"}, [](Options& o) { o.firstNumber = 8, o.lastNumber = 10; }},
        {{name, "-r", "1", "5x"}, nullptr, limits},
        {{name, "other", "-r", "1", "2"}, nullptr, limits},
        {{name, "word", "-a", "my file"},
         [](Options& o) { o.inputNames = {"c970611a.005", "word", "my file"}, o.appendFits = true; }},
        // Long options: unknown ones and known ones with one dash are refused, with their reason alone.
        {{name, "--keep"}, nullptr},
        {{name, "--keep-going-on"}, nullptr},
        {{name, "-modern"}, nullptr},
        {{name, "-cube"}, nullptr},
        {{name, "-o", "0"}, [](Options&) {}},
        {{name, "-o", " "}, [](Options&) {}},
        {{name, "-a"}, [](Options& o) { o.appendFits = true; }},
        {{name, "-append"}, [](Options& o) { o.appendFits = true; }},
        {{name, "-A", "-D", "-b", "-h", "-5", "-", "-y"}, [](Options&) {}},
        {{name, "-a", "--keep-going", "-n"}, [](Options& o) { o.appendFits = o.keepGoing = o.noFlips = true; }},
        {{name, "-h", "-f"}, [](Options& o) { o.fitsInput = true; }},
        {{name, "-d", "-a"}, [](Options& o) { o.outputDirectory = "-a", o.toDirectory = true; }},
        {{"-h", "-e", "0"}, [](Options& o) { o.inputName = "-h", o.inputNames = {"-h"}, o.showUsage = true; }},
        {{"-h", "-r"}, [](Options& o) { o.inputName = "-h", o.inputNames = {"-h"}, o.showUsage = true; }},
        {{""}, nullptr, "kovrent: Error in data file name\n"},
        {{"  "}, nullptr, "kovrent: Error in data file name\n"},
        {{name, "-e", "x2"}, nullptr, expansion},
        {{name, "-e", "0"}, nullptr, expansion},
        {{name, "-e", "-2"}, nullptr, expansion},
        {{name, "-e"}, nullptr, expansion},
        {{name, "-expand", "big"}, nullptr, expansion},
        {{name, "-e", "-f"}, nullptr, expansion},  // the value is taken whatever it looks like
        {{name, "-o", "first"}, nullptr, frame},
        {{name, "-o", "2147483648"}, nullptr, frame},
        {{name, "-o"}, nullptr, frame},
        {{name, "-r", "1", "three"}, nullptr, limits},
        {{name, "-r", "1", "-f"}, nullptr, limits},
        {{name, "-r", "1"}, nullptr, limits},
        {{name, "-r", "1", ""}, nullptr, limits},
        {{name, "-r", "1", " "}, nullptr, limits},
        {{name, "-r"}, nullptr, limits},
        {{name, "-r", "-2", "5"}, nullptr, limits},
        {{name, "-r", "-1", "8"}, nullptr, limits},
        {{name, "-r", "x", "8"}, nullptr, limits},
        {{name, "-r", "", "8"}, nullptr, limits},
        {{name, "-d", ""}, nullptr, directory},
        {{name, "-d", "   "}, nullptr, directory},
        {{name, "-d"}, nullptr, directory},
        {{name, "-g", ""}, nullptr, gain},
        {{name, "-g"}, nullptr, gain},
        {{name, "-m", " "}, nullptr, mask},
        {{name, "-m"}, nullptr, mask},
        {{name, "-a", "-e", "2", "-o", "x"}, nullptr, frame},
        // Workers are bounded: more would only hold buffers and wait.
        {{name, "--jobs", "256"}, [](Options& o) { o.jobs = 256; }},
        {{name, "--jobs", "257"}, nullptr, "kovrent: Error in number of jobs\n"},
        {{name, "--jobs", "2147483647"}, nullptr, "kovrent: Error in number of jobs\n"},
        // Long options anywhere, first included, with "=value" too.
        {{"--modern", "--jobs=3", name, "-q"}, [](Options& o) { o.modern = o.quiet = true, o.jobs = 3; }},
        {{"--log", "night.csv", name, "--no-progress"}, [](Options& o) { o.logName = "night.csv", o.progress = false; }},
        {{name, "--log=night.csv", "--quiet"}, [](Options& o) { o.logName = "night.csv", o.quiet = true; }},
        {{name, "--modern=yes"}, nullptr},
        {{"--modern", "--jobs", "2"}, nullptr, "kovrent: Error in data file name\n"},
        {{name, "--jobs="}, nullptr, "kovrent: Error in number of jobs\n"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"kovrent"};
        for (const std::string& a : c.args) argv.push_back(a.c_str());
        std::optional<Options> options;
        Options parsed;
        Messages messages;
        if (parseCommandLine(int(argv.size()), argv.data(), parsed, messages)) options = parsed;
        std::string output, errors;
        for (const Messages::Line& line : messages.lines()) {
            if (line.forPeople()) errors += "kovrent: " + programWording(line) + "\n";
            else output += line.text;
        }
        EXPECT_EQ(output, c.message) << joined(c.args);
        // Every refusal has its reason for people; bad values of -e and -r are followed by their
        // valid form.
        if (!c.message.empty()) {
            EXPECT_NE(errors, "") << joined(c.args);
        }
        if (c.message == expansion || (c.message == limits && c.args[1] != "other")) {
            EXPECT_EQ(errors, c.message == limits ? "kovrent: -r takes two numbers (for example -r 1 100)\n"
                                                  : "kovrent: -e takes a whole number such as 2; an expanded image "
                                                    "is at most 512 pixels wide\n") << joined(c.args);
        }
        EXPECT_EQ(options.has_value(), c.change != nullptr) << joined(c.args);
        if (options && c.change) {
            Options expected;
            expected.inputName = name;
            expected.inputNames = {name};
            c.change(expected);
            EXPECT_EQ(fields(*options), fields(expected)) << joined(c.args);
        }
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
        // Only the header: its BITPIX is refused before any data are read.
        writeFitsFile(dir / "wide.fits", primaryCards(64, 4, 3), 8, 0, 0, [](int, int) { return 0.0; });

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
    const FitsContents out = readFitsFile(dir / "f970611a.005");
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ(out.at(x, y), (x == 1 && y == 2) ? 0.0f : 25.0f) << x << "," << y;
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
         {{"c970611a.010", "f970611a.010"}, {"c970611a.011", "f970611a.011"}}},
        // Every name given is converted in turn, as a shell's glob gives them.
        {{"c970611a.003", "-f", "data/c970611a.001", "c970611a.002"},
         {{"c970611a.003", "f970611a.003"}, {"data/c970611a.001", "data/f970611a.001"},
          {"c970611a.002", "f970611a.002"}},
         {"data"}},
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
            EXPECT_EQ(readFitsFile(dir / output).at(0, 0), value++) << output << " holds the image of " << input;
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
        // The output of the first name is the second, which is not there yet: it would be read back.
        {{"c970611a.005", "f970611a.005.fits", "-f", "-a", "--jobs", "4"}, "c970611a.005"},
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
    EXPECT_EQ(readFitsFile(dir / "f970611a.002").at(0, 0), 2.0f);
}

// What a person needs to act goes to standard error; standard output and the status stay
// what they always were. Every row runs beside the same files.
TEST(CommandLine, ReasonsHintsAndWarningsOnStandardError) {
    const std::string notFound = "kovrent: Error reading in VESKA format data file.\n";
    const std::string converted = "Reading c970611a.005...writing f970611a.005\nReading c970611a.006...writing f970611a.006\n";
    auto missing = [&](int from, int to) {
        std::string output;
        for (int n = from; n <= to; ++n) {
            const std::string name = std::string(n < 10 ? "c970611a.00" : "c970611a.0") + std::to_string(n);
            output += "Reading " + name + "...kovrent: Error - file not found: " + name + "\n" + notFound;
        }
        return output;
    };
    const std::string usage = runKovrent({"-h"}, TempDir().path()).output.substr(kVersion.size());
    const std::string packed = "Reading c970611a.010...kovrent: Error - data packed, use -p option to unpack first\n" + notFound;
    const struct {
        Args args;
        int status;
        std::string output;               // after the version line
        std::vector<std::string> errors;  // each a line of standard error; none: it stays empty
        std::string never = "";           // nowhere on standard error
    } cases[] = {
        {{"c970611a.005"}, 0, "Reading c970611a.005...writing f970611a.005\n", {}},
        {{"--version"}, 0, "", {}},
        {{"--help"}, 0, usage, {"kovrent: messages go to standard output; reasons, hints and warnings"}},
        {{"c970611a.005", "-x", "c970611a.006"}, 0, converted,
         {"kovrent: warning - argument -x ignored\n", "kovrent: 2 files converted, 0 failed, in "}},
        {{"c970611a.005", "--help"}, 0, usage, {"kovrent: messages go to standard output"}},
        {{"c970611a.005", "-modern", "-e", "2"}, 1, "", {"kovrent: unknown option -modern; did you mean --modern?\n"}},
        {{"c970611a.005", "--foo"}, 1, "", {"kovrent: unknown option --foo; did you mean --log?\n"}},
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
        // A map of another size: once per file, and the run goes on.
        {{"c970611a.", "-r", "5", "6", "-g", "small.fits"}, 0,
         "Reading gain file small.fits\nReading c970611a.005...writing f970611a.005\n"
         "Reading c970611a.006...writing f970611a.006\n",
         {"kovrent: warning - gain map small.fits is 2 x 2 but c970611a.005 is 4 x 3: 8 pixels outside the map become 0\n",
          "kovrent: warning - gain map small.fits is 2 x 2 but c970611a.006 is 4 x 3: 8 pixels outside the map become 0\n",
          "kovrent: 2 files converted, 0 failed, in "}},
        {{"c970611a.005", "-m", "large.fits"}, 0, "Reading mask file large.fits\nReading c970611a.005...writing f970611a.005\n",
         {"kovrent: warning - mask large.fits is 8 x 3 but c970611a.005 is 4 x 3: only its lower-left 4 x 3 is used\n"}},
        {{"c970611a.005", "-m", "cube.fits"}, 1,
         "Reading mask file cube.fits\nrf: File not in FITS format\nkovrent: Error reading in mask map!\n",
         {"kovrent: cube.fits: NAXIS 3\n"}},
        // The file holds every frame of its mode: the frame asked for is the reason, not the file.
        {{"c970611a.005", "-o", "3"}, 1, "Reading c970611a.005...kovrent: not enough data for *obsmode 1\n",
         {"kovrent: c970611a.005: frame 3 asked for with -o, but observing mode 1 (GRAB) has 1 frame\n"},
         "ends before"},
        {{"c970611a.010", "-p", "-o", "2"}, 0,
         "Reading c970611a.010...writing 2 files...\nNow writing unpacked file t970611a.010.2\n"
         "Now writing unpacked file t970611a.011.2\n",
         {"kovrent: warning - frame 2 asked for with -o, but the packed images of observing mode 1 (GRAB) have 1 "
          "beam; beam 1 is written\n",
          "kovrent: 2 images unpacked, 0 failed, in "}},
        {{"c970611a.010", "-p", "-e", "2", "-m", "absent.fits", "-g", "g", "-n", "-z", "-fits", "-i"}, 0,
         "Reading c970611a.010...writing 2 files...\nNow writing unpacked file t970611a.010\n"
         "Now writing unpacked file t970611a.011\n",
         {"kovrent: warning - -e 2 ignored with -p\n", "kovrent: warning - -m absent.fits ignored with -p\n",
          "kovrent: warning - -g g ignored with -p\n", "kovrent: warning - -n ignored with -p\n",
          "kovrent: warning - -z ignored with -p\n", "kovrent: warning - -fits ignored with -p\n",
          "kovrent: 2 images unpacked, 0 failed, in "}},
        // Stops before the mask is looked for.
        {{"c970611a.005", "-d", "missing", "-m", "mask.fits"}, 1, "kovrent: Error - no output directory missing\n",
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
        // A range that stops early counts what it did not try; --keep-going tries everything.
        {{"c970611a.", "-r", "5", "9"}, 1, converted + missing(7, 7),
         {"kovrent: 2 files converted, 1 failed, 2 not tried (stopped at c970611a.007), in "}},
        {{"c970611a.", "-r", "3", "9"}, 1, missing(3, 3),
         {"kovrent: 0 files converted, 1 failed, 6 not tried (stopped at c970611a.003), in "}},
        {{"c970611a.", "-r", "5", "9", "--keep-going"}, 1,
         converted + missing(7, 7) + "Reading c970611a.008...writing f970611a.008\nwf: Error opening file for writing\n" +
             missing(9, 9) + "kovrent: Error - 1 output file could not be written\n",
         {"kovrent: c970611a.007: No such file or directory\n", "kovrent: f970611a.008: Is a directory\n",
          "kovrent: c970611a.009: No such file or directory\n",
          "kovrent: 2 files converted, 3 failed (c970611a.007, c970611a.008, c970611a.009), in "}},
        // -f of a converted file turns it again; -i acts on camera files only.
        {{"f970611a.009", "-f", "-i", "-a"}, 0, "Reading f970611a.009...writing f970611a.009.fits\n",
         {"kovrent: warning - -i ignored with -f: it interchanges the columns of camera files as they are read\n",
          "kovrent: warning - f970611a.009 was oriented when it was converted; -f turns it again (-n leaves it)\n"}},
        // Long options first, with "=value", and the nearest by its beginning.
        {{"--modern", "c970611a.005", "--jobs=2"}, 0, "Reading c970611a.005...writing f970611a.005\n", {}},
        {{"c970611a.005", "--mod"}, 1, "", {"kovrent: unknown option --mod; did you mean --modern?\n"}},
        // Quiet: no line per file; the errors and the summary stay.
        {{"c970611a.", "-r", "5", "7", "-q"}, 1, "kovrent: Error - file not found: c970611a.007\n" + notFound,
         {"kovrent: c970611a.007: No such file or directory\n", "kovrent: 2 files converted, 1 failed, in "}},
        // A packed file among others: both ways on, and with --keep-going the command in the summary.
        {{"c970611a.005", "c970611a.010", "c970611a.006", "-d", "."}, 1, "Reading c970611a.005...writing ./f970611a.005\n" + packed,
         {"kovrent: c970611a.010 is a packed file: unpack it with kovrent c970611a.010 -p -d . (add --cube for one "
          "data cube), or pass it with --keep-going\n"}},
        {{"c970611a.010", "c970611a.006", "--keep-going"}, 1, packed + "Reading c970611a.006...writing f970611a.006\n",
         {"kovrent: 1 file converted, 1 failed (c970611a.010), in ",
          "kovrent: 1 packed file passed over: unpack it with kovrent c970611a.010 -p (add --cube for one data cube "
          "each)\n"}},
        {{"nothing/c970611a.9*"}, 1,
         "Reading nothing/c970611a.9*...kovrent: Error - file not found: nothing/c970611a.9*\n" + notFound,
         {"kovrent: nothing/c970611a.9*: a pattern that matched no file"}, "No such file"},
        {{"c970611a.005", "--log", "night.csv", "-d", "out"}, 0, "",
         {"kovrent: warning - -d out ignored with --log, which writes the log and converts nothing\n"}},
        // No line names a cube that is not written.
        {{"c970611a.005", "c970611a.006", "c970611a.010", "--cube"}, 1,
         "Reading c970611a.005...plane 1 of k970611a.005\nReading c970611a.006...plane 2 of k970611a.005\n" + packed,
         {"kovrent: data cube k970611a.005 not written"}},
        {{"c970611a.010", "-p", "--cube"}, 0,
         "Reading c970611a.010...writing 2 files...\nNow writing data cube k970611a.010 (2 images)\n",
         {"kovrent: the 2 images of c970611a.010 go into one data cube, k970611a.010, not into files of their own\n"}},
        {{"c970611a.", "--keep-going", "-r", "11", "25"}, 1, missing(11, 25),
         {"kovrent: 0 files converted, 15 failed (c970611a.011, c970611a.012, c970611a.013, c970611a.014, "
          "c970611a.015, c970611a.016, c970611a.017, c970611a.018, c970611a.019, c970611a.020 and 5 more), in "}},
    };
    const FrameGeometry g = geometryOf(4, 3);
    for (const auto& c : cases) {
        TempDir dir;
        fs::create_directory(dir / "f970611a.008");
        for (const char* name : {"c970611a.005", "c970611a.006", "c970611a.008"}) {
            CameraWriter camera;
            camera.corners(g).totalCoadds(1).obsmode(1).endMarker().frames(g, 1, [](int, int x, int y) { return x + y; });
            camera.save(dir / name);
        }
        CameraWriter packed;
        packed.corners(g).totalCoadds(1).obsmode(1).packed(2, 1).endMarker();
        packed.packedData(g, 1, 2, [](int, int, int x, int y) { return x - y; }).trailer({}).save(dir / "c970611a.010");
        std::vector<std::string> cube = primaryCards(16, 4, 3);
        cube[2] = valueCard("NAXIS", "3", "");
        cube.push_back(valueCard("NAXIS3", "2", ""));
        writeFitsFile(dir / "cube.fits", cube, 16, 4, 3, [](int, int) { return 0.0; });
        std::vector<std::string> oriented = primaryCards(-32, 4, 3);
        oriented.push_back(fitsCard("HISTORY   THE IMAGE HAS BEEN ORIENTED WITH NORTH UP AND EAST TO THE LEFT"));
        writeFitsFile(dir / "f970611a.009", oriented, -32, 4, 3, [](int, int) { return 2.0; });
        for (const auto& [map, naxis1, naxis2] : {std::tuple{"small.fits", 2, 2}, {"large.fits", 8, 3}})
            writeFitsFile(dir / map, primaryCards(8, naxis1, naxis2), 8, naxis1, naxis2, [](int, int) { return 1.0; });
        writeBytes(dir / "n970611a.005", {'h', 'e', 'l', 'l', 'o'});
        writeBytes(dir / "s970611a.005", {'S', 'I', 'M', 'P', 'L', 'E', ' ', ' ', '=', ' ', ' ', 'X'});

        const RunResult run = runKovrent(c.args, dir.path());
        EXPECT_EQ(run.exitStatus, c.status) << joined(c.args);
        EXPECT_EQ(run.output, kVersion + c.output) << joined(c.args);
        if (c.errors.empty()) {
            EXPECT_EQ(run.errors, "") << joined(c.args);
        }
        if (!c.never.empty()) {
            EXPECT_EQ(run.errors.find(c.never), std::string::npos) << joined(c.args) << "\n" << run.errors;
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
