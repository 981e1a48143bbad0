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

// A value that is not a number is refused; an empty one leaves the setting as it was.
void readNumber(const std::string& value, ProgramText text, int32_t& setting, const std::string& hint)
{
    if (readOptionNumber(value, setting) == ScanResult::notNumber)
        throw Refusal{text, hint};
}

// The long options, each with whether it takes a value.
struct LongOption {
    std::string_view name;
    bool takesValue;
};
constexpr LongOption longOptions[]
    = {{"keep-going", false}, {"modern", false},      {"cube", false},  {"frames", false}, {"jobs", true},
       {"log", true},         {"no-progress", false}, {"quiet", false}, {"help", false},   {"version", false}};

// The name of a long option as written, without its dashes and any "=value".
std::string_view longName(std::string_view word)
{
    return word.substr(0, word.find('='));
}

// The long option written `name` (without its dashes, with or without "=value"), or null.
const LongOption* findLongOption(std::string_view name)
{
    for (const LongOption& option : longOptions)
        if (option.name == longName(name))
            return &option;
    return nullptr;
}

bool isLongOption(std::string_view name)
{
    return findLongOption(name) != nullptr;
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

// The known long option nearest to `word` (written without its dashes): the first that begins
// with it (--mod for --modern), else the one fewest edits away.
std::string_view nearestLongOption(std::string_view word)
{
    word = longName(word);
    if (!word.empty())
        for (const LongOption& option : longOptions)
            if (option.name.starts_with(word))
                return option.name;
    std::string_view nearest = longOptions[0].name;
    std::size_t best = editDistance(word, nearest);
    for (const LongOption& option : longOptions)
        if (const std::size_t distance = editDistance(word, option.name); distance < best) {
            best = distance;
            nearest = option.name;
        }
    return nearest;
}

// An option as given, with its values: its letter or long name, and the words that gave it.
struct Given {
    std::string name;
    std::string text;
};

void parseLongOption(const Arguments& arguments, int& i, const std::string& word, Options& options)
{
    const std::string_view written = std::string_view(word).substr(2);
    const std::string_view name = longName(written);
    // --name=value gives its value in the same word.
    std::optional<std::string> inlineValue;
    if (name.size() < written.size())
        inlineValue = std::string(written.substr(name.size() + 1));
    const LongOption* option = findLongOption(name);
    if (!option)
        throw Refusal{std::nullopt,
                      "unknown option " + word + "; did you mean --" + std::string(nearestLongOption(name)) + "?"};
    if (inlineValue && !option->takesValue)
        throw Refusal{std::nullopt, "--" + std::string(name) + " takes no value: " + word};
    auto value = [&](std::optional<ProgramText> text, const std::string& hint) {
        return inlineValue ? *inlineValue : arguments.take(i, text, hint);
    };
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
    } else if (name == "quiet") {
        options.quiet = true;
    } else if (name == "help") {
        options.showUsage = true;
    } else if (name == "version") {
        options.showVersion = true;
    } else if (name == "jobs") {
        const std::string hint
            = "--jobs takes the number of workers, 1 to " + std::to_string(mostJobs) + " (for example --jobs 4)";
        readNumber(value(ProgramText::jobsValue, hint), ProgramText::jobsValue, options.jobs, hint);
        if (options.jobs < 1 || options.jobs > mostJobs)
            throw Refusal{ProgramText::jobsValue, hint};
    } else if (name == "log") {
        const char* hint = "--log takes the name of the log to write";
        options.logName = trimmedName(value(ProgramText::logName, hint), ProgramText::logName, hint);
    }
}

