#include "convert/run.h"

#include "camera/readveska.h"
#include "convert/commandline.h"
#include "convert/console.h"
#include "convert/cube.h"
#include "convert/geometry.h"
#include "convert/modernheader.h"
#include "convert/names.h"
#include "convert/outputheader.h"
#include "convert/writequeue.h"
#include "convert/zerowait.h"
#include "fits/fitsfile.h"
#include "fits/realtext.h"
#include "fits/scan.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* estimatedStart = "ESTIMATED: EVEN SPACING START TO END";

struct RasterFree {
    void operator()(Raster* raster) const { std::free(raster); }
};
using RasterMemory = std::unique_ptr<Raster, RasterFree>;

// A raster of zeros; calloc leaves the pages a run never touches unused.
RasterMemory zeroRaster()
{
    RasterMemory raster(static_cast<Raster*>(std::calloc(1, sizeof(Raster))));
    if (!raster)
        fatalExit("Error allocating memory!\n");
    return raster;
}

// The data cube of a range (--cube without -p): the first file's header made a cube's, and its
// file, written a plane at a time.
struct RangeCube {
    std::string name;
    std::vector<std::string> inputs; // the range's input files, a plane each
    FitsImage image;
    FitsCubeWriter writer;
    Messages messages; // the writer's, and its failure
    WriteFailure failure;
    int64_t planesAdded = 0;
    std::vector<std::string> starts; // --modern: each plane's start
    ObservationTimes last;           // and the times of the last plane's file, whose end is the cube's
};

// Where a run stands when a write stops it: the file being read and the range's numbers after it.
struct StopPoint {
    std::string inputName;
    int64_t notTried = 0;
};

// Everything one run owns and hands down: the four rasters, allocated once and never cleared
// between files (the maps only when they are asked for), what camera files leave for each
// other, and the counts of the summary.
struct RunContext {
    RasterMemory inputImage = zeroRaster();
    RasterMemory outputImage = zeroRaster(); // scratch of the transposition
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

    int writeFailures() const { return failedWrites; }
};

// Why a file could not be read as asked: a FITS file given without -f, a file that is no
// camera file at all, or one that is no FITS file where a FITS input or map is wanted. Only
// plain files are looked at again: a pipe would lose what is read from it.
enum class Wanted { camera, fitsInput, map };

void explainUnreadable(const std::string& name, Wanted wanted)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error))
        return;
    File file = openFile(name, "rb");
    unsigned char start[9] = {};
    const std::size_t got = file ? std::fread(start, 1, sizeof start, file.get()) : 0;
    if (got == 0)
        return;
    const bool fits = got == sizeof start && std::memcmp(start, "SIMPLE  =", sizeof start) == 0;
    if (wanted == Wanted::map && !fits)
        notice("%s is not a FITS file", name.c_str());
    else if (wanted == Wanted::fitsInput && !fits)
        notice("%s is not a FITS file; camera files are converted without -f", name.c_str());
    else if (wanted == Wanted::camera && fits)
        notice("%s is a FITS file: FITS input needs -f", name.c_str());
    else if (wanted == Wanted::camera && (start[0] == 0 || (start[0] >= 88 && start[0] != 255)))
        notice("%s does not look like a camera file: its first byte is no header record", name.c_str());
}

void loadMap(const char* announcement, const std::string& name, FitsImage& record, Raster& map, const char* failure)
{
    say(announcement, name.c_str());
    Messages messages;
    const FitsReadResult result = readFITS(name, record, map, messages, FitsSource::map);
    print(messages);
    if (result != FitsReadResult::ok) {
        explainUnreadable(name, Wanted::map);
        fatalExit("%s", failure);
    }
    for (int x = 0; x < record.naxis1; ++x)
        for (int y = 0; y < record.naxis2; ++y)
            map[x][y] = static_cast<float>(map[x][y] * record.bscale + record.bzero);
}

