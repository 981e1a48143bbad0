#include "convert/run.h"

#include "camera/readveska.h"
#include "convert/commandline.h"
#include "convert/console.h"
#include "convert/geometry.h"
#include "convert/names.h"
#include "convert/outputheader.h"
#include "convert/rangecube.h"
#include "convert/runcontext.h"
#include "convert/signals.h"
#include "convert/unpacking.h"
#include "convert/writequeue.h"
#include "convert/zerowait.h"
#include "fits/fitsfile.h"
#include "fits/scan.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace {

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

// Everything that follows a successful read of one file.
void convertImage(const Options& options, const std::string& inputName, const std::string& outputName, RunContext& run)
{
    FitsImage& image = run.image;
    Raster& inputImage = *run.inputImage;
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

// The folder of the run's outputs is opened before anything is read. A -d folder that is
// missing, or no folder, would fail every write: the run stops there.
void openOutputFolder(const Options& options, const std::string& firstOutputName, RunContext& run,
                      UnfinishedFiles* unfinished)
{
    if (run.folder.open(folderOf(firstOutputName), unfinished) || !options.toDirectory)
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

int convertFiles(const Options& options, UnfinishedFiles* unfinished)
{
    RunContext run;
    const std::string rootName = options.firstNumber > -1 ? options.inputName : std::string();
    int64_t fileNumber = options.firstNumber;
    const int64_t lastNumber = options.lastNumber;
    openOutputFolder(options,
                     outputNameFor(fileNumber == -1 ? options.inputName : numberedName(rootName, fileNumber), options),
                     run, unfinished);
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
            if (options.cube && !options.unpack)
                planRangeCube(options, rootName, fileNumber, lastNumber, run);
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
        summarise(run, options, run.failedWrites + run.failedFiles + 1, start);
        throw;
    }
    const int failures = run.failedWrites;
    if (failures > 0)
        say("kovrent: Error - %d output file%s could not be written\n", failures, failures == 1 ? "" : "s");
    summarise(run, options, failures + run.failedFiles, start);
    return failures + run.failedFiles > 0 ? 1 : 0;
}

// Memory held back from the start of a run and given back when an allocation first fails, so
// that the failure can still be thrown, caught and reported: with nothing left at all, throwing
// std::bad_alloc itself ends the process. The failed allocation is not tried again, which would
// take what was given back.
std::atomic<void*> memoryReserve{nullptr};
constexpr std::size_t memoryReserveSize = 16 * 1024; // within the heap, which keeps it when freed

void releaseMemoryReserve()
{
    std::free(memoryReserve.exchange(nullptr));
    std::set_new_handler(nullptr);
    throw std::bad_alloc();
}

// False when not even the reserve can be had; the run has then said so itself.
bool holdMemoryReserve()
{
    if (!memoryReserve)
        memoryReserve = std::malloc(memoryReserveSize);
    if (!memoryReserve) {
        // Too little for formatting even the message: it goes out as it stands.
        constexpr char message[] = "Error allocating memory!\n";
        [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, message, sizeof message - 1);
        return false;
    }
    std::set_new_handler(releaseMemoryReserve);
    return true;
}

} // namespace

int kovrentRun(int argc, const char* const* argv, UnfinishedFiles* unfinished)
{
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
                status = convertFiles(options, unfinished);
            }
        } catch (const std::bad_alloc&) {
            fatalExit("Error allocating memory!\n");
        }
    } catch (const FatalExit& fatal) {
        status = fatal.status;
    }
    if (status != 0 && argc > 1 && argv[1][0] == '-')
        optionsFirstHint(argc, argv);
    return status;
}

int kovrentMain(int argc, const char* const* argv)
{
    // A standard stream that was closed is opened on /dev/null, so that no file the run opens
    // takes its number and receives the stream's text; a closed stdout still counts as failed.
    const bool stdoutClosed = fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (fcntl(stream, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // An output over the file size limit is a failed write, not the end of the run.
    const auto fileSizeSignal = std::signal(SIGXFSZ, SIG_IGN);
    if (!holdMemoryReserve())
        return 1;
    UnfinishedFiles unfinished;
    int status = 0;
    {
        const EndingSignals signals(unfinished);
        status = kovrentRun(argc, argv, &unfinished);
    }
    std::set_new_handler(nullptr);
    std::signal(SIGXFSZ, fileSizeSignal);
    // Messages that never arrived fail the run, as the rest of its work would.
    if (const int error = stdoutClosed ? EBADF : outputError()) {
        std::fprintf(stderr, "kovrent: error writing standard output: %s\n", std::strerror(error));
        status = 1;
    }
    return status;
}
