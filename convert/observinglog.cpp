#include "convert/observinglog.h"

#include "camera/datablocks.h"
#include "convert/commandline.h"
#include "convert/console.h"
#include "convert/modernheader.h"
#include "convert/names.h"
#include "convert/progress.h"
#include "convert/texts.h"
#include "fits/fitsfile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
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

// A value of a real card that the camera wrote from a 32-bit float: the shortest text that
// reads back as that float, as people wrote it (0.1, not 0.100000001490116).
std::string singleText(std::optional<double> value, double scale = 1.0)
{
    if (!value || !std::isfinite(*value))
        return "";
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, static_cast<float>(*value * scale));
    return error == std::errc() ? std::string(text, end) : "";
}

// A real card's value written from a 64-bit float: its digits as the card has them.
std::string doubleText(double value)
{
    if (!std::isfinite(value))
        return "";
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "";
}

std::string integerText(std::optional<int64_t> value)
{
    return value ? std::to_string(*value) : "";
}

// Right ascension in hours, minutes and seconds to a hundredth: 05:34:31.94.
std::string hoursText(double degrees)
{
    if (!std::isfinite(degrees) || std::fabs(degrees) > 1e9)
        return "";
    constexpr int64_t day = 24LL * 3600 * 100;
    int64_t hundredths = std::llround(degrees / 15.0 * 3600.0 * 100.0) % day;
    if (hundredths < 0)
        hundredths += day;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%02lld", static_cast<long long>(hundredths / 360000),
                  static_cast<long long>(hundredths / 6000 % 60), static_cast<long long>(hundredths / 100 % 60),
                  static_cast<long long>(hundredths % 100));
    return text;
}

// Declination in degrees, minutes and seconds to a tenth: +22:00:52.2.
std::string degreesText(double degrees)
{
    if (!std::isfinite(degrees) || std::fabs(degrees) > 1e9)
        return "";
    const int64_t tenths = std::llround(std::fabs(degrees) * 3600.0 * 10.0);
    char text[40];
    std::snprintf(text, sizeof text, "%c%02lld:%02lld:%02lld.%lld", degrees < 0 && tenths > 0 ? '-' : '+',
                  static_cast<long long>(tenths / 36000), static_cast<long long>(tenths / 600 % 60),
                  static_cast<long long>(tenths / 10 % 60), static_cast<long long>(tenths % 10));
    return text;
}

std::string startText(const Observation& observation)
{
    const ObservationTimes times = observation.times();
    if (!times.hasDate)
        return "";
    const std::string instant = isoInstant(times.day, times.start, times.startHundredths);
    return times.hasStart ? instant : instant.substr(0, 10);
}

std::string modeText(std::optional<int64_t> obsmode)
{
    if (!obsmode)
        return "";
    const ObservingMode* mode
        = *obsmode >= 1 && *obsmode <= 7 ? observingMode(static_cast<int32_t>(*obsmode)) : nullptr;
    return mode ? mode->name : "mode " + std::to_string(*obsmode);
}

std::string sizeText(int32_t size)
{
    return size > 0 ? std::to_string(size) : "";
}

struct Column {
    const char* name;
    const char* datatype;
    const char* unit; // "" for none
    const char* description;
    std::string (*text)(const LogRow& row);
};

