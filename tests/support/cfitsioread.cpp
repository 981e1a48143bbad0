#include "support/cfitsioread.h"

#include <fitsio.h>

#include <stdexcept>

namespace testsupport {
namespace {

void check(int status, const std::filesystem::path& file) {
    if (status == 0) return;
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    throw std::runtime_error("cfitsio, " + file.string() + ": " + text);
}

}  // namespace

CfitsioImage readWithCfitsio(const std::filesystem::path& file, const std::vector<std::string>& keywords) {
    CfitsioImage image;
    fitsfile* fits = nullptr;
    int status = 0;
    check(fits_open_file(&fits, file.c_str(), READONLY, &status), file);
    long size[2] = {0, 0};
    LONGLONG headerStart = 0, dataEnd = 0;
    fits_get_num_hdus(fits, &image.hdus, &status);
    fits_get_img_param(fits, 2, &image.bitpix, &image.naxis, size, &status);
    fits_get_hduaddrll(fits, &headerStart, &image.dataStart, &dataEnd, &status);
    image.naxis1 = size[0];
    image.naxis2 = size[1];
    image.pixels.resize(static_cast<size_t>(size[0] * size[1]));
    int anyNull = 0;
    fits_read_img(fits, TDOUBLE, 1, static_cast<LONGLONG>(image.pixels.size()), nullptr, image.pixels.data(),
                  &anyNull, &status);
    for (const std::string& keyword : keywords) {
        char value[FLEN_VALUE] = "";
        if (fits_read_keyword(fits, keyword.c_str(), value, nullptr, &status) == KEY_NO_EXIST) {
            status = 0;
            continue;
        }
        if (value[0] == '\'') {
            char text[FLEN_VALUE] = "";
            fits_read_key(fits, TSTRING, keyword.c_str(), text, nullptr, &status);
            image.strings[keyword] = text;
        } else {
            fits_read_key(fits, TDOUBLE, keyword.c_str(), &image.numbers[keyword], nullptr, &status);
        }
    }
    int closed = 0;
    fits_close_file(fits, &closed);
    check(status, file);
    return image;
}

}  // namespace testsupport
