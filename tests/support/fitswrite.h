// Small FITS files for the program to read (inputs of -f, masks, gain maps), written byte by
// byte from the format so that no test depends on the program's own writer; and card texts in
// the fixed layout the program's header cards take.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// The text cut or blank-padded to one 80-character card.
std::string fitsCard(std::string_view text);

// "%-8.8s= %20.20s / %-s ", or "%-8.8s= %30.30s / %-s " for a value of 20 characters or more.
std::string valueCard(std::string_view keyword, std::string_view value, std::string_view comment);

// "%-8.8s= '%-.58s' ", for a text without quotes.
std::string stringCard(std::string_view keyword, std::string_view text);

// "%-8.8s  %-.70s": HISTORY, COMMENT and END cards.
std::string commentCard(std::string_view keyword, std::string_view text);

// SIMPLE, BITPIX, NAXIS, NAXIS1 and NAXIS2.
std::vector<std::string> primaryCards(int bitpix, int naxis1, int naxis2);

// The cards, then END, blank cards up to a whole block, and the pixels value(x, y) with axis 1
// fastest, big-endian, for BITPIX 8, 16, 32 or -32 (integers truncated toward zero), padded
// with zeros to a whole block. Throws std::runtime_error when the file cannot be written.
void writeFitsFile(const std::filesystem::path& file, const std::vector<std::string>& cards,
                   int bitpix, int naxis1, int naxis2,
                   const std::function<double(int x, int y)>& value);

}  // namespace testsupport
