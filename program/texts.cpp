#include "program/texts.h"

#include "camera/cameratexts.h"
#include "conversion/conversiontexts.h"
#include "conversion/version.h"
#include "fits/fitstexts.h"
#include "program/commandline.h"

#include <cerrno>

namespace {

class Category : public std::error_category {
public:
    const char* name() const noexcept override { return "kovrent"; }
    std::string message(int code) const override { return sentence(static_cast<ProgramText>(code), TextValues()); }
};

} // namespace

const std::error_category& programTexts()
{
    static const Category category;
    return category;
}

TextId textId(ProgramText text)
{
    return {&programTexts(), static_cast<uint8_t>(text)};
}

std::string wording(ProgramText text, const TextValues& values)
{
    const char* frame = "";
    const char* end = "";
    switch (text) {
    case ProgramText::versionLine:
    case ProgramText::writingFile:
    case ProgramText::readingMask:
    case ProgramText::readingGain:
    case ProgramText::expansionValue:
    case ProgramText::limitsValue:
    case ProgramText::writingUnpacked:
    case ProgramText::writingUltrafast:
    case ProgramText::writingCube:
    case ProgramText::planeOf:
        frame = "";
        end = "\n";
        break;
    case ProgramText::readingFile:
    case ProgramText::refusedOption:
    case ProgramText::imagesIntoCube:
        frame = "";
        end = "";
        break;
    case ProgramText::maskUnreadable:
    case ProgramText::gainUnreadable:
    case ProgramText::fitsInputUnreadable:
    case ProgramText::cameraInputUnreadable:
    case ProgramText::dataFileName:
    case ProgramText::outputDirectoryName:
    case ProgramText::gainName:
    case ProgramText::maskName:
    case ProgramText::frameNumberValue:
    case ProgramText::jobsValue:
    case ProgramText::logName:
        frame = "kovrent: ";
        end = "\n";
        break;
    case ProgramText::noOutputDirectory:
    case ProgramText::outputOverwrites:
    case ProgramText::cubeOverwrites:
    case ProgramText::unpackedOverwrites:
    case ProgramText::noUnpackedName:
    case ProgramText::noCubeName:
    case ProgramText::cubePlaneDiffers:
    case ProgramText::outputsNotWritten:
    case ProgramText::outputsCollide:
        frame = "kovrent: Error - ";
        end = "\n";
        break;
    }
    return frame + sentence(text, values) + end;
}

std::string sentence(ProgramText text, const TextValues& values)
{
    const char* name = values.name.c_str();
    const char* other = values.other.c_str();
    const int64_t* n = values.numbers;
    auto number = [&](int k) { return static_cast<int>(n[k]); };
    switch (text) {
    case ProgramText::versionLine: return formatted("kovrent Data conversion program  version %2.2f", programVersion);
    case ProgramText::readingFile: return formatted("Reading %s...", name);
    case ProgramText::writingFile: return formatted("writing %s", name);
    case ProgramText::readingMask: return formatted("Reading mask file %s", name);
    case ProgramText::readingGain: return formatted("Reading gain file %s", name);
    case ProgramText::maskUnreadable: return "Error reading in mask map!";
    case ProgramText::gainUnreadable: return "Error reading in gain map!";
    case ProgramText::fitsInputUnreadable: return "Error reading in FITS format data file.";
    case ProgramText::cameraInputUnreadable: return "Error reading in VESKA format data file.";
    case ProgramText::dataFileName: return "Error in data file name";
    case ProgramText::outputDirectoryName: return "Error in output directory name";
    case ProgramText::expansionValue: return "Error specifying expansion factor";
    case ProgramText::gainName: return "Error in gain name";
    case ProgramText::maskName: return "Error in mask file name";
    case ProgramText::frameNumberValue: return "Error in observation frame number";
    case ProgramText::limitsValue: return "Error specifying limits";
    case ProgramText::jobsValue: return "Error in number of jobs";
    case ProgramText::logName: return "Error in log file name";
    case ProgramText::writingUnpacked: return formatted("Now writing unpacked file %s", name);
    case ProgramText::writingUltrafast: return formatted("Now writing ultrafast unpacked file %s", name);
    case ProgramText::writingCube:
        return formatted("Now writing data cube %s (%lld images)", name, static_cast<long long>(n[0]));
    case ProgramText::noOutputDirectory: return formatted("no output directory %s", name);
    case ProgramText::outputOverwrites: return formatted("output file %s would overwrite input file %s", name, other);
    case ProgramText::cubeOverwrites: return formatted("data cube %s would overwrite input file %s", name, other);
    case ProgramText::unpackedOverwrites:
        return formatted("unpacked file %s would overwrite input file %s", name, other);
    case ProgramText::noUnpackedName:
        return formatted("no file name for unpacked image number %lld", static_cast<long long>(n[0]));
    case ProgramText::noCubeName: return formatted("no file name for the data cube of %s", name);
    case ProgramText::cubePlaneDiffers:
        return formatted("%s is %d x %d (BITPIX %d), but the planes of data cube %s are %d x %d (BITPIX %d)", name,
                         number(0), number(1), number(2), other, number(3), number(4), number(5));
    case ProgramText::outputsNotWritten:
        return formatted("%d output file%s could not be written", number(0), n[0] == 1 ? "" : "s");
    case ProgramText::outputsCollide:
        return formatted("%s and %s would both be written to %s", name, other, values.third.c_str());
    case ProgramText::planeOf: return formatted("plane %lld of %s", static_cast<long long>(n[0]), name);
    case ProgramText::refusedOption: return formatted("%s", name);
    case ProgramText::imagesIntoCube:
        return formatted("the %lld image%s of %s go%s into one data cube, %s, not into files of their own",
                         static_cast<long long>(n[0]), n[0] == 1 ? "" : "s", name, n[0] == 1 ? "es" : "",
                         values.other.c_str());
    }
    return "";
}