// A map of another size than the image applies all the same, pixel [x][y] to [x][y]: the
// pixels beyond it meet a map value of 0, and the map's own beyond the image are unused.
void warnMapSize(const char* what, const std::string& mapName, const FitsImage& map, const std::string& inputName,
                 const FitsImage& image)
{
    if (map.naxis1 == image.naxis1 && map.naxis2 == image.naxis2)
        return;
    const int64_t covered = int64_t{std::min(map.naxis1, image.naxis1)} * std::min(map.naxis2, image.naxis2);
    const int64_t outside = int64_t{image.naxis1} * image.naxis2 - covered;
    const std::string sizes = std::string(what) + " " + mapName + " is " + std::to_string(map.naxis1) + " x "
        + std::to_string(map.naxis2) + " but " + inputName + " is " + std::to_string(image.naxis1) + " x "
        + std::to_string(image.naxis2);
    if (outside > 0)
        notice("warning - %s: %lld pixels outside the map become 0", sizes.c_str(), static_cast<long long>(outside));
    else
        notice("warning - %s: only its lower-left %d x %d is used", sizes.c_str(), image.naxis1, image.naxis2);
}

// The run's opened folder when `outputName` lies in it; null lets a write open its own.
const OutputFolder* folderFor(const RunContext& run, const std::string& outputName)
{
    return run.folder.path() == folderOf(outputName) ? &run.folder : nullptr;
}

// Runs `write` where the run writes its outputs: at once, or, when the files are read on a second
// thread, in its turn on the writing thread. A write that stops the run there stops it where the
// reading stood when it handed the write over.
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
RasterMemory handRaster(RunContext& run)
{
    RasterMemory raster = std::move(run.inputImage);
    run.inputImage = run.rasters.take();
    if (!run.inputImage)
        run.inputImage = zeroRaster();
    return raster;
}

// The image's record with a copy of its header, for a write that outlives the reading of the next.
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

// Never replace a file this run reads: the input, or a map. A link at the output name is no
// such file, even when it points to one: the rename replaces the link and leaves its target.
void refuseOverwrite(const std::string& outputName, const std::string& inputName, const Options& options,
                     const RunContext& run)
{
    for (const std::string* source : {&inputName, &options.maskName, &options.gainName}) {
        if (!source->empty() && replacesFile(outputName, *source, folderFor(run, outputName)))
            fatalExit("kovrent: Error - output file %s would overwrite input file %s\n", outputName.c_str(),
                      source->c_str());
    }
}

// Frames per coimage for -z on FITS input: the FRPERCOI card that unpacked files carry.
float framesPerCoimageOf(const FitsImage& image, const std::string& inputName)
{
    std::string value;
    double frames = 0.0;
    if (image.header.findCard("FRPERCOI", value) < 1 || !scanReal(value, frames))
        fatalExit("kovrent: Error - -z needs the frames per coimage, but %s has no FRPERCOI card\n", inputName.c_str());
    return static_cast<float>(frames);
}

// After a run of more than one file (or image), or a range that stopped early: how many were
// written, how many failed (named with --keep-going, ten at most), how many were not tried
// and how long it took.
void summarise(const RunContext& run, const Options& options, int failed, std::chrono::steady_clock::time_point start)
{
    const bool unpack = options.unpack;
    const int written = unpack ? run.unpackedImages : run.filesConverted;
    if (run.filesRead < 2 && written + failed < 2 && run.notTried == 0)
        return;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    const char* const what = unpack ? (written == 1 ? "image unpacked" : "images unpacked")
                                    : (written == 1 ? "file converted" : "files converted");
    std::string failures = std::to_string(failed) + " failed";
    if (options.keepGoing && !run.failedNames.empty()) {
        const std::size_t named = std::min<std::size_t>(run.failedNames.size(), 10);
        std::string names;
        for (std::size_t i = 0; i < named; ++i)
            names += (i == 0 ? "" : ", ") + run.failedNames[i];
        if (run.failedNames.size() > named)
            names += " and " + std::to_string(run.failedNames.size() - named) + " more";
        failures += " (" + names + ")";
    }
    if (run.notTried > 0)
        failures += ", " + std::to_string(run.notTried) + (unpack ? " files" : "") + " not tried (stopped at "
            + run.stoppedAt + ")";
    notice("%d %s, %s, in %.2f s", written, what, failures.c_str(), seconds.count());
}

