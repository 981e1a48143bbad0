#include "fits/checksum.h"
#include "fits/encode.h"
#include "fits/fitsfile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Creates a new, empty file with a hidden random name (.kovrent-XXXXXX) in the folder.
// Exclusive creation: no existing entry, link or not, is ever opened. The name is recorded in
// `unfinished` (when given) before the file exists, so that no signal finds it unrecorded. The
// descriptor, or -1 with errno set; `name` is the last name tried and `entry` its record.
int createHidden(int folder, std::string& name, UnfinishedFiles* unfinished, int& entry)
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
        entry = unfinished ? unfinished->add(folder, name.c_str()) : -1;
        const int descriptor = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (descriptor >= 0)
            return descriptor;
        const int error = errno;
        if (unfinished)
            unfinished->forget(std::exchange(entry, -1));
        errno = error;
        if (error != EEXIST)
            return -1;
    }
    return -1;
}

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

    // Fills in the header's `text`: DATASUM with the sum of the data, and CHECKSUM with the
    // characters that make the sum of the whole file all ones.
    void finish(std::string& text, uint32_t dataSum) const
    {
        char* const checksumCard = text.data() + (checksum - 1) * cardLength;
        formatStringCard(text.data() + (datasum - 1) * cardLength, "DATASUM", std::to_string(dataSum),
                         "DATA UNIT CHECKSUM");
        formatStringCard(checksumCard, "CHECKSUM", "0000000000000000", "HDU CHECKSUM");
        OnesComplementSum sum;
        sum.add(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        sum.add(dataSum);
        formatStringCard(checksumCard, "CHECKSUM", encodeChecksum(sum.value()), "HDU CHECKSUM");
    }
};

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