// Every argument from `from` on: the options, each recorded as given, and every other word a
// further input, as a shell's glob gives them.
void parseOptions(int argc, const char* const* argv, int from, Options& options, bool reportIgnored,
                  std::vector<Given>& given, Messages& messages)
{
    const Arguments arguments(argc, argv);
    for (int i = from; i < argc; ++i) {
        auto ignored = [&] {
            if (reportIgnored)
                messages.reason("warning - argument %s ignored", argv[i]);
        };
        std::string word;
        if (!scanWord(argv[i], word)) {
            ignored();
            continue;
        }
        if (word[0] != '-') {
            options.inputNames.push_back(trimmedName(argv[i], ProgramText::dataFileName, ""));
            continue;
        }
        if (word.size() < 2) {
            ignored();
            continue;
        }
        const int optionAt = i;
        std::string name(1, word[1]);
        if (word[1] == '-') {
            parseLongOption(arguments, i, word, options);
            name = longName(std::string_view(word).substr(2));
        } else {
            // A long option with one dash would be taken for its first letter (-modern for -m).
            if (isLongOption(std::string_view(word).substr(1)))
                throw Refusal{std::nullopt, "unknown option " + word + "; did you mean -" + word + "?"};
            switch (word[1]) {
            case 'a': options.appendFits = true; break;
            case 'd': {
                const char* hint = "-d takes the name of a folder (for example -d out)";
                options.outputDirectory = trimmedName(arguments.take(i, ProgramText::outputDirectoryName, hint),
                                                      ProgramText::outputDirectoryName, hint);
                options.toDirectory = true;
                break;
            }
            case 'e': {
                const char* hint = "-e takes a whole number such as 2; an expanded image is at most 512 pixels wide";
                readNumber(arguments.take(i, ProgramText::expansionValue, hint), ProgramText::expansionValue,
                           options.expansion, hint);
                // A factor below 1 has no image size to give; refused like any bad factor.
                if (options.expansion < 1)
                    throw Refusal{ProgramText::expansionValue, hint};
                break;
            }
            case 'f': options.fitsInput = true; break;
            case 'g': {
                const char* hint = "-g takes the name of a FITS gain map";
                options.gainName
                    = trimmedName(arguments.take(i, ProgramText::gainName, hint), ProgramText::gainName, hint);
                options.gain = true;
                break;
            }
            case 'i': options.interchange = true; break;
            case 'm': {
                const char* hint = "-m takes the name of a FITS mask";
                options.maskName
                    = trimmedName(arguments.take(i, ProgramText::maskName, hint), ProgramText::maskName, hint);
                options.mask = true;
                break;
            }
            case 'n': options.noFlips = true; break;
            case 'o': {
                const char* hint = "-o takes a frame number (for example -o 2)";
                readNumber(arguments.take(i, ProgramText::frameNumberValue, hint), ProgramText::frameNumberValue,
                           options.frameNumber, hint);
                break;
            }
            case 'p': options.unpack = true; break;
            case 'q': options.quiet = true; break;
            case 'r': {
                const char* form = "-r takes two numbers (for example -r 1 100)";
                // Both bounds must be numbers, the first at least 0: a first bound left unset would
                // turn the range into single files named by bare numbers.
                const bool firstIsNumber
                    = readOptionNumber(arguments.take(i, ProgramText::limitsValue, form), options.firstNumber)
                    == ScanResult::number;
                if (readOptionNumber(arguments.take(i, ProgramText::limitsValue, form), options.lastNumber)
                        != ScanResult::number
                    || !firstIsNumber || options.firstNumber < 0)
                    throw Refusal{ProgramText::limitsValue, form};
                break;
            }
            case 'z': options.zeroWait = true; break;
            default: ignored(); continue;
            }
        }
        std::string text = argv[optionAt];
        for (int k = optionAt + 1; k <= i; ++k)
            text.append(" ").append(argv[k]);
        given.push_back({name, text});
    }
}

// Each of these options, with its values as given, when -p is on: unpacking does not use them,
// and a cube of the images converts them as -f would (but for -f itself).
constexpr std::string_view unusedByUnpacking[] = {"e", "f", "g", "m", "n", "z"};
// The options that an observing log uses: the inputs, how they are read, and how the run shows.
constexpr std::string_view usedByLog[] = {"f", "r", "q", "jobs", "log", "no-progress", "quiet"};

