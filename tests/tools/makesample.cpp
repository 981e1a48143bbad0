// Writes the bundled sample camera file: a synthetic 128 x 128 chop-nod observation of two stars
// on sky, four frames of two data blocks each behind a 512-byte header.
//   makesample [path]     (default c970611a.005)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "support/camerawriter.h"

namespace {

using testsupport::CameraWriter;
using testsupport::FrameGeometry;

constexpr int kCoaddsBeam1 = 200;
constexpr int kCoaddsBeam2 = 180;
constexpr int kHeaderSize = 512;
// The chopper and the nod both throw the field by this many rows, so the combination shows
// each star positive in the middle and negative above and below it.
constexpr int kThrow = 30;

struct Star {
    double x, y, peak, sigma;  // peak in counts per coadd
};
constexpr Star kStars[] = {{64.0, 60.0, 3000.0, 1.8}, {38.0, 84.0, 700.0, 1.4}};

double starlight(int x, int y, int rowShift) {
    double sum = 0.0;
    for (const Star& s : kStars) {
        const double dx = x - s.x, dy = y - (s.y + rowShift);
        sum += s.peak * std::exp(-(dx * dx + dy * dy) / (2.0 * s.sigma * s.sigma));
    }
    return sum;
}

// Noise from a fixed integer hash, so the file is the same on every machine and library.
double noise(int frame, int x, int y) {
    uint64_t z = (uint64_t(frame) << 32) ^ (uint64_t(x) << 16) ^ uint64_t(y);
    double sum = 0.0;
    for (int i = 0; i < 4; ++i) {
        z += 0x9e3779b97f4a7c15ULL;
        uint64_t h = z;
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
        h ^= h >> 31;
        sum += double(h >> 11) / double(1ULL << 53);
    }
    return (sum - 2.0) * 1.7;  // about unit variance
}

// Frames 1 and 2 are nod beam A, chopper on and off; frames 3 and 4 nod beam B, where the
// telescope moved by the throw. The sky differs between chopper beams and drifts a little
// between nods; both cancel in F1 - F2 - F3 + F4.
int32_t pixel(int frame, int x, int y) {
    static constexpr int kShift[] = {0, 0, kThrow, -kThrow, 0};
    const bool chopOff = frame == 2 || frame == 4;
    const bool nodB = frame >= 3;
    const double sky = (chopOff ? 24150.0 : 24000.0) + (nodB ? 60.0 : 0.0) + 4.0 * (x - 64) / 64.0;
    const int coadds = nodB ? kCoaddsBeam2 : kCoaddsBeam1;
    const double perCoadd = sky + starlight(x, y, kShift[frame]);
    return int32_t(std::lround(coadds * perCoadd + std::sqrt(double(coadds)) * 30.0 * noise(frame, x, y)));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "c970611a.005";
    const FrameGeometry g{0, 0, 127, 127, 63};

    CameraWriter file;
    file.headerSize(kHeaderSize)
        .object("SYNTHETIC STAR FIELD")
        .telescope("TEST 2.3M")
        .site(3)
        .timeObs({9, 5, 3, 7})
        .dateTime(1997, 6, 11, 9, 5, 3)
        .raDec(316.7575, 42.2358)
        .record(57, {2000.0})               // EQUINOX
        .record(47, {1.23})                 // AIRMASS
        .telescopeScale(1.56f)
        .magnification(2.0f)
        .wavelength(10.5f)
        .record(2, {3.0, 5.0})              // FILTER1, FILTER2
        .record(87, {1.0})                  // FILTER3
        .record(3, {5.0})                   // CHOPFREQ
        .record(4, {0.025})                 // FRAMETIM
        .record(5, {30.0})                  // ITIME
        .record(10, {10.2})                 // DETTEMP
        .record(46, {4.5, 21.3, 25.8})      // ERTEMP1 to ERTEMP3
        .record(85, {77.4})                 // LN2TEMP
        .record(17, {128.0, 128.0})         // ARRAYXSZ, ARRAYYSZ
        .corners(g)
        .totalCoadds(kCoaddsBeam1)
        .beamCoadds(2, kCoaddsBeam2)
        .obsmode(3)
        .sampleMode(1)
        .framesPerCoimage(25)
        .chopWait(12.5f)
        .offsets(63.5f, 64.0f)
        .orientation("ULYYN")
        .record(60, {4.1})                  // SOFTVER
        .timeEnd({9, 17, 41, 52})
        .endMarker();
    if (file.size() > kHeaderSize) {
        std::printf("makesample: header of %zu bytes exceeds %d\n", file.size(), kHeaderSize);
        return 1;
    }
    file.padTo(kHeaderSize).frames(g, 4, pixel);

    try {
        file.save(path);
    } catch (const std::exception& e) {
        std::printf("makesample: %s\n", e.what());
        return 1;
    }
    std::printf("makesample: wrote %s, %zu bytes\n", path.c_str(), file.size());
    return 0;
}
