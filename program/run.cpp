#include "program/run.h"

#include "conversion/conversion.h"
#include "conversion/names.h"
#include "conversion/conversiontexts.h"
#include "program/texts.h"
#include "program/commandline.h"
#include "program/console.h"
#include "program/logrun.h"
#include "program/progress.h"
#include "program/signals.h"
#include "program/outputnames.h"
#include "program/workers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// After a run of more than one file (or image), or a range that stopped early: how many were
// written, how many failed (named with --keep-going, ten at most), how many were not tried
// and how long it took.
void summarise(const RunTally& tally, const Options& options, int64_t failed,
               std::chrono::steady_clock::time_point start)
{
    const RunTally::Summary& counts = tally.summary;
    const bool unpack = options.unpack;
    const int64_t written = tally.done();
    if (counts.filesRead < 2 && written + failed < 2 && counts.notTried == 0)
        return;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    const char* const what = unpack ? (written == 1 ? "image unpacked" : "images unpacked")
                                    : (written == 1 ? "file converted" : "files converted");
    std::string failures = std::to_string(failed) + " failed";
    if (options.keepGoing && !counts.failedNames.empty()) {
        const std::size_t named = std::min<std::size_t>(counts.failedNames.size(), 10);
        std::string names;
        for (std::size_t i = 0; i < named; ++i)
            names += (i == 0 ? "" : ", ") + counts.failedNames[i];
        if (counts.failedNames.size() > named)
            names += " and " + std::to_string(counts.failedNames.size() - named) + " more";
        failures += " (" + names + ")";
    }
    if (counts.notTried > 0)
        failures += ", " + std::to_string(counts.notTried) + (unpack ? " files" : "") + " not tried (stopped at "
            + counts.stoppedAt + ")";
    notice("%lld %s, %s, in %.2f s", static_cast<long long>(written), what, failures.c_str(), seconds.count());
    if (!counts.packedNames.empty()) {
        const std::size_t packed = counts.packedNames.size();
        notice("%zu packed file%s passed over: unpack %s with %s (add --cube for one data cube each)", packed,
               packed == 1 ? "" : "s", packed == 1 ? "it" : "them", unpackCommand(counts.packedNames, options).c_str());
    }
}

// The processors this process may run on: the run's workers by default.
int processorsAvailable()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(CPU_COUNT(&set), 1);
    return static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
}

// The run's workers: --jobs, or one per processor the program may use (at most mostJobs), and
// no more than the limit on open files leaves room for: a worker may hold an input, an output
// and a folder open at once. An asked number cut down is said.
int workersFor(const Options& options)
{
    const int wanted = options.jobs > 0 ? options.jobs : std::min(processorsAvailable(), mostJobs);
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return wanted;
    const auto allowed = static_cast<int>(std::clamp<int64_t>((static_cast<int64_t>(files.rlim_cur) - 32) / 3, 1, wanted));
    if (allowed < wanted && options.jobs > 0)
        notice("warning - --jobs %d: %d workers, as many as the limit of %lld open files allows", wanted, allowed,
               static_cast<long long>(files.rlim_cur));
    return allowed;
}

// The maps, each loaded once for the whole run; a map that cannot be read ends it.
Result loadMaps(const Options& options, std::shared_ptr<Map>& mask, std::shared_ptr<Map>& gain)
{
    const struct {
        bool wanted;
        const std::string& name;
        ProgramText announcement, failure;
        std::shared_ptr<Map>& map;
    } maps[] = {{options.mask, options.maskName, ProgramText::readingMask, ProgramText::maskUnreadable, mask},
                {options.gain, options.gainName, ProgramText::readingGain, ProgramText::gainUnreadable, gain}};
    for (const auto& map : maps) {
        if (!map.wanted)
            continue;
        Messages messages;
        messages.say(map.announcement, map.name);
        map.map = std::make_shared<Map>();
        map.map->name = map.name;
        Result loaded = loadMap(*map.map, messages);
        if (!loaded)
            messages.say(map.failure);
        print(messages);
        if (!loaded)
            return loaded;
    }
    return Result();
}