std::string programWording(const Messages::Line& line)
{
    const TextValues& values = line.values;
    const char* name = values.name.c_str();
    const int64_t* n = values.numbers;
    const TextId& id = line.id;
    if (id == textId(CameraText::frameBeyondMode)) {
        // A warning where the file went on past the mode's frames; the reason where it did not.
        const std::string frame = formatted(
            "frame %lld asked for with -o, but observing mode %lld (%s) has %lld frame%s", static_cast<long long>(n[0]),
            static_cast<long long>(n[1]), name, static_cast<long long>(n[2]), n[2] == 1 ? "" : "s");
        return line.kind == Messages::Kind::warning ? "warning - " + frame : values.other + ": " + frame;
    }
    if (id == textId(CameraText::beamBeyondImages))
        return formatted("warning - frame %lld asked for with -o, but the packed images of observing mode %lld (%s) "
                         "have %lld beam%s; beam 1 is written",
                         static_cast<long long>(n[0]), static_cast<long long>(n[1]), name, static_cast<long long>(n[2]),
                         n[2] == 1 ? "" : "s");
    if (id == textId(FitsText::dataCube))
        return line.text + "; -f reads images of two axes";
    if (id == textId(ConversionText::notFitsInput))
        return line.text + "; camera files are converted without -f";
    if (id == textId(ConversionText::fitsNotCamera))
        return line.text + ": FITS input needs -f";
    if (id == textId(ConversionText::noFramesToKeep))
        return line.text + "; take one with -o";
    // A shell hands on a pattern that matched no file as it stands.
    if (id == textId(FitsText::systemError) && n[0] == ENOENT && values.name.find_first_of("*?[") != std::string::npos)
        return formatted("%s: a pattern that matched no file (the shell passes such a pattern on as it stands)", name);
    if (id == textId(ConversionText::orientedAgain))
        return formatted("warning - %s was oriented when it was converted; -f turns it again (-n leaves it)", name);
    return line.text;
}

Result hinted(Result failed, Messages& messages)
{
    if (failed.cause() == std::errc::permission_denied || failed.cause() == std::errc::read_only_file_system)
        messages.reason("choose another folder with -d");
    return failed;
}

Result hintedRead(Result failed, const std::string& inputName, const Options& options, Messages& messages)
{
    if (failed.cause() != CameraText::packedRefused)
        return failed;
    const std::string command = unpackCommand({inputName}, options);
    const char* const cube = "(add --cube for one data cube)";
    if (options.keepGoing)
        messages.reason("%s is a packed file, passed over: unpack it with %s %s", inputName.c_str(), command.c_str(),
                        cube);
    else if ((options.firstNumber >= 0 || options.inputNames.size() > 1) && !options.cube)
        messages.reason("%s is a packed file: unpack it with %s %s, or pass it with --keep-going", inputName.c_str(),
                        command.c_str(), cube);
    else
        messages.reason("%s is a packed file: unpack it with %s %s", inputName.c_str(), command.c_str(), cube);
    return failed;
}

namespace {

// A word as a shell takes it: quoted when it holds anything but letters, digits and ._/+-.
std::string shellWord(const std::string& word)
{
    const char* const plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._/+-";
    if (!word.empty() && word.find_first_not_of(plain) == std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted.append(c == '\'' ? "'\\''" : std::string(1, c));
    return quoted + "'";
}

} // namespace

std::string unpackCommand(const std::vector<std::string>& names, const Options& options)
{
    std::string command = "kovrent";
    for (const std::string& name : names)
        command.append(" ").append(shellWord(name));
    command += " -p";
    if (options.toDirectory)
        command.append(" -d ").append(shellWord(options.outputDirectory));
    if (options.frameNumber != 0)
        command.append(" -o ").append(std::to_string(options.frameNumber));
    if (options.interchange)
        command += " -i";
    if (options.appendFits)
        command += " -a";
    if (options.modern)
        command += " --modern";
    return command;
}

void sayImagesIntoCube(const std::string& inputName, const std::string& cubeName, int64_t images, Messages& messages)
{
    TextValues values;
    values.name = inputName;
    values.other = cubeName;
    values.numbers[0] = images;
    messages.reason(ProgramText::imagesIntoCube, values, sentence(ProgramText::imagesIntoCube, values));
}
