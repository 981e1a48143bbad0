#include "program/logrun.h"

#include "conversion/names.h"
#include "conversion/observinglog.h"
#include "fits/fitsfile.h"
#include "program/commandline.h"
#include "program/console.h"
#include "program/progress.h"
#include "program/publisher.h"
#include "program/workers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
class LogFile final : public LogSink {
public:
    LogFile(const std::string& name, OutputFolder& folder) : name_(name), file_(name, &folder, messages_)
    {
        struct stat standing {};
        descriptor_ = ownDescriptorNamed(name);
        inPlace_ = descriptor_ >= 0 || (stat(name.c_str(), &standing) == 0 && !S_ISREG(standing.st_mode));
    }
    ~LogFile() override
    {
        if (stream_ >= 0)
            ::close(stream_);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool inPlace() const override { return inPlace_; }
    LogFormat format() const override { return logFormatFor(name_); }
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
    Result write(const std::string& text) override
    {
        if (!written_)
            return written_;
        written_ = put(text);
        return written_;
    }
    // How the writes went: the first failure.
    const Result& written() const { return written_; }
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
    Result put(const std::string& text)
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

    std::string name_;
    Messages messages_; // what the hidden file says of a failure: its cause is told instead
    OutputFile file_;
    bool inPlace_ = false;
    int descriptor_ = -1; // the program's own descriptor that the name stands for
    int stream_ = -1;
    Result written_;
};

} // namespace

int writeObservingLog(const Options& options, int jobs, UnfinishedFiles* unfinished, RunTally& tally)
{
    const std::string& name = options.logName;
    OutputFolder folder;
    if (Result opened = folder.open(folderOf(name), unfinished); !opened) {
        std::string shown = folderOf(name);
        while (shown.size() > 1 && shown.back() == '/')
            shown.pop_back();
        notice("%s: %s", shown.c_str(), opened.cause().message().c_str());
        return 1;
    }
    // The log takes the place of what stands at its name (a link itself, not what it points to):
    // never of an input.
    const bool range = options.firstNumber != -1;
    const int64_t total = range ? std::max<int64_t>(int64_t{options.lastNumber} - options.firstNumber + 1, 0)
                                : static_cast<int64_t>(options.inputNames.size());
    struct stat standing {};
    if (fstatat(folder.descriptor(), name.c_str() + fileNameStart(name), &standing, AT_SYMLINK_NOFOLLOW) == 0)
        for (int64_t i = 0; i < total; ++i) {
            const std::string input = range ? numberedName(options.inputName, options.firstNumber + i)
                                            : options.inputNames[static_cast<std::size_t>(i)];
            struct stat file {};
            if (::stat(input.c_str(), &file) == 0 && file.st_dev == standing.st_dev && file.st_ino == standing.st_ino) {
                notice("the log %s would replace the input %s; name another log", name.c_str(), input.c_str());
                return 1;
            }
        }

    LogFile log(name, folder);
    // A log on the program's own standard output comes after what the program has said there.
    flushOutput();
    const auto start = std::chrono::steady_clock::now();
    Result written = log.open();
    Messages said;
    if (written && total > 0) {
        // The workers write nothing of their own: no output folder is opened. The log's heading
        // comes with its first batch of rows, whose times it declares.
        runWorkers(options, Maps(), std::make_shared<OutputFolders>(unfinished), jobs, tally, said, &log);
        written = log.written();
    } else if (written) {
        written = log.write(logHeading(logFormatFor(name), LogTimes()));
    }
    print(said);
    if (tally.summary.stopped && written)
        return 1;
    if (written)
        written = log.finish();
    if (!written) {
        notice("%s: %s", name.c_str(), written.cause().message().c_str());
        return 1;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    const int64_t unread = tally.summary.failedFiles;
    const int64_t shortFiles = tally.summary.shortFiles;
    const std::string shortText = shortFiles > 0 ? ", " + std::to_string(shortFiles) + " short" : "";
    notice("%s: %lld %s logged, %lld not read%s, in %.2f s", name.c_str(), static_cast<long long>(total),
           total == 1 ? "file" : "files", static_cast<long long>(unread), shortText.c_str(), seconds.count());
    return unread > 0 || shortFiles > 0 ? 1 : 0;
}
