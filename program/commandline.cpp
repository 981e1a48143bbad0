#include "program/commandline.h"

#include "fits/scan.h"
#include "program/texts.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

// A refused command line: the option's text (none for an unknown option), and the reason or
// valid form for people.
struct Refusal {
    std::optional<ProgramText> text;
    std::string hint;
};

// Options that take values consume the next arguments whatever they look like; an
// option standing last has none and is refused with its own text.
class Arguments {
public:
    Arguments(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}

    // The value after `index`; a Refusal when there is none.
    std::string take(int& index, std::optional<ProgramText> text, const std::string& hint) const
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
std::string trimmedName(const std::string& argument, std::optional<ProgramText> text, const std::string& hint)
{
    const char* const space = " \t\n\v\f\r";
    const std::size_t first = argument.find_first_not_of(space);
    if (first == std::string::npos)
        throw Refusal{text, hint};
    return argument.substr(first, argument.find_last_not_of(space) - first + 1);
}

std::string takeName(const Arguments& arguments, int& index, std::optional<ProgramText> text, const std::string& hint)
{
    return trimmedName(arguments.take(index, text, hint), text, hint);
}

// A value that is not a number is refused; an empty one leaves the setting as it was.
void takeNumber(const Arguments& arguments, int& index, ProgramText text, int32_t& setting, const std::string& hint)
{
    if (readOptionNumber(arguments.take(index, text, hint), setting) == ScanResult::notNumber)
        throw Refusal{text, hint};
}

// The long options, each with whether it takes a value.
struct LongOption {
    std::string_view name;
    bool takesValue;
};
constexpr LongOption longOptions[]
    = {{"keep-going", false}, {"modern", false},      {"cube", false}, {"frames", false}, {"jobs", true},
       {"log", true},         {"no-progress", false}, {"help", false}, {"version", false}};

bool isLongOption(std::string_view name)
{
    for (const LongOption& option : longOptions)
        if (option.name == name)
            return true;
    return false;
}

// The edits that make one word the other.
std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known long option nearest to `word` (written without its dashes).
std::string_view nearestLongOption(std::string_view word)
{
    std::string_view nearest = longOptions[0].name;
    std::size_t best = editDistance(word, nearest);
    for (const LongOption& option : longOptions)
        if (const std::size_t distance = editDistance(word, option.name); distance < best) {
            best = distance;
            nearest = option.name;
        }
    return nearest;
}

void parseLongOption(const Arguments& arguments, int& i, const std::string& word, Options& options)
{
    const std::string_view name = std::string_view(word).substr(2);
    if (name == "keep-going") {
        options.keepGoing = true;
    } else if (name == "modern") {
        options.modern = true;
    } else if (name == "cube") {
        options.cube = true;
    } else if (name == "frames") {
        options.frames = true;
    } else if (name == "no-progress") {
        options.progress = false;
    } else if (name == "help") {
        options.showUsage = true;
    } else if (name == "version") {
        options.showVersion = true;
    } else if (name == "jobs") {
        const std::string hint
            = "--jobs takes the number of workers, 1 to " + std::to_string(mostJobs) + " (for example --jobs 4)";
        takeNumber(arguments, i, ProgramText::jobsValue, options.jobs, hint);
        if (options.jobs < 1 || options.jobs > mostJobs)
            throw Refusal{ProgramText::jobsValue, hint};
    } else if (name == "log") {
        options.logName = takeName(arguments, i, ProgramText::logName, "--log takes the name of the log to write");
    } else {
        throw Refusal{std::nullopt,
                      "unknown option " + word + "; did you mean --" + std::string(nearestLongOption(name)) + "?"};
    }
}

// Each of these options, with its values as given, when -p is on: unpacking does not use them,
// and a cube of the images converts them as -f would (but for -f itself).
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
        if (!scanWord(argv[i], word)) {
            ignored();
            continue;
        }
        // Every other word is a further input, as a shell's glob gives them.
        if (word[0] != '-') {
            options.inputNames.push_back(trimmedName(argv[i], ProgramText::dataFileName, ""));
            continue;
        }
        if (word.size() < 2) {
            ignored();
            continue;
        }
        if (word[1] == '-') {
            parseLongOption(arguments, i, word, options);
            continue;
        }
        // A long option with one dash would be taken for its first letter (-modern for -m).
        if (isLongOption(std::string_view(word).substr(1)))
            throw Refusal{std::nullopt, "unknown option " + word + "; did you mean -" + word + "?"};
        const int optionAt = i;
        switch (word[1]) {
        case 'a': options.appendFits = true; break;
        case 'd':
            options.outputDirectory = takeName(arguments, i, ProgramText::outputDirectoryName,
                                               "-d takes the name of a folder (for example -d out)");
            options.toDirectory = true;
            break;
        case 'e': {
            const char* hint = "-e takes a whole number such as 2; an expanded image is at most 512 pixels wide";
            takeNumber(arguments, i, ProgramText::expansionValue, options.expansion, hint);
            // A factor below 1 has no image size to give; refused like any bad factor.
            if (options.expansion < 1)
                throw Refusal{ProgramText::expansionValue, hint};
            break;
        }
        case 'f': options.fitsInput = true; break;
        case 'g':
            options.gainName = takeName(arguments, i, ProgramText::gainName, "-g takes the name of a FITS gain map");
            options.gain = true;
            break;
        case 'i': options.interchange = true; break;
        case 'm':
            options.maskName = takeName(arguments, i, ProgramText::maskName, "-m takes the name of a FITS mask");
            options.mask = true;
            break;
        case 'n': options.noFlips = true; break;
        case 'o':
            takeNumber(arguments, i, ProgramText::frameNumberValue, options.frameNumber,
                       "-o takes a frame number (for example -o 2)");
            break;
        case 'p': options.unpack = true; break;
        case 'r': {
            const char* form = "-r takes two numbers (for example -r 1 100)";
            // Both bounds must be numbers, the first at least 0: a first bound left unset would
            // turn the range into single files named by bare numbers.
            const bool firstIsNumber
                = readOptionNumber(arguments.take(i, ProgramText::limitsValue, form), options.firstNumber) == ScanResult::number;
            if (readOptionNumber(arguments.take(i, ProgramText::limitsValue, form), options.lastNumber) != ScanResult::number
                || !firstIsNumber || options.firstNumber < 0)
                throw Refusal{ProgramText::limitsValue, form};
            break;
        }
        case 'z': options.zeroWait = true; break;
        default: ignored(); break;
        }
        if (unusedByUnpacking.find(word[1]) != std::string_view::npos) {
            std::string given = argv[optionAt];
            given.insert(0, 1, word[1]); // the letter first, for the caller to tell them apart
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
        options.inputName = trimmedName(argv[1], ProgramText::dataFileName, "the first argument is the name of a camera file");
        options.inputNames = {options.inputName};
        if (options.inputName == "-h" || options.inputName == "--help") {
            options.showUsage = true;
            return Result();
        }
        if (options.inputName == "--version") {
            options.showVersion = true;
            return Result();
        }
        // An option that is no option, first as anywhere else.
        const std::string& first = options.inputName;
        if (first.size() > 2 && first.compare(0, 2, "--") == 0 && !isLongOption(std::string_view(first).substr(2)))
            throw Refusal{std::nullopt,
                          "unknown option " + first + "; did you mean --"
                              + std::string(nearestLongOption(std::string_view(first).substr(2))) + "?"};
        if (first.size() > 1 && first[0] == '-' && first[1] != '-' && isLongOption(std::string_view(first).substr(1)))
            throw Refusal{std::nullopt, "unknown option " + first + "; did you mean -" + first + "?"};
        const bool reportIgnored = options.inputName[0] != '-';
        std::vector<std::string> unpackIgnores;
        parseOptions(argc, argv, options, reportIgnored, unpackIgnores, messages);
        if (options.showUsage || options.showVersion)
            return Result();
        // A range's files are named after its one root.
        if (options.firstNumber >= 0 && options.inputNames.size() > 1)
            throw Refusal{ProgramText::limitsValue,
                          "-r converts the numbered files of one root name (for example "
                          "kovrent c970611a. -r 1 100); more names were given"};
        if (options.unpack && reportIgnored)
            for (const std::string& given : unpackIgnores)
                if (!options.cube || given[0] == 'f')
                    messages.reason("warning - %s ignored with %s", given.c_str() + 1,
                                    options.cube ? "-p --cube, which converts the images as -f would" : "-p");
        // Every frame as its own plane: no frame of its own, no cube across files, no packed images.
        if (options.frames && (options.cube || options.frameNumber != 0 || options.unpack || options.fitsInput))
            throw Refusal{std::nullopt,
                          std::string("--frames writes every frame of a camera file as the planes of "
                                      "its own cube; it cannot go with ")
                              + (options.cube            ? "--cube"
                                     : options.unpack    ? "-p"
                                     : options.fitsInput ? "-f"
                                                         : "-o")};
        if (options.fitsInput && options.interchange && !options.unpack && reportIgnored)
            messages.reason(
                "warning - -i ignored with -f: it interchanges the columns of camera files as they are read");
    } catch (const Refusal& refusal) {
        if (refusal.text)
            messages.say(*refusal.text);
        if (!refusal.hint.empty())
            messages.reason("%s", refusal.hint.c_str());
        return Result::fatal(refusal.text ? make_error_code(*refusal.text) : make_error_code(ProgramText::refusedOption),
                             refusal.hint);
    }
    if (options.cube && !options.unpack && options.firstNumber < 0 && options.inputNames.size() < 2) {
        messages.reason("warning - --cube ignored: it makes a cube of a packed file's images (-p), or of the files of "
                        "a range (-r) or of several names");
        options.cube = false;
    }
    // A cube is written whole or not at all: a file it cannot take stops the run.
    if (options.cube && options.keepGoing) {
        messages.reason("warning - --keep-going ignored with --cube, which is written whole or not at all");
        options.keepGoing = false;
    }
    if (options.unpack) {
        // A cube of the images applies the maps as -f would; plain unpacking does not.
        options.mask = options.mask && options.cube;
        options.gain = options.gain && options.cube;
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
        "       --frames = write every frame of the observation, not their combination,\n"
        "            as the planes of a cube (k970611a.005)\n",
        "       --jobs k = convert k files at once (default: one per processor)\n",
        "       --no-progress = no progress line on a terminal\n",
        "       --log file = write the observing log of the inputs' headers (CSV, or\n"
        "            ECSV for a name ending in .ecsv) and convert nothing\n",
        "  note:  all gain and mask operations are carried out before the image\n",
        "         is expanded, if those options are selected.\n\n",
        "  Example: to convert the first 100 files taken on June 11, 1997,\n",
        "           expanding them by 4 and using a gain matrix `gain.map':\n",
        "    kovrent c970611a. -r 1 100 -g gain.map -e 4\n",
    };
    for (const char* line : lines)
        std::fputs(line, stdout);
}
