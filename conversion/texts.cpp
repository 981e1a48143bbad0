#include "conversion/texts.h"

#include "fits/fitsimage.h"
#include "program/version.h"

#include <cstdio>

namespace {

template <typename... Values>
std::string formatted(const char* format, Values... values)
{
    const int length = std::snprintf(nullptr, 0, format, values...);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::snprintf(text.data(), text.size() + 1, format, values...);
    return text;
}

} // namespace

// The program's own texts, as scripts know them, each filled in from its line: the names in
// `value` and `other`, the numbers in their order, a real number in `real`.
std::string programText(const Messages::Line& line)
{
    const char* name = line.value.c_str();
    const char* other = line.other.c_str();
    const int64_t* n = line.numbers;
    auto number = [&](int k) { return static_cast<int>(n[k]); };
    switch (line.text) {
    case Text::fitsNotFound: return formatted("rf: Error - file not found ( %s )\n", name);
    case Text::fitsReadError: return "rf: File read error\n";
    case Text::fitsNotFits: return "rf: File not in FITS format\n";
    case Text::fitsBitpix: return formatted("rf:  %lld BITPIX format not supported.\n", static_cast<long long>(n[0]));
    case Text::fitsTooLarge:
        return formatted("rf: Error - image of %lld x %lld pixels is larger than %d x %d\n", static_cast<long long>(n[0]),
                         static_cast<long long>(n[1]), rasterSize, rasterSize);
    case Text::fitsShortData: return "rf: Error reading FITS data- EOF encountered before end of data\n";
    case Text::noHeaderBlock: return "rf: Error - no header block defined, file not written\n";
    case Text::writeOpenError: return "wf: Error opening file for writing\n";
    case Text::writeError: return "wf:  Error writing FITS file\n";
    case Text::cameraNotFound: return formatted("kovrent: Error - file not found: %s\n", name);
    case Text::endsInHeader: return formatted("kovrent: Error - %s ends before the end of its header\n", name);
    case Text::unknownFlag: return formatted("kovrent: unknown data flag encountered %i\n", number(0));
    case Text::flagZero: return "Error - unknown data flag encountered\n";
    case Text::packedRefused: return "kovrent: Error - data packed, use -p option to unpack first\n";
    case Text::notPacked: return "\nkovrent: Error - data not in packed mode\n";
    case Text::tooBig: return "Error in file header - too big!\n";
    case Text::noCorners:
        return "kovrent: Error in file header - no image corners (INITX/INITY and ENDX/ENDY records)\n";
    case Text::badSize: return formatted("kovrent: Error in file header - image size %d x %d\n", number(0), number(1));
    case Text::noCoadds: return "kovrent: Error in file header - no TOTCOADD record\n";
    case Text::finXOutside:
        return formatted("kovrent: Error in file header - FINX %d outside the image columns %d to %d\n", number(0),
                         number(1), number(2));
    case Text::notEnoughData: return formatted("kovrent: not enough data for *obsmode %i\n", number(0));
    case Text::notEnoughDataLater: return formatted("kovrent(readVESKA): not enough data for *obsmode %i\n", number(0));
    case Text::modeNotSupported: return formatted("Observing mode not supported! (%i)\n", number(0));
    case Text::ultrafastTooLarge:
        return formatted("kovrent: Error - ultrafast images of %d x %d pixels do not fit their 64 x 64 slot\n",
                         number(0), number(1));
    case Text::ultrafastOneColumn:
        return formatted("kovrent: Error - ultrafast images of %d x %d pixels cannot be unscrambled: the camera "
                         "reads their columns in pairs\n",
                         number(0), number(1));
    case Text::ultrafastMode:
        return formatted("kovrent: Error - ultrafast packed data in observing mode %i cannot be unpacked\n", number(0));
    case Text::packedMode:
        return formatted("kovrent: Error - packed data in observing mode %i cannot be unpacked\n", number(0));
    case Text::packedEmpty: return formatted("kovrent: Error - packed file without images (PACKED %d)\n", number(0));
    case Text::seekFailed: return "Fseek failed on packed file!\n";
    case Text::reopenFailed: return "Error reopening packed file\n";
    case Text::packedShort: return "kovrent: error reading packed data\n";
    case Text::packedCount: return formatted("writing %i files...\n", number(0));
    case Text::ultrafastCount: return formatted("writing %i ultrafast packed files...\n", number(0));
    case Text::outOfMemory: return "Error allocating memory!\n";
    case Text::versionLine: return formatted("kovrent Data conversion program  version %2.2f\n", programVersion);
    case Text::readingFile: return formatted("Reading %s...", name);
    case Text::writingFile: return formatted("writing %s\n", name);
    case Text::readingMask: return formatted("Reading mask file %s\n", name);
    case Text::readingGain: return formatted("Reading gain file %s\n", name);
    case Text::maskUnreadable: return "kovrent: Error reading in mask map!\n";
    case Text::gainUnreadable: return "kovrent: Error reading in gain map!\n";
    case Text::fitsInputUnreadable: return "kovrent: Error reading in FITS format data file.\n";
    case Text::cameraInputUnreadable: return "kovrent: Error reading in VESKA format data file.\n";
    case Text::dataFileName: return "kovrent: Error in data file name\n";
    case Text::outputDirectoryName: return "kovrent: Error in output directory name\n";
    case Text::expansionValue: return "Error specifying expansion factor\n";
    case Text::gainName: return "kovrent: Error in gain name\n";
    case Text::maskName: return "kovrent: Error in mask file name\n";
    case Text::frameNumberValue: return "kovrent: Error in observation frame number\n";
    case Text::limitsValue: return "Error specifying limits\n";
    case Text::jobsValue: return "kovrent: Error in number of jobs\n";
    case Text::logName: return "kovrent: Error in log file name\n";
    case Text::zeroWaitCorrected: return formatted("Warning -- zero wait correction done for chop wait= %f\n", line.real);
    case Text::chopWaitZero: return "Warning -- chop wait time = 0, use -z option\n";
    case Text::noNaxisCard: return "kovrent: error, NAXIS keyword not found\n";
    case Text::noEndCard: return "kovrent: error, END keyword not found\n";
    case Text::noIrafnameCard: return "kovrent: error, IRAFNAME keyword not found\n";
    case Text::writingUnpacked: return formatted("Now writing unpacked file %s\n", name);
    case Text::writingUltrafast: return formatted("Now writing ultrafast unpacked file %s\n", name);
    case Text::writingCube:
        return formatted("Now writing data cube %s (%lld images)\n", name, static_cast<long long>(n[0]));
    case Text::noOutputDirectory: return formatted("kovrent: Error - no output directory %s\n", name);
    case Text::outputOverwrites:
        return formatted("kovrent: Error - output file %s would overwrite input file %s\n", name, other);
    case Text::cubeOverwrites:
        return formatted("kovrent: Error - data cube %s would overwrite input file %s\n", name, other);
    case Text::unpackedOverwrites:
        return formatted("kovrent: Error - unpacked file %s would overwrite input file %s\n", name, other);
    case Text::noUnpackedName:
        return formatted("kovrent: Error - no file name for unpacked image number %lld\n", static_cast<long long>(n[0]));
    case Text::noCubeName: return formatted("kovrent: Error - no file name for the data cube of %s\n", name);
    case Text::expansionTooLarge:
        return formatted("kovrent: Error - expansion by %d makes the %d x %d image larger than %d x %d\n", number(0),
                         number(1), number(2), rasterSize, rasterSize);
    case Text::zeroWaitNeedsFrames:
        return formatted("kovrent: Error - -z needs the frames per coimage, but %s has no FRPERCOI card\n", name);
    case Text::cubePlaneDiffers:
        return formatted("kovrent: Error - %s is %d x %d (BITPIX %d), but the planes of data cube %s are %d x %d "
                         "(BITPIX %d)\n",
                         name, number(0), number(1), number(2), other, number(3), number(4), number(5));
    case Text::outputsCollide:
        return formatted("kovrent: Error - %s and %s would both be written to %s\n", name, other,
                         line.third.c_str());
    case Text::planeOf: return formatted("plane %lld of %s\n", static_cast<long long>(n[0]), name);
    case Text::outputsNotWritten:
        return formatted("kovrent: Error - %d output file%s could not be written\n", number(0), n[0] == 1 ? "" : "s");
    }
    return "";
}
