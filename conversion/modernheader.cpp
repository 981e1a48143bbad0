#include "conversion/modernheader.h"

#include "fits/realtext.h"
#include "fits/scan.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace {

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

// DATE-END and MJD-END of the end of `times`, through `put`: a set or a replace of the header.
template <typename Put>
void putEndCards(const ObservationTimes& times, Put put)
{
    put("DATE-END", quotedValue(isoInstant(times.day, times.end)), "END OF OBSERVATION (UT)");
    put("MJD-END", mjdText(times.day, times.end), "END OF OBSERVATION (MJD)");
}

} // namespace

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

void commentUndefinedValues(Header& header)
{
    for (int number = 1; number <= header.cardsBeforePlace(); ++number) {
        const char* card = header.card(number);
        const std::string_view text(card, cardLength);
        if (text.substr(8, 2) != "= " || !cardValue(card).empty())
            continue;
        // A string's value is never undefined: '' is an empty string.
        const std::size_t value = text.find_first_not_of(' ', 10);
        if (value != std::string_view::npos && text[value] == '\'')
            continue;
        const std::size_t slash = text.find('/', 10);
        std::string comment = slash == std::string_view::npos ? "" : std::string(text.substr(slash + 1));
        while (!comment.empty() && comment.back() == ' ')
            comment.pop_back();
        const std::size_t start = comment.find_first_not_of(' ');
        comment = start == std::string::npos ? "" : comment.substr(start);
        const std::string key(cardKey(card));
        header.writeCommentCardAt(number, "COMMENT",
                                  key + " UNDEFINED (NOT A NUMBER)" + (comment.empty() ? "" : ": " + comment));
    }
}

void keepOneStartTime(Header& header)
{
    std::vector<int> numbers;
    int kept = -1;
    for (int number = 1; number <= header.cardsBeforePlace(); ++number) {
        const char* card = header.card(number);
        if (cardKey(card) != "TIME-OBS")
            continue;
        numbers.push_back(number);
        if (kept < 0 && cardValue(card).find('.') != std::string::npos)
            kept = number;
    }
    if (kept < 0 && !numbers.empty())
        kept = numbers.front();
    // From the last, so that the numbers before it stay.
    for (auto number = numbers.rbegin(); number != numbers.rend(); ++number)
        if (*number != kept)
            header.removeCard(*number);
}

void addTimeCards(Header& header, const ObservationTimes& times)
{
    keepOneStartTime(header);
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

void replaceStartCards(Header& header, int64_t instant)
{
    header.replaceValueCard("DATE-OBS", quotedValue(isoInstant(0, instant)), "START OF OBSERVATION (UT)");
    header.replaceValueCard("MJD-OBS", mjdText(0, instant), "START OF OBSERVATION (MJD)");
    // hh:mm:ss.ss, laid out as the camera's card.
    std::string time = quotedValue(isoInstant(0, instant).substr(11));
    time.append(time.size() < 19 ? 19 - time.size() : 0, ' ');
    header.replaceValueCard("TIME-OBS", time, "START TIME OF OBSERVATION (UT)");
}

void addCoordinateUnits(Header& header, const Observation& observation)
{
    header.setValueCard("CUNIT1", "'deg'", "UNIT OF CRVAL1 AND CDELT1");
    header.setValueCard("CUNIT2", "'deg'", "UNIT OF CRVAL2 AND CDELT2");
    if (observation.equinox)
        header.setValueCard("RADESYS", *observation.equinox >= 1984.0 ? "'FK5'" : "'FK4'",
                            "REFERENCE FRAME OF RA AND DEC");
}

void addUnitCard(Header& header)
{
    std::string value;
    if (header.findCard("BUNIT", value) < 1)
        header.addValueCard("BUNIT", "'adu'", "COUNTS PER COADD");
}

void addChecksumCards(Header& header)
{
    header.setStringCard("CHECKSUM", "0000000000000000", "HDU CHECKSUM");
    header.setStringCard("DATASUM", "0", "DATA UNIT CHECKSUM");
}
