#include "support/fitswrite.h"

#include "support/runprogram.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

std::string fitsCard(std::string_view text) {
    std::string card(text.substr(0, 80));
    card.resize(80, ' ');
    return card;
}

std::string valueCard(std::string_view keyword, std::string_view value, std::string_view comment) {
    const std::string k(keyword), v(value), c(comment);
    char text[256];
    std::snprintf(text, sizeof text, v.size() <= 19 ? "%-8.8s= %20.20s / %-s " : "%-8.8s= %30.30s / %-s ",
                  k.c_str(), v.c_str(), c.c_str());
    return fitsCard(text);
}

std::string stringCard(std::string_view keyword, std::string_view text) {
    const std::string k(keyword), t(text);
    char card[256];
    std::snprintf(card, sizeof card, "%-8.8s= '%-.58s' ", k.c_str(), t.c_str());
    return fitsCard(card);
}

std::string commentCard(std::string_view keyword, std::string_view text) {
    const std::string k(keyword), t(text);
    char card[256];
    std::snprintf(card, sizeof card, "%-8.8s  %-.70s", k.c_str(), t.c_str());
    return fitsCard(card);
}

std::vector<std::string> primaryCards(int bitpix, int naxis1, int naxis2) {
    return {valueCard("SIMPLE", "T", ""), valueCard("BITPIX", std::to_string(bitpix), ""),
            valueCard("NAXIS", "2", ""), valueCard("NAXIS1", std::to_string(naxis1), ""),
            valueCard("NAXIS2", std::to_string(naxis2), "")};
}

void writeFitsFile(const std::filesystem::path& file, const std::vector<std::string>& cards,
                   int bitpix, int naxis1, int naxis2,
                   const std::function<double(int x, int y)>& value) {
    std::vector<uint8_t> bytes;
    for (const std::string& card : cards) bytes.insert(bytes.end(), card.begin(), card.end());
    const std::string end = commentCard("END", "");
    bytes.insert(bytes.end(), end.begin(), end.end());
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, ' ');

    const int width = bitpix < 0 ? 4 : bitpix / 8;
    for (int y = 0; y < naxis2; ++y)
        for (int x = 0; x < naxis1; ++x) {
            const double v = value(x, y);
            const uint32_t bits = bitpix == -32 ? std::bit_cast<uint32_t>(static_cast<float>(v))
                                                : static_cast<uint32_t>(static_cast<int64_t>(v));
            for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(bits >> (8 * i)));
        }
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, 0);
    writeBytes(file, bytes);
}

}  // namespace testsupport
