#pragma once

#include "fits/messages.h"

#include <cstdint>
#include <string>
#include <system_error>

// The texts of the camera file reader.
enum class CameraText : uint8_t {
    notFound,           // the file's name
    endsInHeader,       // the file's name
    unknownFlag,        // the data flag, 88 to 254
    flagZero,           // data flag 0
    packedRefused,      // packed data not read to be unpacked
    notPacked,          // a file read to be unpacked that is not packed
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
    frameBeyondMode,    // the frame, the observing mode, its name and frames, and the file's name: a
                        // warning where the file goes on, else the failure's cause
    beamBeyondImages,   // a warning: the frame, the observing mode, its name and beams
};

// A failure that one of them tells has it for its cause.
template <>
struct std::is_error_code_enum<CameraText> : std::true_type {
};

const std::error_category& cameraTexts();
inline std::error_code make_error_code(CameraText text)
{
    return {static_cast<int>(text), cameraTexts()};
}
TextId textId(CameraText text);
// The text as it is printed, filled in with `values`: its sentence, framed by the program's name
// and "Error - " where it has them, and its line end.
std::string wording(CameraText text, const TextValues& values);
// The sentence alone, a failure's reason for people.
std::string sentence(CameraText text, const TextValues& values);
