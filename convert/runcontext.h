#pragma once

#include "camera/session.h"
#include "convert/modernheader.h"
#include "convert/writequeue.h"
#include "fits/encode.h"
#include "fits/fitsfile.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

struct RasterFree {
    void operator()(Raster* raster) const { std::free(raster); }
};
using RasterMemory = std::unique_ptr<Raster, RasterFree>;

// A raster of zeros; calloc leaves the pages a run never touches unused.
RasterMemory zeroRaster();

// A data cube as the writing thread writes it, a plane at a time: the record of its planes, whose
// header the writer keeps until the cube is finished, the writer, and what the writer says when
// it fails.
struct CubeOutput {
    FitsImage image;
    FitsCubeWriter writer;
    Messages messages;
    WriteFailure failure;
};

// The data cube of a range (--cube without -p): the first file's header made a cube's, and its
// file.
struct RangeCube {
    std::string name;
    std::vector<std::string> inputs; // the range's input files, a plane each
    std::shared_ptr<CubeOutput> output = std::make_shared<CubeOutput>();
    int64_t planesAdded = 0;
    std::vector<std::string> starts; // --modern: each plane's start
    ObservationTimes last;           // the times of the file that ends last, whose end is the cube's
    std::string lastEnd;             // and its TIME-END value
};

// Where a run stands when a write stops it: the file being read and the range's numbers after it.
struct StopPoint {
    std::string inputName;
    int64_t notTried = 0;
};

// Everything one run owns and hands down: the rasters, allocated once and never cleared
// between files (the maps only when they are asked for), what camera files leave for each
// other, and the counts of the summary.
struct RunContext {
    RasterMemory inputImage = zeroRaster();
    RasterMemory maskMap;
    RasterMemory gainMap;
    FitsImage maskRecord; // the maps' sizes and headers
    FitsImage gainRecord;
    FitsImage image;
    CameraSession camera;
    OutputFolder folder;                           // where every output of the run goes, opened once
    Pool<RasterMemory> rasters;                    // input rasters that the writes are done with
    Pool<std::vector<unsigned char>> buffers;      // data encoded on the reading thread
    std::vector<unsigned char> scratch;            // its image before the blocks are replicated
    std::vector<unsigned char> data, dataScratch;  // the writing thread's own
    WriteQueue* queue = nullptr;                   // the writes, when files are read on a second thread
    StopPoint position;                            // the file being read, should a write stop the run
    std::unique_ptr<RangeCube> rangeCube;          // --cube of a range: its planes as they come
    std::unordered_set<std::string> unpackedNames; // the names the run gave unpacked images
    int unpackedImages = 0;                        // unpacked images written
    int failedWrites = 0;                          // converted files and unpacked images that could not be written
    int filesRead = 0;                             // input files whose reading began
    int filesConverted = 0;                        // output files written
    int failedFiles = 0;                           // files that --keep-going went past
    std::vector<std::string> failedNames;          // those and the files not written, for its summary
    std::string stoppedAt;                         // the file whose failure ended the range early
    int64_t notTried = 0;                          // and the numbers of the range after it
};

// The run's opened folder when `outputName` lies in it; null lets a write open its own.
const OutputFolder* folderFor(const RunContext& run, const std::string& outputName);

// Runs `write` where the run writes its outputs: at once, or, when the files are read on a second
// thread, in its turn on the writing thread. A write that stops the run there stops it where the
// reading stood when it handed the write over.
void handOver(RunContext& run, std::function<void()> write);

// An output on its way to the writing thread: its record, and the raster its pixels are placed
// from, which the reading of the next file no longer uses.
struct PendingOutput {
    PendingOutput(FitsImage record, RasterMemory pixels, const Placement& where)
        : image(std::move(record)), raster(std::move(pixels)), placement(where)
    {
    }
    FitsImage image;
    RasterMemory raster;
    Placement placement;
};

// The input raster, for a write to take; the next file is read into one the writes are done with.
RasterMemory handRaster(RunContext& run);

// The image's record with a copy of its header, for a write that outlives the reading of the next.
FitsImage copyOf(const FitsImage& image);

// The steps of writing a data cube, on the writing thread; one that fails stops the run, its
// messages printed.
void beginCube(const std::shared_ptr<CubeOutput>& cube, const std::string& name, int64_t planes,
               const OutputFolder* folder);
void addCubePlane(CubeOutput& cube, const unsigned char* data);
void finishCube(CubeOutput& cube, const Header* extension, const std::string& extensionData);
