#include "camera/keywords.h"

#include "camera/cameratexts.h"
#include "camera/datablocks.h"
#include "fits/realtext.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum class Kind : uint8_t { none, int8, int16, int32, real32, real64, skip, text, commentText };

// What a field's value is remembered as, besides its card.
enum class Keep : uint8_t {
    nothing,
    initX,
    initY,
    endX, // also FINX, until a FINX record says otherwise
    endY,
    finX,
    allCoadds,
    coadds2,
    coadds3,
    coadds4,
    framesPerCoimage,
    chopWait,
    headerSize,
};

// Records whose cards do not follow from their fields alone.
enum class Rule : uint8_t {
    plain,
    wavelength,  // micrometres written as metres
    dateTime,    // DATE-OBS and the whole-second TIME-OBS
    obsMode,     // OBSMODE with the mode's name
    sampleMode,  // SAMPMODE for modes 0 to 2
    site,        // OBSERVAT by site code
    packed,      // PSEQ and PACKED; refusal without -p
    pupil,       // PUPILPOS with the pupil's f-ratio
    orientation, // ORIENTST and the orientation code
    timeObs,     // TIME-OBS with hundredths
    arrangement, // a COMMENT on how the data are arranged
    timeEnd,     // TIME-END when it differs from TIME-OBS
    ultrafast,   // ULTRAFST; refusal without -p
    continuous,  // CONCOIMG when on
};

struct Field {
    Kind kind = Kind::none;
    uint8_t size = 0; // bytes in the file; strings read their own length
    const char* keyword = nullptr;
    const char* comment = nullptr;
    Keep keep = Keep::nothing;
};

// The field makers and the table are data, laid out a row a line.
// clang-format off
constexpr Field int8(const char* keyword = nullptr, const char* comment = nullptr) { return {Kind::int8, 1, keyword, comment}; }
constexpr Field int16(const char* keyword = nullptr, const char* comment = nullptr, Keep keep = Keep::nothing) { return {Kind::int16, 2, keyword, comment, keep}; }
constexpr Field int32(const char* keyword = nullptr, const char* comment = nullptr, Keep keep = Keep::nothing) { return {Kind::int32, 4, keyword, comment, keep}; }
constexpr Field real32(const char* keyword = nullptr, const char* comment = nullptr, Keep keep = Keep::nothing) { return {Kind::real32, 4, keyword, comment, keep}; }
constexpr Field real64(const char* keyword, const char* comment) { return {Kind::real64, 8, keyword, comment}; }
constexpr Field skip(uint8_t bytes) { return {Kind::skip, bytes}; }
constexpr Field text(const char* keyword) { return {Kind::text, 0, keyword}; }
constexpr Field commentText() { return {Kind::commentText, 0, "COMMENT"}; }

constexpr int maxFields = 7;

struct Row {
    std::array<Field, maxFields> fields{};
    Rule rule = Rule::plain;
};