// A failed write of a data cube, its messages printed: the run cannot go on with it.
[[noreturn]] void cubeFailed(Messages& messages, const WriteFailure& failure)
{
    if (failure.step == WriteStep::interrupted)
        endBySignal(failure.signal);
    fatalExitAfter(messages);
}

// The converted image of one file of the range, encoded in `data`, as the next plane of its cube:
// the first file's header and size make the cube's, and every later file must have the same size
// and BITPIX.
void addRangePlane(const Options& options, const std::string& inputName, const std::string& outputName,
                   const Placement& placement, RunContext& run)
{
    RangeCube& cube = *run.rangeCube;
    FitsImage& image = run.image;
    const FitsImage& first = cube.image;
    if (cube.planesAdded > 0
        && (image.naxis1 != first.naxis1 || image.naxis2 != first.naxis2 || image.bitpix != first.bitpix))
        fatalExitBecause("every plane of a data cube has the size and BITPIX of its first",
                         "kovrent: Error - %s is %d x %d (BITPIX %d), but the planes of data cube %s are %d x %d "
                         "(BITPIX %d)\n",
                         inputName.c_str(), image.naxis1, image.naxis2, image.bitpix, cube.name.c_str(), first.naxis1,
                         first.naxis2, first.bitpix);
    say("writing %s\n", outputName.c_str());
    if (options.modern) {
        cube.last = observationTimes(image.header);
        cube.starts.push_back(cube.last.hasDate ? isoInstant(cube.last.day, cube.last.start) : "");
    }
    if (cube.planesAdded == 0) {
        cube.image.naxis1 = image.naxis1;
        cube.image.naxis2 = image.naxis2;
        cube.image.bitpix = image.bitpix;
        cube.image.header = std::move(image.header);
        Header& header = cube.image.header;
        const auto planes = static_cast<int64_t>(cube.inputs.size());
        if (!makeCubeHeader(header, planes, options.modern) || !header.resumeAtEnd())
            fatalExit("kovrent: error, NAXIS keyword not found\n");
        for (std::size_t k = 0; k < cube.inputs.size(); ++k)
            header.addCommentCard("HISTORY ", "PLANE " + std::to_string(k + 1) + " IS " + cube.inputs[k]);
        if (options.modern)
            header.setValueCard("NIMAGES", std::to_string(planes), "NUMBER OF PLANES");
        header.end();
        if (header.outOfMemory())
            fatalExit("Error allocating memory!\n");
        handOver(run, [&run, &cube, planes] {
            if (!cube.writer.begin(cube.name, cube.image, planes, cube.messages, cube.failure,
                                   folderFor(run, cube.name)))
                cubeFailed(cube.messages, cube.failure);
        });
    }
    auto plane = std::make_shared<PendingOutput>(FitsImage(), handRaster(run), placement);
    plane->image.bitpix = image.bitpix;
    handOver(run, [&run, &cube, plane] {
        encodePixels(*plane->raster, plane->placement, plane->image.bitpix, run.data, run.dataScratch);
        if (!cube.writer.addPlane(run.data.data()))
            cubeFailed(cube.messages, cube.failure);
        run.rasters.give(std::move(plane->raster));
        flushOutput();
    });
    ++cube.planesAdded;
    image.header.freeHeader();
}

