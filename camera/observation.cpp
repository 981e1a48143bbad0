#include "camera/observation.h"

#include "fits/scan.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

// Days from 1970-01-01 of a day of the Gregorian calendar.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
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

// The values a card can give, by its keyword.
enum class Field {
    ra,
    dec,
    offset1,
    offset2,
    magnification,
    telescopeScale, // block by block
    equinox,
    framesPerCoimage,
    wavelength,
    filter1,
    filter2,
    filter3,
    integrationTime,
    frameTime,
    chopFrequency,
    airmass,
    raOffset,
    decOffset,
    detectorTemperature,
    skyFlux,
    obsmode,
    coadds,
    chopCycles,
    fileNumber,
    packedImages,
    ultrafastImages,
    object,
    telescope,
    site,
    date,
    timeObs,
    timeEnd,
    begin,
    orientation,
    count
};

struct Keyword {
    std::string_view name;
    Field field;
};

// Sorted by name, for a binary search.
constexpr std::array<Keyword, 34> keywords = {{
    {"AIRMASS", Field::airmass},
    {"CHOPFREQ", Field::chopFrequency},
    {"DATE-BEG", Field::begin},
    {"DATE-OBS", Field::date},
    {"DEC", Field::dec},
    {"DEOFFSET", Field::decOffset},
    {"DETTEMP", Field::detectorTemperature},
    {"EQUINOX", Field::equinox},
    {"FILTER1", Field::filter1},
    {"FILTER2", Field::filter2},
    {"FILTER3", Field::filter3},
    {"FRAMETIM", Field::frameTime},
    {"FRPERCOI", Field::framesPerCoimage},
    {"ITIME", Field::integrationTime},
    {"LAMBDA", Field::wavelength},
    {"MAGNIFIC", Field::magnification},
    {"NUMCHOPS", Field::chopCycles},
    {"OBJECT", Field::object},
    {"OBSERVAT", Field::site},
    {"OBSFINUM", Field::fileNumber},
    {"OBSMODE", Field::obsmode},
    {"OFFSET1", Field::offset1},
    {"OFFSET2", Field::offset2},
    {"ORIENTST", Field::orientation},
    {"PACKED", Field::packedImages},
    {"RA", Field::ra},
    {"RAOFFSET", Field::raOffset},
    {"SKYFLUX", Field::skyFlux},
    {"TELESCLE", Field::telescopeScale},
    {"TELESCOP", Field::telescope},
    {"TIME-END", Field::timeEnd},
    {"TIME-OBS", Field::timeObs},
    {"TOTCOADD", Field::coadds},
    {"ULTRAFST", Field::ultrafastImages},
}};

const Keyword* keywordNamed(std::string_view name)
{
    const auto found = std::lower_bound(keywords.begin(), keywords.end(), name,
                                        [](const Keyword& k, std::string_view n) { return k.name < n; });
    return found != keywords.end() && found->name == name ? &*found : nullptr;
}

// The kind of value a field takes.
enum class ValueKind { real, integer, text };

ValueKind kindOf(Field field)
{
    switch (field) {
    case Field::obsmode:
    case Field::coadds:
    case Field::chopCycles:
    case Field::fileNumber:
    case Field::packedImages:
    case Field::ultrafastImages: return ValueKind::integer;
    case Field::object:
    case Field::telescope:
    case Field::site:
    case Field::date:
    case Field::timeObs:
    case Field::timeEnd:
    case Field::begin:
    case Field::orientation: return ValueKind::text;
    default: return ValueKind::real;
    }
}

} // namespace

int64_t ObservationTimes::startPlus(int64_t numerator, int64_t denominator) const
{
    // Rounded to the nearest hundredth.
    const int64_t span = (end - start) * numerator;
    return start + (2 * span + denominator) / (2 * denominator);
}

bool Observation::observes(std::string_view keyword)
{
    return keywordNamed(keyword) != nullptr;
}

void Observation::noteNumber(int cardNumber, std::string_view keyword, double value)
{
    Value number;
    number.real = value;
    note(cardNumber, keyword, number);
}

void Observation::noteInteger(int cardNumber, std::string_view keyword, int64_t value)
{
    Value number;
    number.integer = value;
    // A real kept from a card of a whole number: FRPERCOI.
    number.real = static_cast<double>(value);
    note(cardNumber, keyword, number);
}

void Observation::noteText(int cardNumber, std::string_view keyword, const std::string& text)
{
    Value value;
    value.text = &text;
    note(cardNumber, keyword, value);
}

void Observation::noteCard(int cardNumber, std::string_view keyword, const std::string& text)
{
    const Keyword* known = keywordNamed(keyword);
    if (!known)
        return;
    Value value;
    switch (kindOf(known->field)) {
    case ValueKind::real:
        if (double number = 0.0; scanReal(text, number))
            value.real = number;
        break;
    case ValueKind::integer:
        if (int64_t number = 0; scanDecimal(text, number))
            value.integer = number;
        break;
    case ValueKind::text: value.text = &text; break;
    }
    note(cardNumber, keyword, value);
}