// Every option given that the run will not use, named.
void nameUnused(const Options& options, const std::vector<Given>& given, Messages& messages)
{
    auto among = [](const std::string& name, const auto& names) {
        return std::find(std::begin(names), std::end(names), name) != std::end(names);
    };
    if (!options.logName.empty()) {
        for (const Given& option : given)
            if (!among(option.name, usedByLog))
                messages.reason("warning - %s ignored with --log, which writes the log and converts nothing",
                                option.text.c_str());
        return;
    }
    if (options.unpack)
        for (const Given& option : given)
            if (among(option.name, unusedByUnpacking) && (!options.cube || option.name == "f"))
                messages.reason("warning - %s ignored with %s", option.text.c_str(),
                                options.cube ? "-p --cube, which converts the images as -f would" : "-p");
    if (options.fitsInput && options.interchange && !options.unpack)
        messages.reason("warning - -i ignored with -f: it interchanges the columns of camera files as they are read");
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
        options.inputName
            = trimmedName(argv[1], ProgramText::dataFileName, "the first argument is the name of a camera file");
        options.inputNames = {options.inputName};
        if (options.inputName == "-h" || options.inputName == "--help") {
            options.showUsage = true;
            return Result();
        }
        if (options.inputName == "--version") {
            options.showVersion = true;
            return Result();
        }
        const std::string first = options.inputName;
        if (first.size() > 1 && first[0] == '-' && first[1] != '-' && isLongOption(std::string_view(first).substr(1)))
            throw Refusal{std::nullopt, "unknown option " + first + "; did you mean -" + first + "?"};
        // A long option may come first, as anywhere else: the first name after it is the input.
        // A line that begins with a short option reads it as a file name, as it always did.
        const bool longFirst = first.size() > 2 && first.compare(0, 2, "--") == 0;
        const bool reportIgnored = longFirst || first[0] != '-';
        std::vector<Given> given;
        if (longFirst)
            options.inputNames.clear();
        parseOptions(argc, argv, longFirst ? 1 : 2, options, reportIgnored, given, messages);
        if (options.showUsage || options.showVersion)
            return Result();
        if (options.inputNames.empty())
            throw Refusal{ProgramText::dataFileName, "no file named: kovrent filename [options]"};
        options.inputName = options.inputNames.front();
        // A range's files are named after its one root.
        if (options.firstNumber >= 0 && options.inputNames.size() > 1)
            throw Refusal{ProgramText::limitsValue,
                          "-r converts the numbered files of one root name (for example "
                          "kovrent c970611a. -r 1 100); more names were given"};
        // Every frame as its own plane: no frame of its own, no cube across files, no packed images.
        if (options.frames && (options.cube || options.frameNumber != 0 || options.unpack || options.fitsInput))
            throw Refusal{std::nullopt,
                          std::string("--frames writes every frame of a camera file as the planes of "
                                      "its own cube; it cannot go with ")
                              + (options.cube            ? "--cube"
                                     : options.unpack    ? "-p"
                                     : options.fitsInput ? "-f"
                                                         : "-o")};
        if (reportIgnored)
            nameUnused(options, given, messages);
    } catch (const Refusal& refusal) {
        if (refusal.text)
            messages.say(*refusal.text);
        if (!refusal.hint.empty())
            messages.reason("%s", refusal.hint.c_str());
        return Result::fatal(
            refusal.text ? make_error_code(*refusal.text) : make_error_code(ProgramText::refusedOption), refusal.hint);
    }
    if (!options.logName.empty())
        return Result();
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
        "       -q, --quiet = no line per file; warnings, errors and the summary stay\n",
        "       --log file = write the observing log of the inputs' headers (CSV, or\n"
        "            ECSV for a name ending in .ecsv) and convert nothing\n",
        "       Long options may stand anywhere, also first, and take their value as\n"
        "            --jobs 4 or --jobs=4.\n",
        "  note:  all gain and mask operations are carried out before the image\n",
        "         is expanded, if those options are selected.\n\n",
        "  Example: to convert the first 100 files taken on June 11, 1997,\n",
        "           expanding them by 4 and using a gain matrix `gain.map':\n",
        "    kovrent c970611a. -r 1 100 -g gain.map -e 4\n",
    };
    for (const char* line : lines)
        std::fputs(line, stdout);
}