// The range's cube, once every plane has come: announced, its TIMES table behind it with
// --modern, and renamed into place.
void finishRangeCube(const Options& options, RunContext& run)
{
    RangeCube& cube = *run.rangeCube;
    say("Now writing data cube %s (%lld images)\n", cube.name.c_str(), static_cast<long long>(cube.planesAdded));
    handOver(run, [&run, &cube, modern = options.modern] {
        Header extension;
        std::string table;
        if (modern)
            timesExtension(cube.starts, extension, table);
        // The observation of the cube ends where its last file's does.
        if (modern && cube.last.hasEnd) {
            Header& header = cube.image.header;
            header.replaceValueCard("DATE-END", quotedValue(isoInstant(cube.last.day, cube.last.end)),
                                    "END OF OBSERVATION (UT)");
            header.replaceValueCard("MJD-END", mjdText(cube.last.day, cube.last.end), "END OF OBSERVATION (MJD)");
        }
        if (!cube.writer.finish(modern ? &extension : nullptr, table))
            cubeFailed(cube.messages, cube.failure);
        run.filesConverted += static_cast<int>(cube.planesAdded);
        flushOutput();
    });
}

// Everything that follows a successful read of one file.
void convertImage(const Options& options, const std::string& inputName, const std::string& outputName, RunContext& run)
{
    FitsImage& image = run.image;
    Raster& inputImage = *run.inputImage;
    Raster& outputImage = *run.outputImage;
    CameraSession& camera = run.camera;
    if (options.mask) {
        warnMapSize("mask", options.maskName, run.maskRecord, inputName, image);
        applyMask(inputImage, *run.maskMap, image.naxis1, image.naxis2);
    }
    if (options.gain) {
        warnMapSize("gain map", options.gainName, run.gainRecord, inputName, image);
        applyGain(inputImage, *run.gainMap, image.naxis1, image.naxis2);
    }

    warnZeroWait(options.zeroWait, options.fitsInput, camera.chopWaitMsec, camera.obsmode);
    float frames = 0.0f;
    if (options.zeroWait) {
        frames = options.fitsInput ? framesPerCoimageOf(image, inputName) : camera.framesPerCoimage;
        correctZeroWait(inputImage, image.naxis1, image.naxis2, frames);
    }
    if (options.fitsInput) {
        readOrientation(image, camera.orientation);
        // A converted file, unlike an unpacked one, is turned already.
        if (!options.noFlips && image.header.hasCommentCard("HISTORY", orientedHistory))
            notice("warning - %s was oriented when it was converted; -f turns it again (-n leaves it)",
                   inputName.c_str());
    }

    const int64_t expansion = options.expansion;
    if (expansion * image.naxis1 > rasterSize || expansion * image.naxis2 > rasterSize)
        fatalExit("kovrent: Error - expansion by %d makes the %d x %d image larger than %d x %d\n", options.expansion,
                  image.naxis1, image.naxis2, rasterSize, rasterSize);

    if (!options.noFlips && camera.orientation.steps().transpose)
        transposeInput(image, inputImage, outputImage);
    const Placement placement = placeOutput(image, options.expansion, options.noFlips, camera.orientation);
    if (options.expansion > 1 || axisCardsDiffer(image))
        rewriteAxisSizes(image, image.naxis1, image.naxis2);
    completeHeader(image, options, camera.orientation, frames);
    if (run.rangeCube) {
        addRangePlane(options, inputName, outputName, placement, run);
        return;
    }
    // The record and the raster go to the write, which orients, expands and encodes the pixels
    // in one pass; the reading of the next file fills others.
    auto output = std::make_shared<PendingOutput>(std::move(image), handRaster(run), placement);
    handOver(run, [&run, output, inputName, outputName] {
        encodePixels(*output->raster, output->placement, output->image.bitpix, run.data, run.dataScratch);
        if (writeOutput(outputName, output->image, run.data.data(), folderFor(run, outputName))) {
            ++run.filesConverted;
        } else {
            ++run.failedWrites;
            run.failedNames.push_back(inputName);
        }
        run.rasters.give(std::move(output->raster));
    });
}

