#include "convert/runcontext.h"

#include "convert/console.h"
#include "convert/names.h"

RasterMemory zeroRaster()
{
    RasterMemory raster(static_cast<Raster*>(std::calloc(1, sizeof(Raster))));
    if (!raster)
        fatalExit("Error allocating memory!\n");
    return raster;
}

const OutputFolder* folderFor(const RunContext& run, const std::string& outputName)
{
    return run.folder.path() == folderOf(outputName) ? &run.folder : nullptr;
}

void handOver(RunContext& run, std::function<void()> write)
{
    if (!run.queue) {
        write();
        return;
    }
    run.queue->submit([&run, write = std::move(write), position = run.position] {
        try {
            write();
        } catch (const FatalExit&) {
            run.stoppedAt = position.inputName;
            run.notTried = position.notTried;
            throw;
        }
    });
}

RasterMemory handRaster(RunContext& run)
{
    RasterMemory raster = std::move(run.inputImage);
    run.inputImage = run.rasters.take();
    if (!run.inputImage)
        run.inputImage = zeroRaster();
    return raster;
}

FitsImage copyOf(const FitsImage& image)
{
    FitsImage copy;
    copy.naxis = image.naxis;
    copy.naxis1 = image.naxis1;
    copy.naxis2 = image.naxis2;
    copy.bscale = image.bscale;
    copy.bzero = image.bzero;
    copy.bitpix = image.bitpix;
    copy.header = image.header.clone();
    return copy;
}

namespace {

// A failed write of a data cube, its messages printed: the run cannot go on with it.
[[noreturn]] void cubeFailed(CubeOutput& cube)
{
    fatalExitAfter(cube.messages);
}

} // namespace

void beginCube(const std::shared_ptr<CubeOutput>& cube, const std::string& name, int64_t planes,
               const OutputFolder* folder)
{
    if (!cube->writer.begin(name, cube->image, planes, cube->messages, cube->failure, folder))
        cubeFailed(*cube);
}

void addCubePlane(CubeOutput& cube, const unsigned char* data)
{
    if (!cube.writer.addPlane(data))
        cubeFailed(cube);
}

void finishCube(CubeOutput& cube, const Header* extension, const std::string& extensionData)
{
    if (!cube.writer.finish(extension, extensionData))
        cubeFailed(cube);
}