const Column columns[] = {
    {"file", "string", "", "the input file", [](const LogRow& r) { return r.file; }},
    {"number", "int64", "", "the file number in its name", [](const LogRow& r) { return integerText(r.number); }},
    {"OBSFINUM", "int64", "", "observation file number",
     [](const LogRow& r) { return integerText(r.observation.fileNumber); }},
    {"start", "string", "", "start of the observation (UT), ISO 8601",
     [](const LogRow& r) { return startText(r.observation); }},
    {"OBJECT", "string", "", "object", [](const LogRow& r) { return r.observation.object.value_or(""); }},
    {"mode", "string", "", "observing mode", [](const LogRow& r) { return modeText(r.observation.obsmode); }},
    {"LAMBDA", "float64", "um", "wavelength",
     [](const LogRow& r) { return singleText(r.observation.wavelength, 1e6); }},
    {"FILTER1", "float64", "", "position of filter wheel 1",
     [](const LogRow& r) { return singleText(r.observation.filter1); }},
    {"FILTER2", "float64", "", "position of filter wheel 2",
     [](const LogRow& r) { return singleText(r.observation.filter2); }},
    {"FILTER3", "float64", "", "position of filter wheel 3",
     [](const LogRow& r) { return singleText(r.observation.filter3); }},
    {"ITIME", "float64", "s", "integration time in each beam",
     [](const LogRow& r) { return singleText(r.observation.integrationTime); }},
    {"FRAMETIM", "float64", "s", "frame time", [](const LogRow& r) { return singleText(r.observation.frameTime); }},
    {"TOTCOADD", "int64", "", "coadds in each beam", [](const LogRow& r) { return integerText(r.observation.coadds); }},
    {"CHOPFREQ", "float64", "Hz", "chop frequency",
     [](const LogRow& r) { return singleText(r.observation.chopFrequency); }},
    {"NUMCHOPS", "int64", "", "number of chop cycles",
     [](const LogRow& r) { return integerText(r.observation.chopCycles); }},
    {"AIRMASS", "float64", "", "airmass", [](const LogRow& r) { return singleText(r.observation.airmass); }},
    {"RA", "float64", "deg", "right ascension",
     [](const LogRow& r) { return r.observation.hasRa() ? doubleText(r.observation.ra) : ""; }},
    {"DEC", "float64", "deg", "declination",
     [](const LogRow& r) { return r.observation.hasDec() ? doubleText(r.observation.dec) : ""; }},
    {"RA_HMS", "string", "", "right ascension, hours:minutes:seconds",
     [](const LogRow& r) { return r.observation.hasRa() ? hoursText(r.observation.ra) : ""; }},
    {"DEC_DMS", "string", "", "declination, degrees:minutes:seconds",
     [](const LogRow& r) { return r.observation.hasDec() ? degreesText(r.observation.dec) : ""; }},
    {"RAOFFSET", "float64", "arcsec", "RA offset", [](const LogRow& r) { return singleText(r.observation.raOffset); }},
    {"DEOFFSET", "float64", "arcsec", "Dec offset",
     [](const LogRow& r) { return singleText(r.observation.decOffset); }},
    {"NAXIS1", "int64", "pix", "image width", [](const LogRow& r) { return sizeText(r.naxis1); }},
    {"NAXIS2", "int64", "pix", "image height", [](const LogRow& r) { return sizeText(r.naxis2); }},
    {"PACKED", "int64", "", "packed images", [](const LogRow& r) { return integerText(r.observation.packedImages); }},
    {"TELESCOP", "string", "", "telescope", [](const LogRow& r) { return r.observation.telescope.value_or(""); }},
    {"OBSERVAT", "string", "", "observatory", [](const LogRow& r) { return r.observation.site.value_or(""); }},
    {"DETTEMP", "float64", "K", "detector temperature",
     [](const LogRow& r) { return singleText(r.observation.detectorTemperature); }},
    {"SKYFLUX", "float64", "ct", "sky flux, average counts off source",
     [](const LogRow& r) { return singleText(r.observation.skyFlux); }},
    {"status", "string", "", "ok, or why the header could not be read", [](const LogRow& r) { return r.status; }},
};

// A field as CSV (and ECSV) hold it: quoted when it has a comma, a quote or blanks at an end, a
// quote doubled; bytes that are not printable ASCII become '?'.
void appendField(std::string& text, const std::string& field)
{
    bool quote = !field.empty() && (field.front() == ' ' || field.back() == ' ');
    for (const char c : field)
        quote = quote || c == ',' || c == '"';
    if (quote)
        text += '"';
    for (const char c : field) {
        if (c == '"')
            text += '"';
        text += c >= 0x20 && c < 0x7f ? c : '?';
    }
    if (quote)
        text += '"';
}

// The reason of a failed read in one line, without the program's name.
std::string statusOf(const Result& result, const Messages& messages)
{
    std::string status = result.reason();
    if (status.empty() && !messages.empty()) {
        const Messages::Line& line = messages.lines().back();
        status = line.forPeople ? line.value : programText(line);
    }
    if (status.starts_with("kovrent: "))
        status.erase(0, 9);
    if (status.starts_with("Error - "))
        status.erase(0, 8);
    while (!status.empty() && (status.back() == '\n' || status.back() == ' '))
        status.pop_back();
    return status.empty() ? "not read" : status;
}

} // namespace

LogFormat logFormatFor(const std::string& name)
{
    return name.ends_with(".ecsv") ? LogFormat::ecsv : LogFormat::csv;
}

