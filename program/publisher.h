#pragma once

#include "program/progress.h"
#include "program/runend.h"
#include "program/unit.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Where the rows of an observing log go as they are published: the log's file, or the stream it
// is written to in place. A failure keeps its cause.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual Result write(const std::string& text) = 0;
    // Written as it goes (a device, a FIFO), rather than whole at its end.
    virtual bool inPlace() const = 0;
    virtual LogFormat format() const = 0;
};

// The order in which finished units say what they said and put their outputs in place: each is
// published once every unit before it is, by the thread that finishes the last of them, one
// thread at a time, so that everything comes as a run on one thread has it; meanwhile the workers
// go on with the next units. The publisher alone keeps the run's counts (its tally) and the
// bookkeeping of a range's cube. A unit's failure that stops the run ends it there: the units
// after it are discarded.
//
// It also keeps what a folder that fills up takes the same whatever the workers: once a write
// has found no room, every unit writes at its turn, and a unit that finds no room tries again at
// its turn after later units have given back theirs, the latest first. A later unit that gave
// its room back fails for want of it, as it would have on one worker.
class Publisher {
public:
    Publisher(const RunSettings& settings, RunTally& tally, RunEnd& end);

    // The cube of the range's files (--cube without -p), whose planes the units are.
    void publishIntoCube(std::shared_ptr<CubeBuild> cube) { rangeCube_ = std::move(cube); }
    // The log the rows of the units go to (--log), in batches.
    void publishIntoLog(LogSink& sink) { log_ = &sink; }
    // The last batch of the log's rows, once every unit is published.
    Result flushLog();

    // Hands over a finished unit, and publishes every unit whose turn has come.
    void finished(std::unique_ptr<Unit> unit);
    // Ends the run where it stands: nothing more is published (a lack of memory).
    void endHere();
    // Waits until fewer than the backlog of units before `sequence` are unpublished, so that the
    // units finished and waiting for their turn stay few; false when the run has ended.
    bool waitForRoom(int64_t sequence);
    // Writes `unit`'s file or plane with `attempt` (0, or the error number of its failure): at
    // once, or at its turn once a write of the run has found no room. The error of the last try.
    int writeInTurn(Unit& unit, const std::function<int()>& attempt);

    const std::shared_ptr<CubeBuild>& rangeCube() const { return rangeCube_; }

private:
    static constexpr int64_t noEnd = INT64_MAX;

    bool publish(Unit& unit);
    bool publishRow(Unit& unit);
    Result finishRangeCube(int64_t after, Messages& messages);
    Result finishPackedCube(const PackedFile& packed, int64_t after, Messages& messages);
    bool waitForTurn(std::unique_lock<std::mutex>& lock, int64_t sequence, bool settled);
    // The run's end is recorded here (under the lock) or announced: a waiting unit goes no further.
    bool endedHere() const { return last_ != noEnd || end_.ended(); }
    int makeRoom(const Unit& unit, int error, const std::function<int()>& attempt);
    // Nothing after `sequence` is published: the units waiting for their turn go, their hidden
    // files removed. The run's end follows, once the lock is let go.
    void endAt(int64_t sequence);

    const RunSettings& settings_;
    RunTally& tally_;
    RunEnd& end_;
    std::shared_ptr<CubeBuild> rangeCube_;
    LogSink* log_ = nullptr;
    std::string rows_;  // the log's rows not yet written
    LogTimes logTimes_; // the columns of times that have values in its rows so far
    int64_t rowsHeld_ = 0;  // rows not yet written, counted once they are
    int64_t rowsPlace_ = 0; // where the run stands after them
    bool headed_ = false;
    Result logWritten_; // how the log's writes went

    std::mutex mutex_;
    std::condition_variable published_;
    std::map<int64_t, std::unique_ptr<Unit>> waiting_;
    int64_t next_ = 0;
    int64_t last_ = noEnd;
    bool publishing_ = false;
    bool short_ = false; // a write found no room: units write at their turn
    int writing_ = 0;    // writes begun before that, whose units are not yet handed over
};

// The system's error number of a write that failed, EIO for a failure of another cause, 0 when
// it was written.
int errorNumberOf(const Result& written);

// Cards a range's cube keeps room for beyond the first plane's: a HISTORY card for each key its
// planes may differ in.
constexpr int64_t differingKeys = 6;
