// A FITS file as cfitsio reads it: a reader independent of the program's and of readFitsFile.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct CfitsioImage {
    int hdus = 0;
    int bitpix = 0;
    int naxis = 0;
    long naxis1 = 0;
    long naxis2 = 0;
    long long dataStart = 0;                      // the header's length in bytes
    std::vector<double> pixels;                   // BSCALE and BZERO applied, axis 1 fastest
    std::map<std::string, double> numbers;        // the keywords asked for with a number
    std::map<std::string, std::string> strings;   // the keywords asked for with a quoted text

    double at(int x, int y) const { return pixels.at(static_cast<size_t>(y) * naxis1 + x); }
    bool has(const std::string& keyword) const { return numbers.count(keyword) || strings.count(keyword); }
};

// The first image of the file and those of `keywords` it has. Throws std::runtime_error with
// cfitsio's status when the file cannot be read.
CfitsioImage readWithCfitsio(const std::filesystem::path& file, const std::vector<std::string>& keywords = {});

}  // namespace testsupport
