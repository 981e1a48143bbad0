#pragma once

#include "conversion/conversion.h"
#include "fits/fitsfile.h"
#include "fits/unfinished.h"
#include "program/commandline.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class LogSink;
class RunTally;

// The folders a run writes into, each opened once, when its first output goes there, so that
// its files land in the folder the run found even when its path is moved meanwhile. Safe on
// every worker at once.
class OutputFolders {
public:
    explicit OutputFolders(UnfinishedFiles* unfinished) : unfinished_(unfinished) {}

    // Opens the folder of `outputName` now; it fails, with the system's error for its cause, when
    // it is no folder.
    Result open(const std::string& outputName);
    // The opened folder of `outputName`, opened now if it is not yet.
    const OutputFolder& of(const std::string& outputName);

private:
    UnfinishedFiles* unfinished_;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<OutputFolder>> folders_;
};

// Runs every input of the command line on `jobs` workers, each of which reads, converts and
// writes whole files (or whole images of a packed file) with a Converter of its own; one worker
// runs on the calling thread, and so does a run of one file. What the inputs say is printed in
// the run's order, as a run on one thread prints it, and so are the outputs renamed into place.
// With `log`, each worker reads the headers of files instead, and their rows go into the log in
// order. How far the run came and what it did is kept in `tally`; what it says before any input
// (a cube that would replace an input) goes to `said`. A run that ended does not wait for a
// worker that waits on an input that may never come: such a worker keeps the run's shared state,
// the folders among it, for as long as it lives.
void runWorkers(const Options& options, const Maps& maps, std::shared_ptr<OutputFolders> folders, int jobs,
                RunTally& tally, Messages& said, LogSink* log = nullptr);