// One row per data flag, 1 to 87: the fields in file order with their cards.
constexpr std::array<Row, 88> keywordTable = {{
    /*  0 */ {},
    /*  1 */ {{real32("TELESCLE", "PIXEL SCALE (ARCSEC/MM)")}},
    /*  2 */ {{real32("FILTER1", "POSITION OF FILTER WHEEL 1"), real32("FILTER2", "POSITION OF FILTER WHEEL 2")}},
    /*  3 */ {{real32("CHOPFREQ", "CHOP FREQUENCY (HZ)")}},
    /*  4 */ {{real32("FRAMETIM", "FRAME TIME (SEC)")}},
    /*  5 */ {{real32("ITIME", "INTEGRATION TIME (SEC) IN EACH BEAM")}},
    /*  6 */ {{real32("NODWAITT", "BEAM 1 NOD WAIT TIME (SEC)")}},
    /*  7 */ {{real32("MAGNIFIC", "MAGNIFICATION SETTING")}},
    /*  8 */ {{real32("DETBIAS", "DETECTOR BIAS VOLTS"), skip(4)}},
    /*  9 */ {{real32("HEATERV", "HEATER VOLTAGE")}},
    /* 10 */ {{real32("DETTEMP", "DETECTOR TEMP. (K)")}},
    /* 11 */ {{real32("LAMBDA", "WAVELENGTH (METERS)")}, Rule::wavelength},
    /* 12 */ {{int32("TOTCOADD", "TOTAL COADDS (IN EACH BEAM)", Keep::allCoadds)}},
    /* 13 */ {{int16("INITX", "X START PIXEL", Keep::initX), int16("INITY", "Y START PIXEL", Keep::initY)}},
    /* 14 */ {{int16("ENDX", "X END PIXEL", Keep::endX), int16("ENDY", "Y END PIXEL", Keep::endY)}},
    /* 15 */ {{skip(4)}},
    /* 16 */ {{skip(2)}},
    /* 17 */ {{int16("ARRAYXSZ", "X ARRAY SIZE"), int16("ARRAYYSZ", "Y ARRAY SIZE")}},
    /* 18 */ {{text("OBJECT")}},
    /* 19 */ {{text("MASKFILE")}},
    /* 20 */ {{text("TELESCOP")}},
    /* 21 */ {{text("FILENAME")}},
    /* 22 */ {{text("FLATFILE")}},
    /* 23 */ {{text("GAINFILE")}},
    /* 24 */ {{int16(), int16(), int16(), int16(), int16(), int16()}, Rule::dateTime},
    /* 25 */ {{real64("RA", "RIGHT ASCENSION (DEGREES)"), real64("DEC", "DECLINATION (DEGREES)")}},
    /* 26 */ {{commentText()}},
    /* 27 */ {{skip(2)}},
    /* 28 */ {{skip(2)}},
    /* 29 */ {{int8(), skip(1)}, Rule::obsMode},
    /* 30 */ {{int8(), skip(1)}, Rule::sampleMode},
    /* 31 */ {{skip(2)}},
    /* 32 */ {{int16("DELAYCYC", "DELAY CYCLES")}},
    /* 33 */ {{int16("ROWCOUNT", "ROW COUNTER")}},
    /* 34 */ {{int16("ARRAYEXT", "ARRAY EXTENT (0=FULL,1=HALF)")}},
    /* 35 */ {{int16("BANDWDTH", "BANDWIDTH OF SP BOARD")}},
    /* 36 */ {{skip(2)}},
    /* 37 */ {{int16("CLOCKRAT", "CLOCK FREQUENCY (15^6/2^N HZ)")}},
    /* 38 */ {{int16("COPERCHP", "COIMAGES PER CHOP CYCLE")}},
    /* 39 */ {{int32("NUMCHOPS", "NUMBER OF CHOP CYCLES")}},
    /* 40 */ {{int16("FRPERCOI", "FRAMES PER COIMAGE", Keep::framesPerCoimage)}},
    /* 41 */ {{real32("OFFSET1", "X OFFSET (PIXELS)"), real32("OFFSET2", "Y OFFSET (PIXELS)")}},
    /* 42 */ {{real32("CHOPWAIT", "CHOP WAIT TIME (MSEC)", Keep::chopWait)}},
    /* 43 */ {{int16("CHOPWTFR", "CHOPPER WAIT FRAMES")}},
    /* 44 */ {{skip(2)}},
    /* 45 */ {{real32("SKYFLUX", "SKY FLUX (AVG CNTS OFF-SRC)"), real32("SKYRMS", "RMS OF LAST 5 SKY FLUXES"),
               real32("SKYDIF", "DIFFERENCE FROM LAST SKY FLUX")}},
    /* 46 */ {{real32("ERTEMP1", "AMBIENT TEMP (C)"), real32("ERTEMP2", "TEMP INSIDE CAMERA ELEC. (C)"),
               real32("ERTEMP3", "TEMP OF A/D COMPONENT (C)")}},
    /* 47 */ {{real32("AIRMASS", "AIRMASS OF OBSERVATION")}},
    /* 48 */ {{int16()}, Rule::site},
    /* 49 */ {{real32("RAOFFSET", "RA OFFSET (ARCSEC)"), real32("DEOFFSET", "DEC OFFSET (ARCSEC)")}},
    /* 50 */ {{skip(2)}},
    /* 51 */ {{skip(2)}},
    /* 52 */ {{text("FILEDIR")}},
    /* 53 */ {{text("BAKUPDIR")}},
    /* 54 */ {{int16(), int16()}, Rule::packed},
    /* 55 */ {{int16("FW1STPOS", "FILTER W1 STEP POS"), int16("FW2STPOS", "FILTER W2 STEP POS")}},
    /* 56 */ {{int16()}, Rule::pupil},
    /* 57 */ {{real32("EQUINOX", "EQUINOX FOR RA AND DEC")}},
    /* 58 */ {{real32("NODOFFWT", "NOD WAIT TIME FOR BEAM 2")}},
    /* 59 */ {{text("ORIENTST")}, Rule::orientation},
    /* 60 */ {{real32("SOFTVER", "VERSION NUMBER FOR VESKA SOFTWARE")}},
    /* 61 */ {{int16("DBLREAD", "DOUBLE READ FLAG, 0=FALSE")}},
    /* 62 */ {{int16("WAITCYCL", "CHOPPER WAIT CYCLES")}},
    /* 63 */ {{int16("BURSTCYC", "BURST DELAY CYCLES")}},
    /* 64 */ {{int16("SUBROWST", "SUBARRAY ROW START"), int16("SUBROWND", "SUBARRAY ROW END"),
               int16("SUBCOLST", "SUBARRAY COL START"), int16("SUBCOLND", "SUBARRAY COL END")}},
    /* 65 */ {{real32("ARYCYCTM", "ARRAY CYCLE TIME (SEC)")}},
    /* 66 */ {{int16("BURSTMOD", "BURST MODE 1=ON,0=OFF")}},
    /* 67 */ {{int16(), int16(), int16(), int16()}, Rule::timeObs},
    /* 68 */ {{int16(nullptr, nullptr, Keep::headerSize)}},
    /* 69 */ {{int16()}, Rule::arrangement},
    /* 70 */ {{real32("FLUXOFST", "FLUX OFFSET VALUE (COUNTS)")}},
    /* 71 */ {{int32(nullptr, nullptr, Keep::headerSize)}},
    /* 72 */ {{int16(), int16(), int16(), int16()}, Rule::timeEnd},
    /* 73 */ {{real32("RAWMIN", "RAW ON-SOURCE DATA MIN"), real32("RAWMAX", "RAW ON-SOURCE DATA MAX")}},
    /* 74 */ {{skip(64)}},
    /* 75 */ {{int16("FRAMERR0", "TRANSMISSION ERRORS CHOP PAIR 0"), int16("FRAMERR1", "TRANSMISSION ERRORS CHOP PAIR 1")}},
    /* 76 */ {{int32("TOTCOAD2", "TOTAL COADDS (BEAM2)", Keep::coadds2)}},
    /* 77 */ {{int32("FINX", "NUM. COLUMNS IN DATA BLOCK", Keep::finX)}},
    /* 78 */ {{int32("TOTCOAD3", "TOTAL COADDS (BEAM3)", Keep::coadds3)}},
    /* 79 */ {{int32("TOTCOAD4", "TOTAL COADDS (BEAM4)", Keep::coadds4)}},
    /* 80 */ {{int16()}, Rule::ultrafast},
    /* 81 */ {{int16()}, Rule::continuous},
    /* 82 */ {{real64("LOFLXOFF", "LOW FLUX MODE OFFSET VALUE"), real64("MDFLXOFF", "MEDIUM FLUX MODE OFFSET VALUE"),
               real64("HIFLXOFF", "HIGH FLUX MODE OFFSET VALUE"), real64("VAFLXOFF", "VARIABLE FLUX MODE OFFSET VALUE"),
               real64("DARKMAX", "DARK FRAME MAXIMUM VALUE"), real64("FULLWELL", "FULL WELL VALUE"),
               real64("LNEARMAX", "LINEAR MAXIMUM FLUX VALUE")}},
    /* 83 */ {{int32("OBSFINUM", "OBSERVATION FILE NUMBER")}},
    /* 84 */ {{real32("FILTER3", "POSITION OF FILTER WHEEL 3"), skip(2)}},
    /* 85 */ {{real32("LN2TEMP", "LIQUID NITROGEN (LN2) RESERVOIR TEMP")}},
    /* 86 */ {{int32("FW1STPOS", "FILTER W1 STEP POS"), int32("FW2STPOS", "FILTER W2 STEP POS"),
               int32("FW3STPOS", "FILTER W3 STEP POS")}},
    /* 87 */ {{real32("FILTER3", "POSITION OF FILTER WHEEL 3")}},
}};
// clang-format on

