#include "support/expectedimage.h"

#include "support/fitswrite.h"

#include <cmath>
#include <sstream>
#include <utility>

namespace testsupport {

Image::Image(int n1, int n2)
    : naxis1(n1), naxis2(n2), values(static_cast<size_t>(n1) * n2, std::nan("")) {}

namespace {

std::pair<int, int> destination(Net net, int x, int y, int nx, int ny) {
    switch (net) {
    case Net::rotation: return {nx - 1 - x, ny - 1 - y};
    case Net::rFlip2: return {nx - 1 - x, y};
    case Net::rFlip1: return {x, ny - 1 - y};
    case Net::identity: return {x, y};
    case Net::anti: return {ny - 1 - y, nx - 1 - x};
    case Net::aFlip1: return {y, nx - 1 - x};
    case Net::aFlip2: return {ny - 1 - y, x};
    case Net::transpose: return {y, x};
    }
    return {-1, -1};
}

}  // namespace

Image placed(const Pixel& pixel, int nx, int ny, Net net, int f) {
    const bool exchanged = net >= Net::anti;
    Image out(f * (exchanged ? ny : nx), f * (exchanged ? nx : ny));
    for (int x = 0; x < nx; ++x)
        for (int y = 0; y < ny; ++y) {
            const auto [px, py] = destination(net, x, y, nx, ny);
            for (int i = 0; i < f; ++i)
                for (int j = 0; j < f; ++j) out.at(f * px + i, f * py + j) = pixel(x, y);
        }
    return out;
}

std::string differences(const FitsContents& output, const Image& expected) {
    std::ostringstream text;
    if (output.naxis1 != expected.naxis1 || output.naxis2 != expected.naxis2) {
        text << "size " << output.naxis1 << " x " << output.naxis2 << ", expected "
             << expected.naxis1 << " x " << expected.naxis2;
        return text.str();
    }
    int count = 0;
    for (int y = 0; y < expected.naxis2; ++y)
        for (int x = 0; x < expected.naxis1; ++x) {
            const float want = static_cast<float>(expected.at(x, y));
            if (output.at(x, y) == want) continue;  // a NaN left by placed() never matches
            if (count++ == 0)
                text << "first at [" << x << "][" << y << "]: " << output.at(x, y) << ", expected "
                     << want;
        }
    if (count > 0) text << "; " << count << " pixels differ";
    return text.str();
}

const ModeFrames& modeFrames(int obsmode) {
    static const ModeFrames grab{{1, 1, 1, 1, 1}, {1}}, chop{{1, 1, 1, 1, 1}, {1, -1}},
        chopNod{{1, 1, 2, 2, 2}, {1, -1, -1, 1}}, nod{{1, 2, 2, 2, 2}, {1, -1}},
        twoBeamNod{{1, 2, 3, 4, 1}, {-1, 1, 1, -1}}, none{{1, 1, 1, 1, 1}, {}};
    switch (obsmode) {
    case 1: return grab;
    case 2: return chop;
    case 3:
    case 4: return chopNod;
    case 5: return nod;
    case 7: return twoBeamNod;
    default: return none;
    }
}

float combinedPixel(int obsmode, const std::function<double(int frame, int beam)>& quotient) {
    const ModeFrames& mode = modeFrames(obsmode);
    float cell = 0.0f;
    for (int n = 1; n <= static_cast<int>(mode.signs.size()); ++n) {
        const double term = mode.signs[n - 1] * quotient(n, mode.beamOfFrame[n - 1]);
        cell = static_cast<float>(n == 1 ? term : cell + term);
    }
    return cell;
}

double distinct(int x, int y) { return 1000.0 * x + y + 1; }

void saveFitsInput(const std::filesystem::path& file, const std::vector<std::string>& extra) {
    std::vector<std::string> cards = primaryCards(-32, 16, 16);
    cards.insert(cards.end(), extra.begin(), extra.end());
    writeFitsFile(file, cards, -32, 16, 16, distinct);
}

CameraWriter observationHeader(int nx, int ny, int obsmode, int coadds) {
    CameraWriter file;
    file.corners(geometryOf(nx, ny)).totalCoadds(coadds).obsmode(obsmode);
    return file;
}

void saveObservation(CameraWriter header, const std::filesystem::path& file, int nx, int ny,
                     int frameCount, const FramePixel& frame) {
    header.endMarker().frames(geometryOf(nx, ny), frameCount, frame).save(file.string());
}

}  // namespace testsupport