void Observation::note(int cardNumber, std::string_view keyword, const Value& value)
{
    const Keyword* known = keywordNamed(keyword);
    if (!known)
        return;
    switch (known->field) {
    case Field::ra:
    case Field::dec:
    case Field::offset1:
    case Field::offset2:
    case Field::magnification:
    case Field::telescopeScale: {
        const auto index = static_cast<std::size_t>(known->field);
        const int block = (cardNumber - 1) / cardsPerBlock;
        if (block == lastBlock_[index])
            return;
        lastBlock_[index] = block;
        double* const values[] = {&ra, &dec, &offset1, &offset2, &magnification, &telescopeScale};
        if (value.real)
            *values[index] = *value.real;
        return;
    }
    case Field::timeObs: {
        // The precise TIME-OBS, with hundredths, wins over the whole-second one of the date record.
        bool withFraction = false;
        int64_t hundredths = 0;
        if (value.text && timeOfDay(*value.text, 0, hundredths, withFraction) && (!hasStartTime_ || withFraction)) {
            hasStartTime_ = true;
            startTime_ = hundredths;
            startHundredths_ = withFraction;
        }
        return;
    }
    case Field::orientation: {
        // The code is put together from the first ORIENTST card of each block, in order.
        const int block = (cardNumber - 1) / cardsPerBlock;
        if (value.text && block != orientationBlock_) {
            orientationBlock_ = block;
            orientation.storeCardValue(*value.text);
        }
        return;
    }
    case Field::ultrafastImages:
        // The ultrafast images are the ones a file with both counts holds.
        if (value.integer)
            packedImages = value.integer;
        return;
    default: break;
    }
    // The other values are their keyword's first card's, if it reads.
    const auto index = static_cast<std::size_t>(known->field);
    if (seen_[index])
        return;
    seen_[index] = true;
    std::optional<double>* const reals[]
        = {&equinox,  &framesPerCoimage, &wavelength,          &filter1,       &filter2,
           &filter3,  &integrationTime,  &frameTime,           &chopFrequency, &airmass,
           &raOffset, &decOffset,        &detectorTemperature, &skyFlux};
    std::optional<int64_t>* const integers[] = {&obsmode, &coadds, &chopCycles, &fileNumber, &packedImages};
    std::optional<std::string>* const texts[] = {&object, &telescope, &site, &date_, nullptr, &end_, &begin_};
    const auto field = static_cast<std::size_t>(known->field);
    switch (kindOf(known->field)) {
    case ValueKind::real:
        if (value.real)
            *reals[field - static_cast<std::size_t>(Field::equinox)] = value.real;
        return;
    case ValueKind::integer:
        if (value.integer)
            *integers[field - static_cast<std::size_t>(Field::obsmode)] = value.integer;
        return;
    case ValueKind::text:
        if (value.text)
            *texts[field - static_cast<std::size_t>(Field::object)] = *value.text;
        return;
    }
}

ObservationTimes Observation::times() const
{
    ObservationTimes times;
    std::size_t timeAt = std::string::npos;
    if (!date_ || !dateOfObservation(*date_, times.day, timeAt))
        return times;
    times.hasDate = true;
    times.hasStart = hasStartTime_;
    times.start = startTime_;
    times.startHundredths = startHundredths_;
    if (!times.hasStart && timeAt != std::string::npos)
        times.hasStart = timeOfDay(*date_, timeAt, times.start, times.startHundredths);
    bool withFraction = false;
    if (times.hasStart && end_ && timeOfDay(*end_, 0, times.end, withFraction)) {
        times.hasEnd = true;
        if (times.end < times.start)
            times.end += hundredthsPerDay;
    }
    return times;
}

std::optional<int64_t> Observation::beginInstant() const
{
    int64_t day = 0, hundredths = 0;
    std::size_t timeAt = std::string::npos;
    bool withFraction = false;
    if (!begin_ || !dateOfObservation(*begin_, day, timeAt) || timeAt == std::string::npos
        || !timeOfDay(*begin_, timeAt, hundredths, withFraction))
        return std::nullopt;
    return day * hundredthsPerDay + hundredths;
}

Observation observationOf(const Header& header)
{
    Observation observation;
    int number = 0;
    for (const HeaderBlock* block = header.firstBlock(); block; block = block->next) {
        for (int slot = 0; slot < cardsPerBlock; ++slot) {
            const char* card = block->cards + slot * cardLength;
            const std::string_view key = cardKey(card);
            ++number;
            if (key == "END")
                return observation;
            if (key == "HISTORY") {
                observation.oriented = observation.oriented || commentaryText(card) == orientedHistory;
            } else if (Observation::observes(key)) {
                observation.noteCard(number, key, cardValue(card));
            }
        }
    }
    return observation;
}
