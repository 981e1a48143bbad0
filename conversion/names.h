#pragma once

#include "conversion/options.h"
#include "fits/result.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The file number in the last three characters of a name (c970611a.005 gives 5),
// or -1 when they hold none.
int64_t fileNumberFromName(const std::string& name);

// The root name followed by the number, with at least three digits: c970611a.005.
std::string numberedName(const std::string& rootName, int64_t number);

// The output name of an input file: the input name, or the output directory with the
// input's last path component; the character 12 places before the end becomes
// `letter` ('f', or 'k' for a data cube); then ".n" for a frame number n of 1 or more, and
// ".fits" with -a.
std::string outputNameFor(const std::string& inputName, const ConversionOptions& options, char letter = 'f');

// Replaces the character 12 places before the end of a camera file name (its first
// letter: c970611a.005 -> f970611a.005). A name whose last path component is shorter
// than 12 is left as it is.
void markName(std::string& name, char letter);

// The names of the images unpacked from a packed file: the base "t970611a." made from the
// file's output name, and the endings the driver gives every output name (".n" for a frame,
// ".fits" with -a).
class UnpackedNames {
public:
    UnpackedNames(std::string outputName, int32_t frameNumber, bool appendFits);

    // The name of image number n: its file's, its IRAFNAME, and what the file's is made of: the
    // stem, then `number` with at least three digits, then `ending()`.
    struct ImageName {
        std::string fileName, irafName, stem;
        int64_t number = 0;
    };
    // Fails when no name can be formed: the series letter would have to pass 0xFF.
    Result forImage(int64_t n, ImageName& name) const;
    std::string ending() const { return frameEnding_ + fitsEnding_; }

private:
    std::string base_;
    std::string frameEnding_;
    std::string fitsEnding_;
};

// The names a run has given its outputs, so that none is given twice. The names of unpacked
// images are kept as runs of numbers behind a common stem, so that the memory taken stays flat
// however many images there are.
class TakenNames {
public:
    // Takes the name stem + number (at least three digits) + ending; false when it was taken.
    bool take(const std::string& stem, int64_t number, const std::string& ending);
    // Takes any other name; false when it was taken.
    bool take(const std::string& name);

private:
    // Runs of numbers taken, by stem and ending; a stem that ends in a digit is kept whole
    // instead, since its digits could run on into the number's.
    std::map<std::pair<std::string, std::string>, std::vector<std::pair<int64_t, int64_t>>> runs_;
    std::set<std::string> names_;
};