// The blanks behind a time's value, as the camera's times are laid out: '09:05:03.07'      .
constexpr std::size_t timeBlanks = 6;

// One decoded field.
struct Value {
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
    bool hasText = false; // a string of length 1 or more, even one cut to nothing by a NUL
};

// The cards of a record, appended to the image's header; the observation record takes the value
// of each card it keeps as the card states it, made by the same function that made the card's
// text: a real as its card rounds it, a string as its card holds it.
class RecordWriter {
public:
    explicit RecordWriter(RecordTarget& target) : target_(target) {}

    void real(const char* keyword, double number, std::string_view comment)
    {
        const CardReal card = cardReal(number);
        header().addValueCard(keyword, card.text, comment);
        if (card.value)
            target_.observation.noteNumber(cardNumber(), keyword, *card.value);
    }
    void integer(const char* keyword, int64_t number, std::string_view comment)
    {
        header().addValueCard(keyword, std::to_string(number), comment);
        target_.observation.noteInteger(cardNumber(), keyword, number);
    }
    void string(const char* keyword, const std::string& text)
    {
        header().addStringCard(keyword, text);
        target_.observation.noteText(cardNumber(), keyword, stringCardText(text));
    }
    // A string laid out as the camera's dates and times are: `blanks` blanks behind its closing
    // quote put the quote in the value's first column.
    void text(const char* keyword, const std::string& text, std::string_view comment, std::size_t blanks = 0)
    {
        std::string value = quotedValue(text);
        value.append(blanks, ' ');
        header().addValueCard(keyword, value, comment);
        target_.observation.noteText(cardNumber(), keyword, text);
    }
    void comment(const std::string& text) { header().addCommentCard("COMMENT", text); }

private:
    Header& header() { return target_.image.header; }
    int cardNumber() const { return target_.image.header.cardsBeforePlace(); }