// What --modern adds to the header that every image of a packed file carries: which image it
// is (the number a placeholder until the image comes), how many there are, its estimated start
// between the file's start and end, the file's times, the interchange and checksums.
void addModernImageCards(const Options& options, const PackedImages& images, const ObservationTimes& times,
                         Header& header)
{
    header.resumeAtEnd();
    header.setValueCard("IMAGENUM", "1", "NUMBER OF THE IMAGE IN ITS PACKED FILE");
    header.setValueCard("NIMAGES", std::to_string(images.count()), "NUMBER OF IMAGES IN THE PACKED FILE");
    if (times.hasEnd) {
        header.setValueCard("DATE-BEG", "''", estimatedStart);
        header.setValueCard("MJD-BEG", "0", estimatedStart);
    }
    addTimeCards(header, times);
    if (options.interchange && !images.ultrafast())
        header.addCommentCard("HISTORY ", interchangeHistory);
    addChecksumCards(header);
    header.end();
}

// Image k of n: its number and its estimated start, (k - 1) n-ths of the way from start to end.
void numberModernImage(int64_t k, int64_t n, const ObservationTimes& times, Header& header)
{
    header.replaceValueCard("IMAGENUM", std::to_string(k), "NUMBER OF THE IMAGE IN ITS PACKED FILE");
    if (!times.hasEnd)
        return;
    const int64_t start = times.startPlus(k - 1, n);
    header.replaceValueCard("DATE-BEG", quotedValue(isoInstant(times.day, start)), estimatedStart);
    header.replaceValueCard("MJD-BEG", mjdText(times.day, start), estimatedStart);
}

// The images of a packed file as the planes of one data cube, named like the unpacked images
// but with 'k' for their 't' and the packed file's own number; with --modern, a TIMES table of
// their estimated starts follows. Planes come as the images are read, so memory stays flat.
void writeUnpackedCube(const Options& options, const std::string& inputName, PackedImages& images, RunContext& run,
                       int64_t& fileNumber)
{
    fileNumber = std::max<int64_t>(fileNumber, 0) + images.count() - 1;
    const std::string cubeName = outputNameFor(inputName, options, 'k');
    if (!run.unpackedNames.insert(cubeName).second)
        fatalExitBecause(cubeName + " is the name of an earlier output of this run",
                         "kovrent: Error - no file name for the data cube of %s\n", inputName.c_str());
    const OutputFolder* folder = folderFor(run, cubeName);
    if (replacesFile(cubeName, inputName, folder))
        fatalExit("kovrent: Error - data cube %s would overwrite input file %s\n", cubeName.c_str(), inputName.c_str());

    FitsImage& image = run.image;
    Header& header = image.header;
    const ObservationTimes times = observationTimes(header);
    const bool table = options.modern && times.hasEnd;
    Options irafOptions = options;
    irafOptions.appendFits = false;
    if (!makeCubeHeader(header, images.count(), table)
        || !header.replaceStringCard("IRAFNAME", outputNameFor(inputName, irafOptions, 'i')))
        fatalExit("kovrent: error, IRAFNAME keyword not found\n");
    if (options.modern) {
        header.resumeAtEnd();
        header.setValueCard("NIMAGES", std::to_string(images.count()), "NUMBER OF IMAGES IN THE PACKED FILE");
        addTimeCards(header, times);
        if (options.interchange && !images.ultrafast())
            header.addCommentCard("HISTORY ", interchangeHistory);
        addChecksumCards(header);
        header.end();
    }
    if (header.outOfMemory())
        fatalExit("Error allocating memory!\n");

    say("Now writing data cube %s (%lld images)\n", cubeName.c_str(), static_cast<long long>(images.count()));
    // The writer, its messages and the header go with the writes; planes are read meanwhile.
    struct Cube {
        FitsCubeWriter writer;
        FitsImage image;
        Messages messages;
        WriteFailure failure;
    };
    auto cube = std::make_shared<Cube>();
    cube->image = std::move(image);
    const int64_t count = images.count();
    handOver(run, [cube, cubeName, count, folder] {
        if (!cube->writer.begin(cubeName, cube->image, count, cube->messages, cube->failure, folder))
            cubeFailed(cube->messages, cube->failure);
    });
    Messages messages;
    for (int64_t k = 0; k < count; ++k) {
        if (!images.readNext(*run.inputImage, messages))
            fatalExitAfter(messages);
        // Encoded here, as unpacked images are.
        auto plane = std::make_shared<std::vector<unsigned char>>(run.buffers.take());
        encodePixels(*run.inputImage, Placement::asIs(cube->image.naxis1, cube->image.naxis2), cube->image.bitpix,
                     *plane, run.scratch);
        handOver(run, [&run, cube, plane] {
            if (!cube->writer.addPlane(plane->data()))
                cubeFailed(cube->messages, cube->failure);
            run.buffers.give(std::move(*plane));
        });
    }
    handOver(run, [&run, cube, table, times, count] {
        Header extension;
        std::string rows;
        if (table) {
            std::vector<std::string> starts;
            for (int64_t k = 0; k < count; ++k)
                starts.push_back(isoInstant(times.day, times.startPlus(k, count)));
            timesExtension(starts, extension, rows);
        }
        if (!cube->writer.finish(table ? &extension : nullptr, rows))
            cubeFailed(cube->messages, cube->failure);
        run.unpackedImages += static_cast<int>(count);
        flushOutput();
    });
}

