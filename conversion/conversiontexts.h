#pragma once

#include "fits/messages.h"

#include <cstdint>
#include <string>
#include <system_error>

// The texts of the conversion.
enum class ConversionText : uint8_t {
    outOfMemory,       // an allocation failed
    zeroWaitCorrected, // the chop wait time (real)
    chopWaitZero,
    noNaxisCard,
    noEndCard,
    noIrafnameCard,
    expansionTooLarge,   // the factor, the width and height
    zeroWaitNeedsFrames, // the input's name
    notAMap,             // a reason: the map's name
    notFitsInput,        // a reason: the input's name
    fitsNotCamera,       // a reason: the input's name
    notCamera,           // a reason: the input's name
    noFramesToKeep,      // a reason: the input's name, its observing mode
    orientedAgain,       // a warning: the input's name
    noSeriesLetter,      // a cause: the name no image number from 1000 on can follow (the name)
};

// A failure that one of them tells has it for its cause.
template <>
struct std::is_error_code_enum<ConversionText> : std::true_type {
};

const std::error_category& conversionTexts();
inline std::error_code make_error_code(ConversionText text)
{
    return {static_cast<int>(text), conversionTexts()};
}
TextId textId(ConversionText text);
// The text as it is printed, filled in with `values`: its sentence, framed by the program's name
// and "Error - " where it has them, and its line end.
std::string wording(ConversionText text, const TextValues& values);
// The sentence alone, a failure's reason for people.
std::string sentence(ConversionText text, const TextValues& values);
