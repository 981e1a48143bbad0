#include "program/workers.h"

#include "conversion/conversiontexts.h"
#include "conversion/observinglog.h"
#include "program/publisher.h"
#include "program/runend.h"
#include "program/source.h"
#include "program/texts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

const OutputFolder& OutputFolders::of(const std::string& outputName)
{
    const std::string path = folderOf(outputName);
    std::lock_guard lock(mutex_);
    std::unique_ptr<OutputFolder>& folder = folders_[path];
    if (!folder) {
        folder = std::make_unique<OutputFolder>();
        folder->open(path, unfinished_);
    }
    return *folder;
}

Result OutputFolders::open(const std::string& outputName)
{
    const OutputFolder& folder = of(outputName);
    return folder.isOpen() ? Result() : Result::failed(systemCause(folder.error()));
}

namespace {

// The carried values of camera files converted on several threads: each file takes what the
// file before it left (CameraSession), so a file that lacks one of the records waits for the one
// before it to have read its header. A file with all of them waits for nothing; once the run has
// ended, none waits for the one before: that file may be waiting on an input that never comes,
// and what this one converts is not written.
class SessionChain {
public:
    explicit SessionChain(RunEnd& end) : end_(end) { end.registerWait(mutex_, changed_); }

    CameraSession sessionFor(int64_t file, const CarriedValues& own)
    {
        std::unique_lock lock(mutex_);
        CameraSession before;
        if (file > 0 && !(own.obsmode && own.chopWaitMsec && own.framesPerCoimage)) {
            changed_.wait(lock, [&] { return left_.count(file - 1) > 0 || end_.ended(); });
            if (left_.count(file - 1) == 0)
                return before;
            before = left_[file - 1];
        }
        const CameraSession session = before.after(own);
        // What a file leaves is kept only until the next has settled, with it or without.
        if (left_.erase(file - 1) == 0 && file > 0)
            settled_.insert(file);
        if (settled_.erase(file + 1) == 0)
            left_[file] = session;
        changed_.notify_all();
        return session;
    }

private:
    RunEnd& end_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int64_t, CameraSession> left_; // what each file left that the next has yet to take
    std::set<int64_t> settled_;             // files that settled before the one before them
};

// A file's link to the chain, which it hands on exactly once, also when it is never read.
class ChainLink : public SessionLink {
public:
    ChainLink(SessionChain& chain, int64_t file) : chain_(chain), file_(file) {}
    ~ChainLink() override
    {
        // Left unsettled only while a lack of memory unwinds the worker, which ends the run: the
        // files after this one wait for it no more. A chain that ran out of memory is not asked
        // again: it may have let go of the file before this one.
        if (!handed_ && !outOfMemory_)
            try {
                chain_.sessionFor(file_, CarriedValues());
            } catch (const std::bad_alloc&) {
            }
    }
    CameraSession sessionFor(const CarriedValues& own) override
    {
        try {
            CameraSession session = chain_.sessionFor(file_, own);
            handed_ = true;
            return session;
        } catch (const std::bad_alloc&) {
            outOfMemory_ = true;
            throw;
        }
    }
    // Hands on the file's values, none, when its conversion did not. The conversion catches a
    // lack of memory as its own failure; the chain's ends the run, as it leaves the next file
    // without values to take.
    void settle()
    {
        if (!handed_ && !outOfMemory_)
            sessionFor(CarriedValues());
        if (outOfMemory_)
            throw std::bad_alloc();
    }

private:
    SessionChain& chain_;
    int64_t file_;
    bool handed_ = false;
    bool outOfMemory_ = false;
};

// What the workers share, each part guarding itself: the run's settings (which no worker
// changes), its end, its workers as the coordinator counts them, the source of units, the
// publisher with the run's counts, the carried values of camera files and the cubes begun.
struct RunShared {
    RunShared(RunSettings runSettings, RunTally& tally)
        : settings(std::move(runSettings)), crew(end), publisher(settings, tally, end), sessions(end),
          source(settings, publisher, crew, end, cubes)
    {
    }

