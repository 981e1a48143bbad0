#pragma once

#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/unfinished.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// How a read of a FITS file ended.
enum class FitsReadResult {
    ok,
    notFound,           // cannot be opened
    noMemory,           // no block for the header
    shortHeader,        // a header block cannot be read whole
    notFits,            // the header is not acceptable
    bitpixNotSupported, // a BITPIX other than 8, 16, 32 and -32 (and -64 for maps)
    tooLarge,           // an image larger than the raster
    shortData,          // the data end before the last pixel
};

// What a read takes: input images are the files kovrent writes; maps may also come as other
// writers make them, with BITPIX -64 or as an image extension behind an empty primary HDU.
enum class FitsSource { input, map };

// Reads a single-image FITS file into `image` (header, sizes, BITPIX, BSCALE, BZERO) and
// `raster`. `messages` takes its "rf:" lines and their reasons, also for a short last block
// that cost no pixel.
FitsReadResult readFITS(const std::string& name, FitsImage& image, Raster& raster, Messages& messages,
                        FitsSource source = FitsSource::input);

// Where a write failed, and the system's error number there (0 when the writer itself refused:
// no header, or an image it cannot encode).
enum class WriteStep { none, image, place, create, write, rename };
struct WriteFailure {
    WriteStep step = WriteStep::none;
    int error = 0;
};

// The folder a run writes into, opened once: every file then lands in the folder the run
// began with, even when its path is moved or replaced by a link meanwhile.
class OutputFolder {
public:
    OutputFolder() = default;
    ~OutputFolder() { close(); }
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Opens `path` ("" is the current folder), following a link the path itself names, now
    // and never again. False, with errno set, when it is no folder that can be opened; the
    // reason is kept for the writes that then fail. The hidden files of writes into the folder
    // are recorded in `unfinished` while they exist, when it is given.
    bool open(const std::string& path, UnfinishedFiles* unfinished = nullptr);
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

// Writes the finished header and the image from `raster`. The file is written under a new
// hidden name in the name's folder and renamed over `name` when complete, so the name is never
// opened and whatever stands there (a file, a link, a FIFO) is replaced, never followed; a
// folder there, or an existing file the user may not write, is refused. A failure keeps any
// earlier file of that name and leaves no hidden file. `folder`, when given, is the opened
// folder of `name`
// (folderOf(name) is its path): the file is created, renamed and removed relative to it. False
// on a failure, with its "wf:" line and the name and the system's reason in `messages`;
// `failure` describes it when given.
bool writeFITS(const std::string& name, const FitsImage& image, const Raster& raster, Messages& messages,
               WriteFailure* failure = nullptr, const OutputFolder* folder = nullptr);

// writeFITS of data already encoded as the file holds them (encodePixels), the image's
// naxis1 x naxis2 elements of its BITPIX.
bool writeFITS(const std::string& name, const FitsImage& image, const unsigned char* data, Messages& messages,
               WriteFailure* failure = nullptr, const OutputFolder* folder = nullptr);

// A FITS file of three axes written a plane at a time, as the planes come, so that memory does
// not grow with their number; behind its data, a binary-table extension may follow. It is
// written as writeFITS writes, to a hidden file renamed into place when finished, and removed
// when the writer goes unfinished or a write fails. Every call is false after a failure, whose
// message goes to the
// `messages` and `failure` given to begin, which must outlive the writing.
class FitsCubeWriter {
public:
    FitsCubeWriter();
    ~FitsCubeWriter();
    FitsCubeWriter(const FitsCubeWriter&) = delete;
    FitsCubeWriter& operator=(const FitsCubeWriter&) = delete;

    // Begins the cube `name`: `image` gives the planes' size and BITPIX and holds the finished
    // header, whose NAXIS cards already say 3 axes and `planes` planes. The header must stay
    // as it is until the cube is finished; its CHECKSUM and DATASUM, if any, are computed.
    bool begin(const std::string& name, const FitsImage& image, int64_t planes, Messages& messages,
               WriteFailure& failure, const OutputFolder* folder = nullptr);
    // The next plane, from the raster as it stands, or already encoded (encodePixels).
    bool addPlane(const Raster& raster);
    bool addPlane(const unsigned char* data);
    // Pads the data, writes the extension (its finished header and its data, big-endian, whose
    // checksums are computed too) when given, and renames the file into place. All planes must
    // have come.
    bool finish(const Header* extension = nullptr, const std::string& extensionData = "");

private:
    struct State;
    std::unique_ptr<State> state_;
};

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
