#pragma once

#include <cstdarg>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// The text vprintf makes of `format` and its arguments.
std::string vformatted(const char* format, std::va_list arguments);

// The program's own texts that the libraries have occasion to say, by name: their wording, which
// scripts know, is the program's (conversion/texts.cpp), and so is where they are printed.
enum class Text : uint8_t {
    // the FITS reader and writer
    fitsNotFound,       // the file's name
    fitsReadError,      // a header block cannot be read whole
    fitsNotFits,        // the header describes no image that can be read
    fitsBitpix,         // the BITPIX
    fitsTooLarge,       // the width and height
    fitsShortData,      // a data block that ends early
    noHeaderBlock,      // a write of an image without a header
    writeOpenError,     // the file cannot be created
    writeError,         // the file cannot be written
    // the camera file reader
    cameraNotFound,     // the file's name
    endsInHeader,       // the file's name
    unknownFlag,        // the data flag, 88 to 254
    flagZero,           // data flag 0
    packedRefused,      // packed data without -p
    notPacked,          // -p on a file that is not packed
    tooBig,             // an image larger than the raster
    noCorners,          // no INITX/INITY or ENDX/ENDY record
    badSize,            // the width and height
    noCoadds,           // no TOTCOADD record
    finXOutside,        // FINX, INITX and ENDX
    notEnoughData,      // the observing mode: a short column of frame 1 or of data block 2
    notEnoughDataLater, // the observing mode: a short column of a later frame's data block 1
    modeNotSupported,   // the observing mode
    ultrafastTooLarge,  // the width and height
    ultrafastOneColumn, // the width and height
    ultrafastMode,      // the observing mode
    packedMode,         // the observing mode
    packedEmpty,        // the PACKED count
    seekFailed,         // the packed data cannot be passed to their trailer
    reopenFailed,       // the packed file cannot be opened again
    packedShort,        // the packed data end early
    packedCount,        // the number of packed images
    ultrafastCount,     // the number of ultrafast images
    outOfMemory,        // an allocation failed
    // the program's run
    versionLine,          // the version
    readingFile,          // the input's name
    writingFile,          // the output's name
    readingMask,          // the map's name
    readingGain,          // the map's name
    maskUnreadable,       //
    gainUnreadable,       //
    fitsInputUnreadable,  //
    cameraInputUnreadable, //
    dataFileName,         // no name of an input
    outputDirectoryName,  // no name of an output folder
    expansionValue,       // a bad -e value
    gainName,             // no name of a gain map
    maskName,             // no name of a mask
    frameNumberValue,     // a bad -o value
    limitsValue,          // a bad -r value
    jobsValue,            // a bad --jobs value
    logName,              // no name of a log
    zeroWaitCorrected,    // the chop wait time (real)
    chopWaitZero,         //
    noNaxisCard,          //
    noEndCard,            //
    noIrafnameCard,       //
    writingUnpacked,      // the image's name
    writingUltrafast,     // the image's name
    writingCube,          // the cube's name, its planes
    noOutputDirectory,    // the folder's name
    outputOverwrites,     // the output's and the input's names
    cubeOverwrites,       // the cube's and the input's names
    unpackedOverwrites,   // the image's and the input's names
    noUnpackedName,       // the image number
    noCubeName,           // the input's name
    expansionTooLarge,    // the factor, the width and height
    zeroWaitNeedsFrames,  // the input's name
    cubePlaneDiffers,     // the input's and the cube's names; the plane's and the cube's sizes and BITPIX
    outputsNotWritten,    // how many
    outputsCollide,       // the two inputs' names and the output's
    planeOf,              // the cube's name, the plane's number
};

// What an operation of the libraries has to say, in the order it happened: the program's own
// texts by name with the values they are filled in with, and lines for people on standard error
// (without the program's name). The libraries never print; the program prints these when the
// operation returns.
class Messages {
public:
    struct Line {
        bool forPeople = false;  // a line for people, in `value`; else the program's `text`
        Text text = Text::fitsNotFound;
        std::string value;       // the name that the text names first, or the line for people
        std::string other;       // a second name
        std::string third;       // and a third
        int64_t numbers[6] = {}; // the numbers that the text names, in its order
        double real = 0.0;       // a real number it names
    };

    void say(Text text, std::initializer_list<int64_t> numbers = {});
    void say(Text text, std::string name, std::initializer_list<int64_t> numbers = {});
    void say(Text text, std::string name, std::string other, std::initializer_list<int64_t> numbers = {});
    void say(Text text, std::string name, std::string other, std::string third);
    void say(Text text, double real);
    // The lines of `other`, after these.
    void append(const Messages& other);
    // printf-style line for people.
    void reason(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "name: " and the system's text for the error number, for people.
    void fileError(const std::string& name, int error);

    const std::vector<Line>& lines() const { return lines_; }
    bool empty() const { return lines_.empty(); }
    void clear() { lines_.clear(); }
    // The last line for people, or "".
    std::string lastReason() const;
    // The first of the program's lines of `text`, or null when none was said.
    const Line* find(Text text) const;

private:
    std::vector<Line> lines_;
};
