#pragma once

#include "fits/messages.h"

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

struct Options;

// The program's own texts: the version line, what a run says of its files, and its refusals.
enum class ProgramText : uint8_t {
    versionLine,
    readingFile, // the input's name
    writingFile, // the output's name
    readingMask, // the map's name
    readingGain, // the map's name
    maskUnreadable,
    gainUnreadable,
    fitsInputUnreadable,
    cameraInputUnreadable,
    dataFileName,        // no name of an input
    outputDirectoryName, // no name of an output folder
    expansionValue,      // a bad -e value
    gainName,            // no name of a gain map
    maskName,            // no name of a mask
    frameNumberValue,    // a bad -o value
    limitsValue,         // a bad -r value
    jobsValue,           // a bad --jobs value
    logName,             // no name of a log
    writingUnpacked,     // the image's name
    writingUltrafast,    // the image's name
    writingCube,         // the cube's name, its planes
    noOutputDirectory,   // the folder's name
    outputOverwrites,    // the output's and the input's names
    cubeOverwrites,      // the cube's and the input's names
    unpackedOverwrites,  // the image's and the input's names
    noUnpackedName,      // the image number
    noCubeName,          // the input's name
    cubePlaneDiffers,    // the input's and the cube's names; the plane's and the cube's sizes and BITPIX
    outputsNotWritten,   // how many
    outputsCollide,      // the two inputs' names and the output's
    planeOf,             // the cube's name, the plane's number
    refusedOption,       // a cause: an option refused for its reason alone (the reason)
    imagesIntoCube,      // a line for people: the packed file's name, the cube's, the images
};

// A failure that one of them tells has it for its cause.
template <>
struct std::is_error_code_enum<ProgramText> : std::true_type {
};

const std::error_category& programTexts();
inline std::error_code make_error_code(ProgramText text)
{
    return {static_cast<int>(text), programTexts()};
}
TextId textId(ProgramText text);
// The text as it is printed, filled in with `values`: its sentence, framed by the program's name
// and "Error - " where it has them, and its line end.
std::string wording(ProgramText text, const TextValues& values);
// The sentence alone, a failure's reason for people.
std::string sentence(ProgramText text, const TextValues& values);

// A line of the libraries as the program words it: the libraries' reasons and warnings that the
// program's options answer name them ("-f reads images of two axes"); every other line as it is.
std::string programWording(const Messages::Line& line);

// A write that failed, with the program's hint after its reason where its options answer the
// cause: a folder that cannot be written at all is left for another with -d.
Result hinted(Result failed, Messages& messages);

// An input that failed, with the program's hint where its options answer the cause: a packed
// file is unpacked with -p, or among other files passed with --keep-going.
Result hintedRead(Result failed, const std::string& inputName, const Options& options, Messages& messages);

// The command that unpacks `names` with the options of `options` that unpacking uses.
std::string unpackCommand(const std::vector<std::string>& names, const Options& options);

// With -p --cube: the images of a packed file go into one cube, not into files of their own.
void sayImagesIntoCube(const std::string& inputName, const std::string& cubeName, int64_t images, Messages& messages);
