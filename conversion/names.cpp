#include "conversion/names.h"

#include "conversion/conversiontexts.h"
#include "fits/fitsfile.h"
#include "fits/scan.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdio>

int64_t fileNumberFromName(const std::string& name)
{
    if (name.size() < 3)
        return -1;
    std::string digits = name.substr(name.size() - 3);
    // Leading zeros become blanks so that "%i" does not read the number as octal.
    for (char& c : digits) {
        if (c != '0')
            break;
        c = ' ';
    }
    int32_t number = -1;
    // A negative number ("c970611a-02") counts as none: the run converts the one file.
    if (scanInteger(digits, number) != ScanResult::number || number < 0)
        return -1;
    return number;
}

std::string numberedName(const std::string& rootName, int64_t number)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%03lld", static_cast<long long>(number));
    return rootName + digits;
}

void markName(std::string& name, char letter)
{
    // Only within the last path component: behind a directory, a short file name would
    // put the letter into the directory and the output elsewhere.
    if (name.size() >= 12 && name.size() - 12 >= fileNameStart(name))
        name[name.size() - 12] = letter;
}

std::string outputNameFor(const std::string& inputName, const ConversionOptions& options, char letter)
{
    std::string name = inputName;
    if (options.toDirectory) {
        const auto slash = inputName.rfind('/');
        if (slash == std::string::npos) {
            name = options.outputDirectory;
            if (name.empty() || name.back() != '/')
                name += '/';
            name += inputName;
        } else {
            name = options.outputDirectory;
            if (!name.empty() && name.back() == '/')
                name.pop_back();
            name += inputName.substr(slash);
        }
    }
    markName(name, letter);
    if (options.frameNumber >= 1)
        name.append(".").append(std::to_string(options.frameNumber));
    if (options.appendFits)
        name += ".fits";
    return name;
}

namespace {

bool endsWith(const std::string& text, const std::string& ending)
{
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

} // namespace

UnpackedNames::UnpackedNames(std::string outputName, int32_t frameNumber, bool appendFits)
{
    if (appendFits && endsWith(outputName, ".fits")) {
        fitsEnding_ = ".fits";
        outputName.resize(outputName.size() - fitsEnding_.size());
    }
    if (frameNumber >= 1) {
        const std::string ending = std::string(".").append(std::to_string(frameNumber));
        if (endsWith(outputName, ending)) {
            frameEnding_ = ending;
            outputName.resize(outputName.size() - ending.size());
        }
    }
    // The mark and the cut stay within the file's own name, so that a short name never
    // changes the directory the images go to.
    markName(outputName, 't');
    const std::size_t start = fileNameStart(outputName);
    base_ = outputName.substr(0, std::max(outputName.size() >= 3 ? outputName.size() - 3 : 0, start));
}

Result UnpackedNames::forImage(int64_t n, ImageName& image) const
{
    std::string name = base_;
    if (n > 999) {
        n -= 1000;
        // Numbers from 1000 on go on in the next series letter: t970611b.003. Not in a
        // directory, and never a dot, which would become a '/'.
        if (name.size() >= 2 && name.size() - 2 >= fileNameStart(name) && name[name.size() - 2] != '.') {
            char& letter = name[name.size() - 2];
            // Past 0xFF the letter would wrap to NUL, which ends a file name.
            if (static_cast<unsigned char>(letter) == 0xFF) {
                TextValues values;
                values.name = base_;
                return Result::failed(ConversionText::noSeriesLetter, sentence(ConversionText::noSeriesLetter, values));
            }
            ++letter;
        }
    }
    image.stem = name;
    image.number = n;
    name = numberedName(name, n);
    image.irafName = name;
    if (image.irafName.size() >= 12)
        image.irafName[image.irafName.size() - 12] = 'i';
    image.irafName += frameEnding_;
    image.fileName = name + frameEnding_ + fitsEnding_;
    return Result();
}

bool TakenNames::take(const std::string& stem, int64_t number, const std::string& ending)
{
    if (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back())))
        return take(numberedName(stem, number) + ending);
    std::vector<std::pair<int64_t, int64_t>>& runs = runs_[{stem, ending}];
    // Runs in order of their first number, none touching another.
    auto next = std::lower_bound(runs.begin(), runs.end(), std::make_pair(number + 1, number + 1));
    if (next != runs.begin() && std::prev(next)->second >= number)
        return false;
    const bool joinsBefore = next != runs.begin() && std::prev(next)->second == number - 1;
    const bool joinsAfter = next != runs.end() && next->first == number + 1;
    if (joinsBefore && joinsAfter) {
        std::prev(next)->second = next->second;
        runs.erase(next);
    } else if (joinsBefore) {
        std::prev(next)->second = number;
    } else if (joinsAfter) {
        next->first = number;
    } else {
        runs.insert(next, {number, number});
    }
    return true;
}

bool TakenNames::take(const std::string& name)
{
    return names_.insert(name).second;
}