// The images of a packed file, each named after the file's output name with the letter 't'
// and numbered on from fileNumber, which is raised past them, then announced, read and written.
// A write that fails skips its image; a name that cannot be formed, an image that would replace
// the input and data that end early stop the run.
void writeUnpackedImages(const Options& options, const std::string& inputName, const std::string& outputName,
                         PackedImages& images, RunContext& run, int64_t& fileNumber)
{
    const UnpackedNames names(outputName, options.frameNumber, options.appendFits);
    // A file without a number in its name is numbered from 0.
    const int64_t startNumber = std::max<int64_t>(fileNumber, 0);
    fileNumber = startNumber + images.count() - 1;
    const OutputFolder* folder = folderFor(run, outputName);
    const ObservationTimes times = observationTimes(run.image.header);
    if (options.modern)
        addModernImageCards(options, images, times, run.image.header);
    Messages messages;
    std::string fileName, irafName, reason;
    for (int64_t k = 0; k < images.count(); ++k) {
        const long long number = startNumber + k;
        if (!names.forImage(number, fileName, irafName, reason))
            fatalExitBecause(reason, "kovrent: Error - no file name for unpacked image number %lld\n", number);
        // Two images of one run never share a name: the later one would replace the earlier.
        if (!run.unpackedNames.insert(fileName).second)
            fatalExitBecause(fileName + " is the name of an earlier image of this run",
                             "kovrent: Error - no file name for unpacked image number %lld\n", number);
        if (replacesFile(fileName, inputName, folder))
            fatalExit("kovrent: Error - unpacked file %s would overwrite input file %s\n", fileName.c_str(),
                      inputName.c_str());
        say(images.ultrafast() ? "Now writing ultrafast unpacked file %s\n" : "Now writing unpacked file %s\n",
            fileName.c_str());
        if (!images.readNext(*run.inputImage, messages))
            fatalExitAfter(messages);
        if (!run.image.header.replaceStringCard("IRAFNAME", irafName))
            fatalExit("kovrent: error, IRAFNAME keyword not found\n");
        if (options.modern)
            numberModernImage(k + 1, images.count(), times, run.image.header);
        // The header as it stands for this image, and its pixels encoded here, go with the write:
        // writing an unpacked image costs its thread more than reading one.
        auto output
            = std::make_shared<std::pair<FitsImage, std::vector<unsigned char>>>(copyOf(run.image), run.buffers.take());
        encodePixels(*run.inputImage, Placement::asIs(run.image.naxis1, run.image.naxis2), run.image.bitpix,
                     output->second, run.scratch);
        handOver(run, [&run, output, fileName, folder] {
            if (writeImage(fileName, output->first, output->second.data(), folder))
                ++run.unpackedImages;
            else
                ++run.failedWrites;
            run.buffers.give(std::move(output->second));
        });
    }
}