void readLogRow(const std::string& name, bool fitsInput, std::unique_ptr<CameraReading>& camera, LogRow& row,
                Cancellation* cancel)
{
    row = LogRow();
    row.file = name;
    if (const int64_t number = fileNumberFromName(name); number >= 0)
        row.number = number;
    else if (name.ends_with("000"))
        row.number = 0; // a conversion takes no number from 000, but it is the file's number

    FitsImage image;
    Messages messages;
    Result read;
    if (fitsInput) {
        read = readFITSHeader(name, image, messages);
        if (read)
            row.observation = observationOf(image.header);
    } else {
        CameraHeader header;
        read = readCameraHeaderOnly(name, image, header, camera, messages, cancel);
        row.observation = std::move(header.observation);
    }
    if (!read) {
        row.status = statusOf(read, messages);
        return;
    }
    row.naxis1 = image.naxis1;
    row.naxis2 = image.naxis2;
}

std::string logHeading(LogFormat format)
{
    std::string text;
    if (format == LogFormat::ecsv) {
        text = "# %ECSV 1.0\n# ---\n# delimiter: ','\n# datatype:\n";
        for (const Column& column : columns) {
            text.append("# - {name: ").append(column.name);
            if (*column.unit)
                text.append(", unit: ").append(column.unit);
            text.append(", datatype: ").append(column.datatype);
            text.append(", description: '").append(column.description).append("'}\n");
        }
        text += "# schema: astropy-2.0\n";
    }
    for (const Column& column : columns)
        text.append(&column == columns ? "" : ",").append(column.name);
    text += '\n';
    return text;
}

void appendLogRow(std::string& text, const LogRow& row)
{
    for (const Column& column : columns) {
        if (&column != columns)
            text += ',';
        appendField(text, column.text(row));
    }
    text += '\n';
}

namespace {

// The inputs of a log run: the numbered files of a range, or the names given.
class LogInputs {
public:
    explicit LogInputs(const Options& options) : options_(options) {}

    bool range() const { return options_.firstNumber != -1; }
    int64_t count() const
    {
        return range() ? std::max<int64_t>(int64_t{options_.lastNumber} - options_.firstNumber + 1, 0)
                       : static_cast<int64_t>(options_.inputNames.size());
    }
    int64_t number(int64_t index) const { return options_.firstNumber + index; }
    std::string name(int64_t index) const
    {
        return range() ? numberedName(options_.inputName, options_.firstNumber + index)
                       : options_.inputNames[static_cast<std::size_t>(index)];
    }

private:
    const Options& options_;
};

// The rows of inputs `first` to `first` + `count` - 1 into `text`, by `jobs` threads at once,
// each row in its place; how many are not 'ok'.
int64_t readRows(const LogInputs& inputs, bool fitsInput, int64_t first, int64_t count, int jobs, std::string& text)
{
    std::vector<std::string> rows(static_cast<std::size_t>(count));
    std::atomic<int64_t> next{0}, unread{0};
    std::atomic<bool> outOfMemory{false};
    auto work = [&] {
        try {
            std::unique_ptr<CameraReading> camera;
            LogRow row;
            for (int64_t i = next++; i < count; i = next++) {
                readLogRow(inputs.name(first + i), fitsInput, camera, row);
                // A range knows its numbers, 1000 and on among them.
                if (inputs.range())
                    row.number = inputs.number(first + i);
                if (row.status != "ok")
                    ++unread;
                appendLogRow(rows[static_cast<std::size_t>(i)], row);
            }
        } catch (const std::bad_alloc&) {
            // The other threads take no further row, and the caller is told once they have ended.
            outOfMemory = true;
            next = count;
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(std::max(jobs, 1)));
    for (int t = 1; t < jobs && t < count; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::exception&) {
            break; // without the means for another thread (a limit on processes or memory): fewer
        }
    }
    work();
    for (std::thread& thread : threads)
        thread.join();
    if (outOfMemory)
        throw std::bad_alloc();
    for (const std::string& row : rows)
        text += row;
    return unread;
}

} // namespace

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
class LogSink {
public:
    LogSink(const std::string& name, OutputFolder& folder) : name_(name), file_(name, &folder, messages_, failure_)
    {
        struct stat standing {};
        descriptor_ = ownDescriptorNamed(name);
        inPlace_ = descriptor_ >= 0 || (stat(name.c_str(), &standing) == 0 && !S_ISREG(standing.st_mode));
    }
    ~LogSink()
    {
        if (stream_ >= 0)
            ::close(stream_);
    }
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    bool inPlace() const { return inPlace_; }
    bool open()
    {
        if (!inPlace_)
            return static_cast<bool>(file_.create());
        // A FIFO waits here for its reader, as a shell's redirection would.
        do
            stream_ = descriptor_ >= 0 ? fcntl(descriptor_, F_DUPFD_CLOEXEC, 0)
                                       : ::open(name_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        while (stream_ < 0 && errno == EINTR);
        failure_.error = stream_ < 0 ? errno : 0;
        return stream_ >= 0;
    }
    bool write(const std::string& text)
    {
        if (!inPlace_)
            return static_cast<bool>(file_.write({{text.data(), text.size()}}));
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(stream_, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                failure_.error = written < 0 ? errno : EIO;
                return false;
            }
            done += static_cast<std::size_t>(written);
        }
        return true;
    }
    bool finish()
    {
        if (!inPlace_)
            return static_cast<bool>(file_.commit());
        const int stream = std::exchange(stream_, -1);
        if (::close(stream) != 0 && errno != EINTR) {
            failure_.error = errno;
            return false;
        }
        return true;
    }
    int error() const { return failure_.error; }

private:
    std::string name_;
    Messages messages_;
    WriteFailure failure_;
    OutputFile file_;
    bool inPlace_ = false;
    int descriptor_ = -1; // the program's own descriptor that the name stands for
    int stream_ = -1;
};

} // namespace

