#include "conversion/cube.h"

#include "camera/datablocks.h"
#include "conversion/modernheader.h"

#include "fits/realtext.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace {

constexpr std::size_t instantLength = 22; // CCYY-MM-DDThh:mm:ss.ss

// The cards of a time axis, in their order behind the coordinates of axes 1 and 2. The reference
// is given both ways, as WCS readers would otherwise fill in the other and warn that they did.
constexpr const char* timeAxisKeys[] = {"CTYPE3", "CUNIT3", "CRPIX3", "CRVAL3", "CDELT3", "MJDREF", "DATEREF"};

} // namespace

bool makeCubeHeader(Header& header, int64_t planes, bool modern)
{
    if (!header.replaceValueCard("NAXIS", "3", "NUMBER OF AXES")
        || !header.insertValueCard("NAXIS2", "NAXIS3", std::to_string(planes), "PIXELS ON 3RD MOST VARYING AXIS"))
        return false;
    if (!modern)
        return true;
    if (!header.insertValueCard("NAXIS3", "EXTEND", "T", "EXTENSIONS MAY FOLLOW"))
        return false;
    // Kept where a time axis goes, so that a cube written while its planes come has room for it.
    std::string value;
    std::string after = header.findCard("CUNIT2", value) > 0 ? "CUNIT2" : "CTYPE2";
    if (header.findCard(after, value) < 1)
        after = "EXTEND";
    for (const char* key : timeAxisKeys) {
        if (!header.replaceValueCard(key, "''", "") && !header.insertValueCard(after, key, "''", ""))
            return false;
        after = key;
    }
    return true;
}

void addTimeAxis(Header& header, const std::vector<PlaneRecord>& planes)
{
    std::string value;
    if (header.findCard("CTYPE3", value) < 1)
        return;
    const std::size_t n = planes.size();
    bool even = n >= 2 && std::all_of(planes.begin(), planes.end(), [](const PlaneRecord& p) { return p.start; });
    double step = 0.0; // hundredths of a second
    if (even) {
        const PlaneRecord& first = planes.front();
        // The images of one file share its end: plane k starts k n-ths of the way to it.
        const bool oneFile = first.end && std::all_of(planes.begin(), planes.end(), [&](const PlaneRecord& p) {
            return p.fileName == first.fileName && p.end == first.end;
        });
        step = oneFile ? static_cast<double>(*first.end - *first.start) / static_cast<double>(n)
                       : static_cast<double>(*planes.back().start - *first.start) / static_cast<double>(n - 1);
        for (std::size_t k = 0; k < n && even; ++k)
            even = std::fabs(static_cast<double>(*planes[k].start - *first.start) - static_cast<double>(k) * step)
                   <= 0.5 + 1e-9;
        even = even && step > 0.0;
    }
    if (!even) {
        for (const char* key : timeAxisKeys)
            if (const int number = header.findCard(key, value); number > 0)
                header.removeCard(number);
        return;
    }
    const int64_t start = *planes.front().start;
    const int64_t day = start / hundredthsPerDay;
    header.replaceValueCard("CTYPE3", "'TIME'", "TIME OF THE PLANE'S START");
    header.replaceValueCard("CUNIT3", "'s'", "UNIT OF CRVAL3 AND CDELT3");
    header.replaceValueCard("CRPIX3", formatReal(1.0), "PLANE OF THE REFERENCE TIME");
    header.replaceValueCard("CRVAL3", formatReal(static_cast<double>(start - day * hundredthsPerDay) / 100.0),
                            "START OF PLANE 1 FROM MJDREF");
    header.replaceValueCard("CDELT3", formatReal(step / 100.0), "TIME FROM PLANE TO PLANE");
    header.replaceValueCard("MJDREF", formatReal(static_cast<double>(day)), "0 H UT OF PLANE 1 (MJD)");
    header.replaceValueCard("DATEREF", quotedValue(isoInstant(day, 0, false).substr(0, 10)), "0 H UT OF PLANE 1");
}

