#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// How far a run has come and what it did, kept as it publishes its outputs: for the progress line
// on a terminal, for the words that a signal ending the run leaves, which the signal handler
// writes with async-signal-safe calls alone (the counts are lock-free atomics, the names fixed for
// the run), and for the run's summary.
class RunTally {
public:
    // What the summary says beside the outputs in place: kept by the publisher, one unit at a
    // time, and read once the workers have ended.
    struct Summary {
        int64_t filesRead = 0;    // input files whose reading began
        int64_t failedWrites = 0; // converted files and unpacked images that could not be written
        int64_t failedFiles = 0;  // files that --keep-going went past, or whose log rows could not be read
        int64_t shortFiles = 0;   // files of a log that end before the data their headers declare
        std::vector<std::string> failedNames; // those and the files not written, for its summary
        std::vector<std::string> packedNames; // the packed files among the files --keep-going went past
        std::string unwrittenCube;   // the data cube begun and not written, when a failure ended the run
        bool stopped = false;        // a failure ended the run
        bool stoppedByWrite = false; // a write, counted among the failed writes, ended it
        std::string stoppedAt;       // the file whose failure ended it
        int64_t notTried = 0;        // and the numbers of the range after it
        int64_t position = 0;        // where the run stood after its last published unit
    };
    Summary summary;

    // What a run counts: files converted, images unpacked from packed files, or files logged
    // into a log written whole at its end, or into one written as it goes (a device or a FIFO).
    enum class Counting { converted, unpacked, logged, streamed };

    // A run over the numbered files of `root` from `first` to `last`, or over `names`.
    void begin(const std::string& root, int64_t first, int64_t last, const std::vector<std::string>* names,
               Counting counting);
    void end();

    // Outputs are being renamed into place, counting as `count` done: the hidden file `name` in
    // the folder open as `folder`, and where the run then stands. A signal that comes before
    // renamed counts them when the rename was made.
    void renaming(int folder, const char* name, int64_t count, int64_t after) noexcept;
    // The rename is over: `done` of them counted.
    void renamed(int64_t done) noexcept;
    // A failure.
    void failed();
    // A unit that writes nothing of its own (a plane of a cube, a packed file's header) is done.
    void passed() { ++passed_; }
    // Passed units now counted as done, in a cube.
    void unpass(int64_t count) { passed_ -= count; }
    // `count` more inputs done at once.
    void addDone(int64_t count) { done_ += count; }
    // The run is now at the file numbered `numberOrIndex` (a range) or at that place among the names.
    void at(int64_t numberOrIndex) { at_ = numberOrIndex; }
    // The images of a packed file now known, for the progress line.
    void addToTotal(int64_t images) { total_ += images; }

    // The outputs in place: files, or images unpacked (a cube's planes each), or files logged.
    int64_t done() const noexcept { return done_.load(); }

    // The process is ending by a signal: from now on nothing is published, so that the words the
    // signal leaves and the files stay as they are. Safe in a signal handler.
    void markEnding() noexcept { ending_ = true; }
    bool ending() const { return ending_.load(); }

    // A unit is being published (renamed into place and counted), one at a time: false, and
    // nothing begun, when the process is ending by a signal. The signal's words wait for a unit
    // under way on another thread (at most 50 ms), so that they count every file renamed into
    // place; the flags are sequentially consistent, so that either the unit sees the end or the
    // signal sees the unit.
    bool beginPublishing() noexcept;
    void endPublishing() noexcept;
    // In the signal handler, after markEnding: waits for a unit being published on another
    // thread, then counts a rename under way that was made, before the hidden files go.
    void waitForPublishing() noexcept;

    // The run's progress line: "245 of 1000 files, 812 files/s, 1 s left".
    std::string progressText() const;
    // Words for people that a signal ending the run leaves on standard error, written with
    // write() alone into `text` (at most `size` bytes): "interrupted at c970611a.725: 724 files
    // converted, 275 not tried". Their length; 0 when no run is under way.
    std::size_t interruptedText(char* text, std::size_t size) const noexcept;

private:
    std::atomic<bool> running_{false};
    std::atomic<bool> ending_{false};
    std::atomic<bool> publishing_{false};
    std::string root_;
    int64_t first_ = 0, last_ = 0;
    const std::vector<std::string>* names_ = nullptr;
    Counting counting_ = Counting::converted;
    std::atomic<int64_t> done_{0}, failed_{0}, passed_{0}, at_{0}, total_{0};
    // The rename under way: its folder (-1 for none), hidden name, count, place, and done_ before it.
    std::atomic<int> renamingFolder_{-1};
    char renamingName_[64] = {};
    int64_t renamingCount_ = 0, renamingAt_ = 0, doneBeforeRename_ = 0;
    std::chrono::steady_clock::time_point start_;
};

// The progress line on standard error, when it is a terminal: redrawn in place at most ten
// times a second, and taken away before any other line is printed and at the end of the run.
// Only the thread that prints touches it.
class ProgressLine {
public:
    // Whether a line is shown at all: standard error a terminal, and asked for.
    void enable(bool wanted);
    // Draws `text` unless one was drawn less than a tenth of a second ago.
    void update(const std::string& text);
    // Takes the line away before a line is printed on standard error, or on standard output
    // when it shares the terminal.
    void clearBefore(bool forPeople);
    // Takes the line away.
    void clear();
    // Whether a line stands now: safe in a signal handler.
    bool shown() const noexcept { return shown_.load(); }

private:
    bool enabled_ = false;
    bool outputOnTerminal_ = false;
    std::atomic<bool> shown_{false}; // also for the signal handler, which takes the line away
    std::chrono::steady_clock::time_point drawn_;
};

// The run's progress line, for the console to take away before it prints.
ProgressLine& progressLine();
