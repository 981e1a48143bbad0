// Writes the seed corpora of the fuzz targets: small valid camera files of every kind,
// FITS files of every BITPIX, and command lines.
//   makeseeds <corpus directory>
#include "support/camerawriter.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::CameraWriter;
using testsupport::FrameGeometry;
using testsupport::geometryOf;

namespace {

// The camera target takes its options from a first byte: 1 unpack, 2 interchange,
// 4 ".fits", the rest a frame number.
void saveCamera(const fs::path& directory, const std::string& name, uint8_t options, const CameraWriter& file)
{
    std::ofstream out(directory / name, std::ios::binary);
    out.put(static_cast<char>(options));
    out.write(reinterpret_cast<const char*>(file.bytes().data()), static_cast<std::streamsize>(file.size()));
}

int32_t ramp(int frame, int x, int y)
{
    return 1000 * frame + 16 * x + y;
}

CameraWriter observation(const FrameGeometry& g, int obsmode, int frames)
{
    CameraWriter file;
    file.corners(g).totalCoadds(4).beamCoadds(2, 3).beamCoadds(3, 5).beamCoadds(4, 7).obsmode(obsmode);
    file.orientation("ULYYN").endMarker().frames(g, frames, ramp);
    return file;
}

// One record of every flag, each with plausible values.
CameraWriter everyRecord()
{
    CameraWriter file;
    for (int flag = 1; flag <= 87; ++flag) {
        const std::string_view fields = testsupport::recordFields(flag);
        if (flag == 54 || flag == 80 || flag == 13 || flag == 14 || flag == 77 || flag == 68 || flag == 71)
            continue;
        if (fields == "s") {
            file.stringRecord(flag, flag == 59 ? "DRNYY" : "TEXT");
            continue;
        }
        std::vector<double> values;
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i] != 'x' && (fields[i] < '0' || fields[i] > '9'))
                values.push_back(flag == 24 && values.empty() ? 1997 : 2);
        file.record(flag, values);
    }
    const FrameGeometry g = geometryOf(8, 8);
    file.corners(g).endMarker().frames(g, 1, ramp);
    return file;
}

void cameraSeeds(const fs::path& directory)
{
    fs::create_directories(directory);
    saveCamera(directory, "grab", 0, observation(geometryOf(8, 8), 1, 1));
    saveCamera(directory, "chop-finx", 2, observation(geometryOf(16, 8, 8), 2, 2));
    saveCamera(directory, "chopnod-frame3", 3 << 3, observation(geometryOf(8, 8), 3, 4));
    saveCamera(directory, "twobeamnod", 0, observation(geometryOf(8, 16), 7, 4));
    saveCamera(directory, "nod", 0, observation(geometryOf(8, 8), 5, 2));
    saveCamera(directory, "every-record", 0, everyRecord());

    const FrameGeometry g = geometryOf(8, 8);
    auto beams = [](int image, int beam, int x, int y) { return 100 * image + 10 * beam + x + y; };
    for (const int mode : {1, 2, 3}) {
        CameraWriter packed;
        packed.corners(g).totalCoadds(2).obsmode(mode).packed(3, 1).timeObs({9, 5, 3, 7}).endMarker();
        packed.packedData(g, mode, 3, beams).trailer({10, 1, 2, 3});
        saveCamera(directory, "packed-mode" + std::to_string(mode), 1, packed);
        CameraWriter ultrafast;
        ultrafast.corners(g).totalCoadds(2).obsmode(mode == 3 ? 1 : mode).ultrafast(5).endMarker();
        ultrafast.ultrafastData(g, mode == 3 ? 1 : mode, 5, beams).trailer({10, 1, 2, 3});
        saveCamera(directory, "ultrafast-mode" + std::to_string(mode), mode == 2 ? 1 | 2 : 1, ultrafast);
    }
}

// A FITS file of 4 x 3 pixels whose END card is card 37, so that the header takes two blocks.
std::string fitsFile(int bitpix)
{
    std::vector<std::string> cards = {"SIMPLE  =                    T", "BITPIX  = " + std::string(20 - std::to_string(bitpix).size(), ' ') + std::to_string(bitpix),
                                      "NAXIS   =                    2", "NAXIS1  =                    4",
                                      "NAXIS2  =                    3", "BSCALE  =                  2.0",
                                      "BZERO   =                  1.0", "ORIENTST= 'DRNY'"};
    while (cards.size() < 36)
        cards.push_back("COMMENT   filler");
    cards.push_back("END");
    std::string text;
    for (std::string card : cards) {
        card.resize(80, ' ');
        text += card;
    }
    text.resize(2 * 2880, ' ');
    const int size = bitpix < 0 ? -bitpix / 8 : bitpix / 8;
    std::string data(12 * size, '\0');
    for (int i = 0; i < 12; ++i)
        data[i * size + size - 1] = static_cast<char>(i + 1);
    data.resize(2880, '\0');
    return text + data;
}

void fitsSeeds(const fs::path& directory)
{
    fs::create_directories(directory);
    for (const int bitpix : {8, 16, 32, -32})
        std::ofstream(directory / ("bitpix" + std::to_string(bitpix)), std::ios::binary) << fitsFile(bitpix);
}

// Arguments separated by NUL bytes; the scratch directory holds c970611a.005, c970611a.006 and map.fits.
void commandLineSeeds(const fs::path& directory)
{
    fs::create_directories(directory);
    const std::vector<std::vector<std::string>> lines = {
        {"c970611a.005", "-e", "2", "-g", "map.fits"},
        {"c970611a.", "-r", "5", "6", "-m", "map.fits", "-i", "-a"},
        {"c970611a.005", "-o", "2", "-n", "-z", "-d", "out"},
        {"c970611a.005", "-p"},
        {"map.fits", "-f", "-e", "010"},
        {"-h"},
        // Arguments that name places outside the scratch directory, which the target confines.
        {"c970611a.005", "-d1", "/"},
        {"c970611a.", "-r", "005", "006", "-d", " /"},
        {"../c970611a.005", "-g", "/etc/../map.fits", "-d", "../.."},
    };
    int number = 0;
    for (const auto& line : lines) {
        std::string bytes;
        for (std::size_t i = 0; i < line.size(); ++i)
            bytes += (i ? std::string(1, '\0') : std::string()) + line[i];
        std::ofstream(directory / ("line" + std::to_string(++number)), std::ios::binary) << bytes;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::printf("usage: makeseeds <corpus directory>\n");
        return 2;
    }
    const fs::path corpus = argv[1];
    try {
        cameraSeeds(corpus / "camera");
        fitsSeeds(corpus / "fits");
        commandLineSeeds(corpus / "commandline");
    } catch (const std::exception& e) {
        std::printf("makeseeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