// The program's run of the inputs on its workers: the output folder and the names checked, the
// maps loaded, then every input converted, and the run's summary.
int runConversion(const Options& options, UnfinishedFiles* unfinished, RunTally& tally)
{
    // Shared with the run's workers: one that the ended run did not wait for may still use it.
    const auto folders = std::make_shared<OutputFolders>(unfinished);
    const int64_t first = options.firstNumber;
    const std::string firstInput = first == -1 ? options.inputName : numberedName(options.inputName, first);
    // The folder of the run's outputs is opened before anything is read. A -d folder that is
    // missing, or no folder, would fail every write: the run stops there.
    if (Result opened = folders->open(outputNameFor(firstInput, options)); !opened && options.toDirectory) {
        Messages messages;
        messages.say(ProgramText::noOutputDirectory, options.outputDirectory);
        messages.reason("%s: %s", options.outputDirectory.c_str(), opened.cause().message().c_str());
        print(messages);
        return 1;
    }
    Messages names;
    const Result named = checkOutputNames(options, names);
    print(names);
    if (!named)
        return 1;
    std::shared_ptr<Map> mask, gain;
    if (!loadMaps(options, mask, gain))
        return 1;
    if (options.lastNumber < first) {
        notice("warning - nothing to convert: range %lld to %lld", static_cast<long long>(first),
               static_cast<long long>(options.lastNumber));
        return 0;
    }

    const auto start = std::chrono::steady_clock::now();
    Messages said;
    const Maps maps{mask, gain};
    runWorkers(options, maps, folders, workersFor(options), tally, said);
    print(said);
    const RunTally::Summary& counts = tally.summary;
    if (counts.stopped) {
        // The lines of its planes named a cube that is not there.
        if (!counts.unwrittenCube.empty())
            notice("data cube %s not written: a cube is written whole or not at all", counts.unwrittenCube.c_str());
        // A cube that was not written loses the planes read before the failure as well.
        const bool rangeCube = options.cube && !options.unpack;
        // The file the run stopped at failed, unless a write that failed stopped it, or the run
        // ended past its last file.
        const int64_t failed
            = counts.failedWrites + counts.failedFiles + (counts.stoppedByWrite || counts.stoppedAt.empty() ? 0 : 1);
        summarise(tally, options, rangeCube ? counts.filesRead : failed, start);
        return 1;
    }
    const int64_t failures = counts.failedWrites;
    if (failures > 0) {
        Messages messages;
        messages.say(ProgramText::outputsNotWritten, {failures});
        print(messages);
    }
    summarise(tally, options, failures + counts.failedFiles, start);
    return failures + counts.failedFiles > 0 ? 1 : 0;
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
        constexpr char reason[] = "kovrent: too little memory to start the run\n";
        [[maybe_unused]] ssize_t written = write(STDOUT_FILENO, message, sizeof message - 1);
        written = write(STDERR_FILENO, reason, sizeof reason - 1);
        return false;
    }
    std::set_new_handler(releaseMemoryReserve);
    return true;
}

} // namespace

int kovrentRun(int argc, const char* const* argv, UnfinishedFiles* unfinished, RunTally* runTally)
{
    RunTally ownTally;
    RunTally& tally = runTally ? *runTally : ownTally;
    resetOutputError();
    setQuiet(false);
    int status = 0;
    bool refused = false;
    try {
        Messages messages;
        messages.say(ProgramText::versionLine);
        print(messages);
        messages.clear();
        Options options;
        const Result parsed = parseCommandLine(argc, argv, options, messages);
        print(messages);
        setQuiet(options.quiet);
        if (!parsed) {
            // The refusal has said why.
            refused = true;
            status = 1;
        } else if (options.showUsage) {
            printUsage();
            notice("messages go to standard output; reasons, hints and warnings like this one to standard error");
        } else if (options.showVersion) {
            // The version line has said it all.
        } else if (!options.logName.empty()) {
            status = writeObservingLog(options, workersFor(options), unfinished, tally);
        } else {
            status = runConversion(options, unfinished, tally);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory anywhere in the run: caught once, here.
        Messages messages;
        messages.say(ConversionText::outOfMemory);
        messages.reason("the run ran out of memory");
        print(messages);
        flushOutput();
        status = 1;
    }
    // A line that begins with a short option took it for the file's name.
    if (status != 0 && !refused && argc > 1 && argv[1][0] == '-' && argv[1][1] != '-') {
        Messages hint;
        optionsFirstHint(argc, argv, hint);
        print(hint);
    }
    flushOutput();
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
    RunTally tally;
    int status = 0;
    {
        const EndingSignals signals(unfinished, &tally);
        status = kovrentRun(argc, argv, &unfinished, &tally);
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
