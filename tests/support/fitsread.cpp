#include "support/fitsread.h"

#include "support/runprogram.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr size_t kCard = 80;
constexpr size_t kBlock = 2880;

// The integer in the value field of a value card (columns 11 to 30).
int fieldInteger(const std::string& card) {
    return std::stoi(card.substr(10, 20));
}

}  // namespace

std::string cardKeyword(const std::string& card) {
    std::string key = card.substr(0, 8);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    return key;
}

FitsContents readFitsFile(const std::filesystem::path& file) {
    const std::vector<uint8_t> bytes = readBytes(file);
    FitsContents fits;
    int bitpix = 0;
    for (size_t at = 0;; at += kCard) {
        if (at + kCard > bytes.size()) throw std::runtime_error("no END card in " + file.string());
        const std::string card(reinterpret_cast<const char*>(bytes.data()) + at, kCard);
        fits.cards.push_back(card);
        const std::string key = cardKeyword(card);
        if (key == "BITPIX") bitpix = fieldInteger(card);
        if (key == "NAXIS1") fits.naxis1 = fieldInteger(card);
        if (key == "NAXIS2") fits.naxis2 = fieldInteger(card);
        if (key == "END") break;
    }
    if (bitpix != -32) throw std::runtime_error("not BITPIX -32: " + file.string());
    const size_t dataStart = (fits.cards.size() * kCard + kBlock - 1) / kBlock * kBlock;
    fits.headerBytes = dataStart;
    fits.fileBytes = bytes.size();
    const size_t endOfCards = fits.cards.size() * kCard;
    fits.afterEnd.assign(reinterpret_cast<const char*>(bytes.data()) + endOfCards,
                         std::min(dataStart, bytes.size()) - endOfCards);
    const size_t count = static_cast<size_t>(fits.naxis1) * fits.naxis2;
    if (dataStart + 4 * count > bytes.size()) throw std::runtime_error("short image in " + file.string());
    fits.pixels.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = bytes.data() + dataStart + 4 * i;
        const uint32_t bits = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        fits.pixels[i] = std::bit_cast<float>(bits);
    }
    return fits;
}

CameraRun convertCameraFile(const CameraWriter& file, const std::vector<std::string>& options) {
    TempDir dir;
    file.save((dir / kCameraFileName).string());
    std::vector<std::string> arguments = {kCameraFileName};
    arguments.insert(arguments.end(), options.begin(), options.end());
    CameraRun run;
    run.result = runKovrent(arguments, dir.path());
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename() != kCameraFileName)
            run.written.push_back(entry.path().filename().string());
    std::sort(run.written.begin(), run.written.end());
    if (run.written.size() == 1) run.fits = readFitsFile(dir / run.written.front());
    return run;
}

}  // namespace testsupport
