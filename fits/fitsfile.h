#pragma once

#include "fitsimage.h"

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
    bitpixNotSupported, // a BITPIX other than 8, 16, 32 and -32
    tooLarge,           // an image larger than the raster
};

// Reads a single-image FITS file into `image` (header, sizes, BITPIX, BSCALE, BZERO) and
// `raster`, after its "rf:" message when it fails.
FitsReadResult readFITS(const std::string& name, FitsImage& image, Raster& raster);

// Where a write failed, and the system's error number there (0 when the writer itself refused:
// no header, or an image it cannot encode).
enum class WriteStep { none, image, place, create, write, rename };
struct WriteFailure {
    WriteStep step = WriteStep::none;
    int error = 0;
};

// Writes the finished header and the image from `raster`. The file is written under a new
// hidden name in the same folder and renamed over `name` when complete, so the name is never
// opened and whatever stands there (a file, a link, a FIFO) is replaced, never followed; a
// folder there, or an existing file the user may not write, is refused. A failure keeps any
// earlier file of that name. SIGINT, SIGTERM and SIGHUP are held while the hidden file exists;
// one that came meanwhile removes it and then ends the process by that signal. False on a
// failure, after its "wf:" message and, on standard error, the name and the system's reason;
// `failure` describes it when given.
bool writeFITS(const std::string& name, const FitsImage& image, const Raster& raster,
               WriteFailure* failure = nullptr);

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
// at `output` itself (not what a link there points to) is the file that `source` names.
bool replacesFile(const std::string& output, const std::string& source);

// Where the last component of a path begins: after its last '/', or at 0.
std::size_t fileNameStart(const std::string& path);