    const RunSettings settings;
    RunEnd end;
    Crew crew;
    RunCubes cubes;
    Publisher publisher;
    SessionChain sessions;
    UnitSource source;
    std::atomic<bool> outOfMemory{false}; // a worker ran out of memory, which ended the run
};

class Worker {
public:
    // Sets up the worker's buffers, those of a camera file among them.
    explicit Worker(RunShared& run)
        : settings_(run.settings), source_(run.source), publisher_(run.publisher), sessions_(run.sessions),
          end_(run.end), crew_(run.crew), converter_(settings_.options, settings_.maps)
    {
        if (!settings_.options.fitsInput)
            converter_.workspace().camera = std::make_unique<CameraReading>();
    }

    // Runs a worker to its end. A worker without the memory for its buffers takes no unit, and
    // the others go on without it (a run none of whose workers could set up has run out of memory:
    // runWorkers tells). Running out of memory with a unit in hand ends the run where it stands.
    static void runToEnd(RunShared& run)
    {
        std::unique_ptr<Worker> worker;
        try {
            worker = std::make_unique<Worker>(run);
        } catch (const std::bad_alloc&) {
            return;
        }
        try {
            worker->work();
        } catch (const std::bad_alloc&) {
            run.outOfMemory = true;
            run.publisher.endHere();
        }
    }

    // Takes units until there are none, each read, converted and written (or read for the log),
    // then handed to the publisher for its turn.
    void work()
    {
        for (auto unit = std::make_unique<Unit>(); source_.next(*unit, converter_); unit = std::make_unique<Unit>()) {
            process(*unit);
            publisher_.finished(std::move(unit));
        }
    }

private:
    void process(Unit& unit);
    void processFile(Unit& unit);
    void processPackedImage(Unit& unit);
    void processRow(Unit& unit);
    Result addPlane(Unit& unit, CubeBuild& cube, int64_t plane, Output& output);
    void writeHidden(Unit& unit, const std::string& name, const Output& output);
    bool refusesOverwrite(const std::string& outputName, const std::string& inputName, Messages& messages);