int writeObservingLog(const Options& options, int jobs, UnfinishedFiles* unfinished, RunTally* runTally)
{
    RunTally ownTally;
    RunTally& tally = runTally ? *runTally : ownTally;
    const LogInputs inputs(options);
    const int64_t total = inputs.count();
    const std::string& name = options.logName;

    OutputFolder folder;
    if (!folder.open(folderOf(name), unfinished)) {
        std::string shown = folderOf(name);
        while (shown.size() > 1 && shown.back() == '/')
            shown.pop_back();
        notice("%s: %s", shown.c_str(), std::strerror(errno));
        return 1;
    }
    // The log takes the place of what stands at its name: never of an input.
    struct stat standing {};
    if (fstatat(folder.descriptor(), name.c_str() + fileNameStart(name), &standing, AT_SYMLINK_NOFOLLOW) == 0)
        for (int64_t i = 0; i < total; ++i)
            if (replacesFile(name, inputs.name(i), &folder)) {
                notice("the log %s would replace the input %s; name another log", name.c_str(), inputs.name(i).c_str());
                return 1;
            }

    LogSink sink(name, folder);
    // A log on the program's own standard output comes after what the program has said there.
    flushOutput();
    const auto start = std::chrono::steady_clock::now();
    std::string text = logHeading(logFormatFor(name));
    bool written = sink.open();
    tally.begin(inputs.range() ? options.inputName : "", options.firstNumber, options.lastNumber,
                inputs.range() ? nullptr : &options.inputNames,
                sink.inPlace() ? RunTally::Counting::streamed : RunTally::Counting::logged);
    progressLine().enable(options.progress && total > 1);
    // Rows in batches, each written once read: a log of a whole archive holds little in memory.
    constexpr int64_t batch = 4096;
    int64_t unread = 0, done = 0;
    for (; written && done < total && !tally.ending(); done += std::min(batch, total - done)) {
        const int64_t count = std::min(batch, total - done);
        unread += readRows(inputs, options.fitsInput, done, count, jobs, text);
        written = sink.write(text);
        text.clear();
        tally.addDone(count);
        tally.at(inputs.range() ? options.firstNumber + done + count : done + count);
        progressLine().update(tally.progressText());
    }
    if (total == 0 && written)
        written = sink.write(text);
    if (written)
        written = sink.finish();
    tally.end();
    progressLine().clear();
    if (!written) {
        notice("%s: %s", name.c_str(), sink.error() ? std::strerror(sink.error()) : "not written");
        return 1;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    notice("%s: %lld %s logged, %lld not read, in %.2f s", name.c_str(), static_cast<long long>(total),
           total == 1 ? "file" : "files", static_cast<long long>(unread), seconds.count());
    return unread > 0 ? 1 : 0;
}

std::string failureReason(const Result& result, const Messages& messages)
{
    return statusOf(result, messages);
}