// The folder of the run's outputs is opened before anything is read. A -d folder that is
// missing, or no folder, would fail every write: the run stops there.
void openOutputFolder(const Options& options, const std::string& firstOutputName, RunContext& run)
{
    if (run.folder.open(folderOf(firstOutputName)) || !options.toDirectory)
        return;
    fatalExitBecause(options.outputDirectory + ": " + std::strerror(run.folder.error()),
                     "kovrent: Error - no output directory %s\n", options.outputDirectory.c_str());
}

void convertRange(const Options& options, const std::string& rootName, int64_t fileNumber, int64_t lastNumber,
                  RunContext& run)
{
    do {
        std::string inputName = options.inputName;
        if (fileNumber == -1)
            fileNumber = fileNumberFromName(inputName);
        else
            inputName = numberedName(rootName, fileNumber);
        const int64_t number = fileNumber;
        run.position = {inputName, std::max<int64_t>(lastNumber - number, 0)};
        try {
            const std::string outputName = outputNameFor(inputName, options);
            if (!options.unpack)
                refuseOverwrite(outputName, inputName, options, run);
            if (options.frameNumber < 0 && !options.unpack)
                notice("warning - -o %d reads frame 1 into %s, the name of the combined image", options.frameNumber,
                       outputName.c_str());

            say("Reading %s...", inputName.c_str());
            ++run.filesRead;
            try {
                Messages messages;
                if (options.fitsInput) {
                    const FitsReadResult result = readFITS(inputName, run.image, *run.inputImage, messages);
                    print(messages);
                    if (result != FitsReadResult::ok)
                        fatalExit("kovrent: Error reading in FITS format data file.\n");
                } else {
                    const CameraRequest request{inputName, options.frameNumber, options.unpack, options.interchange};
                    std::unique_ptr<PackedImages> packed;
                    const CameraReadResult result
                        = readVESKA(request, run.image, *run.inputImage, run.camera, messages, &packed);
                    if (result == CameraReadResult::fatal)
                        fatalExitAfter(messages);
                    print(messages);
                    if (result == CameraReadResult::failed)
                        fatalExit("kovrent: Error reading in VESKA format data file.\n");
                    // Past its images, where the range goes on, should a write stop it.
                    if (packed) {
                        const int64_t next
                            = std::max<int64_t>(std::max<int64_t>(fileNumber, 0) + packed->count() - 1, number + 1);
                        run.position.notTried = std::max<int64_t>(lastNumber - next + 1, 0);
                    }
                    if (packed && options.cube)
                        writeUnpackedCube(options, inputName, *packed, run, fileNumber);
                    else if (packed)
                        writeUnpackedImages(options, inputName, outputName, *packed, run, fileNumber);
                }
            } catch (const FatalExit&) {
                explainUnreadable(inputName, options.fitsInput ? Wanted::fitsInput : Wanted::camera);
                throw;
            }
            ++fileNumber;
            if (!options.unpack)
                convertImage(options, inputName, outputName, run);
        } catch (const FatalExit&) {
            // The file's messages are out; --keep-going goes on with the next number.
            const int64_t next = std::max(fileNumber, number + 1);
            if (!options.keepGoing) {
                handOver(run, [&run, inputName, notTried = std::max<int64_t>(lastNumber - next + 1, 0)] {
                    run.stoppedAt = inputName;
                    run.notTried = notTried;
                });
                throw;
            }
            handOver(run, [&run, inputName] {
                ++run.failedFiles;
                run.failedNames.push_back(inputName);
            });
            fileNumber = next;
        }
    } while (fileNumber <= lastNumber);
}

