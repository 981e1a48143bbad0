// The whole program on arbitrary argument vectors (split at NUL bytes) in a scratch
// directory that holds a small camera file and FITS maps, so that options reach the
// conversion as well as the parser. No argument can name a file or folder outside it.
#include "fuzz/scratch.h"
#include "program/run.h"

#include <string>
#include <vector>

namespace {

void putLittle(std::vector<uint8_t>& bytes, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// An 8 x 8 chop observation of two frames without FINX.
std::vector<uint8_t> smallCameraFile()
{
    std::vector<uint8_t> bytes = {13, 0, 0, 0, 0, 14, 7, 0, 7, 0, 12};
    putLittle(bytes, 2, 4);
    bytes.insert(bytes.end(), {29, 2, 0, 59, 5, 'D', 'R', 'N', 'Y', 'Y', 255});
    for (int frame = 0; frame < 2; ++frame) {
        for (int i = 0; i < 64; ++i)
            putLittle(bytes, static_cast<uint32_t>(frame * 100 + i), 4);
        bytes.resize(bytes.size() + 32768 - 256, 0);
    }
    return bytes;
}

// The argument made unable to name a place outside the scratch directory: every ".." becomes
// "__", and an absolute path (after the blanks that the program trims) becomes relative.
std::string confined(std::string word)
{
    for (std::size_t at = word.find(".."); at != std::string::npos; at = word.find("..", at))
        word.replace(at, 2, "__");
    const std::size_t first = word.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && word[first] == '/')
        word.insert(first, ".");
    return word;
}

// A 4 x 4 FITS map of ones with BITPIX 16.
std::vector<uint8_t> smallFitsFile()
{
    std::string header;
    for (const char* card :
         {"SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
          "NAXIS1  =                    4", "NAXIS2  =                    4", "END"}) {
        std::string text = card;
        text.resize(80, ' ');
        header += text;
    }
    header.resize(2880, ' ');
    std::vector<uint8_t> bytes(header.begin(), header.end());
    for (int i = 0; i < 16; ++i)
        bytes.insert(bytes.end(), {0, 1});
    bytes.resize(2 * 2880, 0);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const ScratchDirectory scratch;
    static const std::vector<uint8_t> camera = smallCameraFile();
    static const std::vector<uint8_t> fits = smallFitsFile();
    scratch.write("c970611a.005", camera.data(), camera.size());
    scratch.write("c970611a.006", camera.data(), camera.size());
    scratch.write("map.fits", fits.data(), fits.size());

    std::vector<std::string> words{"kovrent"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 24; ++i) {
        if (data[i] == 0) {
            words.push_back(confined(word));
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (!word.empty() || size > 0)
        words.push_back(confined(word));
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    kovrentRun(static_cast<int>(words.size()), argv.data());
    return 0;
}
