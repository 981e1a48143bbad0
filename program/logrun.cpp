#include "program/logrun.h"

#include "conversion/names.h"
#include "conversion/observinglog.h"
#include "fits/fitsfile.h"
#include "program/commandline.h"
#include "program/console.h"
#include "program/progress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The inputs of a log run: the numbered files of a range, or the names given.
class LogInputs {
public:
    explicit LogInputs(const Options& options) : options_(options) {}

    bool range() const { return options_.firstNumber != -1; }
    int64_t count() const
    {
        return range() ? std::max<int64_t>(int64_t{options_.lastNumber} - options_.firstNumber + 1, 0)
                       : static_cast<int64_t>(options_.inputNames.size());
    }
    int64_t number(int64_t index) const { return options_.firstNumber + index; }
    std::string name(int64_t index) const
    {
        return range() ? numberedName(options_.inputName, options_.firstNumber + index)
                       : options_.inputNames[static_cast<std::size_t>(index)];
    }

private:
    const Options& options_;
};

// The rows of inputs `first` to `first` + `count` - 1 into `text`, by `jobs` threads at once,
// each row in its place; how many could not be read, and how many are short, added to `unread`
// and `shortRows`, and the columns of times they give values in to `times`.
void readRows(const LogInputs& inputs, bool fitsInput, int64_t first, int64_t count, int jobs, std::string& text,
              int64_t& unreadRows, int64_t& shortRows, LogTimes& times)
{
    std::mutex timesMutex;
    std::vector<std::string> rows(static_cast<std::size_t>(count));
    std::atomic<int64_t> next{0}, unread{0}, cut{0};
    std::atomic<bool> outOfMemory{false};
    auto work = [&] {
        try {
            std::unique_ptr<CameraReading> camera;
            LogRow row;
            LogTimes seen;
            for (int64_t i = next++; i < count; i = next++) {
                readLogRow(inputs.name(first + i), fitsInput, camera, row);
                seen.note(row);
                // A range knows its numbers, 1000 and on among them.
                if (inputs.range())
                    row.number = inputs.number(first + i);
                if (row.shortData)
                    ++cut;
                else if (row.status != "ok")
                    ++unread;
                appendLogRow(rows[static_cast<std::size_t>(i)], row);
            }
            const std::lock_guard<std::mutex> lock(timesMutex);
            times.add(seen);
        } catch (const std::bad_alloc&) {
            // The other threads take no further row, and the caller is told once they have ended.
            outOfMemory = true;
            next = count;
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(std::max(jobs, 1)));
    for (int t = 1; t < jobs && t < count; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::exception&) {
            break; // without the means for another thread (a limit on processes or memory): fewer
        }
    }
    work();
    for (std::thread& thread : threads)
        thread.join();
    if (outOfMemory)
        throw std::bad_alloc();
    for (const std::string& row : rows)
        text += row;
    unreadRows += unread;
    shortRows += cut;
}

} // namespace

