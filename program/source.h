#pragma once

#include "program/publisher.h"
#include "program/runend.h"
#include "program/unit.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The cubes a run has begun, given up at its end unless finished: their hidden files go then,
// also while a worker that the ended run did not wait for still holds one.
class RunCubes {
public:
    void add(std::shared_ptr<CubeWriter> cube);
    void giveUpAll();

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<CubeWriter>> cubes_;
};

// The source of a run's units, in the run's order: the files of a range or the names given, and
// with -p the header of each packed file and then its images. It alone moves the cursor, held by
// one worker at a time, which reads a packed file's header, or takes the values of its next image,
// while it holds the source: those reads come in the file's order. The others wait their turn
// until the run ends (the holder may be reading a packed file that never comes).
class UnitSource {
public:
    UnitSource(const RunSettings& settings, Publisher& publisher, Crew& crew, RunEnd& end, RunCubes& cubes);

    // The next unit into `unit`, read as far as the source reads it with `converter`, the taking
    // worker's; false when there is none, or the run has ended.
    bool next(Unit& unit, Converter& converter);
    // Every unit was handed out. Asked once the workers have ended.
    bool exhausted() const { return ended_; }

private:
    bool take();
    void give();
    bool nextUnit(Unit& unit, Converter& converter);
    void readPackedFile(Unit& unit, Converter& converter);
    void takePackedImage(Unit& unit, Converter& converter);

    const RunSettings& settings_;
    Publisher& publisher_;
    Crew& crew_;
    RunEnd& end_;
    RunCubes& cubes_;
    std::mutex mutex_;
    std::condition_variable freed_;
    bool taken_ = false;

    // The cursor, moved only by the worker that holds the source.
    int64_t sequence_ = 0;
    int64_t nextFile_ = 0;
    const bool range_;   // a numbered range of a root name, else the names given
    int64_t fileNumber_; // the range's next number
    bool firstFile_ = true;
    std::size_t nextName_ = 0;
    bool ended_ = false;
    std::shared_ptr<PackedFile> packed_; // the packed file whose images are being handed out
    int64_t nextImage_ = 0;
    SessionInOrder packedSessions_; // the carried values of packed files, read in order here
    TakenNames unpackedNames_;      // the names given to unpacked images and their cubes
};

// Whether opening or reading the input `name` may wait for ever: it is there and is no regular
// file (a FIFO, a device).
bool mayNeverCome(const std::string& name);

// A conversion that failed: where the input could not be read, the program's line for it and,
// where the file's first bytes tell, why. A camera file whose reader ended the run has said all.
Result toldUnreadable(Result result, const std::string& inputName, bool fitsInput, Messages& messages);
