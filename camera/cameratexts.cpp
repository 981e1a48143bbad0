#include "camera/cameratexts.h"

namespace {

class Category : public std::error_category {
public:
    const char* name() const noexcept override { return "kovrent camera file reader"; }
    std::string message(int code) const override { return sentence(static_cast<CameraText>(code), TextValues()); }
};

} // namespace

const std::error_category& cameraTexts()
{
    static const Category category;
    return category;
}

TextId textId(CameraText text)
{
    return {&cameraTexts(), static_cast<uint8_t>(text)};
}

std::string wording(CameraText text, const TextValues& values)
{
    const char* frame = "";
    const char* end = "";
    switch (text) {
    case CameraText::notFound:
    case CameraText::endsInHeader:
    case CameraText::packedRefused:
    case CameraText::ultrafastTooLarge:
    case CameraText::ultrafastOneColumn:
    case CameraText::ultrafastMode:
    case CameraText::packedMode:
    case CameraText::packedEmpty:
        frame = "kovrent: Error - ";
        end = "\n";
        break;
    case CameraText::unknownFlag:
    case CameraText::noCorners:
    case CameraText::badSize:
    case CameraText::noCoadds:
    case CameraText::finXOutside:
    case CameraText::notEnoughData:
    case CameraText::packedShort:
        frame = "kovrent: ";
        end = "\n";
        break;
    case CameraText::flagZero:
        frame = "Error - ";
        end = "\n";
        break;
    case CameraText::tooBig:
    case CameraText::notEnoughDataLater:
    case CameraText::modeNotSupported:
    case CameraText::seekFailed:
    case CameraText::reopenFailed:
    case CameraText::packedCount:
    case CameraText::ultrafastCount:
        frame = "";
        end = "\n";
        break;
    case CameraText::frameBeyondMode:
    case CameraText::beamBeyondImages:
        frame = "";
        end = "";
        break;
    case CameraText::notPacked:
        frame = "\nkovrent: Error - ";
        end = "\n";
        break;
    }
    return frame + sentence(text, values) + end;
}

std::string sentence(CameraText text, const TextValues& values)
{
    const char* name = values.name.c_str();
    const int64_t* n = values.numbers;
    auto number = [&](int k) { return static_cast<int>(n[k]); };
    switch (text) {
    case CameraText::notFound: return formatted("file not found: %s", name);
    case CameraText::endsInHeader: return formatted("%s ends before the end of its header", name);
    case CameraText::unknownFlag: return formatted("unknown data flag encountered %i", number(0));
    case CameraText::flagZero: return "unknown data flag encountered";
    case CameraText::packedRefused: return "data packed, use -p option to unpack first";
    case CameraText::notPacked: return "data not in packed mode";
    case CameraText::tooBig: return "Error in file header - too big!";
    case CameraText::noCorners: return "Error in file header - no image corners (INITX/INITY and ENDX/ENDY records)";
    case CameraText::badSize: return formatted("Error in file header - image size %d x %d", number(0), number(1));
    case CameraText::noCoadds: return "Error in file header - no TOTCOADD record";
    case CameraText::finXOutside:
        return formatted("Error in file header - FINX %d outside the image columns %d to %d", number(0), number(1),
                         number(2));
    case CameraText::notEnoughData: return formatted("not enough data for *obsmode %i", number(0));
    case CameraText::notEnoughDataLater:
        return formatted("kovrent(readVESKA): not enough data for *obsmode %i", number(0));
    case CameraText::modeNotSupported: return formatted("Observing mode not supported! (%i)", number(0));
    case CameraText::ultrafastTooLarge:
        return formatted("ultrafast images of %d x %d pixels do not fit their 64 x 64 slot", number(0), number(1));
    case CameraText::ultrafastOneColumn:
        return formatted(
            "ultrafast images of %d x %d pixels cannot be unscrambled: the camera reads their columns in pairs",
            number(0), number(1));
    case CameraText::ultrafastMode:
        return formatted("ultrafast packed data in observing mode %i cannot be unpacked", number(0));
    case CameraText::packedMode: return formatted("packed data in observing mode %i cannot be unpacked", number(0));
    case CameraText::packedEmpty: return formatted("packed file without images (PACKED %d)", number(0));
    case CameraText::seekFailed: return "Fseek failed on packed file!";
    case CameraText::reopenFailed: return "Error reopening packed file";
    case CameraText::packedShort: return "error reading packed data";
    case CameraText::packedCount: return formatted("writing %i files...", number(0));
    case CameraText::ultrafastCount: return formatted("writing %i ultrafast packed files...", number(0));
    case CameraText::frameBeyondMode:
        return formatted("frame %d asked for, but observing mode %d (%s) has %d frame%s", number(0), number(1), name,
                         number(2), n[2] == 1 ? "" : "s");
    case CameraText::beamBeyondImages:
        return formatted(
            "frame %d asked for, but the packed images of observing mode %d (%s) have %d beam%s; beam 1 is written",
            number(0), number(1), name, number(2), n[2] == 1 ? "" : "s");
    }
    return "";
}
