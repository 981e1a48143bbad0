#include "conversion/conversiontexts.h"

#include "fits/fitsimage.h"

namespace {

class Category : public std::error_category {
public:
    const char* name() const noexcept override { return "kovrent conversion"; }
    std::string message(int code) const override { return sentence(static_cast<ConversionText>(code), TextValues()); }
};

} // namespace

const std::error_category& conversionTexts()
{
    static const Category category;
    return category;
}

TextId textId(ConversionText text)
{
    const bool warning = text == ConversionText::zeroWaitCorrected || text == ConversionText::chopWaitZero;
    return {&conversionTexts(), static_cast<uint8_t>(text), warning};
}

std::string wording(ConversionText text, const TextValues& values)
{
    const char* frame = "";
    const char* end = "";
    switch (text) {
    case ConversionText::outOfMemory:
    case ConversionText::zeroWaitCorrected:
    case ConversionText::chopWaitZero:
        frame = "";
        end = "\n";
        break;
    case ConversionText::noNaxisCard:
    case ConversionText::noEndCard:
    case ConversionText::noIrafnameCard:
        frame = "kovrent: ";
        end = "\n";
        break;
    case ConversionText::expansionTooLarge:
    case ConversionText::zeroWaitNeedsFrames:
        frame = "kovrent: Error - ";
        end = "\n";
        break;
    case ConversionText::notAMap:
    case ConversionText::notFitsInput:
    case ConversionText::fitsNotCamera:
    case ConversionText::notCamera:
    case ConversionText::noFramesToKeep:
    case ConversionText::orientedAgain:
    case ConversionText::noSeriesLetter:
        frame = "";
        end = "";
        break;
    }
    return frame + sentence(text, values) + end;
}

std::string sentence(ConversionText text, const TextValues& values)
{
    const char* name = values.name.c_str();
    const int64_t* n = values.numbers;
    auto number = [&](int k) { return static_cast<int>(n[k]); };
    switch (text) {
    case ConversionText::outOfMemory: return "Error allocating memory!";
    case ConversionText::zeroWaitCorrected:
        return formatted("Warning -- zero wait correction done for chop wait= %f", values.real);
    case ConversionText::chopWaitZero: return "Warning -- chop wait time = 0, use -z option";
    case ConversionText::noNaxisCard: return "error, NAXIS keyword not found";
    case ConversionText::noEndCard: return "error, END keyword not found";
    case ConversionText::noIrafnameCard: return "error, IRAFNAME keyword not found";
    case ConversionText::expansionTooLarge:
        return formatted("expansion by %d makes the %d x %d image larger than %d x %d", number(0), number(1), number(2),
                         rasterSize, rasterSize);
    case ConversionText::zeroWaitNeedsFrames:
        return formatted("-z needs the frames per coimage, but %s has no FRPERCOI card", name);
    case ConversionText::notAMap: return formatted("%s is not a FITS file", name);
    case ConversionText::notFitsInput: return formatted("%s is not a FITS file", name);
    case ConversionText::fitsNotCamera: return formatted("%s is a FITS file", name);
    case ConversionText::notCamera:
        return formatted("%s does not look like a camera file: its first byte is no header record", name);
    case ConversionText::noFramesToKeep:
        return formatted("%s: observing mode %d has no frames of its own to keep", name, number(0));
    case ConversionText::orientedAgain:
        return formatted("%s was oriented when it was converted; it is turned again", name);
    case ConversionText::noSeriesLetter:
        return formatted("the series letter of %s is 0xFF: image numbers from 1000 on need a next one", name);
    }
    return "";
}
