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
#include <vector>

// The folders a run writes into, each opened once, when its first output goes there, so that
// its files land in the folder the run found even when its path is moved meanwhile.
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

// What a run did, for its summary: counted in the run's order, as each output is published.
struct RunCounts {
    int filesRead = 0;      // input files whose reading began
    int filesConverted = 0; // output files written
    int unpackedImages = 0; // unpacked images written
    int failedWrites = 0;   // converted files and unpacked images that could not be written
    int failedFiles = 0;    // files that --keep-going went past
    std::vector<std::string> failedNames; // those and the files not written, for its summary
    std::vector<std::string> packedNames; // the packed files among the files --keep-going went past
    std::string unwrittenCube; // the data cube begun and not written, when a failure ended the run
    bool stopped = false;   // a failure ended the run
    bool stoppedByWrite = false; // a write, counted among the failed writes, ended it
    std::string stoppedAt;  // the file whose failure ended it
    int64_t notTried = 0;   // and the numbers of the range after it
    int64_t position = 0;   // where the run stood after its last published unit
};

// Before anything is read or written: the names of a run's inputs give outputs of their own, and
// none of them replaces another input of the run.
Result checkOutputNames(const Options& options, Messages& messages);

class RunTally;

// Converts every input of the run on `jobs` workers, each of which reads, converts and writes
// whole files (or whole images of a packed file), with buffers of its own; one worker runs on
// the calling thread, and so does a run of one file. What the inputs say is printed in the
// run's order, as a run on one thread prints it, and so are the outputs renamed into place.
// What the run says before any input (a cube that would replace an input) goes to `said`. A
// run that ended does not wait for a worker that waits on an input that may never come: such a
// worker keeps the run's shared state, the folders among it, for as long as it lives.
RunCounts convertInputs(const Options& options, const Maps& maps, std::shared_ptr<OutputFolders> folders, int jobs,
                        Messages& said, RunTally* tally = nullptr);
