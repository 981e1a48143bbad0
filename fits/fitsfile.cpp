#include "fits/fitsfile.h"

#include "fits/cardsyntax.h"
#include "fits/fitstexts.h"
#include "fits/messages.h"
#include "fits/scan.h"
#include "fits/swapbytes.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// File elements are big-endian whatever the host; the conversion is its own inverse.
constexpr bool hostOrderDiffers = std::endian::native == std::endian::little;

void fromBigEndian(unsigned char* elements, int bytesPerElement, std::size_t count)
{
    if constexpr (hostOrderDiffers) {
        if (bytesPerElement == 2)
            swapBytes2(elements, count);
        else if (bytesPerElement == 4)
            swapBytes4(elements, count);
        else if (bytesPerElement == 8)
            swapBytes8(elements, count);
    }
}

template <int bytesPerPixel>
float loadElement(const unsigned char* element)
{
    if constexpr (bytesPerPixel == 1) {
        return element[0];
    } else if constexpr (bytesPerPixel == 2) {
        int16_t word;
        std::memcpy(&word, element, 2);
        return word;
    } else if constexpr (bytesPerPixel == 4) {
        int32_t word;
        std::memcpy(&word, element, 4);
        return static_cast<float>(word);
    } else if constexpr (bytesPerPixel == -8) {
        double word;
        std::memcpy(&word, element, 8);
        // Rounded to the nearest float; from half a unit above the largest float on, infinite
        // (the conversion itself is undefined out of range).
        constexpr float infinity = std::numeric_limits<float>::infinity();
        if (std::abs(word) >= 0x1.ffffffp+127)
            return word > 0 ? infinity : -infinity;
        return static_cast<float>(word);
    } else {
        float word;
        std::memcpy(&word, element, 4);
        return word;
    }
}

// Pixel k of the data stream is [k mod naxis1][k div naxis1]; a block ends early
// when the image does. Blocks are read one row segment at a time.
class PixelWalk {
public:
    explicit PixelWalk(const FitsImage& image) : naxis1_(image.naxis1), naxis2_(image.naxis2) {}

    template <int bytesPerPixel>
    void store(const unsigned char* data, Raster& raster)
    {
        walkBlock<bytesPerPixel>([&](int k, int x, int y) { raster[x][y] = loadElement<bytesPerPixel>(data + k); });
    }

private:
    // Calls visit(byte offset in the block, x, y) for the pixels of the next block.
    template <int bytesPerPixel, typename Visit>
    void walkBlock(Visit visit)
    {
        constexpr int size = bytesPerPixel < 0 ? -bytesPerPixel : bytesPerPixel;
        int k = 0;
        while (k < blockLength / size && y_ < naxis2_) {
            const int count = std::min(naxis1_ - x_, blockLength / size - k);
            for (int i = 0; i < count; ++i)
                visit((k + i) * size, x_ + i, y_);
            k += count;
            x_ += count;
            if (x_ == naxis1_) {
                x_ = 0;
                ++y_;
            }
        }
    }

    int naxis1_, naxis2_;
    int x_ = 0, y_ = 0;
};

// Runs `action` with the element type of the image as a compile-time value.
template <typename Action>
void withElementType(int bytesPerPixel, Action action)
{
    switch (bytesPerPixel) {
    case 1: action(std::integral_constant<int, 1>()); break;
    case 2: action(std::integral_constant<int, 2>()); break;
    case 4: action(std::integral_constant<int, 4>()); break;
    default: action(std::integral_constant<int, -4>()); break;
    }
}

bool lookupInteger(const HeaderBlock* chain, const char* keyword, int64_t& value)
{
    std::string text;
    return findCard(chain, keyword, text) > 0 && scanDecimal(text, value);
}

// A header that describes no image this reader takes: the reason for people, "name: why".
Result noImage(const std::string& name, const std::string& why)
{
    return Result::failed(FitsText::notFits, name + ": " + why);
}

// A refusal of the header of `name`, told: "rf: File not in FITS format" and the reason, when it
// has one, by its cause's name.
Result refused(Messages& messages, const std::string& name, Result refusal)
{
    messages.say(FitsText::notFits);
    if (!refusal.reason().empty()) {
        TextValues values;
        values.name = name;
        messages.reason(static_cast<FitsText>(refusal.cause().value()), values, refusal.reason());
    }
    return refusal;
}

// A card for people: "OBJECT (card 6)", or "card 9" of a blank keyword.
std::string cardName(const char* card, int number)
{
    const std::string_view key = cardKey(card);
    const std::string place = "card " + std::to_string(number);
    return key == " " ? place : std::string(key) + " (" + place + ")";
}