// The whole of `count` bytes in order, the pieces of `parts` one after another, at the file's
// position, or at `offset` when it is not negative; false, with errno set, when a write fails.
bool writeAll(int descriptor, iovec* parts, int count, off_t offset = -1)
{
    while (count > 0) {
        const ssize_t written
            = offset < 0 ? writev(descriptor, parts, count) : pwritev(descriptor, parts, count, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        if (offset >= 0)
            offset += written;
        // Past the parts written whole, into the one that was cut.
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

// An output being written: a new hidden file in the output's folder, renamed over the output's
// name when complete and removed when not, recorded meanwhile among the folder's unfinished
// files. Its bytes go straight to the system, a few large writes each.
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
        descriptor_ = createHidden(at, temporary_, folder_->unfinished(), entry_);
        if (descriptor_ < 0)
            return refuse(messages_, why_, folderOf(name_) + temporary_, WriteStep::create, errno, openError);
        return true;
    }

    // The pieces, one after another, at the end of what was written, or at `offset`.
    bool write(std::initializer_list<std::pair<const void*, std::size_t>> pieces, off_t offset = -1)
    {
        iovec parts[8];
        int count = 0;
        for (const auto& [bytes, size] : pieces)
            if (size > 0 && count < 8)
                parts[count++] = {const_cast<void*>(bytes), size};
        return writeAll(descriptor_, parts, count, offset) || fail(WriteStep::write);
    }

    // False, the hidden file removed, after the message of a write that failed at `step`.
    bool fail(WriteStep step)
    {
        const int error = errno;
        discard();
        return refuse(messages_, why_, name_, step, error, writeError);
    }

    // Closes the file and renames it over the name.
    bool commit()
    {
        // No fsync: the inputs never change, so a run that a crash cut short can simply be repeated.
        const int descriptor = std::exchange(descriptor_, -1);
        if (::close(descriptor) != 0)
            return fail(WriteStep::write);
        if (renameat(folder_->descriptor(), temporary_.c_str(), folder_->descriptor(), leaf_.c_str()) != 0)
            return fail(WriteStep::rename);
        temporary_.clear();
        forgetEntry();
        return true;
    }

private:
    void discard()
    {
        if (descriptor_ >= 0)
            ::close(std::exchange(descriptor_, -1));
        if (!temporary_.empty())
            unlinkat(folder_->descriptor(), temporary_.c_str(), 0);
        temporary_.clear();
        forgetEntry();
    }

    void forgetEntry()
    {
        if (folder_->unfinished())
            folder_->unfinished()->forget(std::exchange(entry_, -1));
    }

    const std::string& name_;
    std::string leaf_;
    Messages& messages_;
    WriteFailure& why_;
    OutputFolder ownFolder_;
    const OutputFolder* folder_ = nullptr;
    std::string temporary_; // the hidden file's name, while it exists
    int entry_ = -1;        // its record among the unfinished files
    int descriptor_ = -1;
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

// The header's blocks as the file holds them, with its checksums when it has them.
std::string headerText(const Header& header, const ChecksumCards& checksums, uint32_t dataSum)
{
    std::string text;
    for (const HeaderBlock* block = header.firstBlock(); block; block = block->next)
        text.append(block->cards, blockLength);
    if (checksums.wanted())
        checksums.finish(text, dataSum);
    return text;
}

const unsigned char zeros[blockLength] = {};

// The zeros that fill the last data block.
std::size_t paddingOf(int64_t bytes)
{
    return static_cast<std::size_t>((blockLength - bytes % blockLength) % blockLength);
}

uint32_t sumOf(const unsigned char* bytes, std::size_t count)
{
    OnesComplementSum sum;
    sum.add(bytes, count);
    return sum.value();
}

// Buffers for the data of one image at a time, kept for the next.
struct EncodeBuffers {
    std::vector<unsigned char> data, scratch;
};

EncodeBuffers& encodeBuffers()
{
    thread_local EncodeBuffers buffers;
    return buffers;
}

} // namespace

bool writeFITS(const std::string& name, const FitsImage& image, const unsigned char* data, Messages& messages,
               WriteFailure* failure, const OutputFolder* folder)
{
    WriteFailure unused;
    WriteFailure& why = failure ? *failure : unused;
    if (const char* message = unwritable(image))
        return refuse(messages, why, name, WriteStep::image, 0, message);
    // The data take whole blocks: the pixels, then zeros.
    const int64_t dataBytes = dataBlockCount(image.bytesPerPixel(), image.pixelCount()) * blockLength;
    const auto pixelBytes = static_cast<std::size_t>(
        std::min<int64_t>(dataBytes, int64_t{image.pixelCount()} * std::abs(image.bytesPerPixel())));
    const ChecksumCards checksums(image.header);
    const std::string header = headerText(image.header, checksums, checksums.wanted() ? sumOf(data, pixelBytes) : 0);
    HiddenOutput output(name, folder, messages, why);
    if (!output.open())
        return false;
    std::size_t padding = static_cast<std::size_t>(dataBytes) - pixelBytes;
    std::vector<unsigned char> morePadding; // more than one block of zeros only for odd element sizes
    if (padding > blockLength)
        morePadding.resize(padding);
    return output.write({{header.data(), header.size()},
                         {data, pixelBytes},
                         {morePadding.empty() ? zeros : morePadding.data(), padding}})
        && output.commit();
}

bool writeFITS(const std::string& name, const FitsImage& image, const Raster& raster, Messages& messages,
               WriteFailure* failure, const OutputFolder* folder)
{
    WriteFailure unused;
    WriteFailure& why = failure ? *failure : unused;
    if (const char* message = unwritable(image))
        return refuse(messages, why, name, WriteStep::image, 0, message);
    EncodeBuffers& buffers = encodeBuffers();
    encodePixels(raster, Placement::asIs(image.naxis1, image.naxis2), image.bitpix, buffers.data, buffers.scratch);
    return writeFITS(name, image, buffers.data.data(), messages, failure, folder);
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
    // The header's place is taken now; its checksums are written over it at the end.
    const std::string header = headerText(image.header, state_->checksums, 0);
    if (state_->output.open() && state_->output.write({{header.data(), header.size()}}))
        return true;
    state_.reset();
    return false;
}

bool FitsCubeWriter::addPlane(const unsigned char* data)
{
    if (!state_)
        return false;
    State& state = *state_;
    const auto planeBytes = static_cast<std::size_t>(state.image.pixelCount()) * std::abs(state.image.bytesPerPixel());
    if (state.checksums.wanted())
        state.dataSum.add(data, planeBytes);
    if (!state.output.write({{data, planeBytes}})) {
        state_.reset();
        return false;
    }
    state.dataBytes += static_cast<int64_t>(planeBytes);
    ++state.planesWritten;
    return true;
}

bool FitsCubeWriter::addPlane(const Raster& raster)
{
    if (!state_)
        return false;
    EncodeBuffers& buffers = encodeBuffers();
    const FitsImage& image = state_->image;
    encodePixels(raster, Placement::asIs(image.naxis1, image.naxis2), image.bitpix, buffers.data, buffers.scratch);
    return addPlane(buffers.data.data());
}

bool FitsCubeWriter::finish(const Header* extension, const std::string& extensionData)
{
    if (!state_ || state_->planesWritten != state_->planes) {
        state_.reset();
        return false;
    }
    State& state = *state_;
    HiddenOutput& output = state.output;
    std::string extensionHeader;
    if (extension) {
        const ChecksumCards checksums(*extension);
        const auto* bytes = reinterpret_cast<const unsigned char*>(extensionData.data());
        extensionHeader = headerText(*extension, checksums, sumOf(bytes, extensionData.size()));
    }
    const std::string header = headerText(state.image.header, state.checksums, state.dataSum.value());
    const bool done = output.write({{zeros, paddingOf(state.dataBytes)},
                                    {extensionHeader.data(), extensionHeader.size()},
                                    {extensionData.data(), extensionData.size()},
                                    {zeros, extension ? paddingOf(static_cast<int64_t>(extensionData.size())) : 0}})
        && output.write({{header.data(), header.size()}}, 0) && output.commit();
    state_.reset();
    return done;
}