PlaneRecord planeRecordOf(const std::string& fileName, const Observation& observation)
{
    PlaneRecord record;
    record.fileName = fileName;
    const ObservationTimes times = observation.times();
    if (times.hasDate)
        record.start = times.startInstant();
    if (const std::optional<int64_t> begin = observation.beginInstant())
        record.start = begin;
    else if (observation.packedImages.value_or(0) > 1)
        record.start.reset(); // an image of a packed file, unpacked without its own start: unknown
    if (times.hasEnd)
        record.end = times.endInstant();
    record.object = observation.object;
    record.obsmode = observation.obsmode;
    record.wavelength = observation.wavelength;
    record.filter1 = observation.filter1;
    record.filter2 = observation.filter2;
    record.filter3 = observation.filter3;
    return record;
}

namespace {

// A table's column: its name, TFORM and comment, and how a row holds it.
struct TableColumn {
    std::string name, form, comment;
};

void appendBigEndian(std::string& data, uint64_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        data += static_cast<char>(value >> shift & 0xFF);
}

void appendText(std::string& data, const std::string& text, std::size_t width)
{
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    data += field;
}

std::size_t widest(const std::vector<PlaneRecord>& planes, std::string (*text)(const PlaneRecord&))
{
    std::size_t width = 1;
    for (const PlaneRecord& plane : planes)
        width = std::max(width, text(plane).size());
    return width;
}

std::string objectOf(const PlaneRecord& plane)
{
    return plane.object.value_or("");
}

std::string modeOf(const PlaneRecord& plane)
{
    return plane.obsmode ? observingModeName(*plane.obsmode) : "";
}

} // namespace

void planeTable(const std::vector<PlaneRecord>& planes, bool frames, Header& header, std::string& data)
{
    const std::size_t fileWidth = widest(planes, [](const PlaneRecord& p) { return p.fileName; });
    const std::size_t objectWidth = widest(planes, objectOf);
    const std::size_t frameWidth = widest(planes, [](const PlaneRecord& p) { return p.frame; });
    const std::size_t modeWidth = widest(planes, modeOf);
    std::vector<TableColumn> columns = {
        {"IMAGENUM", "1J", "NUMBER OF THE PLANE FROM 1"},
        {"FILENAME", std::to_string(fileWidth) + "A", "FILE THE PLANE WAS CONVERTED FROM"},
        {"DATE_BEG", std::to_string(instantLength) + "A", "START OF THE PLANE (UT), ISO INSTANT"},
        {"MJD_BEG", "1D", "START OF THE PLANE (MJD)"},
        {"OBJECT", std::to_string(objectWidth) + "A", "OBJECT OF THE PLANE"},
        {"OBSMODE", "1J", "OBSERVING MODE OF THE PLANE"},
        {"MODE", std::to_string(modeWidth) + "A", "OBSERVING MODE BY NAME"},
    };
    if (frames) {
        columns.push_back({"FRAME", std::to_string(frameWidth) + "A", "FRAME OF THE OBSERVATION"});
        columns.push_back({"DIVISOR", "1E", "COADDS THE FRAME IS DIVIDED BY"});
    }
    const std::size_t rowBytes = 4 + fileWidth + instantLength + 8 + objectWidth + 4 + modeWidth + (frames ? frameWidth + 4 : 0);
    constexpr int64_t noMode = INT32_MIN;

    header.freeHeader();
    header.appendBlock();
    header.addStringCard("XTENSION", "BINTABLE");
    header.addValueCard("BITPIX", "8", "BINARY TABLE");
    header.addValueCard("NAXIS", "2", "NUMBER OF AXES");
    header.addValueCard("NAXIS1", std::to_string(rowBytes), "BYTES PER ROW");
    header.addValueCard("NAXIS2", std::to_string(planes.size()), "ROWS: ONE PER PLANE");
    header.addValueCard("PCOUNT", "0", "NO HEAP");
    header.addValueCard("GCOUNT", "1", "ONE TABLE");
    header.addValueCard("TFIELDS", std::to_string(columns.size()), "COLUMNS PER ROW");
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::string n = std::to_string(k + 1);
        header.addStringCard("TTYPE" + n, columns[k].name, columns[k].comment);
        header.addStringCard("TFORM" + n, columns[k].form, "");
        if (columns[k].name == "MJD_BEG")
            header.addStringCard("TUNIT" + n, "d", "DAYS");
        if (columns[k].name == "OBSMODE")
            header.addValueCard("TNULL" + n, std::to_string(noMode), "NO OBSMODE CARD");
    }
    header.addStringCard("EXTNAME", "TIMES", "EVERY PLANE: ITS FILE, START, OBJECT, MODE");
    addChecksumCards(header);
    header.addEndCard();

    data.clear();
    for (std::size_t k = 0; k < planes.size(); ++k) {
        const PlaneRecord& plane = planes[k];
        appendBigEndian(data, k + 1, 4);
        appendText(data, plane.fileName, fileWidth);
        appendText(data, plane.start ? isoInstant(0, *plane.start) : "", instantLength);
        const double mjd = plane.start ? static_cast<double>(*plane.start) / hundredthsPerDay
                                       : std::numeric_limits<double>::quiet_NaN();
        appendBigEndian(data, std::bit_cast<uint64_t>(mjd), 8);
        appendText(data, objectOf(plane), objectWidth);
        appendBigEndian(data, static_cast<uint32_t>(plane.obsmode.value_or(noMode)), 4);
        appendText(data, modeOf(plane), modeWidth);
        if (frames) {
            appendText(data, plane.frame, frameWidth);
            appendBigEndian(data, std::bit_cast<uint32_t>(static_cast<float>(plane.divisor)), 4);
        }
    }
}

