#include "fits/fitsfile.h"

#include "fits/checksum.h"
#include "fits/messages.h"
#include "fits/realtext.h"
#include "fits/scan.h"
#include "fits/swapbytes.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <limits>
#include <type_traits>
#include <utility>

#include <fcntl.h>
#include <sys/random.h>
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

// The low 32 bits of the value truncated toward zero (0 for NaN and infinities),
// computed without the undefined conversion of an out-of-range float.
uint32_t lowBits(float value)
{
    const double whole = std::trunc(static_cast<double>(value));
    if (!std::isfinite(whole))
        return 0;
    double low = std::fmod(whole, 4294967296.0);
    if (low < 0)
        low += 4294967296.0;
    return static_cast<uint32_t>(low);
}

uint16_t bigEndian(uint16_t word)
{
    return hostOrderDiffers ? swapWord2(word) : word;
}

uint32_t bigEndian(uint32_t word)
{
    return hostOrderDiffers ? swapWord4(word) : word;
}

// Stores one pixel in the file's big-endian element type.
template <int bytesPerPixel>
void storeElement(unsigned char* element, float value)
{
    if constexpr (bytesPerPixel == 1) {
        element[0] = static_cast<unsigned char>(lowBits(value));
    } else if constexpr (bytesPerPixel == 2) {
        const auto word = bigEndian(static_cast<uint16_t>(lowBits(value)));
        std::memcpy(element, &word, 2);
    } else if constexpr (bytesPerPixel == 4) {
        const uint32_t word = bigEndian(lowBits(value));
        std::memcpy(element, &word, 4);
    } else {
        const uint32_t word = bigEndian(std::bit_cast<uint32_t>(value));
        std::memcpy(element, &word, 4);
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

// Rows y0 to y0 + rows - 1 of the image in file order; a whole band has a fixed count of
// rows, so that the loop over them unrolls without tests.
template <int bytesPerPixel, int fixedRows>
void convertRows(unsigned char* buffer, const Raster& raster, int naxis1, int y0, int rows)
{
    constexpr int size = bytesPerPixel < 0 ? -bytesPerPixel : bytesPerPixel;
    const int count = fixedRows > 0 ? fixedRows : rows;
    for (int x = 0; x < naxis1; ++x) {
        const float* column = raster[x] + y0;
        for (int r = 0; r < count; ++r)
            storeElement<bytesPerPixel>(buffer + (r * naxis1 + x) * size, column[r]);
    }
}

// Writes the data part, `dataBytes` long: the pixels in file order, then zeros. Rows
// are converted in bands of 16, so that each column of the raster is read in one run.
template <int bytesPerPixel>
bool writeData(std::FILE* file, const Raster& raster, int naxis1, int naxis2, int64_t dataBytes,
               OnesComplementSum* sum)
{
    constexpr int size = bytesPerPixel < 0 ? -bytesPerPixel : bytesPerPixel;
    constexpr int band = 16;
    unsigned char buffer[band * rasterSize * 4];
    int64_t written = 0;
    for (int y0 = 0; y0 < naxis2 && written < dataBytes; y0 += band) {
        const int rows = std::min(band, naxis2 - y0);
        if (rows == band)
            convertRows<bytesPerPixel, band>(buffer, raster, naxis1, y0, rows);
        else
            convertRows<bytesPerPixel, 0>(buffer, raster, naxis1, y0, rows);
        const auto chunk
            = static_cast<std::size_t>(std::min<int64_t>(int64_t{rows} * naxis1 * size, dataBytes - written));
        if (sum)
            sum->add(buffer, chunk);
        if (std::fwrite(buffer, 1, chunk, file) != chunk)
            return false;
        written += static_cast<int64_t>(chunk);
    }
    std::memset(buffer, 0, blockLength);
    while (written < dataBytes) {
        const auto chunk = static_cast<std::size_t>(std::min<int64_t>(blockLength, dataBytes - written));
        if (std::fwrite(buffer, 1, chunk, file) != chunk)
            return false;
        written += static_cast<int64_t>(chunk);
    }
    return true;
}

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

FitsReadResult notFits(Messages& messages)
{
    messages.output("rf: File not in FITS format\n");
    return FitsReadResult::notFits;
}

// As notFits, with the reason for people.
FitsReadResult notFits(Messages& messages, const std::string& name, const std::string& reason)
{
    messages.output("rf: File not in FITS format\n");
    messages.reason("%s: %s", name.c_str(), reason.c_str());
    return FitsReadResult::notFits;
}

// Why a size or BITPIX card cannot be used: "no NAXIS1 card", "NAXIS1 0"; empty when it can.
std::string integerRefusal(const HeaderBlock* first, const char* keyword, int64_t& value, int64_t least)
{
    std::string text;
    if (findCard(first, keyword, text) < 0)
        return std::string("no ") + keyword + " card";
    if (!scanDecimal(text, value))
        return std::string(keyword) + " is no whole number";
    if (value < least)
        return std::string(keyword) + " " + std::to_string(value);
    return "";
}

// Why the header's first block, where the format puts the image's description, describes no
// image this reader can take; empty when it does. BITPIX -64 is taken only for maps.
std::string imageKeysRefusal(const HeaderBlock* first, FitsSource source, int64_t& naxis1, int64_t& naxis2,
                             int64_t& bitpix)
{
    int64_t naxis = 0;
    std::string refusal = integerRefusal(first, "NAXIS", naxis, 0);
    if (refusal.empty() && naxis != 2)
        refusal = "NAXIS " + std::to_string(naxis)
                  + (naxis == 3 && source == FitsSource::input ? ": a data cube; -f reads images of two axes" : "");
    for (auto [keyword, value] : {std::pair{"NAXIS1", &naxis1}, {"NAXIS2", &naxis2}})
        if (refusal.empty())
            refusal = integerRefusal(first, keyword, *value, 1);
    if (refusal.empty())
        refusal = integerRefusal(first, "BITPIX", bitpix, -64);
    // Below -32 there is only -64, 64-bit reals, which are read for maps alone.
    if (refusal.empty() && bitpix < -32 && bitpix != -64)
        refusal = "BITPIX " + std::to_string(bitpix);
    if (refusal.empty() && bitpix == -64 && source == FitsSource::input)
        refusal = "BITPIX -64 is read only for maps";
    return refusal;
}

// The next 2880 bytes of the file into a new block chained behind the header's others.
FitsReadResult readHeaderBlock(std::FILE* file, const std::string& name, Header& header, const HeaderBlock*& block,
                               Messages& messages)
{
    HeaderBlock* added = header.appendBlock();
    if (!added) {
        messages.output("rf: Error allocating memory\n");
        return FitsReadResult::noMemory;
    }
    block = added;
    if (std::fread(added->cards, 1, blockLength, file) != blockLength) {
        messages.output("rf: File read error\n");
        messages.reason("%s", shortReadReason(file, name, "header").c_str());
        return FitsReadResult::shortHeader;
    }
    return FitsReadResult::ok;
}

// The header of the image extension that follows an empty primary HDU, in place of the
// primary header, read up to the extension's first block. Anything else is refused with its
// reason: no extension, a tile-compressed image (a binary table), another kind of extension.
FitsReadResult readImageExtension(std::FILE* file, const std::string& name, Header& header, const HeaderBlock*& last,
                                  Messages& messages)
{
    std::string value;
    while (findCard(last, "END", value) < 0)
        if (const FitsReadResult result = readHeaderBlock(file, name, header, last, messages);
            result != FitsReadResult::ok)
            return result;
    const int next = std::fgetc(file);
    if (next == EOF)
        return notFits(messages, name, "NAXIS 0, and no image extension follows");
    std::ungetc(next, file);
    header.freeHeader();
    if (const FitsReadResult result = readHeaderBlock(file, name, header, last, messages); result != FitsReadResult::ok)
        return result;
    std::string kind;
    if (header.findCard("XTENSION", kind) < 0)
        return notFits(messages, name, "NAXIS 0, and no extension follows");
    kind.erase(kind.find_last_not_of(' ') + 1);
    if (kind == "BINTABLE" && header.findCard("ZIMAGE", value) > 0 && value == "T")
        return notFits(messages, name, "tile-compressed (a binary-table extension): uncompress it first");
    if (kind != "IMAGE")
        return notFits(messages, name, "NAXIS 0, and the extension is XTENSION '" + kind + "', no image");
    return FitsReadResult::ok;
}

// Every signal whose default action ends the process, held for as long as an unfinished file
// exists, so that none can end it between the file's creation and its rename or removal. Not
// held: SIGKILL and SIGSTOP, which cannot be; the faults, which the process raises itself;
// SIGXFSZ, which the program ignores so that an oversized write fails and is reported; and the
// signals whose default is to go on.
sigset_t endingSignals()
{
    sigset_t signals;
    sigfillset(&signals);
    for (const int signal : {SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGXFSZ,
                             SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU})
        sigdelset(&signals, signal);
    return signals;
}

class SignalHold {
public:
    SignalHold()
    {
        static const sigset_t ending = endingSignals();
        held_ = ending;
        pthread_sigmask(SIG_BLOCK, &held_, &previous_);
        // A signal the caller already held stays the caller's to take.
        for (int signal = 1; signal < NSIG; ++signal)
            if (sigismember(&held_, signal) == 1 && sigismember(&previous_, signal) == 1)
                sigdelset(&held_, signal);
    }
    ~SignalHold() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // A signal that came while held and is to end the process, or 0. A signal the process
    // ignores (as one started in the background ignores SIGINT) is taken and dropped.
    int pendingEnd()
    {
        const timespec noWait{0, 0};
        for (;;) {
            const int signal = sigtimedwait(&held_, nullptr, &noWait);
            if (signal <= 0)
                return 0;
            struct sigaction action {};
            if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
                return signal;
        }
    }

private:
    sigset_t previous_;
    sigset_t held_;
};

// Creates a new, empty file with a hidden random name (.kovrent-XXXXXX) in the folder.
// Exclusive creation: no existing entry, link or not, is ever opened. The descriptor, or -1
// with errno set; `name` is the last name tried.
int createHidden(int folder, std::string& name)
{
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
            // Without the system's random bytes, the clock still makes clashes rare.
            auto bits = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
                ^ (static_cast<uint64_t>(getpid()) << 40) ^ static_cast<uint64_t>(attempt);
            for (unsigned char& byte : random) {
                byte = static_cast<unsigned char>(bits);
                bits = bits >> 8 | bits << 56;
            }
        }
        name = ".kovrent-";
        for (const unsigned char byte : random)
            name += letters[byte % (sizeof letters - 1)];
        const int descriptor = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (descriptor >= 0 || errno != EEXIST)
            return descriptor;
    }
    return -1;
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

bool OutputFolder::open(const std::string& path)
{
    close();
    path_ = path;
    descriptor_ = ::open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    error_ = descriptor_ < 0 ? errno : 0;
    return descriptor_ >= 0;
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

FitsReadResult readFITS(const std::string& name, FitsImage& image, Raster& raster, Messages& messages,
                        FitsSource source)
{
    File file = openFile(name, "rb");
    if (!file) {
        const int error = errno;
        messages.output("rf: Error - file not found ( %s )\n", name.c_str());
        messages.fileError(name, error);
        return FitsReadResult::notFound;
    }

    Header& header = image.header;
    header.freeHeader();
    const HeaderBlock* last = nullptr;
    if (const FitsReadResult result = readHeaderBlock(file.get(), name, header, last, messages);
        result != FitsReadResult::ok)
        return result;

    std::string value;
    int64_t naxis = 0, naxis1 = 0, naxis2 = 0, bitpix = 0;
    if (header.findCard("SIMPLE", value) < 0)
        return notFits(messages);
    if (source == FitsSource::map && lookupInteger(header.firstBlock(), "NAXIS", naxis) && naxis == 0)
        if (const FitsReadResult result = readImageExtension(file.get(), name, header, last, messages);
            result != FitsReadResult::ok)
            return result;
    if (const std::string refusal = imageKeysRefusal(header.firstBlock(), source, naxis1, naxis2, bitpix);
        !refusal.empty())
        return notFits(messages, name, refusal);

    // The whole header first, so that BSCALE and BZERO are found in any block. Only
    // the newest block can hold the first END card.
    while (findCard(last, "END", value) < 0)
        if (const FitsReadResult result = readHeaderBlock(file.get(), name, header, last, messages);
            result != FitsReadResult::ok)
            return result;

    image.bzero = 0.0;
    if (header.findCard("BZERO", value) > 0 && !scanReal(value, image.bzero))
        image.bzero = 0.0;
    // A BSCALE card without a value counts as none.
    image.bscale = 1.0;
    if (header.findCard("BSCALE", value) > 0 && !value.empty()) {
        if (!scanReal(value, image.bscale))
            image.bscale = 0.0;
        if (image.bscale == 0.0)
            return notFits(messages, name, "BSCALE 0");
    }

    if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != -32 && bitpix != -64) {
        messages.output("rf:  %lld BITPIX format not supported.\n", static_cast<long long>(bitpix));
        messages.reason("%s: BITPIX %lld is not read; 8, 16, 32 and -32 are, and -64 for maps", name.c_str(),
                        static_cast<long long>(bitpix));
        return FitsReadResult::bitpixNotSupported;
    }
    if (naxis1 > rasterSize || naxis2 > rasterSize) {
        messages.output("rf: Error - image of %lld x %lld pixels is larger than %d x %d\n",
                        static_cast<long long>(naxis1), static_cast<long long>(naxis2), rasterSize, rasterSize);
        return FitsReadResult::tooLarge;
    }

    image.naxis = 2;
    image.naxis1 = static_cast<int16_t>(naxis1);
    image.naxis2 = static_cast<int16_t>(naxis2);
    image.bitpix = static_cast<int16_t>(bitpix);

    const int bytesPerPixel = image.bytesPerPixel();
    const int64_t blocks = dataBlockCount(bytesPerPixel, image.pixelCount());
    unsigned char data[blockLength];
    PixelWalk walk(image);
    int64_t dataBytes = 0; // as many as arrived
    bool complete = true;
    for (int64_t b = 0; b < blocks; ++b) {
        const std::size_t got = std::fread(data, 1, blockLength, file.get());
        dataBytes += static_cast<int64_t>(got);
        if (got != blockLength) {
            messages.output("rf: Error reading FITS data- EOF encountered before end of data\n");
            complete = false;
            std::memset(data + got, 0, blockLength - got);
        }
        fromBigEndian(data, std::abs(bytesPerPixel), blockLength / std::abs(bytesPerPixel));
        if (bytesPerPixel == -8)
            walk.store<-8>(data, raster);
        else
            withElementType(bytesPerPixel, [&](auto type) { walk.store<type()>(data, raster); });
    }
    if (complete)
        return FitsReadResult::ok;
    // A last block cut short after the last pixel loses nothing; a missing pixel refuses the file.
    const int64_t missing
        = image.pixelCount() - std::min<int64_t>(image.pixelCount(), dataBytes / std::abs(bytesPerPixel));
    const std::string reason = shortReadReason(file.get(), name, "data");
    if (missing == 0) {
        messages.reason("%s", reason.c_str());
        return FitsReadResult::ok;
    }
    messages.reason("%s: %lld of %d pixels missing", reason.c_str(), static_cast<long long>(missing),
                    image.pixelCount());
    return FitsReadResult::shortData;
}

namespace {

// A header whose CHECKSUM and DATASUM cards take the sums of the file they head: the card
// numbers, or 0 when it lacks one of them.
struct ChecksumCards {
    int checksum = 0, datasum = 0;

    explicit ChecksumCards(const Header& header)
    {
        std::string value;
        checksum = std::max(header.findCard("CHECKSUM", value), 0);
        datasum = std::max(header.findCard("DATASUM", value), 0);
        if (checksum == 0 || datasum == 0)
            checksum = datasum = 0;
    }
    bool wanted() const { return checksum > 0; }

    // The header's text with DATASUM holding the sum of the data, and CHECKSUM the characters
    // that make the sum of the whole file all ones.
    std::string finished(const Header& header, uint32_t dataSum) const
    {
        std::string text;
        for (const HeaderBlock* block = header.firstBlock(); block; block = block->next)
            text.append(block->cards, blockLength);
        char* const checksumCard = text.data() + (checksum - 1) * cardLength;
        formatStringCard(text.data() + (datasum - 1) * cardLength, "DATASUM", std::to_string(dataSum),
                         "DATA UNIT CHECKSUM");
        formatStringCard(checksumCard, "CHECKSUM", "0000000000000000", "HDU CHECKSUM");
        OnesComplementSum sum;
        sum.add(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        sum.add(dataSum);
        formatStringCard(checksumCard, "CHECKSUM", encodeChecksum(sum.value()), "HDU CHECKSUM");
        return text;
    }
};

} // namespace

namespace {

constexpr const char* openError = "wf: Error opening file for writing\n";
constexpr const char* writeError = "wf:  Error writing FITS file\n";

// A failed write, told in `messages` and described in `why`: false.
bool refuse(Messages& messages, WriteFailure& why, const std::string& shown, WriteStep step, int error,
            const char* message)
{
    why = {step, error};
    messages.output("%s", message);
    if (error != 0)
        messages.fileError(shown, error);
    return false;
}

// An output being written: a new hidden file in the output's folder, renamed over the output's
// name when complete and removed when not; every ending signal is held meanwhile.
class HiddenOutput {
public:
    HiddenOutput(const std::string& name, const OutputFolder* folder, Messages& messages, WriteFailure& why)
        : name_(name), leaf_(name.substr(fileNameStart(name))), messages_(messages), why_(why)
    {
        if (!folder) {
            ownFolder_.open(folderOf(name));
            folder = &ownFolder_;
        }
        folder_ = folder;
    }
    ~HiddenOutput() { discard(); }
    HiddenOutput(const HiddenOutput&) = delete;
    HiddenOutput& operator=(const HiddenOutput&) = delete;

    // Looks at what stands at the name, never opening it (a folder cannot be replaced, and a
    // file the user may not write is refused as opening it would refuse it; root may), then
    // creates the hidden file. False after the message.
    bool open()
    {
        if (!folder_->isOpen())
            return refuse(messages_, why_, name_, WriteStep::create, folder_->error(), openError);
        const int at = folder_->descriptor();
        struct stat standing {};
        if (fstatat(at, leaf_.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(standing.st_mode))
                return refuse(messages_, why_, name_, WriteStep::place, EISDIR, openError);
            if (S_ISREG(standing.st_mode) && faccessat(at, leaf_.c_str(), W_OK, AT_EACCESS) != 0)
                return refuse(messages_, why_, name_, WriteStep::place, errno, openError);
        }
        hold_.emplace();
        const int descriptor = createHidden(at, temporary_);
        if (descriptor < 0)
            return refuse(messages_, why_, folderOf(name_) + temporary_, WriteStep::create, errno, openError);
        created_ = true;
        file_.reset(fdopen(descriptor, "wb"));
        if (!file_) {
            const int error = errno;
            close(descriptor);
            discard();
            return refuse(messages_, why_, name_, WriteStep::create, error, openError);
        }
        std::setvbuf(file_.get(), buffer_, _IOFBF, sizeof buffer_);
        return true;
    }

    std::FILE* file() { return file_.get(); }

    bool write(const void* bytes, std::size_t count)
    {
        return std::fwrite(bytes, 1, count, file_.get()) == count || fail(WriteStep::write);
    }

    // False, the hidden file removed, after the message of a write that failed at `step`.
    bool fail(WriteStep step)
    {
        const int error = errno;
        discard();
        return refuse(messages_, why_, name_, step, error, writeError);
    }

    // False, the hidden file removed, when a signal came meanwhile: the caller is to end by it.
    bool interrupted()
    {
        const int signal = hold_ ? hold_->pendingEnd() : 0;
        if (signal == 0)
            return false;
        discard();
        why_ = {WriteStep::interrupted, 0, signal};
        return true;
    }

    // Closes the file and renames it over the name.
    bool commit()
    {
        // No fsync: the inputs never change, so a run that a crash cut short can simply be repeated.
        if (std::fclose(file_.release()) != 0)
            return fail(WriteStep::write);
        if (interrupted())
            return false;
        if (renameat(folder_->descriptor(), temporary_.c_str(), folder_->descriptor(), leaf_.c_str()) != 0)
            return fail(WriteStep::rename);
        created_ = false;
        hold_.reset();
        return true;
    }

private:
    void discard()
    {
        file_.reset();
        if (created_)
            unlinkat(folder_->descriptor(), temporary_.c_str(), 0);
        created_ = false;
        hold_.reset();
    }

    const std::string& name_;
    std::string leaf_;
    Messages& messages_;
    WriteFailure& why_;
    OutputFolder ownFolder_;
    const OutputFolder* folder_ = nullptr;
    std::optional<SignalHold> hold_;
    std::string temporary_;
    bool created_ = false;
    File file_;
    char buffer_[1 << 16];
};

// Why a header and image cannot be written at all, or null.
const char* unwritable(const FitsImage& image)
{
    if (image.header.empty())
        return "rf: Error - no header block defined, file not written\n";
    const int bytesPerPixel = image.bytesPerPixel();
    const bool encodable = bytesPerPixel == 1 || bytesPerPixel == 2 || bytesPerPixel == 4 || bytesPerPixel == -4;
    const bool fits
        = image.naxis1 >= 1 && image.naxis1 <= rasterSize && image.naxis2 >= 1 && image.naxis2 <= rasterSize;
    return encodable && fits ? nullptr : writeError;
}

bool writeHeader(HiddenOutput& output, const Header& header)
{
    for (const HeaderBlock* block = header.firstBlock(); block; block = block->next)
        if (!output.write(block->cards, blockLength))
            return false;
    return true;
}

// The header again, with its checksums, once the data are written.
bool rewriteHeader(HiddenOutput& output, const ChecksumCards& checksums, const Header& header, uint32_t dataSum,
                   long offset)
{
    if (!checksums.wanted())
        return true;
    const std::string text = checksums.finished(header, dataSum);
    if (std::fseek(output.file(), offset, SEEK_SET) != 0)
        return output.fail(WriteStep::write);
    return output.write(text.data(), text.size()) && (std::fseek(output.file(), 0, SEEK_END) == 0 || output.fail(WriteStep::write));
}

} // namespace

bool writeFITS(const std::string& name, const FitsImage& image, const Raster& raster, Messages& messages,
               WriteFailure* failure, const OutputFolder* folder)
{
    WriteFailure unused;
    WriteFailure& why = failure ? *failure : unused;
    if (const char* message = unwritable(image))
        return refuse(messages, why, name, WriteStep::image, 0, message);
    HiddenOutput output(name, folder, messages, why);
    if (!output.open() || !writeHeader(output, image.header))
        return false;
    const ChecksumCards checksums(image.header);
    OnesComplementSum dataSum;
    const int64_t dataBytes = dataBlockCount(image.bytesPerPixel(), image.pixelCount()) * blockLength;
    bool written = false;
    withElementType(image.bytesPerPixel(), [&](auto type) {
        written = writeData<type()>(output.file(), raster, image.naxis1, image.naxis2, dataBytes,
                                    checksums.wanted() ? &dataSum : nullptr);
    });
    if (!written)
        return output.fail(WriteStep::write);
    return rewriteHeader(output, checksums, image.header, dataSum.value(), 0) && output.commit();
}

struct FitsCubeWriter::State {
    State(const std::string& cubeName, const FitsImage& cube, int64_t count, Messages& messages, WriteFailure& why,
          const OutputFolder* folder)
        : name(cubeName), image(cube), planes(count), checksums(cube.header), output(name, folder, messages, why)
    {
    }

    std::string name;
    const FitsImage& image;
    int64_t planes;
    int64_t planesWritten = 0;
    int64_t dataBytes = 0;
    ChecksumCards checksums;
    OnesComplementSum dataSum;
    HiddenOutput output;
};

FitsCubeWriter::FitsCubeWriter() = default;
FitsCubeWriter::~FitsCubeWriter() = default;

bool FitsCubeWriter::begin(const std::string& name, const FitsImage& image, int64_t planes, Messages& messages,
                           WriteFailure& failure, const OutputFolder* folder)
{
    state_.reset();
    if (const char* message = unwritable(image))
        return refuse(messages, failure, name, WriteStep::image, 0, message);
    state_ = std::make_unique<State>(name, image, planes, messages, failure, folder);
    if (state_->output.open() && writeHeader(state_->output, image.header))
        return true;
    state_.reset();
    return false;
}

bool FitsCubeWriter::addPlane(const Raster& raster)
{
    if (!state_)
        return false;
    State& state = *state_;
    const FitsImage& image = state.image;
    const int64_t planeBytes = int64_t{image.pixelCount()} * std::abs(image.bytesPerPixel());
    bool written = false;
    withElementType(image.bytesPerPixel(), [&](auto type) {
        written = writeData<type()>(state.output.file(), raster, image.naxis1, image.naxis2, planeBytes,
                                    state.checksums.wanted() ? &state.dataSum : nullptr);
    });
    if (!written)
        state.output.fail(WriteStep::write);
    if (!written || state.output.interrupted()) {
        state_.reset();
        return false;
    }
    state.dataBytes += planeBytes;
    ++state.planesWritten;
    return true;
}

bool FitsCubeWriter::finish(const Header* extension, const std::string& extensionData)
{
    if (!state_ || state_->planesWritten != state_->planes) {
        state_.reset();
        return false;
    }
    State& state = *state_;
    HiddenOutput& output = state.output;
    auto pad = [&](int64_t bytes) {
        static const char zeros[blockLength] = {};
        return output.write(zeros, static_cast<std::size_t>((blockLength - bytes % blockLength) % blockLength));
    };
    bool done = pad(state.dataBytes);
    if (done && extension) {
        const ChecksumCards checksums(*extension);
        OnesComplementSum sum;
        sum.add(reinterpret_cast<const unsigned char*>(extensionData.data()), extensionData.size());
        const std::string header = checksums.wanted() ? checksums.finished(*extension, sum.value()) : "";
        done = (checksums.wanted() ? output.write(header.data(), header.size()) : writeHeader(output, *extension))
               && output.write(extensionData.data(), extensionData.size())
               && pad(static_cast<int64_t>(extensionData.size()));
    }
    done = done && rewriteHeader(output, state.checksums, state.image.header, state.dataSum.value(), 0)
           && output.commit();
    state_.reset();
    return done;
}