// A size or BITPIX card's whole number, at least `least`: refused without one ("no NAXIS1 card",
// "NAXIS1 0").
Result readInteger(const Header& header, const std::string& name, const char* keyword, int64_t least, int64_t& value)
{
    std::string text;
    const int number = header.findCard(keyword, text);
    if (number < 0)
        return noImage(name, std::string("no ") + keyword + " card");
    const ValueField field = valueField(header.card(number));
    if (!field.defect.empty())
        return noImage(name, cardName(header.card(number), number) + ": " + field.defect);
    if (field.kind != ValueKind::integer || !scanDecimal(std::string(field.text), value))
        return noImage(name, std::string(keyword) + " is no whole number");
    if (value < least)
        return noImage(name, std::string(keyword) + " " + std::to_string(value));
    return Result();
}

// BSCALE or BZERO: refused when it is no number, or none that is finite. A card without a value
// counts as none and leaves `value` alone.
Result readScale(const Header& header, const std::string& name, const char* keyword, double& value)
{
    std::string text;
    const int number = header.findCard(keyword, text);
    if (number < 0)
        return Result();
    const ValueField field = valueField(header.card(number));
    if (field.kind == ValueKind::undefined)
        return Result();
    if (field.kind != ValueKind::integer && field.kind != ValueKind::real)
        return noImage(name, std::string(keyword) + " is no number");
    if (!scanReal(std::string(field.text), value) || !std::isfinite(value))
        return noImage(name, std::string(keyword) + " " + std::string(field.text) + " is not finite");
    return Result();
}

// Every card of the header, up to END, a FITS card: its keyword, and a value that reads. Outputs
// copy the cards of a FITS input as they stand.
Result checkCards(const Header& header, const std::string& name)
{
    int number = 0;
    for (const HeaderBlock* block = header.firstBlock(); block; block = block->next)
        for (int slot = 0; slot < cardsPerBlock; ++slot) {
            const char* card = block->cards + slot * cardLength;
            ++number;
            if (const std::optional<std::string> defect = keywordDefect(card))
                return noImage(name, "card " + std::to_string(number) + ": " + *defect);
            if (const ValueField field = valueField(card); !field.defect.empty())
                return noImage(name, cardName(card, number) + ": " + field.defect);
            if (cardKey(card) == "END")
                return Result();
        }
    return Result();
}

// The image the header's first block describes, where the format puts it, as this reader takes
// it: two axes, and BITPIX -64 only for maps.
Result readImageKeys(const Header& header, const std::string& name, FitsSource source, int64_t& naxis1,
                     int64_t& naxis2, int64_t& bitpix)
{
    int64_t naxis = 0;
    if (Result read = readInteger(header, name, "NAXIS", 0, naxis); !read)
        return read;
    if (naxis == 3 && source == FitsSource::input)
        return Result::failed(FitsText::dataCube, name + ": NAXIS 3: a data cube");
    if (naxis != 2)
        return noImage(name, "NAXIS " + std::to_string(naxis));
    for (auto [keyword, value] : {std::pair{"NAXIS1", &naxis1}, {"NAXIS2", &naxis2}})
        if (Result read = readInteger(header, name, keyword, 1, *value); !read)
            return read;
    if (Result read = readInteger(header, name, "BITPIX", -64, bitpix); !read)
        return read;
    // Below -32 there is only -64, 64-bit reals, which are read for maps alone.
    if (bitpix < -32 && bitpix != -64)
        return noImage(name, "BITPIX " + std::to_string(bitpix));
    if (bitpix == -64 && source == FitsSource::input)
        return noImage(name, "BITPIX -64 is read only for maps");
    return Result();
}

// The cards of a block just read, mended (mendCard): a card of the header, before its END, whose
// bytes outside printable ASCII became blanks is named in a warning.
void mendBlock(HeaderBlock& block, int firstNumber, const std::string& name, Messages& messages)
{
    bool ended = false;
    for (int slot = 0; slot < cardsPerBlock; ++slot) {
        char* card = block.cards + slot * cardLength;
        if (const int mended = mendCard(card); mended > 0 && !ended)
            messages.warn("%s: %s: %d byte%s outside printable ASCII written as blank%s", name.c_str(),
                            cardName(card, firstNumber + slot).c_str(), mended, mended == 1 ? "" : "s",
                            mended == 1 ? "" : "s");
        ended = ended || cardKey(card) == "END";
    }
}