std::vector<std::string> differingPlanes(const std::vector<PlaneRecord>& planes, const std::string& cubeName,
                                         Messages& messages)
{
    const struct {
        const char* key;
        std::string (*of)(const PlaneRecord&);
    } keys[] = {
        {"OBJECT", [](const PlaneRecord& p) { return p.object ? "'" + *p.object + "'" : std::string("none"); }},
        {"OBSMODE", [](const PlaneRecord& p) { return p.obsmode ? std::to_string(*p.obsmode) : "none"; }},
        {"LAMBDA", [](const PlaneRecord& p) { return p.wavelength ? formatReal(*p.wavelength) : "none"; }},
        {"FILTER1", [](const PlaneRecord& p) { return p.filter1 ? formatReal(*p.filter1) : "none"; }},
        {"FILTER2", [](const PlaneRecord& p) { return p.filter2 ? formatReal(*p.filter2) : "none"; }},
        {"FILTER3", [](const PlaneRecord& p) { return p.filter3 ? formatReal(*p.filter3) : "none"; }},
    };
    std::vector<std::string> history;
    if (planes.empty())
        return history;
    for (const auto& key : keys) {
        std::vector<std::size_t> differing;
        const std::string first = key.of(planes.front());
        for (std::size_t k = 1; k < planes.size(); ++k)
            if (key.of(planes[k]) != first)
                differing.push_back(k + 1);
        if (differing.empty())
            continue;
        // The first few plane numbers, then how many more.
        auto listed = [&](std::size_t most, const char* andWord, const char* moreWord) {
            std::string list = differing.size() == 1 ? "plane " : "planes ";
            const std::size_t shown = std::min(differing.size(), most);
            for (std::size_t i = 0; i < shown; ++i) {
                if (i > 0)
                    list += i + 1 == shown && shown == differing.size() ? std::string(" ") + andWord + " " : ", ";
                list += std::to_string(differing[i]);
            }
            if (shown < differing.size())
                list += std::string(" ") + andWord + " " + std::to_string(differing.size() - shown) + " " + moreWord;
            return list;
        };
        messages.warn("%s of %s differ%s from plane 1 in %s (plane 1: %s)",
                        listed(8, "and", "more").c_str(), cubeName.c_str(), differing.size() == 1 ? "s" : "", key.key,
                        first.c_str());
        std::string card
            = listed(4, "AND", "MORE") + " DIFFER" + (differing.size() == 1 ? "S" : "") + " FROM PLANE 1 IN " + key.key;
        for (char& c : card)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        history.push_back(card);
    }
    return history;
}
