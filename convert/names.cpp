#include "convert/names.h"

#include "fits/fitsfile.h"
#include "fits/scan.h"

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

std::string outputNameFor(const std::string& inputName, const Options& options)
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
    markName(name, 'f');
    if (options.frameNumber >= 1)
        name.append(".").append(std::to_string(options.frameNumber));
    if (options.appendFits)
        name += ".fits";
    return name;
}
