#pragma once

#include "camera/observation.h"
#include "camera/readveska.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The observing log of a night (--log): one row per input, from its header alone, as CSV or as
// ECSV, whose typed columns with units astropy's Table.read takes as they are.

enum class LogFormat { csv, ecsv };

// ECSV for a name ending in ".ecsv", CSV otherwise.
LogFormat logFormatFor(const std::string& name);

// What the header of one input says, for its row.
struct LogRow {
    std::string file;
    std::optional<int64_t> number; // the file's number, from its name
    Observation observation;
    int32_t naxis1 = 0, naxis2 = 0; // 0 where the header gives no size
    std::string status = "ok";      // or why the header could not be read, or that the data are short
    bool shortData = false;         // the file ends before the data its header declares
};

// Reads the header of the camera file `name` (a FITS file when `fitsInput`) into `row`, whose
// status says why when it cannot, or, for a camera file shorter than the data its header
// declares, "short" with the byte counts. `camera` keeps the camera reader's buffers from file to file;
// `cancel` is asked when a signal interrupts a wait for a camera file.
void readLogRow(const std::string& name, bool fitsInput, std::unique_ptr<CameraReading>& camera, LogRow& row,
                Cancellation* cancel = nullptr);

// The columns of times (start, end) that have a value in some row: ECSV declares those as times,
// which astropy reads as Time, but not one without any value, which astropy cannot read so.
struct LogTimes {
    bool start = false, end = false;
    void note(const LogRow& row);
    void add(const LogTimes& other);
};

// The log's text before its rows: ECSV's header and the column names, or the names alone.
std::string logHeading(LogFormat format, const LogTimes& times);

// The row's line, at the end of `text`.
void appendLogRow(std::string& text, const LogRow& row);
