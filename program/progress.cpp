#include "program/progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <cerrno>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

// Text appended to a fixed buffer with async-signal-safe steps only.
class SafeText {
public:
    SafeText(char* text, std::size_t size) : text_(text), size_(size) {}

    SafeText& add(const char* part)
    {
        while (*part && used_ < size_)
            text_[used_++] = *part++;
        return *this;
    }
    // A number in decimal, with at least `digits` digits.
    SafeText& add(int64_t number, int digits = 1)
    {
        char reversed[24];
        int count = 0;
        const bool negative = number < 0;
        uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
        do {
            reversed[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude > 0 || count < digits);
        if (negative)
            add("-");
        while (count > 0 && used_ < size_)
            text_[used_++] = reversed[--count];
        return *this;
    }
    std::size_t length() const { return used_; }

private:
    char* text_;
    std::size_t size_;
    std::size_t used_ = 0;
};

} // namespace

void RunTally::begin(const std::string& root, int64_t first, int64_t last, const std::vector<std::string>* names,
                     Counting counting)
{
    root_ = root;
    first_ = first;
    last_ = last;
    names_ = names;
    counting_ = counting;
    const bool images = counting == Counting::unpacked;
    summary = Summary();
    done_ = failed_ = passed_ = 0;
    at_ = names ? 0 : first;
    total_ = images ? 0 : (names ? static_cast<int64_t>(names->size()) : last - first + 1);
    start_ = std::chrono::steady_clock::now();
    running_.store(true, std::memory_order_release);
}

void RunTally::end()
{
    running_ = false;
}

void RunTally::renaming(int folder, const char* name, int64_t count, int64_t after) noexcept
{
    std::size_t length = 0;
    while (name[length] && length + 1 < sizeof renamingName_) {
        renamingName_[length] = name[length];
        ++length;
    }
    renamingName_[length] = '\0';
    renamingCount_ = count;
    renamingAt_ = after;
    doneBeforeRename_ = done_.load();
    renamingFolder_.store(folder);
}

void RunTally::renamed(int64_t done) noexcept
{
    at_ = renamingAt_;
    done_ += done;
    renamingFolder_.store(-1);
}

void RunTally::failed()
{
    ++failed_;
}

std::string RunTally::progressText() const
{
    const int64_t done = done_ + failed_ + passed_;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    const bool images = counting_ == Counting::unpacked;
    const char* what = images ? "images" : "files";
    char text[160];
    if (total_ <= 0 || images) {
        std::snprintf(text, sizeof text, "%lld %s, %.0f %s/s", static_cast<long long>(done), what, rate, what);
        return text;
    }
    const int64_t left = std::max<int64_t>(total_ - done, 0);
    std::snprintf(text, sizeof text, "%lld of %lld %s, %.0f %s/s, %.0f s left", static_cast<long long>(done),
                  static_cast<long long>(total_.load()), what, rate, what, rate > 0 ? left / rate : 0.0);
    return text;
}

namespace {

// Whether this thread is publishing: a signal handler that runs on it cannot wait for itself.
thread_local bool publishingHere = false;

} // namespace

bool RunTally::beginPublishing() noexcept
{
    publishing_.store(true);
    if (ending_.load()) {
        publishing_.store(false);
        return false;
    }
    publishingHere = true;
    return true;
}

void RunTally::endPublishing() noexcept
{
    publishingHere = false;
    publishing_.store(false);
}

void RunTally::waitForPublishing() noexcept
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!publishingHere && publishing_.load()) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) > 50000000L)
            break;
    }
    // A rename cut short by the signal on this thread (or one that did not end in time): made
    // when its hidden file is gone, which only the rename does before the hidden files are removed.
    const int folder = renamingFolder_.load();
    if (folder >= 0 && done_.load() == doneBeforeRename_ && faccessat(folder, renamingName_, F_OK, AT_SYMLINK_NOFOLLOW) != 0
        && errno == ENOENT) {
        done_ += renamingCount_;
        at_ = renamingAt_;
    }
}

std::size_t RunTally::interruptedText(char* text, std::size_t size) const noexcept
{
    if (!running_.load(std::memory_order_acquire))
        return 0;
    SafeText words(text, size);
    // A log is written whole or not at all.
    if (counting_ == Counting::logged)
        return words.add("kovrent: interrupted: no log written\n").length();
    words.add("kovrent: interrupted");
    const int64_t at = at_;
    int64_t notTried = 0;
    if (names_) {
        const auto count = static_cast<int64_t>(names_->size());
        if (at < count) {
            words.add(" at ").add((*names_)[at].c_str());
            notTried = count - at - 1;
        }
    } else if (at <= last_) {
        words.add(" at ").add(root_.c_str()).add(at, 3);
        notTried = last_ - at;
    }
    const char* const done[] = {" files converted", " images unpacked", " files logged", " files logged"};
    const bool images = counting_ == Counting::unpacked;
    words.add(": ").add(done_).add(done[static_cast<int>(counting_)]);
    if (failed_ > 0)
        words.add(", ").add(failed_).add(" failed");
    words.add(", ").add(notTried).add(images ? " files not tried\n" : " not tried\n");
    return words.length();
}

void ProgressLine::enable(bool wanted)
{
    enabled_ = wanted && isatty(STDERR_FILENO);
    outputOnTerminal_ = isatty(STDOUT_FILENO);
    shown_ = false;
    drawn_ = {};
}

void ProgressLine::update(const std::string& text)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - drawn_ < std::chrono::milliseconds(100))
        return;
    drawn_ = now;
    std::fflush(stdout);
    std::fprintf(stderr, "\rkovrent: %s\x1b[K", text.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void ProgressLine::clearBefore(bool forPeople)
{
    if (forPeople || outputOnTerminal_)
        clear();
}

void ProgressLine::clear()
{
    if (!shown_)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

ProgressLine& progressLine()
{
    static ProgressLine line;
    return line;
}