namespace {

// The descriptor of this process that `name` stands for (/dev/stdout, /dev/fd/1, /proc/self/fd/1,
// or a link to one), or -1. Writing to it shares the descriptor's place in its file, as the
// program's own lines do, where opening the name anew would start at the file's beginning.
int ownDescriptorNamed(std::string name)
{
    const std::string ownFolder = "/proc/" + std::to_string(getpid()) + "/fd";
    for (int hop = 0; hop < 40; ++hop) {
        const std::string folder = folderOf(name);
        char resolved[PATH_MAX];
        if (!realpath(folder.empty() ? "." : folder.c_str(), resolved))
            return -1;
        const std::string leaf = name.substr(fileNameStart(name));
        int descriptor = -1;
        if (resolved == ownFolder && !leaf.empty()
            && std::from_chars(leaf.data(), leaf.data() + leaf.size(), descriptor).ptr == leaf.data() + leaf.size())
            return descriptor;
        char target[PATH_MAX];
        const ssize_t length = readlink(name.c_str(), target, sizeof target - 1);
        if (length <= 0)
            return -1;
        name = target[0] == '/' ? std::string(target, static_cast<std::size_t>(length))
                                : folder + std::string(target, static_cast<std::size_t>(length));
    }
    return -1;
}

// Where a log goes. A regular file (or nothing) at its name is replaced whole, through a hidden file
// renamed into place; anything else there (a device, a FIFO, a terminal, or a link to one) is
// written in place as a stream, never replaced, and a name of one of the program's own
// descriptors (/dev/stdout) is written through that descriptor.
class LogSink {
public:
    LogSink(const std::string& name, OutputFolder& folder) : name_(name), file_(name, &folder, messages_)
    {
        struct stat standing {};
        descriptor_ = ownDescriptorNamed(name);
        inPlace_ = descriptor_ >= 0 || (stat(name.c_str(), &standing) == 0 && !S_ISREG(standing.st_mode));
    }
    ~LogSink()
    {
        if (stream_ >= 0)
            ::close(stream_);
    }
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    bool inPlace() const { return inPlace_; }
    // Each fails with the system's error for its cause.
    Result open()
    {
        if (!inPlace_)
            return file_.create();
        // A FIFO waits here for its reader, as a shell's redirection would.
        do
            stream_ = descriptor_ >= 0 ? fcntl(descriptor_, F_DUPFD_CLOEXEC, 0)
                                       : ::open(name_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        while (stream_ < 0 && errno == EINTR);
        return stream_ >= 0 ? Result() : Result::failed(systemCause(errno));
    }
    Result write(const std::string& text)
    {
        if (!inPlace_)
            return file_.write({{text.data(), text.size()}});
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(stream_, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return Result::failed(systemCause(written < 0 ? errno : EIO));
            done += static_cast<std::size_t>(written);
        }
        return Result();
    }
    Result finish()
    {
        if (!inPlace_)
            return file_.commit();
        const int stream = std::exchange(stream_, -1);
        if (::close(stream) != 0 && errno != EINTR)
            return Result::failed(systemCause(errno));
        return Result();
    }

private:
    std::string name_;
    Messages messages_; // what the hidden file says of a failure: its cause is told instead
    OutputFile file_;
    bool inPlace_ = false;
    int descriptor_ = -1; // the program's own descriptor that the name stands for
    int stream_ = -1;
};

} // namespace

int writeObservingLog(const Options& options, int jobs, UnfinishedFiles* unfinished, RunTally* runTally)
{
    RunTally ownTally;
    RunTally& tally = runTally ? *runTally : ownTally;
    const LogInputs inputs(options);
    const int64_t total = inputs.count();
    const std::string& name = options.logName;

    OutputFolder folder;
    if (Result opened = folder.open(folderOf(name), unfinished); !opened) {
        std::string shown = folderOf(name);
        while (shown.size() > 1 && shown.back() == '/')
            shown.pop_back();
        notice("%s: %s", shown.c_str(), opened.cause().message().c_str());
        return 1;
    }
    // The log takes the place of what stands at its name: never of an input.
    struct stat standing {};
    if (fstatat(folder.descriptor(), name.c_str() + fileNameStart(name), &standing, AT_SYMLINK_NOFOLLOW) == 0)
        for (int64_t i = 0; i < total; ++i)
            if (replacesFile(name, inputs.name(i), &folder)) {
                notice("the log %s would replace the input %s; name another log", name.c_str(), inputs.name(i).c_str());
                return 1;
            }

    LogSink sink(name, folder);
    // A log on the program's own standard output comes after what the program has said there.
    flushOutput();
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    Result written = sink.open();
    tally.begin(inputs.range() ? options.inputName : "", options.firstNumber, options.lastNumber,
                inputs.range() ? nullptr : &options.inputNames,
                sink.inPlace() ? RunTally::Counting::streamed : RunTally::Counting::logged);
    progressLine().enable(options.progress && total > 1);
    // Rows in batches, each written once read: a log of a whole archive holds little in memory.
    constexpr int64_t batch = 4096;
    int64_t unread = 0, shortRows = 0, done = 0;
    for (; written && done < total && !tally.ending(); done += std::min(batch, total - done)) {
        const int64_t count = std::min(batch, total - done);
        // The heading knows the columns of times that have values from the first batch of rows:
        // a log of more rows than a batch declares the columns that its first batch gives.
        LogTimes times;
        readRows(inputs, options.fitsInput, done, count, jobs, text, unread, shortRows, times);
        if (done == 0)
            text.insert(0, logHeading(logFormatFor(name), times));
        written = sink.write(text);
        text.clear();
        tally.addDone(count);
        tally.at(inputs.range() ? options.firstNumber + done + count : done + count);
        progressLine().update(tally.progressText());
    }
    if (total == 0 && written)
        written = sink.write(logHeading(logFormatFor(name), LogTimes()));
    if (written)
        written = sink.finish();
    tally.end();
    progressLine().clear();
    if (!written) {
        notice("%s: %s", name.c_str(), written.cause().message().c_str());
        return 1;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    const std::string shortText = shortRows > 0 ? ", " + std::to_string(shortRows) + " short" : "";
    notice("%s: %lld %s logged, %lld not read%s, in %.2f s", name.c_str(), static_cast<long long>(total),
           total == 1 ? "file" : "files", static_cast<long long>(unread), shortText.c_str(), seconds.count());
    return unread > 0 || shortRows > 0 ? 1 : 0;
}