    RecordTarget& target_;
};

// printf of a date or time whose blanks among the first `digits` characters become
// zeros, so that every field has two digits: '09:05:03'.
template <typename... Numbers>
std::string zeroFilled(std::size_t digits, const char* format, Numbers... numbers)
{
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<int>(numbers)...);
    for (std::size_t i = 0; i < digits && text[i] != '\0'; ++i)
        if (text[i] == ' ')
            text[i] = '0';
    return text;
}

// 'DD/MM/YY' means 1900 to 1999 to every FITS reader; other years take the form 'CCYY-MM-DD'.
// Empty for a day the Gregorian calendar does not have: such a file gets no DATE-OBS, since FITS
// verifiers refuse the card undefined or so dated.
std::string fullDate(int64_t year, int64_t month, int64_t day)
{
    static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1]
        || (month == 2 && day == 29 && !leap))
        return "";
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(year), static_cast<int>(month),
                  static_cast<int>(day));
    return text;
}

std::string timeWithHundredths(const Value* values)
{
    return timeText(values[0].integer, values[1].integer, values[2].integer, values[3].integer);
}

std::string observingModeComment(int64_t mode)
{
    const ObservingMode* known = observingMode(mode);
    return known ? std::string("OBSERVING MODE - ") + known->name : "OBSERVING MODE";
}

const char* pupilComment(int64_t position)
{
    switch (position) {
    case 0: return "PUPIL POSITION = 0: BLANKED OFF";
    case 1: return "PUPIL POSITION = 1: f/45";
    case 2: return "PUPIL POSITION = 2: f/35";
    case 3: return "PUPIL POSITION = 3: f/30";
    case 4: return "PUPIL POSITION = 4: f/17";
    case 5: return "PUPIL POSITION = 5: f/15";
    default: return "PUPIL POSITION UNKNOWN";
    }
}

const char* siteName(int64_t code)
{
    switch (code) {
    case 1: return "Kitt Peak";
    case 2: return "Catalina";
    case 3: return "Mauna Kea";
    default: return nullptr;
    }
}

