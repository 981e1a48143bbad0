#include "convert/cube.h"

#include "convert/modernheader.h"

#include <algorithm>

namespace {

constexpr std::size_t instantLength = 22; // CCYY-MM-DDThh:mm:ss.ss

} // namespace

bool makeCubeHeader(Header& header, int64_t planes, bool extension)
{
    if (!header.replaceValueCard("NAXIS", "3", "NUMBER OF AXES")
        || !header.insertValueCard("NAXIS2", "NAXIS3", std::to_string(planes), "PIXELS ON 3RD MOST VARYING AXIS"))
        return false;
    return !extension || header.insertValueCard("NAXIS3", "EXTEND", "T", "EXTENSIONS MAY FOLLOW");
}

void timesExtension(const std::vector<std::string>& starts, Header& header, std::string& data)
{
    header.freeHeader();
    header.appendBlock();
    header.addStringCard("XTENSION", "BINTABLE");
    header.addValueCard("BITPIX", "8", "BINARY TABLE");
    header.addValueCard("NAXIS", "2", "NUMBER OF AXES");
    header.addValueCard("NAXIS1", std::to_string(4 + instantLength), "BYTES PER ROW");
    header.addValueCard("NAXIS2", std::to_string(starts.size()), "ROWS: ONE PER PLANE");
    header.addValueCard("PCOUNT", "0", "NO HEAP");
    header.addValueCard("GCOUNT", "1", "ONE TABLE");
    header.addValueCard("TFIELDS", "2", "COLUMNS PER ROW");
    header.addStringCard("TTYPE1", "IMAGENUM", "NUMBER OF THE PLANE FROM 1");
    header.addStringCard("TFORM1", "1J", "32-BIT INTEGER");
    header.addStringCard("TTYPE2", "DATE-BEG", "START OF THE PLANE (UT)");
    header.addStringCard("TFORM2", std::to_string(instantLength) + "A", "ISO INSTANT");
    header.addStringCard("EXTNAME", "TIMES", "START TIME OF EVERY PLANE");
    addChecksumCards(header);
    header.end();

    data.clear();
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const auto number = static_cast<uint32_t>(k + 1);
        for (int shift = 24; shift >= 0; shift -= 8)
            data += static_cast<char>(number >> shift & 0xFF);
        std::string start = starts[k].substr(0, instantLength);
        start.resize(instantLength, ' ');
        data += start;
    }
}