int convertFiles(const Options& options)
{
    RunContext run;
    const std::string rootName = options.firstNumber > -1 ? options.inputName : std::string();
    int64_t fileNumber = options.firstNumber;
    const int64_t lastNumber = options.lastNumber;
    openOutputFolder(options,
                     outputNameFor(fileNumber == -1 ? options.inputName : numberedName(rootName, fileNumber), options),
                     run);
    if (options.mask) {
        run.maskMap = zeroRaster();
        loadMap("Reading mask file %s\n", options.maskName, run.maskRecord, *run.maskMap,
                "kovrent: Error reading in mask map!\n");
    }
    if (options.gain) {
        run.gainMap = zeroRaster();
        loadMap("Reading gain file %s\n", options.gainName, run.gainRecord, *run.gainMap,
                "kovrent: Error reading in gain map!\n");
    }

    if (lastNumber < fileNumber) {
        notice("warning - nothing to convert: range %lld to %lld", static_cast<long long>(fileNumber),
               static_cast<long long>(lastNumber));
        return 0;
    }

    const auto start = std::chrono::steady_clock::now();
    try {
        try {
            if (options.cube && !options.unpack) {
                run.rangeCube = std::make_unique<RangeCube>();
                run.rangeCube->name = outputNameFor(numberedName(rootName, fileNumber), options, 'k');
                for (int64_t number = fileNumber; number <= lastNumber; ++number)
                    run.rangeCube->inputs.push_back(numberedName(rootName, number));
            }
            auto work = [&] {
                try {
                    convertRange(options, rootName, fileNumber, lastNumber, run);
                    if (run.rangeCube)
                        finishRangeCube(options, run);
                } catch (const std::bad_alloc&) {
                    fatalExit("Error allocating memory!\n");
                }
            };
            // A range, or the images of a packed file, are read and decoded one output ahead of
            // their writing, on a second thread; a run of one file starts none.
            // Without the means for a thread (memory that a limit holds back), the run goes on in one.
            WriteQueue queue;
            run.queue = lastNumber > fileNumber || options.unpack ? &queue : nullptr;
            if (!run.queue || !queue.run(work)) {
                run.queue = nullptr;
                work();
            }
            run.queue = nullptr;
        } catch (const std::bad_alloc&) {
            fatalExit("Error allocating memory!\n");
        }
    } catch (const FatalExit&) {
        summarise(run, options, run.writeFailures() + run.failedFiles + 1, start);
        throw;
    }
    const int failures = run.writeFailures();
    if (failures > 0)
        say("kovrent: Error - %d output file%s could not be written\n", failures, failures == 1 ? "" : "s");
    summarise(run, options, failures + run.failedFiles, start);
    return failures + run.failedFiles > 0 ? 1 : 0;
}

} // namespace

int kovrentMain(int argc, const char* const* argv)
{
    // A standard stream that was closed is opened on /dev/null, so that no file the run opens
    // takes its number and receives the stream's text; a closed stdout still counts as failed.
    const bool stdoutClosed = fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (fcntl(stream, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // An output over the file size limit is a failed write, not the end of the run.
    std::signal(SIGXFSZ, SIG_IGN);
    resetOutputError();

    int status = 0;
    try {
        try {
            say("kovrent Data conversion program  version %2.2f\n", programVersion);
            const Options options = parseCommandLine(argc, argv);
            if (options.showUsage) {
                printUsage();
                notice("messages go to standard output; reasons, hints and warnings like this one to standard error");
            } else if (!options.showVersion) {
                status = convertFiles(options);
            }
        } catch (const std::bad_alloc&) {
            fatalExit("Error allocating memory!\n");
        }
    } catch (const FatalExit& fatal) {
        status = fatal.status;
    }
    if (status != 0 && argc > 1 && argv[1][0] == '-')
        optionsFirstHint(argc, argv);
    // Messages that never arrived fail the run, as the rest of its work would.
    if (const int error = stdoutClosed ? EBADF : outputError()) {
        std::fprintf(stderr, "kovrent: error writing standard output: %s\n", std::strerror(error));
        status = 1;
    }
    return status;
}