void keep(Keep what, const Value& value, RecordTarget& target)
{
    const auto number = static_cast<int32_t>(value.integer);
    FrameLayout& layout = target.layout;
    HeaderFacts& facts = target.facts;
    switch (what) {
    case Keep::nothing: break;
    case Keep::initX:
        layout.initX = number;
        facts.hasStart = true;
        break;
    case Keep::initY: layout.initY = number; break;
    case Keep::endX:
        layout.endX = layout.finX = number;
        facts.hasEnd = true;
        break;
    case Keep::endY: layout.endY = number; break;
    case Keep::finX: layout.finX = number; break;
    case Keep::allCoadds:
        std::fill(std::begin(facts.coadds), std::end(facts.coadds), number);
        facts.hasCoadds = true;
        break;
    case Keep::coadds2: facts.coadds[1] = number; break;
    case Keep::coadds3: facts.coadds[2] = number; break;
    case Keep::coadds4: facts.coadds[3] = number; break;
    case Keep::framesPerCoimage: target.carried.framesPerCoimage = static_cast<float>(number); break;
    case Keep::chopWait: target.carried.chopWaitMsec = static_cast<float>(value.real); break;
    case Keep::headerSize: facts.headerSize = number; break;
    }
}

Result applyRule(Rule rule, const Row& row, const Value* values, RecordTarget& target)
{
    RecordWriter cards(target);
    HeaderFacts& facts = target.facts;
    switch (rule) {
    case Rule::plain:
        for (int i = 0; i < maxFields; ++i) {
            const Field& field = row.fields[i];
            if (field.keyword) {
                switch (field.kind) {
                case Kind::text:
                    if (values[i].hasText)
                        cards.string(field.keyword, values[i].text);
                    break;
                case Kind::commentText:
                    if (values[i].hasText)
                        cards.comment(values[i].text);
                    break;
                case Kind::real32:
                case Kind::real64: cards.real(field.keyword, values[i].real, field.comment); break;
                default: cards.integer(field.keyword, values[i].integer, field.comment); break;
                }
            }
            keep(field.keep, values[i], target);
        }
        break;
    case Rule::wavelength: cards.real("LAMBDA", values[0].real * 0.000001, "WAVELENGTH (METERS)"); break;
    case Rule::dateTime: {
        const int64_t year = values[0].integer, month = values[1].integer, day = values[2].integer;
        if (year >= 1900 && year <= 1999)
            cards.text("DATE-OBS", zeroFilled(7, "%2d/%2d/%2d", day, month, year - 1900),
                       "DATE OF OBSERVATION (UT)- DD/MM/YY", 9);
        else if (const std::string date = fullDate(year, month, day); !date.empty())
            cards.text("DATE-OBS", date, "DATE OF OBSERVATION (UT)- CCYY-MM-DD", 7);
        if (!facts.timeObsWritten)
            cards.text("TIME-OBS",
                       zeroFilled(7, "%2d:%2d:%2d", values[3].integer, values[4].integer, values[5].integer),
                       "START TIME OF OBSERVATION (UT)OLD", 9);
        break;
    }
    case Rule::obsMode:
        target.carried.obsmode = static_cast<int32_t>(values[0].integer);
        cards.integer("OBSMODE", values[0].integer, observingModeComment(values[0].integer));
        break;
    case Rule::sampleMode: {
        static const char* const comments[]
            = {"0 = SINGLE SAMPLE MODE", "1 = DOUBLE SAMPLE MODE", "2 = DLBE-2 SAMPLE MODE"};
        if (values[0].integer >= 0 && values[0].integer <= 2)
            cards.integer("SAMPMODE", values[0].integer, comments[values[0].integer]);
        break;
    }
    case Rule::site:
        // A code without a known site gives no card rather than a made-up name.
        if (const char* name = siteName(values[0].integer))
            cards.text("OBSERVAT", name, "LOCATION OF OBSERVATION");
        break;
    case Rule::packed: {
        const int64_t count = values[0].integer;
        cards.integer("PSEQ", values[1].integer, "PACKED FILE SEQ. NUM");
        facts.packedCount = static_cast<int32_t>(count);
        if (count > 0) {
            if (!target.unpack)
                return target.messages.failed(CameraText::packedRefused);
            facts.isPacked = true;
            cards.integer("PACKED", count, "TOTAL PACKED IMAGES");
        } else {
            cards.integer("PACKED", -count, "TOTAL PACKED IMAGES");
        }
        break;
    }
    case Rule::pupil: cards.integer("PUPILPOS", values[0].integer, pupilComment(values[0].integer)); break;
    case Rule::orientation:
        if (values[0].hasText) {
            target.orientation.storeWord(values[0].text);
            cards.comment("THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA");
            cards.string("ORIENTST", values[0].text);
        }
        break;
    case Rule::timeObs:
        facts.startTimeText = timeWithHundredths(values);
        cards.text("TIME-OBS", facts.startTimeText, "START TIME OF OBSERVATION (UT)", timeBlanks);
        facts.timeObsWritten = true;
        break;
    case Rule::arrangement:
        cards.comment(values[0].integer == 1 ? "DATA HAS BEEN REARRANGED INTO ROWS AND COLUMNS"
                                             : "DATA IS ARRANGED IN LINES AND BLOCKS");
        break;
    case Rule::timeEnd: {
        // Without an earlier TIME-OBS the start time is empty, so the end time is kept.
        const std::string endText = timeWithHundredths(values);
        if (endText != facts.startTimeText) {
            if (!target.unpack)
                cards.text("TIME-END", endText, "END TIME OF OBSERVATION (UT)", timeBlanks);
            else
                facts.recordedEndText = endText;
        }
        break;
    }
    case Rule::ultrafast:
        if (values[0].integer > 0) {
            if (!target.unpack)
                return target.messages.failed(CameraText::packedRefused);
            facts.isPacked = true;
            facts.ultrafastCount = static_cast<int32_t>(values[0].integer);
            cards.integer("ULTRAFST", values[0].integer, "NUMBER OF ULTRAFAST PACKED COIMAGES");
        }
        break;
    case Rule::continuous:
        if (values[0].integer == 1)
            cards.integer("CONCOIMG", 1, "CONTINUOUS COIMAGING MODE ON");
        break;
    }
    return Result();
}

} // namespace