    const RunSettings& settings_;
    UnitSource& source_;
    Publisher& publisher_;
    SessionChain& sessions_;
    const RunEnd& end_;
    Crew& crew_;
    Converter converter_;
    Conversion conversion_;
    Output output_;
    LogRow row_;
};

// Never replace a file this run reads: the input, or a map. A link at the output name is no
// such file, even when it points to one: the rename replaces the link and leaves its target.
bool Worker::refusesOverwrite(const std::string& outputName, const std::string& inputName, Messages& messages)
{
    const Options& options = settings_.options;
    for (const std::string* source : {&inputName, &options.maskName, &options.gainName})
        if (!source->empty() && replacesFile(outputName, *source, &settings_.folders->of(outputName))) {
            messages.say(ProgramText::outputOverwrites, outputName, *source);
            return true;
        }
    return false;
}

void Worker::process(Unit& unit)
{
    if (settings_.logRun)
        processRow(unit);
    else if (unit.kind == Unit::Kind::file)
        processFile(unit);
    else if (unit.kind == Unit::Kind::packedImage && unit.result)
        processPackedImage(unit);
}

// A file of the log: its row, from its header alone.
void Worker::processRow(Unit& unit)
{
    const Crew::Reading reading(crew_, mayNeverCome(unit.inputName));
    readLogRow(unit.inputName, settings_.options.fitsInput, converter_.workspace().camera, row_);
    // A range knows its numbers, 1000 and on among them.
    if (settings_.options.firstNumber > -1)
        row_.number = unit.number;
    appendLogRow(unit.row, row_);
    unit.rowShort = row_.shortData;
    unit.rowRead = row_.shortData || row_.status == "ok";
    unit.rowTimes.note(row_);
}

// An output's file: created under a hidden name and written whole, to be renamed at its turn.
void Worker::writeHidden(Unit& unit, const std::string& name, const Output& output)
{
    unit.hasOutput = true;
    const auto dataBytes = static_cast<int64_t>(output.data.size());
    const int error = publisher_.writeInTurn(unit, [&] {
        unit.fileMessages.clear();
        unit.output = std::make_unique<OutputFile>(name, &settings_.folders->of(name), unit.fileMessages);
        // Closed once written: a file that waits for its turn holds no descriptor.
        Result written = unit.output->create();
        if (written)
            written = unit.output->write({{output.header.data(), output.header.size()},
                                          {output.data.data(), output.data.size()},
                                          {zeroBlock, blockPadding(dataBytes)},
                                          {output.extension.data(), output.extension.size()}});
        if (written)
            written = unit.output->close();
        unit.writeCause = hinted(written, unit.fileMessages).cause();
        return errorNumberOf(written);
    });
    unit.written = unit.holdsRoom = error == 0;
}

void Worker::processFile(Unit& unit)
{
    const Options& options = settings_.options;
    const std::shared_ptr<CubeBuild>& rangeCube = publisher_.rangeCube();
    Messages& messages = unit.messages;
    // A cube of frames is named like a cube: k970611a.005.
    const std::string outputName = outputNameFor(unit.inputName, options, options.frames ? 'k' : 'f');
    {
        // A camera file takes over what the file before left: it may wait for that file's header,
        // until the run ends.
        const Crew::Reading reading(crew_, mayNeverCome(unit.inputName));
        ChainLink link(sessions_, unit.fileIndex);
        SessionInOrder alone;
        SessionLink& session = options.fitsInput ? static_cast<SessionLink&>(alone) : link;
        // A cube's planes write no file of their own: the cube was checked before the run.
        if (!rangeCube && refusesOverwrite(outputName, unit.inputName, messages)) {
            unit.result = Result::failed(ProgramText::outputOverwrites);
        } else {
            if (options.frameNumber < 0)
                messages.reason("warning - -o %d reads frame 1 into %s, the name of the combined image",
                                options.frameNumber, outputName.c_str());
            messages.say(ProgramText::readingFile, unit.inputName);
            unit.readBegun = true;
            unit.result = options.frames ? converter_.convertFrames(unit.inputName, session, messages, conversion_)
                                         : converter_.convert(unit.inputName, session, messages, conversion_);
            unit.result = toldUnreadable(std::move(unit.result), unit.inputName, options.fitsInput, messages);
            unit.result = hintedRead(std::move(unit.result), unit.inputName, options, messages);
        }
        link.settle();
    }
    if (rangeCube) {
        if (unit.result) {
            unit.record = planeRecordOf(unit.inputName, conversion_.observation);
            unit.times = conversion_.observation.times();
            unit.timeEnd = conversion_.observation.timeEndText();
            unit.result = addPlane(unit, *rangeCube, unit.fileIndex, conversion_.output);
        }
        // Planes that wait for the first are told when it failed.
        if (!unit.result && unit.fileIndex == 0)
            rangeCube->writer->giveUp();
        return;
    }
    if (!unit.result || end_.ended())
        return;
    messages.say(ProgramText::writingFile, outputName);
    writeHidden(unit, outputName, conversion_.output);
}

void Worker::processPackedImage(Unit& unit)
{
    const PackedFile& packed = *unit.packed;
    if (end_.ended())
        return;
    if (packed.cube) {
        // As the -f conversion of the image's own file converts it.
        unit.result = converter_.convertPackedImage(packed.conversion, unit.image, packed.cubeNames, unit.messages,
                                                    output_);
        unit.record = packedPlaneRecord(packed.inputName, packed.conversion.observation, unit.image, packed.count);
        if (unit.result)
            unit.result = addPlane(unit, *packed.cube, unit.image, output_);
        // Planes that wait for the first are told when it failed.
        if (!unit.result && unit.image == 0)
            packed.cube->writer->giveUp();
        return;
    }
    unit.result = converter_.convertPackedImage(packed.conversion, unit.image, unit.names, unit.messages, output_);
    if (unit.result)
        writeHidden(unit, unit.names.fileName, output_);
}

// A converted image as plane `plane` (from 0) of the cube: the first plane's header and size
// make the cube's, and every later plane must have the same size and BITPIX. A file's plane says
// which it is.
Result Worker::addPlane(Unit& unit, CubeBuild& cube, int64_t plane, Output& output)
{
    const Options& options = settings_.options;
    Messages& messages = unit.messages;
    FitsImage& image = output.image;
    CubeWriter& writer = *cube.writer;
    if (plane == 0) {
        if (cube.ofFiles)
            messages.say(ProgramText::planeOf, writer.name(), {1});
        cube.header = std::move(image.header);
        Header& header = cube.header;
        if (!makeCubeHeader(header, cube.planes, options.modern) || !header.resumeAtEnd())
            return messages.failed(ConversionText::noNaxisCard);
        // Room behind the first plane's cards for what the finish adds: for the files of a range
        // a HISTORY card per plane and per key they may differ in, and NIMAGES.
        std::string value;
        const bool addsCount = options.modern && header.findCard("NIMAGES", value) < 1;
        const int64_t cards
            = header.cardsBeforePlace() + (cube.ofFiles ? cube.planes + differingKeys : 0) + (addsCount ? 1 : 0) + 1;
        if (end_.ended())
            return Result::failed(std::make_error_code(std::errc::operation_canceled));
        if (Result begun = writer.begin(image.naxis1, image.naxis2, image.bitpix, cube.planes, cards,
                                        hasChecksumCards(header), messages);
            !begun)
            return begun;
    } else {
        // The first plane failed, and the run with it.
        if (!writer.waitBegun() || end_.ended())
            return Result::failed(std::make_error_code(std::errc::operation_canceled));
        if (image.naxis1 != writer.naxis1() || image.naxis2 != writer.naxis2() || image.bitpix != writer.bitpix()) {
            messages.say(ProgramText::cubePlaneDiffers, unit.inputName, writer.name(),
                         {image.naxis1, image.naxis2, image.bitpix, writer.naxis1(), writer.naxis2(), writer.bitpix()});
            messages.reason("every plane of a data cube has the size and BITPIX of its first");
            return Result::failed(ProgramText::cubePlaneDiffers, messages.lastReason());
        }
        if (cube.ofFiles)
            messages.say(ProgramText::planeOf, writer.name(), {plane + 1});
    }
    Messages said;
    Result written;
    const int error = publisher_.writeInTurn(unit, [&] {
        said.clear();
        written = writer.writePlane(plane, output.data, said);
        // What a write cut short took is given back while the plane waits for its turn.
        if (!written)
            writer.dropPlane(plane);
        return errorNumberOf(written);
    });
    // A run that ended while the plane waited for its turn wrote nothing.
    if (error == ECANCELED && written)
        written = Result::failed(std::make_error_code(std::errc::operation_canceled));
    messages.append(said);
    unit.cube = &writer;
    unit.holdsRoom = static_cast<bool>(written);
    unit.writeCause = written.cause();
    return written;
}

// The cube of a range: its name, and a refusal, before anything is read, when it would replace
// a file the run reads (an input of the range, up to the first that is missing, or a map).
Result planRangeCube(RunShared& run, Messages& messages)
{
    const Options& options = run.settings.options;
    const bool range = options.firstNumber > -1;
    auto cube = std::make_shared<CubeBuild>();
    if (range) {
        cube->rootName = options.inputName;
        cube->first = options.firstNumber;
        cube->planes = int64_t{options.lastNumber} - options.firstNumber + 1;
    } else {
        cube->names = &options.inputNames;
        cube->planes = static_cast<int64_t>(options.inputNames.size());
    }
    const std::string name = outputNameFor(cube->planeName(0), options, 'k');
    const OutputFolder& folder = run.settings.folders->of(name);
    cube->writer = std::make_shared<CubeWriter>(name, &folder, run.end);
    run.cubes.add(cube->writer);
    run.publisher.publishIntoCube(cube);
    auto refused = [&](const std::string& source) {
        if (source.empty() || !replacesFile(name, source, &folder))
            return false;
        messages.say(ProgramText::cubeOverwrites, name, source);
        return true;
    };
    std::error_code error;
    for (int64_t k = 0; k < cube->planes; ++k) {
        const std::string input = cube->planeName(k);
        if (refused(input))
            return Result::failed(ProgramText::cubeOverwrites);
        if (range && !std::filesystem::exists(input, error))
            break;
    }
    if (refused(options.maskName) || refused(options.gainName))
        return Result::failed(ProgramText::cubeOverwrites);
    return Result();
}



// Starts the workers, one on the calling thread when there is one, and waits for them: for all,
// or, once the run has ended, for all but those that wait on an input that may never come.
void startAndWait(const std::shared_ptr<RunShared>& run, int jobs)
{
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<std::atomic<bool>>> left;
    if (jobs > 1) {
        // Everything a thread's start needs is allocated before the first starts: once one runs,
        // nothing may throw past it.
        threads.reserve(static_cast<std::size_t>(jobs));
        for (int k = 0; k < jobs; ++k)
            left.push_back(std::make_shared<std::atomic<bool>>(false));
        for (int k = 0; k < jobs; ++k) {
            run->crew.joined();
            try {
                threads.emplace_back([run, done = left[k]] {
                    Worker::runToEnd(*run);
                    *done = true;
                    run->crew.left();
                });
            } catch (const std::exception&) {
                // Without the means for a thread (a limit on processes, or on memory), the run goes
                // on with fewer.
                run->crew.left();
                break;
            }
        }
    }
    if (threads.empty()) {
        Worker::runToEnd(*run);
        return;
    }
    run->crew.waitForWorkers();
    for (std::size_t k = 0; k < threads.size(); ++k) {
        if (*left[k])
            threads[k].join();
        else
            threads[k].detach();
    }
}

} // namespace

