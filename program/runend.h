#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

// The end of a run, which every wait of its workers registers with: a place where a worker waits
// (a mutex and the condition variable it waits on) is registered as it is made, and once the run
// ends every registered place is woken; each wait's condition asks `ended`. A run is ended by a
// failure that stops it or by a lack of memory (ending it again changes nothing); a run that
// converts every unit is never ended: its waits end by their own conditions.
class RunEnd {
public:
    RunEnd() = default;
    RunEnd(const RunEnd&) = delete;
    RunEnd& operator=(const RunEnd&) = delete;

    bool ended() const noexcept { return ended_.load(); }
    // Ends the run and wakes every registered wait. Called with none of their mutexes held.
    void end() noexcept;
    // A place where workers wait: `mutex` guards what `changed` signals. It lives as long as the
    // run does.
    void registerWait(std::mutex& mutex, std::condition_variable& changed);

private:
    std::atomic<bool> ended_{false};
    std::mutex mutex_;
    std::vector<std::pair<std::mutex*, std::condition_variable*>> waits_;
};

// The run's workers as the coordinator waits for them: how many are running, and how many of
// those wait on an input that may never come (a FIFO no one writes), which hold no hidden file and
// which an ended run does not wait for.
class Crew {
public:
    explicit Crew(RunEnd& end) : end_(end) { end.registerWait(mutex_, changed_); }

    // A worker's start, or its start refused (a thread that could not be made).
    void joined();
    void left();
    // While it lives, its worker reads an input that may never come, when `blocks`.
    class Reading {
    public:
        Reading(Crew& crew, bool blocks) : crew_(crew), blocks_(blocks) { crew_.mayBlock(blocks_ ? 1 : 0); }
        ~Reading() { crew_.mayBlock(blocks_ ? -1 : 0); }
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

    private:
        Crew& crew_;
        bool blocks_;
    };
    // Waits until every worker has left or the run has ended; then, if it ended, until every
    // worker but those that may never come back has left. True when every worker left.
    bool waitForWorkers();

private:
    void mayBlock(int change);

    RunEnd& end_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int running_ = 0;
    int mayBlock_ = 0;
};
