#pragma once

#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"
#include "fits/unfinished.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

// What a read takes: input images are the files kovrent writes; maps may also come as other
// writers make them, with BITPIX -64 or as an image extension behind an empty primary HDU.
enum class FitsSource { input, map };

// Reads a single-image FITS file into `image` (header, sizes, BITPIX, BSCALE, BZERO) and
// `raster`. `messages` takes its texts and their reasons, also for a short last block that
// cost no pixel. Every failure is of this input alone.
Result readFITS(const std::string& name, FitsImage& image, Raster& raster, Messages& messages,
                FitsSource source = FitsSource::input);
// The header of an input image alone, with its sizes, BITPIX, BSCALE and BZERO, as readFITS
// reads them; its data are not read.
Result readFITSHeader(const std::string& name, FitsImage& image, Messages& messages);

// The folder a run writes into, opened once: every file then lands in the folder the run
// began with, even when its path is moved or replaced by a link meanwhile.
class OutputFolder {
public:
    OutputFolder() = default;
    ~OutputFolder() { close(); }
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Opens `path` ("" is the current folder), following a link the path itself names, now
    // and never again. It fails, with the system's error for its cause, when it is no folder that
    // can be opened; the error is kept for the writes that then fail. The hidden files of writes
    // into the folder are recorded in `unfinished` while they exist, when it is given.
    Result open(const std::string& path, UnfinishedFiles* unfinished = nullptr);
    void close();

    bool isOpen() const { return descriptor_ >= 0; }
    int descriptor() const { return descriptor_; }
    int error() const { return error_; }
    // The path as given, which output names begin with.
    const std::string& path() const { return path_; }
    UnfinishedFiles* unfinished() const { return unfinished_; }

private:
    int descriptor_ = -1;
    UnfinishedFiles* unfinished_ = nullptr;
    int error_ = 0;
    std::string path_;
};

// The folder part of an output name: up to and including its last '/', or "".
std::string folderOf(const std::string& name);

// A file being written: a new hidden file (.kovrent-XXXXXX) in the name's folder, renamed over
// the name by commit, so that the name is never opened and whatever stands there (a file, a
// link, a FIFO) is replaced, never followed; a folder there, or an existing file the user may
// not write, is refused. It is removed when it goes uncommitted, and no earlier file of the
// name is touched. `folder`, when given, is the opened folder of the name (folderOf(name) is
// its path): the file is created, renamed and removed relative to it. A failure's text and the
// name and the system's reason go to `messages`; its cause is the system's error.
class OutputFile {
public:
    OutputFile(std::string name, const OutputFolder* folder, Messages& messages);
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Looks at what stands at the name, never opening it, then creates the hidden file.
    Result create();
    // The pieces, one after another, at the end of what was written; a failure removes the file.
    Result write(std::initializer_list<std::pair<const void*, std::size_t>> pieces);
    // The pieces at `offset`, safe beside other writes at other offsets; a failure says nothing,
    // for its caller to take up (by fail, or by telling it).
    Result writeAt(off_t offset, std::initializer_list<std::pair<const void*, std::size_t>> pieces);
    // Gives back the room that `length` bytes at `offset` take, where the file system can: they
    // read as zeros.
    void release(off_t offset, std::size_t length);
    // The failure of a write with the system's error number `error`: the file removed.
    Result fail(int error);
    // Closes the file, written whole: it stays hidden, without a descriptor, until commit.
    Result close();
    // Closes the file and renames it over the name.
    Result commit();
    // The hidden file's name while it exists, and the folder it is in, for words about a rename
    // under way.
    const std::string& hiddenName() const { return temporary_; }
    int folderDescriptor() const { return folder_->descriptor(); }
    // Removes the hidden file, if any.
    void discard();

    const std::string& name() const { return name_; }

private:
    void forgetEntry();

    std::string name_;
    std::string leaf_;
    Messages& messages_;
    OutputFolder ownFolder_;
    const OutputFolder* folder_ = nullptr;
    std::string temporary_; // the hidden file's name, while it exists
    int entry_ = -1;        // its record among the unfinished files
    int descriptor_ = -1;
};

// A write of `name` that failed with the system's error number `error`, told in `messages`: the
// text of the failure and the name of its folder with the system's reason.
Result writeFailed(Messages& messages, const std::string& name, int error);

// The text of a finished header as the file holds it, block after block; when it has CHECKSUM
// and DATASUM cards, they take the sums of the HDU whose data sum to `dataSum`.
std::string headerText(const Header& header, uint32_t dataSum);

// True when the header has both a CHECKSUM and a DATASUM card, for headerText to fill in.
bool hasChecksumCards(const Header& header);

// The ones' complement sum of data, as the DATASUM of a FITS file counts it.
uint32_t dataSumOf(const unsigned char* bytes, std::size_t count);

// Writes a whole FITS file: the finished header and the image's naxis1 x naxis2 elements of its
// BITPIX, from `raster` as it stands or already encoded as the file holds them (encodePixels),
// through an OutputFile. The data are padded to whole blocks with zeros.
Result writeFITS(const std::string& name, const FitsImage& image, const Raster& raster, Messages& messages,
                 const OutputFolder* folder = nullptr);
Result writeFITS(const std::string& name, const FitsImage& image, const unsigned char* data, Messages& messages,
                 const OutputFolder* folder = nullptr);

// Zeros that fill a FITS file's last block behind `bytes` of data or header.
std::size_t blockPadding(int64_t bytes);
extern const unsigned char zeroBlock[blockLength];

// Data blocks of an image: the ceiling of |bytesPerPixel| x pixelCount / 2880.
int64_t dataBlockCount(int bytesPerPixel, int32_t pixelCount);

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Why a read of `name` came up short, for people: the system's reason, or the end of the
// file where its `where` ("header", "data") should go on.
std::string shortReadReason(std::FILE* file, const std::string& name, const char* where);

// Opens with std::fopen; the file is closed when the handle goes.
File openFile(const std::string& name, const char* mode);

// True when renaming a file to `output` would replace `source`, the file a run reads: the entry
// at `output` itself (not what a link there points to) is the file that `source` names. With
// `folder`, the opened folder of `output`, the entry is looked up in it.
bool replacesFile(const std::string& output, const std::string& source, const OutputFolder* folder = nullptr);

// Where the last component of a path begins: after its last '/', or at 0.
std::size_t fileNameStart(const std::string& path);