// The next 2880 bytes of the file into a new block chained behind the header's others.
Result readHeaderBlock(std::FILE* file, const std::string& name, Header& header, const HeaderBlock*& block,
                       Messages& messages)
{
    HeaderBlock* added = header.appendBlock();
    block = added;
    if (std::fread(added->cards, 1, blockLength, file) != blockLength) {
        messages.say(FitsText::readError);
        messages.reason("%s", shortReadReason(file, name, "header").c_str());
        return Result::failed(FitsText::readError, messages.lastReason());
    }
    int before = 0;
    for (const HeaderBlock* other = header.firstBlock(); other != added; other = other->next)
        ++before;
    mendBlock(*added, before * cardsPerBlock + 1, name, messages);
    return Result();
}

// The header of the image extension that follows an empty primary HDU, in place of the
// primary header, read up to the extension's first block. Anything else is refused with its
// reason: no extension, a tile-compressed image (a binary table), another kind of extension.
Result readImageExtension(std::FILE* file, const std::string& name, Header& header, const HeaderBlock*& last,
                          Messages& messages)
{
    std::string value;
    while (findCard(last, "END", value) < 0)
        if (Result result = readHeaderBlock(file, name, header, last, messages); !result)
            return result;
    if (Result checked = checkCards(header, name); !checked)
        return refused(messages, name, checked);
    const int next = std::fgetc(file);
    if (next == EOF)
        return refused(messages, name, noImage(name, "NAXIS 0, and no image extension follows"));
    std::ungetc(next, file);
    header.freeHeader();
    if (Result result = readHeaderBlock(file, name, header, last, messages); !result)
        return result;
    std::string kind;
    if (header.findCard("XTENSION", kind) < 0)
        return refused(messages, name, noImage(name, "NAXIS 0, and no extension follows"));
    kind.erase(kind.find_last_not_of(' ') + 1);
    if (kind == "BINTABLE" && header.findCard("ZIMAGE", value) > 0 && value == "T")
        return refused(messages, name, noImage(name, "tile-compressed (a binary-table extension): uncompress it first"));
    if (kind != "IMAGE")
        return refused(messages, name, noImage(name, "NAXIS 0, and the extension is XTENSION '" + kind + "', no image"));
    return Result();
}

} // namespace

std::string shortReadReason(std::FILE* file, const std::string& name, const char* where)
{
    const int error = errno;
    if (std::ferror(file))
        return name + ": " + std::strerror(error);
    return name + " ends before the end of its " + where;
}

File openFile(const std::string& name, const char* mode)
{
    return File(std::fopen(name.c_str(), mode));
}

std::size_t fileNameStart(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

Result OutputFolder::open(const std::string& path, UnfinishedFiles* unfinished)
{
    close();
    path_ = path;
    unfinished_ = unfinished;
    descriptor_ = ::open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    error_ = descriptor_ < 0 ? errno : 0;
    return descriptor_ >= 0 ? Result() : Result::failed(systemCause(error_));
}

void OutputFolder::close()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
    error_ = 0;
}

std::string folderOf(const std::string& name)
{
    return name.substr(0, fileNameStart(name));
}

bool replacesFile(const std::string& output, const std::string& source, const OutputFolder* folder)
{
    struct stat entry {
    }, file{};
    const int standing = folder
        ? fstatat(folder->descriptor(), output.c_str() + fileNameStart(output), &entry, AT_SYMLINK_NOFOLLOW)
        : lstat(output.c_str(), &entry);
    return standing == 0 && stat(source.c_str(), &file) == 0 && entry.st_dev == file.st_dev
        && entry.st_ino == file.st_ino;
}

int64_t dataBlockCount(int bytesPerPixel, int32_t pixelCount)
{
    // x 1/2880 as the format's writers compute it, then the ceiling.
    return static_cast<int64_t>(
        std::ceil(std::abs(bytesPerPixel) * static_cast<double>(pixelCount) * 0.00034722222222222224));
}

