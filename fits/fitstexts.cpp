#include "fits/fitstexts.h"

#include "fits/fitsimage.h"

#include <cstring>

namespace {

class Category : public std::error_category {
public:
    const char* name() const noexcept override { return "kovrent FITS library"; }
    std::string message(int code) const override { return sentence(static_cast<FitsText>(code), TextValues()); }
};

} // namespace

const std::error_category& fitsTexts()
{
    static const Category category;
    return category;
}

TextId textId(FitsText text)
{
    return {&fitsTexts(), static_cast<uint8_t>(text)};
}

std::string wording(FitsText text, const TextValues& values)
{
    const char* frame = "";
    const char* end = "";
    switch (text) {
    case FitsText::notFound:
    case FitsText::readError:
    case FitsText::notFits:
    case FitsText::bitpix:
    case FitsText::tooLarge:
    case FitsText::shortData:
    case FitsText::noHeaderBlock:
    case FitsText::writeOpenError:
    case FitsText::writeError:
        frame = "";
        end = "\n";
        break;
    case FitsText::dataCube:
    case FitsText::systemError:
        frame = "";
        end = "";
        break;
    }
    return frame + sentence(text, values) + end;
}

std::string sentence(FitsText text, const TextValues& values)
{
    const char* name = values.name.c_str();
    const int64_t* n = values.numbers;
    switch (text) {
    case FitsText::notFound: return formatted("rf: Error - file not found ( %s )", name);
    case FitsText::readError: return "rf: File read error";
    case FitsText::notFits: return "rf: File not in FITS format";
    case FitsText::bitpix: return formatted("rf:  %lld BITPIX format not supported.", static_cast<long long>(n[0]));
    case FitsText::tooLarge:
        return formatted("rf: Error - image of %lld x %lld pixels is larger than %d x %d", static_cast<long long>(n[0]),
                         static_cast<long long>(n[1]), rasterSize, rasterSize);
    case FitsText::shortData: return "rf: Error reading FITS data- EOF encountered before end of data";
    case FitsText::noHeaderBlock: return "rf: Error - no header block defined, file not written";
    case FitsText::writeOpenError: return "wf: Error opening file for writing";
    case FitsText::writeError: return "wf:  Error writing FITS file";
    case FitsText::dataCube: return formatted("%s: NAXIS 3: a data cube", name);
    case FitsText::systemError: return formatted("%s: %s", name, std::strerror(static_cast<int>(n[0])));
    }
    return "";
}
