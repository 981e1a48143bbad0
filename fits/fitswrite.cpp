#include "fits/checksum.h"
#include "fits/encode.h"
#include "fits/fitsfile.h"
#include "fits/fitstexts.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Random bits for a hidden file's name: a generator of this thread's (xorshift64*), seeded once
// from the system's random bytes, or from the clock, the process and the thread without them.
// Exclusive creation makes a clash with another run's name only a retry.
uint64_t hiddenNameBits()
{
    thread_local uint64_t state = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
            seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
                ^ (static_cast<uint64_t>(getpid()) << 40) ^ reinterpret_cast<uintptr_t>(&seed);
        return seed | 1;
    }();
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

// Creates a new, empty file with a hidden random name (.kovrent-XXXXXX) in the folder.
// Exclusive creation: no existing entry, link or not, is ever opened. The name is recorded in
// `unfinished` (when given) before the file exists, so that no signal finds it unrecorded. The
// descriptor, or -1 with errno set; `name` is the last name tried and `entry` its record.
int createHidden(int folder, std::string& name, UnfinishedFiles* unfinished, int& entry)
{
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint64_t bits = hiddenNameBits();
        name = ".kovrent-";
        for (int i = 0; i < 6; ++i, bits >>= 8)
            name += letters[(bits & 0xFF) % (sizeof letters - 1)];
        entry = unfinished ? unfinished->add(folder, name.c_str()) : -1;
        if (entry == UnfinishedFiles::closed) {
            // The process is ending by a signal: no file is begun any more.
            entry = -1;
            errno = EINTR;
            return -1;
        }
        if (entry < 0 && unfinished) {
            // No memory to record it: a file that a signal could leave behind is not begun.
            unfinished->created();
            errno = ENOMEM;
            return -1;
        }
        const int descriptor = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        const int error = errno;
        if (descriptor < 0 && unfinished)
            unfinished->forget(std::exchange(entry, -1));
        if (unfinished)
            unfinished->created();
        if (descriptor >= 0)
            return descriptor;
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

// A failed write, told in `messages`: the text and, with the system's error number `error`, the
// name the reason is about, which is the failure's cause.
Result refuse(Messages& messages, const std::string& shown, int error, FitsText text)
{
    messages.say(text);
    if (error == 0)
        return Result::failed(text, sentence(text, {}));
    messages.fileError(shown, error);
    return Result::failed(systemCause(error), messages.lastReason());
}

// The folder of an output, as a person names it: "out", or "." for the current one.
std::string shownFolder(const std::string& name)
{
    std::string folder = folderOf(name);
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder.empty() ? "." : folder;
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

bool writePieces(int descriptor, std::initializer_list<std::pair<const void*, std::size_t>> pieces, off_t offset)
{
    iovec parts[8];
    int count = 0;
    for (const auto& [bytes, size] : pieces)
        if (size > 0 && count < 8)
            parts[count++] = {const_cast<void*>(bytes), size};
    return writeAll(descriptor, parts, count, offset);
}

// A header and image that can be written: refused without a header, or with a BITPIX or size
// that cannot be encoded.
Result checkWritable(const FitsImage& image, const std::string& name, Messages& messages)
{
    if (image.header.empty())
        return refuse(messages, name, 0, FitsText::noHeaderBlock);
    const int bytesPerPixel = image.bytesPerPixel();
    const bool encodable = bytesPerPixel == 1 || bytesPerPixel == 2 || bytesPerPixel == 4 || bytesPerPixel == -4;
    const bool fits
        = image.naxis1 >= 1 && image.naxis1 <= rasterSize && image.naxis2 >= 1 && image.naxis2 <= rasterSize;
    if (encodable && fits)
        return Result();
    return refuse(messages, name, 0, FitsText::writeError);
}

} // namespace

const unsigned char zeroBlock[blockLength] = {};

Result writeFailed(Messages& messages, const std::string& name, int error)
{
    return refuse(messages, shownFolder(name), error, FitsText::writeError);
}

std::size_t blockPadding(int64_t bytes)
{
    return static_cast<std::size_t>((blockLength - bytes % blockLength) % blockLength);
}

uint32_t dataSumOf(const unsigned char* bytes, std::size_t count)
{
    OnesComplementSum sum;
    sum.add(bytes, count);
    return sum.value();
}

bool hasChecksumCards(const Header& header)
{
    return ChecksumCards(header).wanted();
}

std::string headerText(const Header& header, uint32_t dataSum)
{
    std::string text;
    for (const HeaderBlock* block = header.firstBlock(); block; block = block->next)
        text.append(block->cards, blockLength);
    const ChecksumCards checksums(header);
    if (checksums.wanted())
        checksums.finish(text, dataSum);
    return text;
}

OutputFile::OutputFile(std::string name, const OutputFolder* folder, Messages& messages)
    : name_(std::move(name)), leaf_(name_.substr(fileNameStart(name_))), messages_(messages)
{
    if (!folder) {
        ownFolder_.open(folderOf(name_));
        folder = &ownFolder_;
    }
    folder_ = folder;
}

Result OutputFile::create()
{
    // A folder at the name cannot be replaced, and a file the user may not write is refused as
    // opening it would refuse it (root may).
    if (!folder_->isOpen())
        return refuse(messages_, shownFolder(name_), folder_->error(), FitsText::writeOpenError);
    const int at = folder_->descriptor();
    struct stat standing {};
    if (fstatat(at, leaf_.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(standing.st_mode))
            return refuse(messages_, name_, EISDIR, FitsText::writeOpenError);
        if (S_ISREG(standing.st_mode) && faccessat(at, leaf_.c_str(), W_OK, AT_EACCESS) != 0)
            return refuse(messages_, name_, errno, FitsText::writeOpenError);
    }
    descriptor_ = createHidden(at, temporary_, folder_->unfinished(), entry_);
    if (descriptor_ < 0)
        return refuse(messages_, shownFolder(name_), errno, FitsText::writeOpenError);
    return Result();
}

Result OutputFile::write(std::initializer_list<std::pair<const void*, std::size_t>> pieces)
{
    if (!writePieces(descriptor_, pieces, -1))
        return fail(errno);
    return Result();
}

Result OutputFile::writeAt(off_t offset, std::initializer_list<std::pair<const void*, std::size_t>> pieces)
{
    if (!writePieces(descriptor_, pieces, offset))
        return Result::failed(systemCause(errno));
    return Result();
}

void OutputFile::release(off_t offset, std::size_t length)
{
    if (descriptor_ >= 0)
        fallocate(descriptor_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, static_cast<off_t>(length));
}

Result OutputFile::fail(int error)
{
    discard();
    return refuse(messages_, shownFolder(name_), error, FitsText::writeError);
}

Result OutputFile::close()
{
    if (descriptor_ >= 0 && ::close(std::exchange(descriptor_, -1)) != 0)
        return fail(errno);
    return Result();
}

Result OutputFile::commit()
{
    // No fsync: the inputs never change, so a run that a crash cut short can simply be repeated.
    if (Result closed = close(); !closed)
        return closed;
    if (renameat(folder_->descriptor(), temporary_.c_str(), folder_->descriptor(), leaf_.c_str()) != 0)
        return fail(errno);
    temporary_.clear();
    forgetEntry();
    return Result();
}

void OutputFile::discard()
{
    if (descriptor_ >= 0)
        ::close(std::exchange(descriptor_, -1));
    if (!temporary_.empty())
        unlinkat(folder_->descriptor(), temporary_.c_str(), 0);
    temporary_.clear();
    forgetEntry();
}

void OutputFile::forgetEntry()
{
    // A file with nothing left to forget touches no folder: one given up may outlive the run's
    // folders, on a worker that the ended run did not wait for.
    if (entry_ >= 0 && folder_->unfinished())
        folder_->unfinished()->forget(std::exchange(entry_, -1));
}

Result writeFITS(const std::string& name, const FitsImage& image, const unsigned char* data, Messages& messages,
                 const OutputFolder* folder)
{
    if (Result writable = checkWritable(image, name, messages); !writable)
        return writable;
    // The data take whole blocks: the pixels, then zeros.
    const int64_t dataBytes = dataBlockCount(image.bytesPerPixel(), image.pixelCount()) * blockLength;
    const auto pixelBytes = static_cast<std::size_t>(
        std::min<int64_t>(dataBytes, int64_t{image.pixelCount()} * std::abs(image.bytesPerPixel())));
    const std::string header
        = headerText(image.header, hasChecksumCards(image.header) ? dataSumOf(data, pixelBytes) : 0);
    OutputFile output(name, folder, messages);
    if (Result created = output.create(); !created)
        return created;
    const std::size_t padding = static_cast<std::size_t>(dataBytes) - pixelBytes;
    std::vector<unsigned char> morePadding; // more than one block of zeros only for odd element sizes
    if (padding > blockLength)
        morePadding.resize(padding);
    if (Result written = output.write({{header.data(), header.size()},
                                       {data, pixelBytes},
                                       {morePadding.empty() ? zeroBlock : morePadding.data(), padding}});
        !written)
        return written;
    return output.commit();
}

Result writeFITS(const std::string& name, const FitsImage& image, const Raster& raster, Messages& messages,
                 const OutputFolder* folder)
{
    if (Result writable = checkWritable(image, name, messages); !writable)
        return writable;
    std::vector<unsigned char> data, scratch;
    encodePixels(raster, Placement::asIs(image.naxis1, image.naxis2), image.bitpix, data, scratch);
    return writeFITS(name, image, data.data(), messages, folder);
}
