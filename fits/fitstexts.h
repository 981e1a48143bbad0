#pragma once

#include "fits/messages.h"

#include <cstdint>
#include <string>
#include <system_error>

// The texts of the FITS reader ("rf:") and writer ("wf:").
enum class FitsText : uint8_t {
    notFound,       // the file's name
    readError,      // a header block cannot be read whole
    notFits,        // the header describes no image that can be read
    bitpix,         // the BITPIX
    tooLarge,       // the width and height
    shortData,      // a data block that ends early
    noHeaderBlock,  // a write of an image without a header
    writeOpenError, // the file cannot be created
    writeError,     // the file cannot be written, or the image cannot be encoded
    dataCube,       // a reason: a FITS input of three axes, its name
    systemError,    // a reason: the file's name and the system's error number
};

// A failure that one of them tells has it for its cause.
template <>
struct std::is_error_code_enum<FitsText> : std::true_type {
};

const std::error_category& fitsTexts();
inline std::error_code make_error_code(FitsText text)
{
    return {static_cast<int>(text), fitsTexts()};
}
TextId textId(FitsText text);
// The text as it is printed, filled in with `values`: its sentence, framed by the program's name
// and "Error - " where it has them, and its line end.
std::string wording(FitsText text, const TextValues& values);
// The sentence alone, a failure's reason for people.
std::string sentence(FitsText text, const TextValues& values);