void runWorkers(const Options& options, const Maps& maps, std::shared_ptr<OutputFolders> folders, int jobs,
                RunTally& tally, Messages& said, LogSink* log)
{
    const bool range = options.firstNumber > -1;
    RunSettings settings{options, maps, std::move(folders), 2 * int64_t{std::max(jobs, 1)} + 1, log != nullptr};
    // A log reads headers alone, of packed files too.
    if (log)
        settings.options.unpack = settings.options.cube = false;
    RunTally::Counting counting = options.unpack ? RunTally::Counting::unpacked : RunTally::Counting::converted;
    if (log)
        counting = log->inPlace() ? RunTally::Counting::streamed : RunTally::Counting::logged;
    tally.begin(range ? options.inputName : std::string(), options.firstNumber, options.lastNumber,
                range ? nullptr : &options.inputNames, counting);
    tally.summary.position = range ? options.firstNumber : 0;
    auto run = std::make_shared<RunShared>(std::move(settings), tally);
    if (log)
        run->publisher.publishIntoLog(*log);
    const Options& runOptions = run->settings.options;
    if (runOptions.cube && !runOptions.unpack && !planRangeCube(*run, said)) {
        tally.summary.stopped = true;
        tally.end();
        return;
    }
    // A run of one file starts no thread, and shows no progress line; no run has more workers
    // than units to convert.
    const int64_t units = range ? int64_t{options.lastNumber} - options.firstNumber + 1
                                : static_cast<int64_t>(options.inputNames.size());
    const bool oneFile = !range && units == 1 && !runOptions.unpack;
    if (!runOptions.unpack)
        jobs = static_cast<int>(std::min<int64_t>(jobs, units));
    progressLine().enable(options.progress && !oneFile);
    startAndWait(run, oneFile ? 1 : jobs);
    // Every worker ended, and none took the source to its end nor ended the run: none could set up.
    if (!run->end.ended() && !run->source.exhausted())
        run->outOfMemory = true;
    // The rows published go into the log, also when the run ran out of memory after them.
    if (log)
        try {
            run->publisher.flushLog();
        } catch (const std::bad_alloc&) {
            run->outOfMemory = true;
        }
    progressLine().clear();
    tally.end();
    run->cubes.giveUpAll();
    if (run->outOfMemory) {
        said.say(ConversionText::outOfMemory);
        said.reason("the run ran out of memory");
        RunTally::Summary& summary = tally.summary;
        // The run stopped at the first unit not published, unless another failure stopped it first.
        if (!summary.stopped) {
            summary.stopped = true;
            const int64_t at = summary.position;
            const auto names = static_cast<int64_t>(options.inputNames.size());
            if (range ? at <= options.lastNumber : at < names) {
                summary.stoppedAt = range ? numberedName(options.inputName, at) : options.inputNames[at];
                summary.notTried = range ? options.lastNumber - at : names - at - 1;
            }
        }
    }
}
