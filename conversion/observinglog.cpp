#include "conversion/observinglog.h"

#include "camera/datablocks.h"
#include "conversion/modernheader.h"
#include "conversion/names.h"
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
    return obsmode ? observingModeName(*obsmode) : "";
}

std::string endText(const Observation& observation)
{
    const ObservationTimes times = observation.times();
    return times.hasDate && times.hasEnd ? isoInstant(times.day, times.end) : "";
}

// The time the observation integrated, as its records give it: ITIME in each frame that the
// mode combines, in each image of a packed file.
std::string exposureText(const Observation& observation)
{
    const ObservingMode* mode = observation.obsmode ? observingMode(*observation.obsmode) : nullptr;
    if (!mode || !observation.integrationTime)
        return "";
    const double images = static_cast<double>(std::max<int64_t>(observation.packedImages.value_or(1), 1));
    return singleText(observation.integrationTime, mode->frames * images);
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
    {"status", "string", "", "ok, short (the file ends before its data do), or why the header could not be read",
     [](const LogRow& r) { return r.status; }},
    {"end", "string", "", "end of the observation (UT), ISO 8601", [](const LogRow& r) { return endText(r.observation); }},
    {"EXPTIME", "float64", "s", "exposure: ITIME times the frames of the mode and the packed images",
     [](const LogRow& r) { return exposureText(r.observation); }},
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
        // The header is read as -p reads it, which leaves an unpacked file's TIME-END record aside.
        if (!camera->facts.isPacked && !camera->facts.recordedEndText.empty())
            row.observation.noteText(image.header.cardsBeforePlace() + 1, "TIME-END", camera->facts.recordedEndText);
    }
    if (!read) {
        row.status = read.reason().empty() ? "not read" : read.reason();
        return;
    }
    row.naxis1 = image.naxis1;
    row.naxis2 = image.naxis2;
    // The data are checked by the file's size alone, never read.
    struct stat file {};
    const int64_t dataEnd = fitsInput ? -1 : declaredDataEnd(*camera, row.observation.obsmode);
    if (dataEnd > 0 && stat(name.c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_size < dataEnd) {
        row.shortData = true;
        row.status = "short: " + std::to_string(file.st_size) + " of " + std::to_string(dataEnd) + " bytes";
    }
}

void LogTimes::note(const LogRow& row)
{
    const ObservationTimes times = row.observation.times();
    start = start || times.hasDate;
    end = end || (times.hasDate && times.hasEnd);
}

void LogTimes::add(const LogTimes& other)
{
    start = start || other.start;
    end = end || other.end;
}

std::string logHeading(LogFormat format, const LogTimes& times)
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
        std::vector<const char*> timeColumns;
        if (times.start)
            timeColumns.push_back("start");
        if (times.end)
            timeColumns.push_back("end");
        if (!timeColumns.empty())
            text += "# meta: !!omap\n# - __serialized_columns__:\n";
        for (const char* column : timeColumns)
            text.append("#     ").append(column).append(":\n#       __class__: astropy.time.core.Time\n")
                .append("#       format: isot\n#       scale: utc\n")
                .append("#       value: !astropy.table.SerializedColumn {name: ").append(column).append("}\n");
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