namespace {

// The header of a FITS file and the image's sizes, BITPIX, BSCALE and BZERO, the file left at
// its data.
Result readHeaderPart(const std::string& name, File& file, FitsImage& image, Messages& messages, FitsSource source)
{
    file = openFile(name, "rb");
    if (!file) {
        const int error = errno;
        messages.say(FitsText::notFound, name);
        messages.fileError(name, error);
        return Result::failed(systemCause(error), messages.lastReason());
    }

    Header& header = image.header;
    header.freeHeader();
    const HeaderBlock* last = nullptr;
    if (Result result = readHeaderBlock(file.get(), name, header, last, messages); !result)
        return result;

    std::string value;
    int64_t naxis = 0, naxis1 = 0, naxis2 = 0, bitpix = 0;
    const int simple = header.findCard("SIMPLE", value);
    if (simple < 0)
        return messages.failed(FitsText::notFits);
    if (valueField(header.card(simple)).kind != ValueKind::logical)
        return refused(messages, name, noImage(name, "SIMPLE is neither T nor F"));
    if (source == FitsSource::map && lookupInteger(header.firstBlock(), "NAXIS", naxis) && naxis == 0)
        if (Result result = readImageExtension(file.get(), name, header, last, messages); !result)
            return result;
    if (Result read = readImageKeys(header, name, source, naxis1, naxis2, bitpix); !read)
        return refused(messages, name, read);

    // The whole header first, so that BSCALE and BZERO are found in any block. Only
    // the newest block can hold the first END card.
    while (findCard(last, "END", value) < 0)
        if (Result result = readHeaderBlock(file.get(), name, header, last, messages); !result)
            return result;

    if (Result checked = checkCards(header, name); !checked)
        return refused(messages, name, checked);
    image.bzero = 0.0;
    image.bscale = 1.0;
    for (auto [keyword, number] : {std::pair{"BZERO", &image.bzero}, {"BSCALE", &image.bscale}})
        if (Result read = readScale(header, name, keyword, *number); !read)
            return refused(messages, name, read);
    if (image.bscale == 0.0)
        return refused(messages, name, noImage(name, "BSCALE 0"));

    if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != -32 && bitpix != -64) {
        messages.say(FitsText::bitpix, {bitpix});
        messages.reason("%s: BITPIX %lld is not read; 8, 16, 32 and -32 are, and -64 for maps", name.c_str(),
                        static_cast<long long>(bitpix));
        return Result::failed(FitsText::bitpix, messages.lastReason());
    }
    if (naxis1 > rasterSize || naxis2 > rasterSize) {
        messages.say(FitsText::tooLarge, {naxis1, naxis2});
        return Result::failed(FitsText::tooLarge, name + ": the image is larger than " + std::to_string(rasterSize)
                                                      + " x " + std::to_string(rasterSize));
    }

    image.naxis = 2;
    image.naxis1 = static_cast<int16_t>(naxis1);
    image.naxis2 = static_cast<int16_t>(naxis2);
    image.bitpix = static_cast<int16_t>(bitpix);
    return Result();
}

} // namespace

Result readFITSHeader(const std::string& name, FitsImage& image, Messages& messages)
{
    File file;
    return readHeaderPart(name, file, image, messages, FitsSource::input);
}

Result readFITS(const std::string& name, FitsImage& image, Raster& raster, Messages& messages, FitsSource source)
{
    File file;
    if (Result header = readHeaderPart(name, file, image, messages, source); !header)
        return header;
    const int bytesPerPixel = image.bytesPerPixel();
    const int64_t blocks = dataBlockCount(bytesPerPixel, image.pixelCount());
    unsigned char data[blockLength];
    PixelWalk walk(image);
    int64_t dataBytes = 0; // as many as arrived
    bool complete = true;
    for (int64_t b = 0; b < blocks; ++b) {
        const std::size_t got = std::fread(data, 1, blockLength, file.get());
        // A signal that cut a FIFO's wait short: a further read would wait again.
        const bool interrupted = got != blockLength && std::ferror(file.get()) && errno == EINTR;
        dataBytes += static_cast<int64_t>(got);
        if (got != blockLength) {
            messages.say(FitsText::shortData);
            complete = false;
            std::memset(data + got, 0, blockLength - got);
        }
        fromBigEndian(data, std::abs(bytesPerPixel), blockLength / std::abs(bytesPerPixel));
        if (bytesPerPixel == -8)
            walk.store<-8>(data, raster);
        else
            withElementType(bytesPerPixel, [&](auto type) { walk.store<type()>(data, raster); });
        if (interrupted)
            break;
    }
    if (complete)
        return Result();
    // A last block cut short after the last pixel loses nothing; a missing pixel refuses the file.
    const int64_t missing
        = image.pixelCount() - std::min<int64_t>(image.pixelCount(), dataBytes / std::abs(bytesPerPixel));
    const std::string reason = shortReadReason(file.get(), name, "data");
    if (missing == 0) {
        messages.reason("%s", reason.c_str());
        return Result();
    }
    messages.reason("%s: %lld of %d pixels missing", reason.c_str(), static_cast<long long>(missing),
                    image.pixelCount());
    return Result::failed(FitsText::shortData, messages.lastReason());
}
