#include "program/workers.h"

#include "camera/cameratexts.h"
#include "conversion/conversiontexts.h"
#include "conversion/cube.h"
#include "conversion/modernheader.h"
#include "conversion/names.h"
#include "fits/fitstexts.h"
#include "fits/realtext.h"
#include "program/console.h"
#include "program/cubewriter.h"
#include "program/progress.h"
#include "program/texts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

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
// before it to have read its header. A file with all of them waits for nothing.
class SessionChain {
public:
    CameraSession sessionFor(int64_t file, const CarriedValues& own)
    {
        std::unique_lock lock(mutex_);
        CameraSession before;
        if (file > 0 && !(own.obsmode && own.chopWaitMsec && own.framesPerCoimage)) {
            changed_.wait(lock, [&] { return left_.count(file - 1) > 0 || abandoned_; });
            if (abandoned_)
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
    // Once the run has ended, no file waits for the one before: that file may be waiting on an
    // input that never comes, and what this one converts is not written.
    void abandon()
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool abandoned_ = false;
    std::map<int64_t, CameraSession> left_; // what each file left that the next has yet to take
    std::set<int64_t> settled_;             // files that settled before the one before them
};

// A file's link to the chain, which it hands on exactly once, also when it is never read.
class ChainLink : public SessionLink {
public:
    ChainLink(SessionChain& chain, int64_t file) : chain_(chain), file_(file) {}
    ~ChainLink() override
    {
        if (handed_)
            return;
        // Handed on while a lack of memory unwinds the worker: the run ends, and the files after
        // this one wait for it no more.
        try {
            chain_.sessionFor(file_, CarriedValues());
        } catch (const std::bad_alloc&) {
            chain_.abandon();
        }
    }
    CameraSession sessionFor(const CarriedValues& own) override
    {
        handed_ = true;
        return chain_.sessionFor(file_, own);
    }

private:
    SessionChain& chain_;
    int64_t file_;
    bool handed_ = false;
};

// A packed file being unpacked: what its images share.
struct PackedFile {
    std::string inputName;
    int64_t number = 0;      // the file's number, -1 when its name has none
    int64_t startNumber = 0; // the number of its first image
    int64_t count = 0;
    int64_t notTried = 0; // the run's files not tried, should one of its images end the run
    int64_t position = 0; // where the run stands while its images come, and after them
    int64_t next = 0;
    bool mayNeverCome = false; // a FIFO, whose images may never come
    Conversion conversion;
    std::optional<UnpackedNames> names;
    std::shared_ptr<struct CubeBuild> cube; // --cube: the images as its planes
    ImageNames cubeNames;                   // and how their headers name them
};

// Cards a range's cube keeps room for beyond the first plane's: a HISTORY card for each key its
// planes may differ in.
constexpr int64_t differingKeys = 6;

// A data cube that the workers write together: of a range or of several names (--cube without
// -p), whose planes are files, or of a packed file's images. Its first plane begins it.
struct CubeBuild {
    std::shared_ptr<CubeWriter> writer;
    Header header; // the first plane's header made a cube's, resumed at its END
    int64_t planes = 0;
    bool ofFiles = true;
    std::string rootName;
    int64_t first = 0;
    const std::vector<std::string>* names = nullptr; // the planes' files, when they are named

    std::string planeName(int64_t k) const { return names ? (*names)[k] : numberedName(rootName, first + k); }
    std::vector<PlaneRecord> records; // each plane's, as it is published
    ObservationTimes last;            // the times of the file that ends last, whose end is the cube's
    std::string lastEnd;              // and its TIME-END value
};

enum class Kind { file, packedFile, packedImage };

// One piece of a run's work, numbered in the run's order: an input file, the header of a packed
// file read to be unpacked, or one image of it.
struct Unit {
    int64_t sequence = 0;
    Kind kind = Kind::file;
    std::string inputName;
    int64_t number = 0;   // the file number
    int64_t file = 0;     // the file's place among the run's files
    int64_t notTried = 0; // the numbers of the range not tried, should this unit end the run
    int64_t after = 0;    // where the run stands once it is published: a file's number, or place among the names
    bool last = false;    // the run's last file
    bool read = false;    // the file's reading began
    Messages messages;    // what the unit said, for its turn
    Result result;        // how its work ended
    std::shared_ptr<PackedFile> packed;
    int64_t image = 0;
    ImageNames names; // an unpacked image's
    // Its output, hidden until its turn: the file and what writing it said.
    Messages fileMessages;
    std::error_code writeCause; // why its file or plane could not be written
    std::unique_ptr<OutputFile> output;
    bool hasOutput = false; // an output of its own was begun
    bool written = false;
    bool holdsRoom = false; // its file, or its plane of a cube, takes room in a folder
    bool writing = false;   // counted among the writes under way, until it is handed over
    CubeWriter* cube = nullptr; // the cube of its plane, once written
    bool finishedCube = false;  // its plane was the last, and its cube is in place
    // A plane of a cube: what the cube says of it, and a file's times, for the cube's.
    PlaneRecord record;
    ObservationTimes times;
    std::string timeEnd;
};

struct RunShared;

// Publishes one unit at its turn; true when it ends the run.
bool publish(RunShared& run, Unit& unit);

bool noRoomError(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// The system's error number of a write that failed, EIO for a failure of another cause, 0 when
// it was written.
int errorNumberOf(const Result& written)
{
    if (written)
        return 0;
    return written.cause().category() == std::generic_category() ? written.cause().value() : EIO;
}

// A conversion that failed: where the input could not be read, the program's line for it and,
// where the file's first bytes tell, why. A camera file whose reader ended the run has said all.
Result toldUnreadable(Result result, const std::string& inputName, bool fitsInput, Messages& messages)
{
    const std::error_category& part = result.cause().category();
    const bool read = part == std::generic_category() || part == fitsTexts() || part == cameraTexts();
    if (result || !read)
        return result;
    if (fitsInput) {
        messages.say(ProgramText::fitsInputUnreadable);
        return explained(std::move(result), inputName, Wanted::fitsInput, messages);
    }
    if (!result.endsRun())
        messages.say(ProgramText::cameraInputUnreadable);
    return explained(std::move(result), inputName, Wanted::camera, messages);
}

// A finished unit gives back the room its file or plane takes, so that an earlier unit can be
// written: it fails as its own write would have failed for want of room, with `error`.
void giveBackRoom(Unit& unit, int error)
{
    unit.holdsRoom = false;
    if (unit.output) {
        unit.output->discard();
        unit.written = false;
        unit.fileMessages.clear();
        unit.writeCause = writeFailed(unit.fileMessages, unit.output->name(), error).cause();
    } else if (unit.cube) {
        unit.cube->dropPlane(unit.kind == Kind::packedImage ? unit.image : unit.file);
        unit.result = writeFailed(unit.messages, unit.cube->name(), error);
        unit.writeCause = unit.result.cause();
    }
}

// The order in which finished units say what they said and rename their outputs into place:
// each is published once every unit before it is, by the thread that finishes the last of them,
// one thread at a time, so that everything comes as a run on one thread has it; meanwhile the
// workers go on with the next units. A unit after the one that ended the run is discarded.
//
// It also keeps what a folder that fills up takes the same whatever the workers: once a write
// has found no room, every unit writes at its turn, and a unit that finds no room tries again at
// its turn after later units have given back theirs, the latest first. A later unit that gave
// its room back fails for want of it, as it would have on one worker.
class Publisher {
public:
    // Hands over a finished unit, and publishes every unit whose turn has come.
    void finished(RunShared& run, std::unique_ptr<Unit> unit)
    {
        std::unique_lock lock(mutex_);
        if (std::exchange(unit->writing, false)) {
            --writing_;
            published_.notify_all();
        }
        if (unit->sequence > last_)
            return;
        waiting_[unit->sequence] = std::move(unit);
        if (publishing_)
            return;
        publishing_ = true;
        for (auto next = waiting_.find(next_); next != waiting_.end(); next = waiting_.find(next_)) {
            std::unique_ptr<Unit> turn = std::move(next->second);
            waiting_.erase(next);
            lock.unlock();
            const bool endsRun = publish(run, *turn);
            lock.lock();
            if (endsRun)
                endAt(turn->sequence);
            ++next_;
            published_.notify_all();
        }
        publishing_ = false;
    }
    bool ended() const { return ended_.load(); }
    // Ends the run where it stands: nothing more is published.
    void abandon()
    {
        std::lock_guard lock(mutex_);
        endAt(-1);
        published_.notify_all();
    }
    // Waits until fewer than `most` units before `sequence` are unpublished, so that the units
    // finished and waiting for their turn stay few; false when the run has ended.
    bool waitForRoom(int64_t sequence, int64_t most)
    {
        std::unique_lock lock(mutex_);
        published_.wait(lock, [&] { return sequence - next_ < most || last_ != noEnd; });
        return last_ == noEnd;
    }

    // Writes `unit`'s file or plane with `attempt` (0, or the error number of its failure): at
    // once, or at its turn once a write of the run has found no room. The error of the last try.
    int writeInTurn(Unit& unit, const std::function<int()>& attempt)
    {
        bool atTurn = false;
        {
            std::unique_lock lock(mutex_);
            if (short_) {
                atTurn = true;
                if (!waitForTurn(lock, unit.sequence, false))
                    return ECANCELED;
            } else {
                ++writing_;
                unit.writing = true;
            }
        }
        const int error = attempt();
        if (!noRoomError(error))
            return error;
        std::unique_lock lock(mutex_);
        short_ = true;
        if (std::exchange(unit.writing, false)) {
            --writing_;
            published_.notify_all();
        }
        if (!waitForTurn(lock, unit.sequence, true))
            return error;
        return makeRoom(unit, atTurn ? error : attempt(), attempt);
    }

private:
    static constexpr int64_t noEnd = INT64_MAX;

    // Until every unit before `sequence` is published (and, with `settled`, no write is under
    // way); false when the run ends meanwhile.
    bool waitForTurn(std::unique_lock<std::mutex>& lock, int64_t sequence, bool settled)
    {
        published_.wait(lock, [&] { return (next_ == sequence && (!settled || writing_ == 0)) || last_ != noEnd; });
        return last_ == noEnd;
    }

    // At `unit`'s turn: later units give back their room, the latest first, until `attempt`
    // succeeds.
    int makeRoom(const Unit& unit, int error, const std::function<int()>& attempt)
    {
        for (auto later = waiting_.rbegin(); noRoomError(error) && later != waiting_.rend(); ++later) {
            if (later->first <= unit.sequence || !later->second->holdsRoom)
                continue;
            giveBackRoom(*later->second, error);
            error = attempt();
        }
        return error;
    }

    // Nothing after `sequence` is published: the units waiting for their turn go, their hidden
    // files removed.
    void endAt(int64_t sequence)
    {
        last_ = sequence;
        ended_ = true;
        waiting_.erase(waiting_.upper_bound(sequence), waiting_.end());
    }

    mutable std::mutex mutex_;
    std::condition_variable published_;
    std::map<int64_t, std::unique_ptr<Unit>> waiting_;
    int64_t next_ = 0;
    int64_t last_ = noEnd;
    std::atomic<bool> ended_{false};
    bool publishing_ = false;
    bool short_ = false; // a write found no room: units write at their turn
    int writing_ = 0;    // writes begun before that, whose units are not yet handed over
};

// What the workers share: the run's settings, its source of units, its order, its counts, the
// carried values of camera files, and the cubes being written. The source is taken by one worker
// at a time (SourceTurn), the counts are kept by the publisher, which publishes one unit at a time.
struct RunShared {
    RunShared(const Options& runOptions, const Maps& runMaps, std::shared_ptr<OutputFolders> runFolders, int workers,
              RunTally* runTally)
        : options(runOptions), maps(runMaps), keptFolders(std::move(runFolders)), folders(*keptFolders),
          backlog(2 * workers + 1), tally(runTally ? *runTally : ownTally)
    {
    }

    const Options options;
    const Maps maps;
    const std::shared_ptr<OutputFolders> keptFolders;
    OutputFolders& folders;
    Publisher publisher;
    const int64_t backlog; // the most units claimed and not yet published
    RunTally ownTally;
    RunTally& tally; // how far the run has come, for the progress line and a signal's words
    SessionChain sessions;
    RunCounts counts;
    std::atomic<bool> outOfMemory{false}; // a worker ran out of memory, which ended the run
    TakenNames unpackedNames;             // the names the run gave unpacked images and their cubes
    std::shared_ptr<CubeBuild> rangeCube;
    std::vector<std::shared_ptr<CubeWriter>> cubes; // every cube begun, given up unless finished;
                                                    // under the workers' lock

    // The source of units, in the run's order.
    int64_t sequence = 0;
    int64_t nextFile = 0;
    bool range = false; // a numbered range of a root name, else the names given
    int64_t fileNumber = -1;
    int64_t lastNumber = -1;
    std::string rootName;
    bool firstFile = true;
    std::size_t nextName = 0;
    bool sourceEnded = false;
    std::shared_ptr<PackedFile> packed; // the packed file whose images are being handed out
    int64_t nextImage = 0;
    SessionInOrder packedSessions;

    // The workers: how many have not ended, how many of them wait on an input that may never
    // come (a FIFO no one writes), and whether one of them holds the source.
    std::mutex workersMutex;
    std::condition_variable workersChanged;
    int running = 0;
    int mayBlock = 0;
    bool sourceTaken = false;
    int sourceWaiters = 0;
    std::condition_variable sourceFreed;
};

// Whether opening or reading the input `name` may wait for ever: it is there and is no regular
// file (a FIFO, a device).
bool mayNeverCome(const std::string& name)
{
    struct stat status {};
    return ::stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

// Never replace a file this run reads: the input, or a map. A link at the output name is no
// such file, even when it points to one: the rename replaces the link and leaves its target.
bool refusesOverwrite(const std::string& outputName, const std::string& inputName, RunShared& run, Messages& messages)
{
    const Options& options = run.options;
    for (const std::string* source : {&inputName, &options.maskName, &options.gainName})
        if (!source->empty() && replacesFile(outputName, *source, &run.folders.of(outputName))) {
            messages.say(ProgramText::outputOverwrites, outputName, *source);
            return true;
        }
    return false;
}

// While it lives, its worker reads an input that may never come, when `blocks`. Such a read
// holds no hidden file, so that a run that has ended need not wait for it.
class MayBlock {
public:
    MayBlock(RunShared& run, bool blocks) : run_(run), blocks_(blocks) { count(1); }
    ~MayBlock() { count(-1); }
    MayBlock(const MayBlock&) = delete;
    MayBlock& operator=(const MayBlock&) = delete;

private:
    void count(int change)
    {
        if (!blocks_)
            return;
        std::lock_guard lock(run_.workersMutex);
        run_.mayBlock += change;
        // Only a run that has ended waits for its workers to come to such a read.
        if (run_.publisher.ended())
            run_.workersChanged.notify_all();
    }
    RunShared& run_;
    bool blocks_;
};

// The source of units, held by one worker at a time. The others wait their turn until the run
// ends: the worker that holds it may be reading a packed file that never comes.
class SourceTurn {
public:
    explicit SourceTurn(RunShared& run) : run_(run)
    {
        std::unique_lock lock(run.workersMutex);
        if (run.sourceTaken) {
            ++run.sourceWaiters;
            run.sourceFreed.wait(lock, [&] { return !run.sourceTaken || run.publisher.ended(); });
            --run.sourceWaiters;
        }
        taken_ = !run.sourceTaken;
        run.sourceTaken = true;
    }
    ~SourceTurn()
    {
        if (!taken_)
            return;
        std::lock_guard lock(run_.workersMutex);
        run_.sourceTaken = false;
        if (run_.sourceWaiters > 0)
            run_.sourceFreed.notify_one();
    }
    SourceTurn(const SourceTurn&) = delete;
    SourceTurn& operator=(const SourceTurn&) = delete;
    // False when the run ended while another worker held the source.
    explicit operator bool() const { return taken_; }

private:
    RunShared& run_;
    bool taken_ = false;
};

class Worker {
public:
    // Sets up the worker's buffers, those of a camera file among them.
    explicit Worker(std::shared_ptr<RunShared> run) : run_(std::move(run)), converter_(run_->options, run_->maps)
    {
        if (!run_->options.fitsInput)
            converter_.workspace().camera = std::make_unique<CameraReading>();
    }

    // Runs a worker to its end. A worker without the memory for its buffers takes no unit, and
    // the others go on without it (a run none of whose workers could set up has run out of memory:
    // convertInputs tells). Running out of memory with a unit in hand ends the run where it stands.
    static void runToEnd(const std::shared_ptr<RunShared>& shared)
    {
        std::unique_ptr<Worker> worker;
        try {
            worker = std::make_unique<Worker>(shared);
        } catch (const std::bad_alloc&) {
            return;
        }
        try {
            worker->work();
        } catch (const std::bad_alloc&) {
            shared->outOfMemory = true;
            shared->publisher.abandon();
            wakeCoordinator(*shared);
        }
    }

    // Takes units until there are none, each read, converted and written, then handed to the
    // publisher for its turn.
    void work()
    {
        for (auto unit = std::make_unique<Unit>(); claim(*unit); unit = std::make_unique<Unit>()) {
            process(*unit);
            run_->publisher.finished(*run_, std::move(unit));
            if (run_->publisher.ended())
                wakeCoordinator(*run_);
        }
    }

private:
    bool claim(Unit& unit);
    void claimPackedFile(Unit& unit);
    void claimPackedImage(Unit& unit);
    void process(Unit& unit);
    void processFile(Unit& unit);
    void processPackedImage(Unit& unit);
    Result addPlane(Unit& unit, CubeBuild& cube, int64_t plane, Output& output);
    void writeHidden(Unit& unit, const std::string& name, const Output& output);

    // Also wakes the workers waiting for the source, which the run's end ends.
    static void wakeCoordinator(RunShared& run)
    {
        std::lock_guard lock(run.workersMutex);
        run.workersChanged.notify_all();
        run.sourceFreed.notify_all();
    }


    // False once the run has ended: nothing more is to be written. Asked under the workers'
    // lock, so that a run that ends meanwhile waits for this worker.
    bool stillWanted()
    {
        std::lock_guard lock(run_->workersMutex);
        return !run_->publisher.ended();
    }

    std::shared_ptr<RunShared> run_;
    Converter converter_;
    Conversion conversion_;
    Output output_;
};

// The next unit from the run's source; with -p, the packed file's header and the image are read
// here, in the run's order. False when there is none.
bool Worker::claim(Unit& unit)
{
    RunShared& run = *run_;
    const SourceTurn turn(run);
    if (!turn || run.sourceEnded || !run.publisher.waitForRoom(run.sequence, run.backlog))
        return false;
    if (run.packed && run.nextImage < run.packed->count) {
        unit.kind = Kind::packedImage;
        unit.sequence = run.sequence++;
        unit.packed = run.packed;
        unit.image = run.nextImage++;
        unit.inputName = run.packed->inputName;
        const MayBlock reading(run, run.packed->mayNeverCome);
        claimPackedImage(unit);
        return true;
    }
    run.packed.reset();
    const std::vector<std::string>& names = run.options.inputNames;
    if (run.range ? !run.firstFile && run.fileNumber > run.lastNumber : run.nextName >= names.size()) {
        run.sourceEnded = true;
        return false;
    }
    run.firstFile = false;
    unit.sequence = run.sequence++;
    unit.file = run.nextFile++;
    if (run.range) {
        unit.inputName = numberedName(run.rootName, run.fileNumber);
        unit.number = run.fileNumber;
        unit.notTried = std::max<int64_t>(run.lastNumber - unit.number, 0);
        ++run.fileNumber;
        unit.last = run.fileNumber > run.lastNumber;
        unit.after = run.fileNumber;
    } else {
        unit.inputName = names[run.nextName++];
        unit.number = fileNumberFromName(unit.inputName);
        unit.notTried = static_cast<int64_t>(names.size() - run.nextName);
        unit.last = run.nextName == names.size();
        unit.after = static_cast<int64_t>(run.nextName);
    }
    if (run.options.unpack) {
        unit.kind = Kind::packedFile;
        const MayBlock reading(run, mayNeverCome(unit.inputName));
        claimPackedFile(unit);
    }
    return true;
}

void Worker::claimPackedFile(Unit& unit)
{
    RunShared& run = *run_;
    const Options& options = run.options;
    Messages& messages = unit.messages;
    messages.say(ProgramText::readingFile, unit.inputName);
    unit.read = true;
    auto packed = std::make_shared<PackedFile>();
    packed->inputName = unit.inputName;
    packed->number = unit.number;
    packed->mayNeverCome = mayNeverCome(unit.inputName);
    unit.result = toldUnreadable(
        converter_.convert(unit.inputName, run.packedSessions, messages, packed->conversion),
        unit.inputName, false, messages);
    if (!unit.result) {
        run.sourceEnded = !options.keepGoing;
        return;
    }
    packed->count = packed->conversion.packed->count();
    // A file without a number in its name is numbered from 0; a range goes on after its images.
    packed->startNumber = std::max<int64_t>(unit.number, 0);
    packed->position = run.range ? unit.number : static_cast<int64_t>(run.nextName) - 1;
    if (run.range) {
        run.fileNumber = packed->startNumber + packed->count;
        unit.last = run.fileNumber > run.lastNumber;
        // Should an image end the run: the range's numbers after the file's last image.
        packed->notTried = std::max<int64_t>(
            run.lastNumber - std::max(packed->startNumber + packed->count - 1, unit.number + 1) + 1, 0);
    } else {
        packed->notTried = unit.notTried;
    }
    packed->next = unit.after = run.range ? run.fileNumber : static_cast<int64_t>(run.nextName);
    if (packed->count > 0)
        unit.after = packed->position;
    auto failed = [&](Result result) {
        unit.result = std::move(result);
        run.sourceEnded = true;
    };
    if (!options.cube) {
        packed->names.emplace(outputNameFor(unit.inputName, options), options.frameNumber, options.appendFits);
    } else {
        // The images as the planes of one data cube, named like them with 'k' for their 't' and the
        // packed file's own number.
        const std::string cubeName = outputNameFor(unit.inputName, options, 'k');
        if (!run.unpackedNames.take(cubeName)) {
            messages.say(ProgramText::noCubeName, unit.inputName);
            messages.reason("%s is the name of an earlier output of this run", cubeName.c_str());
            return failed(Result::failed(ProgramText::noCubeName, messages.lastReason()));
        }
        const OutputFolder& folder = run.folders.of(cubeName);
        if (replacesFile(cubeName, unit.inputName, &folder)) {
            return failed(messages.failed(ProgramText::cubeOverwrites, cubeName, unit.inputName));
        }
        messages.say(ProgramText::writingCube, cubeName, {packed->count});
        sayImagesIntoCube(unit.inputName, cubeName, packed->count, messages);
        auto cube = std::make_shared<CubeBuild>();
        cube->writer = std::make_shared<CubeWriter>(cubeName, &folder);
        cube->planes = packed->count;
        cube->ofFiles = false;
        {
            std::lock_guard lock(run.workersMutex);
            run.cubes.push_back(cube->writer);
        }
        packed->cube = cube;
        packed->cubeNames = {unit.inputName, cubeIrafName(unit.inputName, options)};
    }
    run.packed = packed;
    run.nextImage = 0;
    unit.packed = packed;
}

void Worker::claimPackedImage(Unit& unit)
{
    RunShared& run = *run_;
    PackedFile& packed = *unit.packed;
    Messages& messages = unit.messages;
    unit.number = packed.startNumber + unit.image;
    unit.notTried = packed.notTried;
    unit.after = unit.image + 1 < packed.count ? packed.position : packed.next;
    auto failed = [&](Result result) {
        unit.result = std::move(result);
        // A range that goes on goes on from the file's last image.
        run.packed.reset();
        if (run.range)
            run.fileNumber = std::max(packed.startNumber + packed.count - 1, packed.number + 1);
        run.sourceEnded = !run.options.keepGoing;
    };
    if (!packed.cube) {
        UnpackedNames::ImageName name;
        if (Result named = packed.names->forImage(unit.number, name); !named) {
            messages.say(ProgramText::noUnpackedName, {unit.number});
            messages.reason("%s", named.reason().c_str());
            return failed(named);
        }
        unit.names = {name.fileName, name.irafName};
        // Two images of one run never share a name: the later one would replace the earlier.
        if (!run.unpackedNames.take(name.stem, name.number, packed.names->ending())) {
            messages.say(ProgramText::noUnpackedName, {unit.number});
            messages.reason("%s is the name of an earlier image of this run", unit.names.fileName.c_str());
            return failed(Result::failed(ProgramText::noUnpackedName, messages.lastReason()));
        }
        if (replacesFile(unit.names.fileName, packed.inputName, &run.folders.of(unit.names.fileName)))
            return failed(messages.failed(ProgramText::unpackedOverwrites, unit.names.fileName, packed.inputName));
        messages.say(packed.conversion.packed->ultrafast() ? ProgramText::writingUltrafast : ProgramText::writingUnpacked,
                     unit.names.fileName);
    }
    if (Result read = converter_.takePackedImage(packed.conversion, messages); !read)
        failed(read);
}

void Worker::process(Unit& unit)
{
    if (unit.kind == Kind::file)
        processFile(unit);
    else if (unit.kind == Kind::packedImage && unit.result)
        processPackedImage(unit);
}

// An output's file: created under a hidden name and written whole, to be renamed at its turn.
void Worker::writeHidden(Unit& unit, const std::string& name, const Output& output)
{
    unit.hasOutput = true;
    const auto dataBytes = static_cast<int64_t>(output.data.size());
    const int error = run_->publisher.writeInTurn(unit, [&] {
        unit.fileMessages.clear();
        unit.output = std::make_unique<OutputFile>(name, &run_->folders.of(name), unit.fileMessages);
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
    RunShared& run = *run_;
    const Options& options = run.options;
    Messages& messages = unit.messages;
    // A cube of frames is named like a cube: k970611a.005.
    const std::string outputName = outputNameFor(unit.inputName, options, options.frames ? 'k' : 'f');
    {
        // A camera file takes over what the file before left: it may wait for that file's header,
        // until the run ends.
        const MayBlock reading(run, mayNeverCome(unit.inputName));
        ChainLink link(run.sessions, unit.file);
        SessionInOrder alone;
        SessionLink& session = options.fitsInput ? static_cast<SessionLink&>(alone) : link;
        // A cube's planes write no file of their own: the cube was checked before the run.
        if (!run.rangeCube && refusesOverwrite(outputName, unit.inputName, run, messages)) {
            unit.result = Result::failed(ProgramText::outputOverwrites);
        } else {
            if (options.frameNumber < 0)
                messages.reason("warning - -o %d reads frame 1 into %s, the name of the combined image",
                                options.frameNumber, outputName.c_str());
            messages.say(ProgramText::readingFile, unit.inputName);
            unit.read = true;
            unit.result = options.frames
                ? converter_.convertFrames(unit.inputName, session, messages, conversion_)
                : converter_.convert(unit.inputName, session, messages, conversion_);
            unit.result = toldUnreadable(std::move(unit.result), unit.inputName, options.fitsInput, messages);
            unit.result = hintedRead(std::move(unit.result), unit.inputName, options, messages);
        }
    }
    if (run.rangeCube) {
        if (unit.result) {
            unit.record = planeRecordOf(unit.inputName, conversion_.observation);
            unit.times = conversion_.observation.times();
            unit.timeEnd = conversion_.observation.timeEndText();
            unit.result = addPlane(unit, *run.rangeCube, unit.file, conversion_.output);
        }
        // Planes that wait for the first are told when it failed.
        if (!unit.result && unit.file == 0)
            run.rangeCube->writer->giveUp();
        return;
    }
    if (!unit.result || !stillWanted())
        return;
    messages.say(ProgramText::writingFile, outputName);
    writeHidden(unit, outputName, conversion_.output);
}

void Worker::processPackedImage(Unit& unit)
{
    PackedFile& packed = *unit.packed;
    if (!stillWanted())
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
    RunShared& run = *run_;
    Messages& messages = unit.messages;
    FitsImage& image = output.image;
    CubeWriter& writer = *cube.writer;
    if (plane == 0) {
        if (cube.ofFiles)
            messages.say(ProgramText::planeOf, writer.name(), {1});
        cube.header = std::move(image.header);
        Header& header = cube.header;
        if (!makeCubeHeader(header, cube.planes, run.options.modern) || !header.resumeAtEnd())
            return messages.failed(ConversionText::noNaxisCard);
        // Room behind the first plane's cards for what the finish adds: for the files of a range
        // a HISTORY card per plane and per key they may differ in, and NIMAGES.
        std::string value;
        const bool addsCount = run.options.modern && header.findCard("NIMAGES", value) < 1;
        const int64_t cards
            = header.cardsBeforePlace() + (cube.ofFiles ? cube.planes + differingKeys : 0) + (addsCount ? 1 : 0) + 1;
        if (!stillWanted())
            return Result::failed(std::make_error_code(std::errc::operation_canceled));
        if (Result begun = writer.begin(image.naxis1, image.naxis2, image.bitpix, cube.planes, cards,
                                        hasChecksumCards(header), messages);
            !begun)
            return begun;
    } else {
        // The first plane failed, and the run with it.
        if (!writer.waitBegun() || !stillWanted())
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
    run.publisher.writeInTurn(unit, [&] {
        said.clear();
        written = writer.writePlane(plane, output.data, said);
        // What a write cut short took is given back while the plane waits for its turn.
        if (!written)
            writer.dropPlane(plane);
        return errorNumberOf(written);
    });
    messages.append(said);
    unit.cube = &writer;
    unit.holdsRoom = static_cast<bool>(written);
    unit.writeCause = written.cause();
    return written;
}

// The cube's header ended with END, filling exactly the room kept for it: blank cards stand
// for the cards it kept room for and did not need.
void endInRoom(Header& header, const CubeWriter& writer)
{
    const auto blocksFor = [](int64_t cards) { return (cards + cardsPerBlock - 1) / cardsPerBlock; };
    while (blocksFor(header.cardsBeforePlace() + 1) * blockLength < writer.headerRoom())
        header.addCommentCard("", "");
    header.addEndCard();
}

// The table of the planes behind a --modern cube. Its planes count as written once it is renamed
// into place, for the tally as it is then at `after`; until then they count as passed.
Result finishCube(RunTally& tally, CubeBuild& cube, bool modern, int64_t after, Messages& messages)
{
    endInRoom(cube.header, *cube.writer);
    Header table;
    std::string rows;
    if (modern)
        planeTable(cube.records, false, table, rows);
    CubeWriter& writer = *cube.writer;
    tally.renaming(writer.folderDescriptor(), writer.hiddenName().c_str(), cube.planes, after);
    Result finished = writer.finish(cube.header, modern ? &table : nullptr, rows, messages);
    tally.renamed(finished ? cube.planes : 0);
    // The planes before this one passed; this one is counted with the cube.
    if (finished)
        tally.unpass(cube.planes - 1);
    return finished;
}

Result finishRangeCube(RunShared& run, int64_t after, Messages& messages)
{
    CubeBuild& cube = *run.rangeCube;
    const bool modern = run.options.modern;
    messages.say(ProgramText::writingCube, cube.writer->name(), {cube.planes});
    Header& header = cube.header;
    for (int64_t k = 0; k < cube.planes; ++k)
        header.addCommentCard("HISTORY ", "PLANE " + std::to_string(k + 1) + " IS " + cube.planeName(k));
    // Planes of other objects, modes or filters are said, not hidden behind the first one's cards.
    for (const std::string& history : differingPlanes(cube.records, cube.writer->name(), messages))
        header.addCommentCard("HISTORY ", history);
    if (modern)
        header.setValueCard("NIMAGES", std::to_string(cube.planes), "NUMBER OF PLANES");
    // The observation of the cube spans its planes: it begins where the one that begins first
    // does, and ends where its file that ends last does, in every card.
    if (modern) {
        const PlaneRecord* earliest = nullptr;
        for (const PlaneRecord& record : cube.records)
            if (record.start && (!earliest || *record.start < *earliest->start))
                earliest = &record;
        if (earliest && earliest != &cube.records.front())
            replaceStartCards(header, *earliest->start);
    }
    if (modern && cube.last.hasEnd) {
        std::string end = quotedValue(cube.lastEnd);
        end.append(end.size() < 19 ? 19 - end.size() : 0, ' '); // laid out as the camera's card
        header.replaceValueCard("TIME-END", end, "END TIME OF OBSERVATION (UT)");
        replaceEndCards(header, cube.last);
    }
    Result finished = finishCube(run.tally, cube, modern, after, messages);
    if (finished)
        run.counts.filesConverted += static_cast<int>(cube.planes);
    return finished;
}

Result finishPackedCube(RunShared& run, PackedFile& packed, int64_t after, Messages& messages)
{
    Result finished = finishCube(run.tally, *packed.cube, run.options.modern, after, messages);
    if (finished)
        run.counts.unpackedImages += static_cast<int>(packed.count);
    return finished;
}

// A published unit in the tally: its output, or its failure, and where the run now stands.
void tallied(RunTally& tally, const Unit& unit)
{
    if (unit.kind == Kind::packedFile) {
        if (unit.result)
            tally.addToTotal(unit.packed->count);
        else
            tally.failed();
        tally.passed();
    } else if (unit.hasOutput) {
        // A file renamed into place was counted then.
        if (!unit.written)
            tally.failed();
    } else if (!unit.result) {
        tally.failed();
    } else if (!unit.finishedCube) {
        tally.passed();
    }
    tally.at(unit.after);
}

// A unit's publishing, begun, and ended once the unit is counted or by an exception on the way.
class PublishingWindow {
public:
    explicit PublishingWindow(RunTally& tally) : tally_(tally) {}
    ~PublishingWindow() { end(); }
    PublishingWindow(const PublishingWindow&) = delete;
    PublishingWindow& operator=(const PublishingWindow&) = delete;
    void end()
    {
        if (std::exchange(open_, false))
            tally_.endPublishing();
    }

private:
    RunTally& tally_;
    bool open_ = true;
};

// At the unit's turn: what it said is printed, its output renamed into place and counted; a
// failure ends the run there, or with --keep-going is counted and passed.
bool publish(RunShared& run, Unit& unit)
{
    // A signal is ending the process: what comes after it is not said, and no file is renamed.
    // Otherwise the signal's words wait until this unit is counted.
    if (!run.tally.beginPublishing())
        for (;;)
            pause();
    PublishingWindow window(run.tally);
    RunCounts& counts = run.counts;
    Messages& messages = unit.messages;
    if (unit.read)
        ++counts.filesRead;
    counts.position = unit.after;
    if (unit.output) {
        if (unit.written) {
            run.tally.renaming(unit.output->folderDescriptor(), unit.output->hiddenName().c_str(), 1, unit.after);
            unit.written = static_cast<bool>(unit.output->commit());
            run.tally.renamed(unit.written ? 1 : 0);
        }
        messages.append(unit.fileMessages);
        if (unit.written) {
            ++(unit.kind == Kind::file ? counts.filesConverted : counts.unpackedImages);
        } else {
            ++counts.failedWrites;
            if (unit.kind == Kind::file)
                counts.failedNames.push_back(unit.inputName);
        }
        unit.output.reset();
    }
    // A folder that can take nothing more ends the run, --keep-going or not: every later write
    // would fail the same way.
    const std::error_code& writeCause = unit.writeCause;
    const bool noRoom = !unit.written && writeCause.category() == std::generic_category()
        && (noRoomError(writeCause.value()) || writeCause == std::errc::read_only_file_system);
    // A plane of a cube that found no room is an image not written.
    if (noRoom && !unit.hasOutput)
        ++counts.failedWrites;
    if (unit.result && run.rangeCube) {
        CubeBuild& cube = *run.rangeCube;
        cube.records.push_back(unit.record);
        // The cube ends where the file that ends last does, were the files in no order of time.
        const ObservationTimes& times = unit.times;
        if (times.hasEnd && (!cube.last.hasEnd || times.endInstant() >= cube.last.endInstant())) {
            cube.last = times;
            cube.lastEnd = unit.timeEnd;
        }
        if (unit.last) {
            unit.result = finishRangeCube(run, unit.after, messages);
            unit.finishedCube = static_cast<bool>(unit.result);
        }
    }
    if (unit.result && unit.kind == Kind::packedImage && unit.packed->cube) {
        // Only the table of a --modern cube needs them: memory stays flat without.
        if (run.options.modern)
            unit.packed->cube->records.push_back(unit.record);
        if (unit.image == unit.packed->count - 1) {
            unit.result = finishPackedCube(run, *unit.packed, unit.after, messages);
            unit.finishedCube = static_cast<bool>(unit.result);
        }
    }
    bool endsRun = false;
    if (noRoom) {
        counts.stopped = counts.stoppedByWrite = true;
        counts.stoppedAt = unit.inputName;
        counts.notTried = unit.notTried;
        endsRun = true;
    } else if (!unit.result) {
        if (run.options.keepGoing) {
            ++counts.failedFiles;
            counts.failedNames.push_back(unit.inputName);
            if (unit.result.cause() == CameraText::packedRefused)
                counts.packedNames.push_back(unit.inputName);
        } else {
            counts.stopped = true;
            counts.stoppedAt = unit.inputName;
            counts.notTried = unit.notTried;
            endsRun = true;
        }
    }
    if (endsRun && (run.rangeCube || (unit.packed && unit.packed->cube)))
        counts.unwrittenCube = (run.rangeCube ? run.rangeCube->writer : unit.packed->cube->writer)->name();
    tallied(run.tally, unit);
    window.end();
    print(messages);
    flushOutput();
    progressLine().update(run.tally.progressText());
    return endsRun;
}

// The cube of a range: its name, and a refusal, before anything is read, when it would replace
// a file the run reads (an input of the range, up to the first that is missing, or a map).
Result planRangeCube(RunShared& run, Messages& messages)
{
    const Options& options = run.options;
    auto cube = std::make_shared<CubeBuild>();
    if (run.range) {
        cube->rootName = run.rootName;
        cube->first = options.firstNumber;
        cube->planes = int64_t{options.lastNumber} - options.firstNumber + 1;
    } else {
        cube->names = &options.inputNames;
        cube->planes = static_cast<int64_t>(options.inputNames.size());
    }
    const std::string name = outputNameFor(cube->planeName(0), options, 'k');
    const OutputFolder& folder = run.folders.of(name);
    cube->writer = std::make_shared<CubeWriter>(name, &folder);
    run.cubes.push_back(cube->writer);
    run.rangeCube = cube;
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
        if (run.range && !std::filesystem::exists(input, error))
            break;
    }
    if (refused(options.maskName) || refused(options.gainName))
        return Result::failed(ProgramText::cubeOverwrites);
    return Result();
}

} // namespace

RunCounts convertInputs(const Options& options, const Maps& maps, std::shared_ptr<OutputFolders> folders, int jobs,
                        Messages& said, RunTally* tally)
{
    auto run = std::make_shared<RunShared>(options, maps, std::move(folders), jobs, tally);
    run->range = options.firstNumber > -1;
    run->fileNumber = options.firstNumber;
    run->lastNumber = options.lastNumber;
    run->rootName = run->range ? options.inputName : std::string();
    run->counts.position = run->range ? options.firstNumber : 0;
    if (options.cube && !options.unpack && !planRangeCube(*run, said)) {
        run->counts.stopped = true;
        return run->counts;
    }
    // A run of one file starts no thread, and shows no progress line; no run has more workers
    // than units to convert.
    const bool oneFile = !run->range && options.inputNames.size() == 1 && !options.unpack;
    if (!options.unpack)
        jobs = static_cast<int>(std::min<int64_t>(
            jobs, run->range ? int64_t{options.lastNumber} - options.firstNumber + 1
                             : static_cast<int64_t>(options.inputNames.size())));
    run->tally.begin(run->rootName, options.firstNumber, options.lastNumber, run->range ? nullptr : &options.inputNames,
                     options.unpack ? RunTally::Counting::unpacked : RunTally::Counting::converted);
    progressLine().enable(options.progress && !oneFile);
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<std::atomic<bool>>> ended;
    if (jobs > 1 && !oneFile) {
        // Everything a thread's start needs is allocated before the first starts: once one runs,
        // nothing may throw past it.
        threads.reserve(static_cast<std::size_t>(jobs));
        for (int k = 0; k < jobs; ++k)
            ended.push_back(std::make_shared<std::atomic<bool>>(false));
        for (int k = 0; k < jobs; ++k) {
            {
                std::lock_guard lock(run->workersMutex);
                ++run->running;
            }
            try {
                threads.emplace_back([run, done = ended[k]] {
                    Worker::runToEnd(run);
                    std::lock_guard lock(run->workersMutex);
                    --run->running;
                    *done = true;
                    run->workersChanged.notify_all();
                });
            } catch (const std::exception&) {
                // Without the means for a thread (a limit on processes, or on memory), the run goes
                // on with fewer.
                std::lock_guard lock(run->workersMutex);
                --run->running;
                break;
            }
        }
    }
    if (threads.empty()) {
        Worker::runToEnd(run);
    } else {
        std::unique_lock lock(run->workersMutex);
        run->workersChanged.wait(lock, [&] { return run->running == 0 || run->publisher.ended(); });
        if (run->running > 0) {
            // The run has ended: workers that wait for another's file or cube wait no longer, and
            // the run waits for every worker but those reading an input that may never come
            // (they hold no hidden file, and write nothing once they come back).
            for (const std::shared_ptr<CubeWriter>& cube : run->cubes)
                cube->stopWaiting();
            lock.unlock();
            run->sessions.abandon();
            lock.lock();
            run->workersChanged.wait(lock, [&] { return run->running == run->mayBlock; });
        }
        lock.unlock();
        for (std::size_t k = 0; k < threads.size(); ++k) {
            if (*ended[k])
                threads[k].join();
            else
                threads[k].detach();
        }
    }
    // Every worker ended, and none took the source to its end nor ended the run: none could set up.
    if (!run->sourceEnded && !run->publisher.ended())
        run->outOfMemory = true;
    progressLine().clear();
    run->tally.end();
    {
        std::lock_guard lock(run->workersMutex);
        for (const std::shared_ptr<CubeWriter>& cube : run->cubes)
            cube->giveUp();
    }
    if (run->outOfMemory) {
        said.say(ConversionText::outOfMemory);
        said.reason("the run ran out of memory");
        RunCounts& counts = run->counts;
        // The run stopped at the first unit not published, unless another failure stopped it first.
        if (!counts.stopped) {
            counts.stopped = true;
            const int64_t at = counts.position;
            const auto names = static_cast<int64_t>(options.inputNames.size());
            if (run->range ? at <= options.lastNumber : at < names) {
                counts.stoppedAt = run->range ? numberedName(run->rootName, at) : options.inputNames[at];
                counts.notTried = run->range ? options.lastNumber - at : names - at - 1;
            }
        }
    }
    return run->counts;
}

namespace {

// A file as the system knows it: its folder's device and inode, and its name there; nullopt when
// the folder is not there.
using Place = std::tuple<dev_t, ino_t, std::string>;

std::optional<Place> placeOf(const std::string& name)
{
    const std::string folder = folderOf(name);
    struct stat place {};
    if (stat(folder.empty() ? "." : folder.c_str(), &place) != 0)
        return std::nullopt;
    return Place{place.st_dev, place.st_ino, name.substr(fileNameStart(name))};
}

// The inputs of a run, by their place and by the file they are: an output must replace none of
// them, whether it is there yet or not.
class InputPlaces {
public:
    explicit InputPlaces(const std::vector<std::string>& names)
    {
        for (const std::string& input : names) {
            if (const std::optional<Place> place = placeOf(input))
                places_.emplace(*place, &input);
            struct stat file {};
            if (stat(input.c_str(), &file) == 0)
                files_.emplace(std::pair{file.st_dev, file.st_ino}, &input);
        }
    }
    // The input other than `own` that writing `output` would replace, or null.
    const std::string* replacedBy(const std::string& output, const std::string* own) const
    {
        if (const std::optional<Place> place = placeOf(output))
            if (const auto found = places_.find(*place); found != places_.end() && found->second != own)
                return found->second;
        struct stat standing {};
        if (lstat(output.c_str(), &standing) == 0)
            if (const auto found = files_.find({standing.st_dev, standing.st_ino});
                found != files_.end() && found->second != own)
                return found->second;
        return nullptr;
    }

private:
    std::map<Place, const std::string*> places_;
    std::map<std::pair<dev_t, ino_t>, const std::string*> files_;
};

// The packed files of a run given by name (-p), one after another: every image name is given
// once, and none is an input's. Their headers are read to count their images; the check ends at
// an input that is no regular file (which cannot be read twice) or cannot be read (the run tells),
// and after a million images.
Result checkUnpackedNames(const Options& options, const InputPlaces& inputs, Messages& messages)
{
    struct Images {
        const std::string* input;
        UnpackedNames names;
        int64_t first, count;
    };
    std::vector<Images> files;
    TakenNames taken;
    Converter converter(options, Maps());
    SessionInOrder session;
    int64_t images = 0;
    for (const std::string& input : options.inputNames) {
        struct stat file {};
        if (stat(input.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || images > 1000000)
            break;
        Messages said;
        Conversion conversion;
        if (!converter.convert(input, session, said, conversion) || !conversion.packed)
            break;
        files.push_back({&input, UnpackedNames(outputNameFor(input, options), options.frameNumber, options.appendFits),
                         std::max<int64_t>(fileNumberFromName(input), 0), conversion.packed->count()});
        const Images& these = files.back();
        UnpackedNames::ImageName name;
        for (int64_t k = 0; k < these.count && images <= 1000000; ++k, ++images) {
            if (!these.names.forImage(these.first + k, name))
                break;
            if (const std::string* replaced = inputs.replacedBy(name.fileName, nullptr)) {
                messages.say(ProgramText::unpackedOverwrites, name.fileName, *replaced);
                return Result::fatal(ProgramText::unpackedOverwrites);
            }
            if (taken.take(name.stem, name.number, these.names.ending()))
                continue;
            // The earlier file whose image has the name.
            for (const Images& earlier : files) {
                UnpackedNames::ImageName other;
                for (int64_t j = 0; j < earlier.count && other.fileName != name.fileName; ++j)
                    earlier.names.forImage(earlier.first + j, other);
                if (other.fileName == name.fileName) {
                    messages.say(ProgramText::outputsCollide, *earlier.input, input, name.fileName);
                    messages.reason("give packed files whose images are numbered apart, or unpack them in runs of "
                                    "their own");
                    return Result::fatal(ProgramText::outputsCollide, messages.lastReason());
                }
            }
        }
    }
    return Result();
}

} // namespace

Result checkOutputNames(const Options& options, Messages& messages)
{
    // A range's outputs are named after its numbers, which differ; a cube of several names is
    // one output, written once every input is read.
    if (options.firstNumber >= 0 || options.inputNames.size() < 2 || options.cube)
        return Result();
    const InputPlaces inputs(options.inputNames);
    if (options.unpack)
        return checkUnpackedNames(options, inputs, messages);
    // Outputs are told apart by their folder, as the system knows it, and their file's name.
    std::map<Place, const std::string*> outputs;
    for (const std::string& input : options.inputNames) {
        const std::string output = outputNameFor(input, options, options.frames ? 'k' : 'f');
        const std::optional<Place> place = placeOf(output);
        if (!place)
            continue;
        if (const auto [earlier, added] = outputs.emplace(*place, &input); !added) {
            messages.say(ProgramText::outputsCollide, *earlier->second, input, output);
            messages.reason("give names whose outputs differ, or convert them in runs of their own");
            return Result::fatal(ProgramText::outputsCollide, messages.lastReason());
        }
        // The output of one name would replace the file of another, there yet or not, before it is read.
        if (const std::string* replaced = inputs.replacedBy(output, &input)) {
            messages.say(ProgramText::outputOverwrites, output, *replaced);
            return Result::fatal(ProgramText::outputOverwrites);
        }
    }
    return Result();
}
