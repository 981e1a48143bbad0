#include "convert/commandline.h"

#include "fits/scan.h"

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

// A refused command line: the option's text, and the valid form for people when there is one.
struct Refusal {
    Text text;
    const char* hint = nullptr;
};

// Options that take values consume the next arguments whatever they look like; an
// option standing last has none and is refused with its own text.
class Arguments {
public:
    Arguments(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}

    // The value after `index`; a Refusal when there is none.
    std::string take(int& index, Text text, const char* hint = nullptr) const
    {
        if (index + 1 >= argc_)
            throw Refusal{text, hint};
        return argv_[++index];
    }

private:
    int argc_;
    const char* const* argv_;
};

// A file or folder name: the argument without leading and trailing white space, inner blanks
// kept ("my c970611a.005"). An empty or blank name is refused with `text` and `hint`.
std::string trimmedName(const std::string& argument, Text text, const char* hint)
{
    const char* const space = " \t\n\v\f\r";
    const std::size_t first = argument.find_first_not_of(space);
    if (first == std::string::npos)
        throw Refusal{text, hint};
    return argument.substr(first, argument.find_last_not_of(space) - first + 1);
}

std::string takeName(const Arguments& arguments, int& index, Text text, const char* hint)
{
    return trimmedName(arguments.take(index, text, hint), text, hint);
}

// A value that is not a number is refused; an empty one leaves the setting as it was.
void takeNumber(const Arguments& arguments, int& index, Text text, int32_t& setting, const char* hint = nullptr)
{
    if (scanInteger(arguments.take(index, text, hint), setting) == ScanResult::notNumber)
        throw Refusal{text, hint};
}

// Each of these options, with its values as given, when -p is on: unpacking does not use them.
constexpr std::string_view unusedByUnpacking = "efgmnz";

void parseOptions(int argc, const char* const* argv, Options& options, bool reportIgnored,
                  std::vector<std::string>& unpackIgnores, Messages& messages)
{
    const Arguments arguments(argc, argv);
    for (int i = 2; i < argc; ++i) {
        auto ignored = [&] {
            if (reportIgnored)
                messages.reason("warning - argument %s ignored", argv[i]);
        };
        std::string word;
        if (!scanWord(argv[i], word) || word[0] != '-' || word.size() < 2) {
            ignored();
            continue;
        }
        if (word == "--keep-going" || word == "--modern" || word == "--cube") {
            (word == "--modern" ? options.modern : word == "--cube" ? options.cube : options.keepGoing) = true;
            continue;
        }
        if (word == "--jobs") {
            const char* hint = "--jobs takes the number of workers, 1 or more (for example --jobs 4)";
            takeNumber(arguments, i, Text::jobsValue, options.jobs, hint);
            if (options.jobs < 1)
                throw Refusal{Text::jobsValue, hint};
            continue;
        }
        const int optionAt = i;
        switch (word[1]) {
        case 'a': options.appendFits = true; break;
        case 'd':
            options.outputDirectory
                = takeName(arguments, i, Text::outputDirectoryName, "-d takes the name of a folder (for example -d out)");
            options.toDirectory = true;
            break;
        case 'e': {
            const char* hint = "-e takes a whole number such as 2; an expanded image is at most 512 pixels wide";
            takeNumber(arguments, i, Text::expansionValue, options.expansion, hint);
            // A factor below 1 has no image size to give; refused like any bad factor.
            if (options.expansion < 1)
                throw Refusal{Text::expansionValue, hint};
            break;
        }
        case 'f': options.fitsInput = true; break;
        case 'g':
            options.gainName = takeName(arguments, i, Text::gainName, "-g takes the name of a FITS gain map");
            options.gain = true;
            break;
        case 'i': options.interchange = true; break;
        case 'm':
            options.maskName = takeName(arguments, i, Text::maskName, "-m takes the name of a FITS mask");
            options.mask = true;
            break;
        case 'n': options.noFlips = true; break;
        case 'o':
            takeNumber(arguments, i, Text::frameNumberValue, options.frameNumber,
                       "-o takes a frame number (for example -o 2)");
            break;
        case 'p': options.unpack = true; break;
        case 'r': {
            const char* form = "-r takes two numbers (for example -r 1 100)";
            // Both bounds must be numbers, the first at least 0: a first bound left unset would
            // turn the range into single files named by bare numbers.
            const bool firstIsNumber
                = scanInteger(arguments.take(i, Text::limitsValue, form), options.firstNumber) == ScanResult::number;
            if (scanInteger(arguments.take(i, Text::limitsValue, form), options.lastNumber) != ScanResult::number
                || !firstIsNumber || options.firstNumber < 0)
                throw Refusal{Text::limitsValue, form};
            break;
        }
        case 'z': options.zeroWait = true; break;
        default: ignored(); break;
        }
        if (unusedByUnpacking.find(word[1]) != std::string_view::npos) {
            std::string given = argv[optionAt];
            for (int k = optionAt + 1; k <= i; ++k)
                given.append(" ").append(argv[k]);
            unpackIgnores.push_back(given);
        }
    }
}

} // namespace

