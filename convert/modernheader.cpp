#include "convert/modernheader.h"

#include "fits/realtext.h"
#include "fits/scan.h"

#include <cctype>
#include <cstdio>

namespace {

// Days from 1970-01-01 of a day of the Gregorian calendar, and back.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void civilFromDays(int64_t days, int64_t& year, int64_t& month, int64_t& day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = yearOfEra + era * 400 + (month <= 2);
}

constexpr int64_t mjdOf1970 = 40587;

// Reads digits from `text` at `at` into `value`: between `least` and `most` of them.
bool digits(const std::string& text, std::size_t& at, int least, int most, int64_t& value)
{
    value = 0;
    int count = 0;
    while (at < text.size() && count < most && std::isdigit(static_cast<unsigned char>(text[at]))) {
        value = value * 10 + (text[at++] - '0');
        ++count;
    }
    return count >= least;
}

bool literal(const std::string& text, std::size_t& at, char c)
{
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// "hh:mm:ss" with an optional fraction, from `at`: hundredths of a second into the day.
bool timeOfDay(const std::string& text, std::size_t at, int64_t& hundredths, bool& withFraction)
{
    int64_t hours = 0, minutes = 0, seconds = 0;
    if (!digits(text, at, 2, 2, hours) || !literal(text, at, ':') || !digits(text, at, 2, 2, minutes)
        || !literal(text, at, ':') || !digits(text, at, 2, 2, seconds) || hours > 23 || minutes > 59 || seconds > 59)
        return false;
    int64_t fraction = 0;
    withFraction = literal(text, at, '.');
    if (withFraction) {
        // Hundredths: a tenth is 10 of them; further digits are dropped.
        const std::size_t first = at;
        if (!digits(text, at, 1, 2, fraction))
            return false;
        if (at - first == 1)
            fraction *= 10;
    }
    hundredths = ((hours * 60 + minutes) * 60 + seconds) * 100 + fraction;
    return true;
}

// The day of a DATE-OBS value: 'DD/MM/YY' of 1900 to 1999, or 'CCYY-MM-DD' with or without a
// time behind a 'T', which `timeAt` then points at.
bool dateOfObservation(const std::string& text, int64_t& mjd, std::size_t& timeAt)
{
    std::size_t at = 0;
    int64_t year = 0, month = 0, day = 0;
    if (text.size() >= 8 && text[2] == '/') {
        if (!digits(text, at, 2, 2, day) || !literal(text, at, '/') || !digits(text, at, 2, 2, month)
            || !literal(text, at, '/') || !digits(text, at, 2, 2, year))
            return false;
        year += 1900;
    } else if (!digits(text, at, 4, 4, year) || !literal(text, at, '-') || !digits(text, at, 2, 2, month)
               || !literal(text, at, '-') || !digits(text, at, 2, 2, day)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    timeAt = at < text.size() && text[at] == 'T' ? at + 1 : std::string::npos;
    mjd = daysFromCivil(year, month, day) + mjdOf1970;
    return true;
}

// DATE-END and MJD-END of the end of `times`, through `put`: a set or a replace of the header.
template <typename Put>
void putEndCards(const ObservationTimes& times, Put put)
{
    put("DATE-END", quotedValue(isoInstant(times.day, times.end)), "END OF OBSERVATION (UT)");
    put("MJD-END", mjdText(times.day, times.end), "END OF OBSERVATION (MJD)");
}

} // namespace

int64_t ObservationTimes::startPlus(int64_t numerator, int64_t denominator) const
{
    // Rounded to the nearest hundredth.
    const int64_t span = (end - start) * numerator;
    return start + (2 * span + denominator) / (2 * denominator);
}

ObservationTimes observationTimes(const Header& header)
{
    ObservationTimes times;
    std::string value;
    std::size_t timeAt = std::string::npos;
    if (header.findCard("DATE-OBS", value) < 1 || !dateOfObservation(value, times.day, timeAt))
        return times;
    times.hasDate = true;
    // The precise TIME-OBS, with hundredths, wins over the whole-second one of the date record.
    for (const std::string& time : header.findCards("TIME-OBS")) {
        bool withFraction = false;
        int64_t hundredths = 0;
        if (timeOfDay(time, 0, hundredths, withFraction) && (!times.hasStart || withFraction)) {
            times.hasStart = true;
            times.start = hundredths;
            times.startHundredths = withFraction;
        }
    }
    if (!times.hasStart && timeAt != std::string::npos)
        times.hasStart = timeOfDay(value, timeAt, times.start, times.startHundredths);
    bool withFraction = false;
    if (times.hasStart && header.findCard("TIME-END", value) > 0 && timeOfDay(value, 0, times.end, withFraction)) {
        times.hasEnd = true;
        if (times.end < times.start)
            times.end += hundredthsPerDay;
    }
    return times;
}

std::string isoInstant(int64_t day, int64_t hundredths, bool withHundredths)
{
    day += hundredths / hundredthsPerDay;
    hundredths %= hundredthsPerDay;
    int64_t year = 0, month = 0, dayOfMonth = 0;
    civilFromDays(day - mjdOf1970, year, month, dayOfMonth);
    char text[160];
    const auto seconds = hundredths / 100;
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(dayOfMonth),
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
    std::string instant = text;
    if (withHundredths) {
        std::snprintf(text, sizeof text, ".%02lld", static_cast<long long>(hundredths % 100));
        instant += text;
    }
    return instant;
}

std::string mjdText(int64_t day, int64_t hundredths)
{
    return formatReal(static_cast<double>(day) + static_cast<double>(hundredths) / hundredthsPerDay);
}

void addTimeCards(Header& header, const ObservationTimes& times)
{
    if (!times.hasDate)
        return;
    std::string date = isoInstant(times.day, times.start, times.startHundredths);
    if (!times.hasStart)
        date.resize(10);
    header.replaceValueCard("DATE-OBS", quotedValue(date), "START OF OBSERVATION (UT)");
    header.setValueCard("TIMESYS", "'UTC'", "TIME SCALE OF THE TIMES");
    header.setValueCard("MJD-OBS", mjdText(times.day, times.start), "START OF OBSERVATION (MJD)");
    if (times.hasEnd)
        putEndCards(times, [&](auto... card) { header.setValueCard(card...); });
}

void replaceEndCards(Header& header, const ObservationTimes& times)
{
    putEndCards(times, [&](auto... card) { header.replaceValueCard(card...); });
}

void addCoordinateUnits(Header& header)
{
    header.setValueCard("CUNIT1", "'deg'", "UNIT OF CRVAL1 AND CDELT1");
    header.setValueCard("CUNIT2", "'deg'", "UNIT OF CRVAL2 AND CDELT2");
    std::string value;
    double equinox = 0.0;
    if (header.findCard("EQUINOX", value) > 0 && scanReal(value, equinox))
        header.setValueCard("RADESYS", equinox >= 1984.0 ? "'FK5'" : "'FK4'", "REFERENCE FRAME OF RA AND DEC");
}

void addChecksumCards(Header& header)
{
    header.setStringCard("CHECKSUM", "0000000000000000", "HDU CHECKSUM");
    header.setStringCard("DATASUM", "0", "DATA UNIT CHECKSUM");
}
