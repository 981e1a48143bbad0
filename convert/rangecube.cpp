#include "convert/rangecube.h"

#include "convert/console.h"
#include "convert/cube.h"
#include "convert/modernheader.h"
#include "convert/names.h"
#include "fits/header.h"
#include "fits/realtext.h"

#include <memory>
#include <utility>

void planRangeCube(const Options& options, const std::string& rootName, int64_t first, int64_t last, RunContext& run)
{
    run.rangeCube = std::make_unique<RangeCube>();
    RangeCube& cube = *run.rangeCube;
    cube.name = outputNameFor(numberedName(rootName, first), options, 'k');
    for (int64_t number = first; number <= last; ++number)
        cube.inputs.push_back(numberedName(rootName, number));
    const OutputFolder* folder = folderFor(run, cube.name);
    for (const std::vector<std::string>& sources : {cube.inputs, {options.maskName, options.gainName}})
        for (const std::string& source : sources)
            if (!source.empty() && replacesFile(cube.name, source, folder))
                fatalExit("kovrent: Error - data cube %s would overwrite input file %s\n", cube.name.c_str(),
                          source.c_str());
}

void addRangePlane(const Options& options, const std::string& inputName, const std::string& outputName,
                   const Placement& placement, RunContext& run)
{
    RangeCube& cube = *run.rangeCube;
    FitsImage& image = run.image;
    const FitsImage& first = cube.output->image;
    if (cube.planesAdded > 0
        && (image.naxis1 != first.naxis1 || image.naxis2 != first.naxis2 || image.bitpix != first.bitpix))
        fatalExitBecause("every plane of a data cube has the size and BITPIX of its first",
                         "kovrent: Error - %s is %d x %d (BITPIX %d), but the planes of data cube %s are %d x %d "
                         "(BITPIX %d)\n",
                         inputName.c_str(), image.naxis1, image.naxis2, image.bitpix, cube.name.c_str(), first.naxis1,
                         first.naxis2, first.bitpix);
    say("writing %s\n", outputName.c_str());
    if (options.modern) {
        const ObservationTimes times = observationTimes(image.header);
        cube.starts.push_back(times.hasDate ? isoInstant(times.day, times.start) : "");
        // The cube ends where the file that ends last does, were the files in no order of time.
        if (times.hasEnd && (!cube.last.hasEnd || times.endInstant() >= cube.last.endInstant())) {
            cube.last = times;
            image.header.findCard("TIME-END", cube.lastEnd);
        }
    }
    if (cube.planesAdded == 0) {
        FitsImage& planes = cube.output->image;
        planes.naxis1 = image.naxis1;
        planes.naxis2 = image.naxis2;
        planes.bitpix = image.bitpix;
        planes.header = std::move(image.header);
        Header& header = planes.header;
        const auto count = static_cast<int64_t>(cube.inputs.size());
        if (!makeCubeHeader(header, count, options.modern) || !header.resumeAtEnd())
            fatalExit("kovrent: error, NAXIS keyword not found\n");
        for (std::size_t k = 0; k < cube.inputs.size(); ++k)
            header.addCommentCard("HISTORY ", "PLANE " + std::to_string(k + 1) + " IS " + cube.inputs[k]);
        if (options.modern)
            header.setValueCard("NIMAGES", std::to_string(count), "NUMBER OF PLANES");
        header.end();
        if (header.outOfMemory())
            fatalExit("Error allocating memory!\n");
        handOver(run,
                 [&run, &cube, count] { beginCube(cube.output, cube.name, count, folderFor(run, cube.name)); });
    }
    auto plane = std::make_shared<PendingOutput>(FitsImage(), handRaster(run), placement);
    plane->image.bitpix = image.bitpix;
    handOver(run, [&run, &cube, plane] {
        encodePixels(*plane->raster, plane->placement, plane->image.bitpix, run.data, run.dataScratch);
        addCubePlane(*cube.output, run.data.data());
        run.rasters.give(std::move(plane->raster));
        flushOutput();
    });
    ++cube.planesAdded;
    image.header.freeHeader();
}

void finishRangeCube(const Options& options, RunContext& run)
{
    RangeCube& cube = *run.rangeCube;
    say("Now writing data cube %s (%lld images)\n", cube.name.c_str(), static_cast<long long>(cube.planesAdded));
    handOver(run, [&run, &cube, modern = options.modern] {
        Header extension;
        std::string table;
        if (modern)
            timesExtension(cube.starts, extension, table);
        // The observation of the cube ends where its file that ends last does, in every card.
        if (modern && cube.last.hasEnd) {
            Header& header = cube.output->image.header;
            std::string end = quotedValue(cube.lastEnd);
            end.append(end.size() < 19 ? 19 - end.size() : 0, ' '); // laid out as the camera's card
            header.replaceValueCard("TIME-END", end, "END TIME OF OBSERVATION (UT)");
            replaceEndCards(header, cube.last);
        }
        finishCube(*cube.output, modern ? &extension : nullptr, table);
        run.filesConverted += static_cast<int>(cube.planesAdded);
        flushOutput();
    });
}
