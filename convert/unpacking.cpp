#include "convert/unpacking.h"

#include "convert/console.h"
#include "convert/cube.h"
#include "convert/modernheader.h"
#include "convert/names.h"
#include "convert/outputheader.h"
#include "fits/header.h"
#include "fits/realtext.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr const char* estimatedStart = "ESTIMATED: EVEN SPACING START TO END";

// What --modern adds to the header of a packed file's images, or of their cube: how many there
// are, the file's times, the interchange and checksums; for each image also which one it is
// (the number a placeholder until the image comes) and its estimated start between the file's
// start and end.
void addModernPackedCards(const Options& options, const PackedImages& images, const ObservationTimes& times,
                          bool perImage, Header& header)
{
    header.resumeAtEnd();
    if (perImage)
        header.setValueCard("IMAGENUM", "1", "NUMBER OF THE IMAGE IN ITS PACKED FILE");
    header.setValueCard("NIMAGES", std::to_string(images.count()), "NUMBER OF IMAGES IN THE PACKED FILE");
    if (perImage && times.hasEnd) {
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

} // namespace

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
    if (options.modern)
        addModernPackedCards(options, images, times, false, header);
    if (header.outOfMemory())
        fatalExit("Error allocating memory!\n");

    say("Now writing data cube %s (%lld images)\n", cubeName.c_str(), static_cast<long long>(images.count()));
    // The writer, its messages and the header go with the writes; planes are read meanwhile.
    auto cube = std::make_shared<CubeOutput>();
    cube->image = std::move(image);
    const int64_t count = images.count();
    handOver(run, [cube, cubeName, count, folder] { beginCube(cube, cubeName, count, folder); });
    Messages messages;
    for (int64_t k = 0; k < count; ++k) {
        if (!images.readNext(*run.inputImage, messages))
            fatalExitAfter(messages);
        // Encoded here, as unpacked images are.
        auto plane = std::make_shared<std::vector<unsigned char>>(run.buffers.take());
        encodePixels(*run.inputImage, Placement::asIs(cube->image.naxis1, cube->image.naxis2), cube->image.bitpix,
                     *plane, run.scratch);
        handOver(run, [&run, cube, plane] {
            addCubePlane(*cube, plane->data());
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
        finishCube(*cube, table ? &extension : nullptr, rows);
        run.unpackedImages += static_cast<int>(count);
        flushOutput();
    });
}

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
        addModernPackedCards(options, images, times, true, run.image.header);
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
