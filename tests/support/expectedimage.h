// Expected output images of the conversion, computed from the input pixels by the table of net
// placements rather than by flipping step by step, and the camera files the tests convert.
#pragma once

#include "support/camerawriter.h"
#include "support/fitsread.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using Pixel = std::function<double(int x, int y)>;

struct Image {
    int naxis1 = 0;
    int naxis2 = 0;
    std::vector<double> values;  // axis 1 fastest

    Image(int n1, int n2);
    double& at(int x, int y) { return values.at(static_cast<size_t>(y) * naxis1 + x); }
    double at(int x, int y) const { return values.at(static_cast<size_t>(y) * naxis1 + x); }
};

// Where input[x][y] ends, by family and flips done: R keeps the axes (rotation by 180 degrees
// when no flip is done), A exchanges them (anti-transposition when no flip is done).
enum class Net { rotation, rFlip2, rFlip1, identity, anti, aFlip1, aFlip2, transpose };

// The nx x ny image pixel(x, y) placed as `net` says, each pixel an f x f block.
Image placed(const Pixel& pixel, int nx, int ny, Net net, int f = 1);

// Empty when the output has the expected sizes and every pixel equal to the float of the
// expected value; otherwise a description of the first difference and the count.
std::string differences(const FitsContents& output, const Image& expected);

// How an observing mode uses its frames, as the camera's format defines them: the beam whose
// coadds divide frame n (1 to 5) when -o selects it, and the sign of each frame in the combined
// image (none: the mode has no combined image).
struct ModeFrames {
    int beamOfFrame[5];
    std::vector<int> signs;
};
const ModeFrames& modeFrames(int obsmode);

// A pixel of the combined image: each frame's quotient by its beam's coadds added with its sign
// in double, the sum rounded to float after every frame.
float combinedPixel(int obsmode, const std::function<double(int frame, int beam)>& quotient);

// Distinct for every pixel up to 1000 rows, and exact in a float.
double distinct(int x, int y);

// A 16 x 16 BITPIX -32 FITS image of distinct values, with `extra` cards after the required ones.
void saveFitsInput(const std::filesystem::path& file, const std::vector<std::string>& extra);

// Corners, coadds for every beam and the observing mode: the records every readable file needs.
CameraWriter observationHeader(int nx, int ny, int obsmode = 1, int coadds = 1);

// Closes the header and appends `frameCount` frames of frame(n, x, y).
void saveObservation(CameraWriter header, const std::filesystem::path& file, int nx, int ny,
                     int frameCount, const FramePixel& frame);

}  // namespace testsupport