Result parseCommandLine(int argc, const char* const* argv, Options& options, Messages& messages)
{
    options = Options();
    if (argc < 2) {
        options.showUsage = true;
        return Result();
    }
    try {
        options.inputName = trimmedName(argv[1], Text::dataFileName, "the first argument is the name of a camera file");
        if (options.inputName == "-h" || options.inputName == "--help") {
            options.showUsage = true;
            return Result();
        }
        if (options.inputName == "--version") {
            options.showVersion = true;
            return Result();
        }
        const bool reportIgnored = options.inputName[0] != '-';
        std::vector<std::string> unpackIgnores;
        parseOptions(argc, argv, options, reportIgnored, unpackIgnores, messages);
        if (options.unpack && reportIgnored)
            for (const std::string& given : unpackIgnores)
                messages.reason("warning - %s ignored with -p", given.c_str());
        if (options.fitsInput && options.interchange && !options.unpack && reportIgnored)
            messages.reason(
                "warning - -i ignored with -f: it interchanges the columns of camera files as they are read");
    } catch (const Refusal& refusal) {
        messages.say(refusal.text);
        if (refusal.hint)
            messages.reason("%s", refusal.hint);
        return Result::fatal(refusal.hint ? refusal.hint : "");
    }
    if (options.cube && !options.unpack && options.firstNumber < 0) {
        messages.reason("warning - --cube ignored: it makes a cube of a packed file's images (-p) or of a range (-r)");
        options.cube = false;
    }
    // A cube is written whole or not at all: a file it cannot take stops the run.
    if (options.cube && options.keepGoing) {
        messages.reason("warning - --keep-going ignored with --cube, which is written whole or not at all");
        options.keepGoing = false;
    }
    if (options.unpack) {
        options.mask = false;
        options.gain = false;
        options.fitsInput = false;
    }
    return Result();
}

void optionsFirstHint(int argc, const char* const* argv, Messages& messages)
{
    for (int i = 2; i < argc; ++i) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(argv[i], error))
            continue;
        std::string command = std::string("kovrent ") + argv[i];
        for (int k = 1; k < argc; ++k)
            if (k != i)
                command.append(" ").append(argv[k]);
        messages.reason("the file name comes first: %s", command.c_str());
        return;
    }
    messages.reason("the file name comes first: kovrent filename [options]");
}

void printUsage()
{
    static const char* const lines[] = {
        "Usage: kovrent filename (-e n) (-f) (-g gainname) (-r n1 n2) \n",
        "               (-m maskname) (-o frame#) (-d outdir) (-i) (-a)\n\n",
        "where  filename = name (or root name) of file(s) to convert\n",
        "       -e = select expansion factor, where n is a factor of 2\n",
        "            If expanded, the map is also flipped so that N is up, E to the\n",
        "            left, and shifted for the dead column. \n",
        "       -f = input files are in FITS format already; use this after unpacking \n",
        "       -a = add a '.fits' at the end of the output name, so that iraf\n",
        "            can read in the file as FITS format\n",
        "       -g = enter gain map to use on data, gain map in FITS format\n",
        "       -m = enter FITS mask file name, where 1=good, 0=bad pixel\n",
        "       -o = enter frame number in observation, only that frame will be\n",
        "            extracted.  For chop, 1 or 2 is valid; for chop-nod, 1,2,3,4 \n",
        "       -p = unpack files; only the -r option can be used with this one.  Run\n",
        "            kovrent with this option first to unpack; then run with the -f\n",
        "            option to read in the unpacked files and expand, use mask, etc.\n",
        "       -r = range of files, n1=start number, n2=end number.  For\n",
        "            this option, enter a root filename, e.g., c920605a.\n",
        "       -n = no flips or rotations, for preparing the gain maps.\n",
        "       -i = interchange columns 4 and 5, this is necessary for all data taken \n",
        "            between June 1994 and Sept. 1994, including all Jupiter crash data\n",
        "       -z = correct data taken with zero chopper wait time \n",
        "       -d = enter directory for output (default: same as input directory)\n",
        "       --keep-going = go on past files that cannot be read (exit status 1)\n",
        "       --modern = also write ISO times, coordinate units, HISTORY for -z and -i,\n",
        "            and checksums, for today's FITS readers\n",
        "       --cube = write the images of a packed file (-p), or of a range (-r), as\n",
        "            the planes of one FITS data cube\n",
        "       --jobs k = convert k files at once (default: one per processor)\n",
        "  note:  all gain and mask operations are carried out before the image\n",
        "         is expanded, if those options are selected.\n\n",
        "  Example: to convert the first 100 files taken on June 11, 1997,\n",
        "           expanding them by 4 and using a gain matrix `gain.map':\n",
        "    kovrent c970611a. -r 1 100 -g gain.map -e 4\n",
    };
    for (const char* line : lines)
        std::fputs(line, stdout);
}
