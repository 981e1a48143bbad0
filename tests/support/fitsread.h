// Reads a FITS file written by the program back for checks, on its own terms: cards as
// 80-character strings up to END, and BITPIX -32 pixels from their big-endian bytes. Also runs
// the program on a camera file and collects what it wrote.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/camerawriter.h"
#include "support/runprogram.h"

namespace testsupport {

struct FitsContents {
    std::vector<std::string> cards;  // every card of the header, END included
    int naxis1 = 0;
    int naxis2 = 0;
    std::vector<float> pixels;       // naxis1 x naxis2, axis 1 fastest as in the file
    size_t headerBytes = 0;          // the header's whole blocks: where the data start
    std::string afterEnd;            // the header text between the END card and the data
    size_t fileBytes = 0;

    float at(int x, int y) const { return pixels.at(static_cast<size_t>(y) * naxis1 + x); }
};

// Throws std::runtime_error when the file cannot be read, has no END card, is not BITPIX -32
// or is shorter than its image.
FitsContents readFitsFile(const std::filesystem::path& file);

// The keyword of a card: its first 8 characters without trailing blanks.
std::string cardKeyword(const std::string& card);

// The program run on one camera file, saved under a camera-style name in a fresh directory.
constexpr const char* kCameraFileName = "c970611a.001";

struct CameraRun {
    RunResult result;
    std::vector<std::string> written;  // names of the files the run left beside the input
    std::optional<FitsContents> fits;  // the output, when exactly one file was written
};

// Runs kovrent with kCameraFileName followed by `options`.
CameraRun convertCameraFile(const CameraWriter& file, const std::vector<std::string>& options);

}  // namespace testsupport