void addTimeCard(RecordTarget& target, const char* keyword, const std::string& time, const char* comment)
{
    RecordWriter(target).text(keyword, time, comment, timeBlanks);
}

Result endsInHeader(const CameraStream& stream, Messages& messages)
{
    const int error = errno;
    if (!stream.failed())
        return messages.failed(CameraText::endsInHeader, stream.name());
    messages.say(CameraText::endsInHeader, stream.name());
    messages.fileError(stream.name(), error);
    return Result::failed(systemCause(error), messages.lastReason());
}

std::string timeText(int64_t hours, int64_t minutes, int64_t seconds, int64_t hundredths)
{
    return zeroFilled(10, "%2d:%2d:%2d.%2d", hours, minutes, seconds, hundredths);
}

Result readRecord(int flag, CameraStream& stream, RecordTarget& target)
{
    const Row& row = keywordTable[flag];
    Value values[maxFields];
    for (int i = 0; i < maxFields; ++i) {
        const Field& field = row.fields[i];
        if (field.kind == Kind::none)
            break;
        unsigned char bytes[256];
        std::size_t size = field.size;
        if (field.kind == Kind::text || field.kind == Kind::commentText) {
            if (stream.read(bytes, 1) != 1)
                return endsInHeader(stream, target.messages);
            size = bytes[0];
        }
        if (size > 0 && stream.read(bytes, size) != size)
            return endsInHeader(stream, target.messages);
        Value& value = values[i];
        switch (field.kind) {
        case Kind::int8: value.integer = static_cast<int8_t>(bytes[0]); break;
        case Kind::int16: value.integer = littleInt16(bytes); break;
        case Kind::int32: value.integer = littleInt32(bytes); break;
        case Kind::real32: value.real = std::bit_cast<float>(static_cast<uint32_t>(littleInt32(bytes))); break;
        case Kind::real64: {
            const uint64_t low = static_cast<uint32_t>(littleInt32(bytes));
            const uint64_t high = static_cast<uint32_t>(littleInt32(bytes + 4));
            value.real = std::bit_cast<double>(low | high << 32);
            break;
        }
        case Kind::text:
        case Kind::commentText:
            // The text ends at a NUL byte, if it holds one.
            value.text.assign(reinterpret_cast<const char*>(bytes), size);
            value.text.resize(std::strlen(value.text.c_str()));
            value.hasText = size > 0;
            break;
        case Kind::none:
        case Kind::skip: break;
        }
    }
    return applyRule(row.rule, row, values, target);
}
