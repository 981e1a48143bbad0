#pragma once

#include "conversion/conversion.h"
#include "conversion/cube.h"
#include "conversion/names.h"
#include "conversion/observinglog.h"
#include "program/commandline.h"
#include "program/cubewriter.h"
#include "program/workers.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

// The pieces of a run's work and what they share, as the source hands them out, the workers
// convert them and the publisher puts them in place.

// What every worker of a run reads and none changes: the options, the maps and the output
// folders (which open a folder the first time it is asked for, under a lock of their own).
struct RunSettings {
    Options options;
    Maps maps;
    std::shared_ptr<OutputFolders> folders;
    int64_t backlog = 0;  // the most units claimed and not yet published
    bool logRun = false;  // the run reads headers for the observing log and converts nothing
};

// A data cube that the workers write together: of a range or of several names (--cube without
// -p), whose planes are files, or of a packed file's images. Its first plane begins it: that
// plane's worker makes its header, which the publisher finishes once every plane is in place.
struct CubeBuild {
    std::shared_ptr<CubeWriter> writer;
    Header header; // the first plane's header made a cube's, resumed at its END
    int64_t planes = 0;
    bool ofFiles = true;
    std::string rootName;
    int64_t first = 0;
    const std::vector<std::string>* names = nullptr; // the planes' files, when they are named

    std::string planeName(int64_t k) const { return names ? (*names)[k] : numberedName(rootName, first + k); }
    // The publisher's, as each plane is published.
    std::vector<PlaneRecord> records; // each plane's
    ObservationTimes last;            // the times of the file that ends last, whose end is the cube's
    std::string lastEnd;              // and its TIME-END value
};

// A packed file whose images are handed out: what its images' workers read, fixed once its
// header is read. Where the source stands among its images is the source's alone.
struct PackedFile {
    std::string inputName;
    int64_t number = 0;      // the file's number, -1 when its name has none
    int64_t startNumber = 0; // the number of its first image
    int64_t count = 0;
    int64_t notTried = 0;   // the run's files not tried, should one of its images end the run
    int64_t position = 0;   // where the run stands while its images come
    int64_t next = 0;       // and after them
    bool mayNeverCome = false; // a FIFO, whose images may never come
    Conversion conversion;     // its header and images; the source takes each image's values in turn
    std::optional<UnpackedNames> names;
    std::shared_ptr<CubeBuild> cube; // --cube: the images as its planes
    ImageNames cubeNames;            // and how their headers name them
};

// One piece of a run's work, numbered in the run's order: an input file, the header of a packed
// file read to be unpacked, or one image of it.
struct Unit {
    enum class Kind { file, packedFile, packedImage };

    // Where it stands in the run, as the source hands it out.
    int64_t sequence = 0;
    Kind kind = Kind::file;
    std::string inputName;
    int64_t number = 0;   // the file number
    int64_t fileIndex = 0; // the file's place among the run's files
    int64_t notTried = 0; // the numbers of the range not tried, should this unit end the run
    int64_t placeAfter = 0; // where the run stands once it is published: a file's number, or place among the names
    bool last = false;    // the run's last file
    std::shared_ptr<const PackedFile> packed;
    int64_t image = 0;
    ImageNames names; // an unpacked image's

    // What its work did: what it said, for its turn, and how it ended.
    bool readBegun = false; // the file's reading began
    Messages messages;
    Result result;
    // Its output, hidden until its turn: the file and what writing it said.
    Messages fileMessages;
    std::error_code writeCause; // why its file or plane could not be written
    std::unique_ptr<OutputFile> output;
    bool hasOutput = false; // an output of its own was begun
    bool written = false;
    bool holdsRoom = false;     // its file, or its plane of a cube, takes room in a folder
    bool writing = false;       // counted among the writes under way, until it is handed over
    CubeWriter* cube = nullptr; // the cube of its plane, once written
    bool finishedCube = false;  // its plane was the last, and its cube is in place
    // A plane of a cube: what the cube says of it, and a file's times, for the cube's.
    PlaneRecord record;
    ObservationTimes times;
    std::string timeEnd;
    // A file of an observing log: its row, whether its header could be read, whether its data
    // are short, and which of its times have values.
    std::string row;
    bool rowRead = true;
    bool rowShort = false;
    LogTimes rowTimes;
};
