// The camera file's tagged header as it reaches the output: records written by the test-side
// writer, converted by the real program, and the cards read back from the FITS file and compared
// with card texts written out from the header format.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "camera/readveska.h"
#include "fits/fitsimage.h"
#include "support/camerawriter.h"
#include "support/fitsread.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

using namespace testsupport;

namespace {

// Card texts in the layout of the program's card writers.
constexpr auto& V = valueCard;
constexpr auto& S = stringCard;
std::string C(std::string_view text) { return commentCard("COMMENT", text); }

// ---- Running the program ----------------------------------------------------------------------

int32_t pixel(int frame, int x, int y) { return frame * 100000 + x * 100 + y; }

const FrameGeometry kSmall = geometryOf(8, 4);

// The records under test, then what every conversion needs (corners, coadds, GRAB) and a frame.
CameraWriter withImage(CameraWriter records) {
    records.corners(kSmall).totalCoadds(1).obsmode(1).endMarker().frames(kSmall, 1, pixel);
    return records;
}

// The cards that the records under test wrote: those between INSTRUME and INITX.
std::vector<std::string> recordCards(const CameraWriter& records) {
    const CameraRun run = convertCameraFile(withImage(records), {"-n"});
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.output;
    if (!run.fits) {
        ADD_FAILURE() << "no output file";
        return {};
    }
    std::vector<std::string> cards;
    for (size_t i = 9; i < run.fits->cards.size() && cardKeyword(run.fits->cards[i]) != "INITX"; ++i)
        cards.push_back(run.fits->cards[i]);
    return cards;
}

bool printed(const RunResult& result, const std::string& line) {
    return result.output.find(line + "\n") != std::string::npos;
}

const std::string kHeaderEnds =
    std::string("kovrent: Error - ") + kCameraFileName + " ends before the end of its header";
const std::string kReadFailed = "kovrent: Error reading in VESKA format data file.";

// readVESKA in this process, for the values it hands back to the driver.
struct InProcess {
    Result result = Result::failed(systemCause(EIO));
    std::string output;  // what its messages have for standard output
    int32_t obsmode = 0;
    std::string orientation;
};

InProcess readInProcess(const CameraWriter& file, int32_t obsmodeBefore) {
    static Raster raster;
    TempDir dir;
    const std::string path = (dir / kCameraFileName).string();
    file.save(path);
    FitsImage image;
    InProcess read;
    CameraSession session;
    session.obsmode = obsmodeBefore;
    CameraHeader header;
    header.orientation.letters = "QQQQQ";
    Messages messages;
    read.result = readVESKA({path, 1}, image, raster, session, header, messages);
    for (const Messages::Line& line : messages.lines())
        if (!line.forPeople()) read.output += line.text;
    read.obsmode = session.obsmode;
    read.orientation = header.orientation.letters;
    return read;
}

}  // namespace

// ---- Worked byte examples ---------------------------------------------------------------------

TEST(CameraHeader, HandWrittenHeadersGiveTheirCardsAndDataStartAfterTheEndMarker) {
    struct Case {
        std::vector<uint8_t> header;
        FrameGeometry geometry;
        int coadds;
        int frames;  // CHOP subtracts the second frame, GRAB has one
        std::vector<std::string> cards;
    };
    const Case cases[] = {
        // TOTCOADD 2, then rows 13, 14 and 29 and the end marker: 0D 00 00 00 00 0E 7F 00 7F 00 1D 02 00 FF.
        {{0x0C, 0x02, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x7F, 0x00, 0x7F, 0x00,
          0x1D, 0x02, 0x00, 0xFF},
         geometryOf(128, 128), 2, 2,
         {V("TOTCOADD", "2", "TOTAL COADDS (IN EACH BEAM)"), V("INITX", "0", "X START PIXEL"),
          V("INITY", "0", "Y START PIXEL"), V("ENDX", "127", "X END PIXEL"),
          V("ENDY", "127", "Y END PIXEL"), V("OBSMODE", "2", "OBSERVING MODE - CHOP")}},
        // Rows 13 and 14 (the 11-byte header without its end marker), TOTCOADD 1, GRAB, end marker.
        {{0x0D, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x07, 0x00, 0x03, 0x00, 0x0C, 0x01, 0x00, 0x00, 0x00,
          0x1D, 0x01, 0x00, 0xFF},
         geometryOf(8, 4), 1, 1,
         {V("INITX", "0", "X START PIXEL"), V("INITY", "0", "Y START PIXEL"),
          V("ENDX", "7", "X END PIXEL"), V("ENDY", "3", "Y END PIXEL"),
          V("TOTCOADD", "1", "TOTAL COADDS (IN EACH BEAM)"), V("OBSMODE", "1", "OBSERVING MODE - GRAB")}},
    };
    for (const Case& c : cases) {
        CameraWriter file;
        for (uint8_t b : c.header) file.byte(b);
        file.frames(c.geometry, c.frames, pixel);
        const CameraRun run = convertCameraFile(file, {"-n"});
        ASSERT_EQ(run.result.exitStatus, 0) << run.result.output;
        ASSERT_TRUE(run.fits);
        const auto& cards = run.fits->cards;
        ASSERT_GE(cards.size(), 9 + c.cards.size());
        EXPECT_EQ(cards[3], V("NAXIS1", std::to_string(c.geometry.naxis1()), "PIXELS ON 1ST MOST VARYING AXIS"));
        EXPECT_EQ(cards[4], V("NAXIS2", std::to_string(c.geometry.naxis2()), "PIXELS ON 2ND MOST VARYING AXIS"));
        for (size_t i = 0; i < c.cards.size(); ++i) EXPECT_EQ(cards[9 + i], c.cards[i]);
        for (int x = 0; x < c.geometry.naxis1(); ++x)
            for (int y = 0; y < c.geometry.naxis2(); ++y) {
                double expected = pixel(1, x, y) / double(c.coadds);
                if (c.frames == 2) expected = float(expected) - pixel(2, x, y) / double(c.coadds);
                ASSERT_EQ(run.fits->at(x, y), float(expected)) << x << "," << y;
            }
    }
}

TEST(CameraHeader, FourteenByteHeaderWithoutCoaddsStillSetsTheObservingMode) {
    CameraWriter file;
    for (uint8_t b : {0x0D, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x7F, 0x00, 0x7F, 0x00, 0x1D, 0x02, 0x00, 0xFF})
        file.byte(b);
    const InProcess read = readInProcess(file, 9);
    EXPECT_TRUE(read.result.endsRun());
    EXPECT_EQ(read.obsmode, 2);
    EXPECT_EQ(read.output.rfind("kovrent: Error in file header - ", 0), 0u) << read.output;
}

TEST(CameraHeader, DeclaredHeaderSizeMovesTheDataOnlyWhenLarger) {
    struct Case {
        int flag;         // 68 (int16) or 71 (int32)
        int declared;
        size_t textLength;
        size_t headerBytes;  // counted by hand: records and end marker
        size_t dataStart;
    };
    // TOTCOADD 5, INITX 5, ENDX 5, OBSMODE 3, OBJECT 2 + n, header size 3 or 5, end marker 1.
    const Case cases[] = {
        {68, 512, 76, 100, 512},  {68, 50, 76, 100, 100}, {71, 512, 0, 26, 512},
        {71, 70000, 0, 26, 70000}, {68, 24, 0, 24, 24},   {68, -1, 0, 24, 24},
    };
    for (const Case& c : cases) {
        CameraWriter file;
        file.totalCoadds(1).corners(kSmall).obsmode(1).object(std::string(c.textLength, 'o'));
        if (c.flag == 68) file.headerSize(c.declared);
        else file.headerSize32(c.declared);
        file.endMarker();
        ASSERT_EQ(file.size(), c.headerBytes);
        file.fill(c.dataStart - c.headerBytes, 0x5A).frames(kSmall, 1, pixel);
        const CameraRun run = convertCameraFile(file, {"-n"});
        ASSERT_EQ(run.result.exitStatus, 0) << run.result.output;
        ASSERT_TRUE(run.fits);
        for (int x = 0; x < 8; ++x)
            for (int y = 0; y < 4; ++y)
                ASSERT_EQ(run.fits->at(x, y), float(pixel(1, x, y))) << c.flag << " " << c.declared;
    }
}

// A reader that keeps its buffers from file to file counts each file's header from its own start:
// the second file of a range, with a declared header, reads its data where it does alone.
TEST(CameraHeader, DeclaredHeaderSizeCountsFromTheStartOfEachFileOfARange) {
    TempDir dir;
    withImage(CameraWriter()).save((dir / "c970611a.001").string());
    CameraWriter second;
    second.totalCoadds(1).corners(kSmall).obsmode(1).headerSize(512).endMarker();
    second.fill(512 - second.size(), 0x5A).frames(kSmall, 1, pixel).save((dir / "c970611a.002").string());
    const RunResult run = runKovrent({"c970611a.", "-r", "1", "2", "-n", "--jobs", "1"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    const FitsContents out = readFitsFile(dir / "f970611a.002");
    for (int x = 0; x < 8; ++x)
        for (int y = 0; y < 4; ++y)
            ASSERT_EQ(out.at(x, y), float(pixel(1, x, y))) << x << "," << y;
}

// ---- One header with every record -------------------------------------------------------------

TEST(CameraHeader, EveryFlagWritesItsCardsInFileOrderAfterTheSetUpCards) {
    struct Row {
        int flag;
        std::vector<double> values;  // fixed-field records
        std::string text;            // string records
        std::vector<std::string> cards;
    };
    const std::string o = "START TIME OF OBSERVATION (UT)";
    const std::vector<Row> rows = {
        {1, {1.5}, "", {V("TELESCLE", "1.500000000000E+000", "PIXEL SCALE (ARCSEC/MM)")}},
        {2, {2.25, -3.75}, "", {V("FILTER1", "2.250000000000E+000", "POSITION OF FILTER WHEEL 1"),
                                V("FILTER2", "-3.750000000000E+000", "POSITION OF FILTER WHEEL 2")}},
        {3, {0.1}, "", {V("CHOPFREQ", "1.000000014901E-001", "CHOP FREQUENCY (HZ)")}},
        {4, {0.0009765625}, "", {V("FRAMETIM", "9.765625000000E-004", "FRAME TIME (SEC)")}},
        {5, {1e10}, "", {V("ITIME", "1.000000000000E+010", "INTEGRATION TIME (SEC) IN EACH BEAM")}},
        {6, {0}, "", {V("NODWAITT", "0.000000000000E+000", "BEAM 1 NOD WAIT TIME (SEC)")}},
        {7, {4}, "", {V("MAGNIFIC", "4.000000000000E+000", "MAGNIFICATION SETTING")}},
        {8, {-0.5}, "", {V("DETBIAS", "-5.000000000000E-001", "DETECTOR BIAS VOLTS")}},
        {9, {12.5}, "", {V("HEATERV", "1.250000000000E+001", "HEATER VOLTAGE")}},
        {10, {77.25}, "", {V("DETTEMP", "7.725000000000E+001", "DETECTOR TEMP. (K)")}},
        {11, {10.5}, "", {V("LAMBDA", "1.050000000000E-005", "WAVELENGTH (METERS)")}},
        {12, {3}, "", {V("TOTCOADD", "3", "TOTAL COADDS (IN EACH BEAM)")}},
        {13, {0, 0}, "", {V("INITX", "0", "X START PIXEL"), V("INITY", "0", "Y START PIXEL")}},
        {14, {7, 3}, "", {V("ENDX", "7", "X END PIXEL"), V("ENDY", "3", "Y END PIXEL")}},
        {15, {}, "", {}},
        {16, {}, "", {}},
        {17, {256, -256}, "", {V("ARRAYXSZ", "256", "X ARRAY SIZE"), V("ARRAYYSZ", "-256", "Y ARRAY SIZE")}},
        {18, {}, "ORION", {S("OBJECT", "ORION")}},
        {19, {}, "mask.fits", {S("MASKFILE", "mask.fits")}},
        {20, {}, "TEL-A", {S("TELESCOP", "TEL-A")}},
        {21, {}, "c970611a.001", {S("FILENAME", "c970611a.001")}},
        {22, {}, "flat.fits", {S("FLATFILE", "flat.fits")}},
        {23, {}, "gain.fits", {S("GAINFILE", "gain.fits")}},
        {24, {1997, 6, 11, 9, 5, 3}, "",
         {V("DATE-OBS", "'11/06/97'         ", "DATE OF OBSERVATION (UT)- DD/MM/YY"),
          V("TIME-OBS", "'09:05:03'         ", o + "OLD")}},
        {25, {123.456, -45.5}, "", {V("RA", "1.234560000000E+002", "RIGHT ASCENSION (DEGREES)"),
                                    V("DEC", "-4.550000000000E+001", "DECLINATION (DEGREES)")}},
        {26, {}, "FIRST LIGHT", {C("FIRST LIGHT")}},
        {27, {}, "", {}},
        {28, {}, "", {}},
        {29, {1}, "", {V("OBSMODE", "1", "OBSERVING MODE - GRAB")}},
        {30, {1}, "", {V("SAMPMODE", "1", "1 = DOUBLE SAMPLE MODE")}},
        {31, {}, "", {}},
        {32, {-32768}, "", {V("DELAYCYC", "-32768", "DELAY CYCLES")}},
        {33, {32767}, "", {V("ROWCOUNT", "32767", "ROW COUNTER")}},
        {34, {1}, "", {V("ARRAYEXT", "1", "ARRAY EXTENT (0=FULL,1=HALF)")}},
        {35, {2}, "", {V("BANDWDTH", "2", "BANDWIDTH OF SP BOARD")}},
        {36, {}, "", {}},
        {37, {5}, "", {V("CLOCKRAT", "5", "CLOCK FREQUENCY (15^6/2^N HZ)")}},
        {38, {4}, "", {V("COPERCHP", "4", "COIMAGES PER CHOP CYCLE")}},
        {39, {-2147483648.0}, "", {V("NUMCHOPS", "-2147483648", "NUMBER OF CHOP CYCLES")}},
        {40, {16}, "", {V("FRPERCOI", "16", "FRAMES PER COIMAGE")}},
        {41, {1.5, -2.5}, "", {V("OFFSET1", "1.500000000000E+000", "X OFFSET (PIXELS)"),
                               V("OFFSET2", "-2.500000000000E+000", "Y OFFSET (PIXELS)")}},
        {42, {25}, "", {V("CHOPWAIT", "2.500000000000E+001", "CHOP WAIT TIME (MSEC)")}},
        {43, {3}, "", {V("CHOPWTFR", "3", "CHOPPER WAIT FRAMES")}},
        {44, {}, "", {}},
        {45, {100, 0.5, -0.25}, "", {V("SKYFLUX", "1.000000000000E+002", "SKY FLUX (AVG CNTS OFF-SRC)"),
                                     V("SKYRMS", "5.000000000000E-001", "RMS OF LAST 5 SKY FLUXES"),
                                     V("SKYDIF", "-2.500000000000E-001", "DIFFERENCE FROM LAST SKY FLUX")}},
        {46, {10, 35.5, -5}, "", {V("ERTEMP1", "1.000000000000E+001", "AMBIENT TEMP (C)"),
                                  V("ERTEMP2", "3.550000000000E+001", "TEMP INSIDE CAMERA ELEC. (C)"),
                                  V("ERTEMP3", "-5.000000000000E+000", "TEMP OF A/D COMPONENT (C)")}},
        {47, {1.25}, "", {V("AIRMASS", "1.250000000000E+000", "AIRMASS OF OBSERVATION")}},
        {48, {3}, "", {V("OBSERVAT", "'Mauna Kea'", "LOCATION OF OBSERVATION")}},
        {49, {0.75, -1.75}, "", {V("RAOFFSET", "7.500000000000E-001", "RA OFFSET (ARCSEC)"),
                                 V("DEOFFSET", "-1.750000000000E+000", "DEC OFFSET (ARCSEC)")}},
        {50, {}, "", {}},
        {51, {}, "", {}},
        {52, {}, "C:\\DATA", {S("FILEDIR", "C:\\DATA")}},
        {53, {}, "D:\\BAK", {S("BAKUPDIR", "D:\\BAK")}},
        {54, {-3, 7}, "", {V("PSEQ", "7", "PACKED FILE SEQ. NUM"), V("PACKED", "3", "TOTAL PACKED IMAGES")}},
        {55, {100, -200}, "", {V("FW1STPOS", "100", "FILTER W1 STEP POS"),
                               V("FW2STPOS", "-200", "FILTER W2 STEP POS")}},
        {56, {4}, "", {V("PUPILPOS", "4", "PUPIL POSITION = 4: f/17")}},
        {57, {2000}, "", {V("EQUINOX", "2.000000000000E+003", "EQUINOX FOR RA AND DEC")}},
        {58, {3.5}, "", {V("NODOFFWT", "3.500000000000E+000", "NOD WAIT TIME FOR BEAM 2")}},
        {59, {}, "DRNNY", {C("THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA"), S("ORIENTST", "DRNNY")}},
        {60, {2.31}, "", {V("SOFTVER", "2.309999942780E+000", "VERSION NUMBER FOR VESKA SOFTWARE")}},
        {61, {0}, "", {V("DBLREAD", "0", "DOUBLE READ FLAG, 0=FALSE")}},
        {62, {2}, "", {V("WAITCYCL", "2", "CHOPPER WAIT CYCLES")}},
        {63, {9}, "", {V("BURSTCYC", "9", "BURST DELAY CYCLES")}},
        {64, {1, 2, 3, 4}, "", {V("SUBROWST", "1", "SUBARRAY ROW START"), V("SUBROWND", "2", "SUBARRAY ROW END"),
                                V("SUBCOLST", "3", "SUBARRAY COL START"), V("SUBCOLND", "4", "SUBARRAY COL END")}},
        {65, {0.03125}, "", {V("ARYCYCTM", "3.125000000000E-002", "ARRAY CYCLE TIME (SEC)")}},
        {66, {1}, "", {V("BURSTMOD", "1", "BURST MODE 1=ON,0=OFF")}},
        {67, {9, 5, 3, 7}, "", {V("TIME-OBS", "'09:05:03.07'      ", o)}},
        {68, {20}, "", {}},
        {69, {1}, "", {C("DATA HAS BEEN REARRANGED INTO ROWS AND COLUMNS")}},
        {70, {-100}, "", {V("FLUXOFST", "-1.000000000000E+002", "FLUX OFFSET VALUE (COUNTS)")}},
        {71, {30}, "", {}},
        {72, {10, 15, 0, 50}, "", {V("TIME-END", "'10:15:00.50'      ", "END TIME OF OBSERVATION (UT)")}},
        {73, {-1000, 65535}, "", {V("RAWMIN", "-1.000000000000E+003", "RAW ON-SOURCE DATA MIN"),
                                  V("RAWMAX", "6.553500000000E+004", "RAW ON-SOURCE DATA MAX")}},
        {74, {}, "", {}},
        {75, {1, 2}, "", {V("FRAMERR0", "1", "TRANSMISSION ERRORS CHOP PAIR 0"),
                          V("FRAMERR1", "2", "TRANSMISSION ERRORS CHOP PAIR 1")}},
        {76, {5}, "", {V("TOTCOAD2", "5", "TOTAL COADDS (BEAM2)")}},
        {77, {7}, "", {V("FINX", "7", "NUM. COLUMNS IN DATA BLOCK")}},
        {78, {11}, "", {V("TOTCOAD3", "11", "TOTAL COADDS (BEAM3)")}},
        {79, {13}, "", {V("TOTCOAD4", "13", "TOTAL COADDS (BEAM4)")}},
        {80, {0}, "", {}},
        {81, {1}, "", {V("CONCOIMG", "1", "CONTINUOUS COIMAGING MODE ON")}},
        {82, {1e-100, 1e200, -1.5, 0.25, 4095, 65536, 30000}, "",
         {V("LOFLXOFF", "1.000000000000E-100", "LOW FLUX MODE OFFSET VALUE"),
          V("MDFLXOFF", "1.000000000000E+200", "MEDIUM FLUX MODE OFFSET VALUE"),
          V("HIFLXOFF", "-1.500000000000E+000", "HIGH FLUX MODE OFFSET VALUE"),
          V("VAFLXOFF", "2.500000000000E-001", "VARIABLE FLUX MODE OFFSET VALUE"),
          V("DARKMAX", "4.095000000000E+003", "DARK FRAME MAXIMUM VALUE"),
          V("FULLWELL", "6.553600000000E+004", "FULL WELL VALUE"),
          V("LNEARMAX", "3.000000000000E+004", "LINEAR MAXIMUM FLUX VALUE")}},
        {83, {970611005}, "", {V("OBSFINUM", "970611005", "OBSERVATION FILE NUMBER")}},
        {84, {1.75}, "", {V("FILTER3", "1.750000000000E+000", "POSITION OF FILTER WHEEL 3")}},
        {85, {77.5}, "", {V("LN2TEMP", "7.750000000000E+001", "LIQUID NITROGEN (LN2) RESERVOIR TEMP")}},
        {86, {1000, -2000, 70000}, "", {V("FW1STPOS", "1000", "FILTER W1 STEP POS"),
                                        V("FW2STPOS", "-2000", "FILTER W2 STEP POS"),
                                        V("FW3STPOS", "70000", "FILTER W3 STEP POS")}},
        {87, {-0.125}, "", {V("FILTER3", "-1.250000000000E-001", "POSITION OF FILTER WHEEL 3")}},
    };
    ASSERT_EQ(rows.size(), 87u);

    CameraWriter file;
    std::vector<std::string> expected = {
        V("SIMPLE", "T", "DATA IS IN FITS FORMAT"),
        V("BITPIX", "-32", "BITS PER PIXEL(<0:=REAL)"),
        V("NAXIS", "2", "NUMBER OF AXES"),
        V("NAXIS1", "8", "PIXELS ON 1ST MOST VARYING AXIS"),
        V("NAXIS2", "4", "PIXELS ON 2ND MOST VARYING AXIS"),
        V("BSCALE", "1.000000000000E+000", "VALUE= DATA*BSCALE+BZERO"),
        V("BZERO", "0.000000000000E+000", " "),
        S("IRAFNAME", "i970611a.001"),
        V("INSTRUME", "'VESKA3: Veskacam'", "INSTRUMENT"),
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        ASSERT_EQ(row.flag, int(i) + 1);
        if (recordFields(row.flag) == "s") file.stringRecord(row.flag, row.text);
        else file.record(row.flag, row.values);
        expected.insert(expected.end(), row.cards.begin(), row.cards.end());
    }
    file.endMarker().frames(kSmall, 1, pixel);

    const CameraRun run = convertCameraFile(file, {"-n"});
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.output;
    ASSERT_TRUE(run.fits);
    const auto& cards = run.fits->cards;
    ASSERT_GT(cards.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(cards[i], expected[i]) << "card " << i + 1;
    // The program's own cards follow; TELESCLE and MAGNIFIC are positive, so CDELT1 comes first.
    EXPECT_EQ(cardKeyword(cards[expected.size()]), "CDELT1");
    EXPECT_EQ(run.fits->at(5, 2), float(pixel(1, 5, 2) / 3.0));
}

// ---- Cards that follow rules ------------------------------------------------------------------

// The records under test and the cards they write, in file order. Coded values get the comment
// texts people read in the headers; a value the table of every flag above shows is not repeated.
TEST(CameraHeader, RecordsWriteTheirCards) {
    struct Case {
        CameraWriter records;
        std::vector<std::string> cards;
    };
    const std::string date = "DATE OF OBSERVATION (UT)- DD/MM/YY";
    const std::string start = "START TIME OF OBSERVATION (UT)";
    const std::string old = start + "OLD";
    const std::string isoDate = "DATE OF OBSERVATION (UT)- CCYY-MM-DD";
    const std::string oldTime = V("TIME-OBS", "'03:04:05'         ", old);
    const std::string end = "END TIME OF OBSERVATION (UT)";
    const std::string packed = "TOTAL PACKED IMAGES";
    const std::string seq = "PACKED FILE SEQ. NUM";
    const std::string sixty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567";
    std::string long200;
    for (int i = 0; i < 200; ++i) long200 += char('A' + i % 26);
    const std::string long255(255, 'z');
    const std::string comment75 = std::string(70, 'c') + "TAIL!";
    const Case cases[] = {
        // Dates and times, zero-filled.
        {CameraWriter().dateTime(1997, 6, 11, 9, 5, 3),
         {V("DATE-OBS", "'11/06/97'         ", date), V("TIME-OBS", "'09:05:03'         ", old)}},
        {CameraWriter().dateTime(1999, 1, 2, 10, 20, 30),
         {V("DATE-OBS", "'02/01/99'         ", date), V("TIME-OBS", "'10:20:30'         ", old)}},
        {CameraWriter().dateTime(1900, 13, 0, 1, 2, 3),
         {V("DATE-OBS", "'00/13/00'         ", date), V("TIME-OBS", "'01:02:03'         ", old)}},
        // Other years in the standard's form; a day the calendar does not have gives no DATE-OBS.
        {CameraWriter().dateTime(2003, 6, 11, 23, 59, 59),
         {V("DATE-OBS", "'2003-06-11'       ", isoDate), V("TIME-OBS", "'23:59:59'         ", old)}},
        {CameraWriter().dateTime(2000, 12, 31, 0, 0, 0),
         {V("DATE-OBS", "'2000-12-31'       ", isoDate), V("TIME-OBS", "'00:00:00'         ", old)}},
        {CameraWriter().dateTime(0, 1, 1, 3, 4, 5), {V("DATE-OBS", "'0000-01-01'       ", isoDate), oldTime}},
        {CameraWriter().dateTime(10000, 1, 1, 3, 4, 5), {oldTime}},
        {CameraWriter().dateTime(2003, 13, 1, 3, 4, 5), {oldTime}},
        {CameraWriter().dateTime(2003, 4, 31, 3, 4, 5), {oldTime}},
        {CameraWriter().dateTime(2003, 2, 29, 3, 4, 5), {oldTime}},
        {CameraWriter().dateTime(2100, 2, 29, 3, 4, 5), {oldTime}},
        {CameraWriter().dateTime(2004, 2, 29, 3, 4, 5), {V("DATE-OBS", "'2004-02-29'       ", isoDate), oldTime}},
        {CameraWriter().timeObs({9, 5, 3, 7}), {V("TIME-OBS", "'09:05:03.07'      ", start)}},
        {CameraWriter().timeObs({0, 0, 0, 0}), {V("TIME-OBS", "'00:00:00.00'      ", start)}},
        // Row 67 first: the later row 24 writes its date only.
        {CameraWriter().timeObs({9, 5, 3, 7}).dateTime(1997, 6, 11, 9, 5, 3),
         {V("TIME-OBS", "'09:05:03.07'      ", start), V("DATE-OBS", "'11/06/97'         ", date)}},
        {CameraWriter().dateTime(1997, 6, 11, 9, 5, 3).timeObs({9, 5, 3, 7}),
         {V("DATE-OBS", "'11/06/97'         ", date), V("TIME-OBS", "'09:05:03'         ", old),
          V("TIME-OBS", "'09:05:03.07'      ", start)}},
        // TIME-END only when it differs from the start time.
        {CameraWriter().timeObs({9, 5, 3, 7}).timeEnd({9, 5, 3, 7}), {V("TIME-OBS", "'09:05:03.07'      ", start)}},
        {CameraWriter().timeObs({9, 5, 3, 7}).timeEnd({9, 5, 3, 8}),
         {V("TIME-OBS", "'09:05:03.07'      ", start), V("TIME-END", "'09:05:03.08'      ", end)}},
        {CameraWriter().timeEnd({1, 2, 3, 4}), {V("TIME-END", "'01:02:03.04'      ", end)}},
        {CameraWriter().timeEnd({9, 5, 3, 7}).timeObs({9, 5, 3, 7}),
         {V("TIME-END", "'09:05:03.07'      ", end), V("TIME-OBS", "'09:05:03.07'      ", start)}},
        // Coded values. Each file ends with a GRAB OBSMODE record of its own, after these cards.
        {CameraWriter().obsmode(3), {V("OBSMODE", "3", "OBSERVING MODE - CHOP-NOD")}},
        {CameraWriter().obsmode(4), {V("OBSMODE", "4", "OBSERVING MODE - CHOP-NOD")}},
        {CameraWriter().obsmode(5), {V("OBSMODE", "5", "OBSERVING MODE - NOD")}},
        {CameraWriter().obsmode(6), {V("OBSMODE", "6", "OBSERVING MODE")}},
        {CameraWriter().obsmode(7), {V("OBSMODE", "7", "OBSERVING MODE - TWO BEAM NOD")}},
        {CameraWriter().obsmode(0), {V("OBSMODE", "0", "OBSERVING MODE")}},
        {CameraWriter().obsmode(-1), {V("OBSMODE", "-1", "OBSERVING MODE")}},
        {CameraWriter().sampleMode(0), {V("SAMPMODE", "0", "0 = SINGLE SAMPLE MODE")}},
        {CameraWriter().sampleMode(2), {V("SAMPMODE", "2", "2 = DLBE-2 SAMPLE MODE")}},
        {CameraWriter().sampleMode(3), {}},
        {CameraWriter().sampleMode(-1), {}},
        {CameraWriter().record(56, {0}), {V("PUPILPOS", "0", "PUPIL POSITION = 0: BLANKED OFF")}},
        {CameraWriter().record(56, {1}), {V("PUPILPOS", "1", "PUPIL POSITION = 1: f/45")}},
        {CameraWriter().record(56, {2}), {V("PUPILPOS", "2", "PUPIL POSITION = 2: f/35")}},
        {CameraWriter().record(56, {3}), {V("PUPILPOS", "3", "PUPIL POSITION = 3: f/30")}},
        {CameraWriter().record(56, {5}), {V("PUPILPOS", "5", "PUPIL POSITION = 5: f/15")}},
        {CameraWriter().record(56, {6}), {V("PUPILPOS", "6", "PUPIL POSITION UNKNOWN")}},
        {CameraWriter().record(56, {-1}), {V("PUPILPOS", "-1", "PUPIL POSITION UNKNOWN")}},
        {CameraWriter().site(1), {V("OBSERVAT", "'Kitt Peak'", "LOCATION OF OBSERVATION")}},
        {CameraWriter().site(2), {V("OBSERVAT", "'Catalina'", "LOCATION OF OBSERVATION")}},
        {CameraWriter().site(0), {}},
        {CameraWriter().site(4), {}},
        {CameraWriter().record(69, {0}), {C("DATA IS ARRANGED IN LINES AND BLOCKS")}},
        {CameraWriter().record(69, {2}), {C("DATA IS ARRANGED IN LINES AND BLOCKS")}},
        {CameraWriter().record(81, {2}), {}},
        {CameraWriter().record(81, {0}), {}},
        {CameraWriter().packed(0, 1), {V("PSEQ", "1", seq), V("PACKED", "0", packed)}},
        {CameraWriter().ultrafast(0), {}},
        {CameraWriter().ultrafast(-2), {}},
        // Strings are read whole and cut only on the card.
        {CameraWriter().object(""), {}},
        {CameraWriter().object("M"), {S("OBJECT", "M")}},
        {CameraWriter().object(sixty), {S("OBJECT", sixty.substr(0, 58))}},
        {CameraWriter().object(long200).telescope("T2"), {S("OBJECT", long200.substr(0, 58)), S("TELESCOP", "T2")}},
        {CameraWriter().object(long255).telescope("T3"), {S("OBJECT", long255.substr(0, 58)), S("TELESCOP", "T3")}},
        {CameraWriter().object(std::string("AB\0CD", 5)).telescope("T4"), {S("OBJECT", "AB"), S("TELESCOP", "T4")}},
        {CameraWriter().object(std::string("\0XY", 3)), {S("OBJECT", "")}},
        {CameraWriter().stringRecord(26, comment75), {C(comment75.substr(0, 70))}},
        {CameraWriter().stringRecord(26, ""), {}},
        {CameraWriter().stringRecord(26, std::string("\0C", 2)), {C("")}},
        {CameraWriter().orientation("ULNNY"),
         {C("THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA"), S("ORIENTST", "ULNNY")}},
        {CameraWriter().orientation(long200),
         {C("THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA"), S("ORIENTST", long200.substr(0, 58))}},
        {CameraWriter().orientation(""), {}},
        {CameraWriter().orientation(std::string("\0DRNNY", 6)),
         {C("THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA"), S("ORIENTST", "")}},
    };
    for (const Case& c : cases) EXPECT_EQ(recordCards(c.records), c.cards);
}

TEST(CameraHeader, ObservingModeAndOrientationAreHandedBack) {
    struct Case {
        CameraWriter records;
        int32_t obsmodeBefore;
        int32_t obsmode;
        std::string orientation;
    };
    const Case cases[] = {
        {CameraWriter().obsmode(4), 0, 4, "ULYYN"},
        {CameraWriter().obsmode(-1), 0, -1, "ULYYN"},
        {CameraWriter().obsmode(6).obsmode(2), 0, 2, "ULYYN"},
        {CameraWriter(), 7, 7, "ULYYN"},  // no record: the previous file's mode stays
        {CameraWriter().orientation("DRNNY"), 1, 1, "DRNNY"},
        {CameraWriter().orientation("LDYNYXYZ"), 1, 1, "LDYNY"},
        {CameraWriter().orientation("DRNNY").orientation(""), 1, 1, "DRNNY"},
        {CameraWriter().orientation(""), 1, 1, "ULYYN"},
    };
    for (const Case& c : cases) {
        CameraWriter file = c.records;
        file.corners(kSmall).totalCoadds(1).endMarker().frames(kSmall, 1, pixel);
        const InProcess read = readInProcess(file, c.obsmodeBefore);
        EXPECT_TRUE(read.result.ok()) << read.output;
        EXPECT_EQ(read.obsmode, c.obsmode);
        EXPECT_EQ(read.orientation, c.orientation);
    }
}

// ---- Invalid flags and early ends -------------------------------------------------------------

TEST(CameraHeader, EveryInvalidFlagEndsTheRun) {
    for (int flag = 0; flag <= 254; flag = flag == 0 ? 88 : flag + 1) {
        CameraWriter records;
        records.object("BEFORE").flag(flag);
        const CameraRun run = convertCameraFile(withImage(records), {"-n"});
        EXPECT_EQ(run.result.exitStatus, 1) << flag;
        // Flag 0 returns to the driver, which adds its own line.
        EXPECT_TRUE(printed(run.result, flag == 0 ? "Error - unknown data flag encountered"
                                                  : "kovrent: unknown data flag encountered " + std::to_string(flag)))
            << run.result.output;
        EXPECT_EQ(printed(run.result, kReadFailed), flag == 0) << run.result.output;
        EXPECT_TRUE(run.written.empty()) << flag;
    }
}

TEST(CameraHeader, EndMarkerEndsTheHeaderWhateverFollows) {
    // Pixel (0,0) is the bytes 12 01 58 00: an OBJECT record "X" and then flag 0, if read as header.
    const auto value = [](int, int x, int y) { return x == 0 && y == 0 ? 0x00580112 : pixel(1, x, y); };
    CameraWriter file;
    file.corners(kSmall).totalCoadds(1).obsmode(1).endMarker().frames(kSmall, 1, value);
    const CameraRun run = convertCameraFile(file, {"-n"});
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.output;
    ASSERT_TRUE(run.fits);
    EXPECT_EQ(run.fits->at(0, 0), float(0x00580112));
    EXPECT_EQ(run.fits->at(1, 0), float(pixel(1, 1, 0)));
    for (const std::string& c : run.fits->cards) EXPECT_NE(cardKeyword(c), "OBJECT");
}

TEST(CameraHeader, FileEndingBeforeTheEndMarkerIsRefused) {
    CameraWriter start;
    start.totalCoadds(1).corners(kSmall).obsmode(1);  // 18 bytes
    struct Case {
        CameraWriter file;
        size_t keep;  // bytes left in the file
    };
    const Case cases[] = {
        {CameraWriter(), 0},
        {CameraWriter(start).telescopeScale(1.5), 18 + 3},     // inside a float
        {CameraWriter(start).object("ABCDEFGHIJ"), 18 + 5},    // inside a string's text
        {CameraWriter(start).object("ABCDEFGHIJ"), 18 + 1},    // before a string's length byte
        {CameraWriter(start).dateTime(1997, 6, 11, 9, 5, 3), 18 + 7},
        {CameraWriter(start).telescopeScale(1.5), 18 + 5},     // whole records, no end marker
    };
    for (const Case& c : cases) {
        CameraWriter file = c.file;
        file.truncate(c.keep);
        const CameraRun run = convertCameraFile(file, {"-n"});
        EXPECT_EQ(run.result.exitStatus, 1) << c.keep;
        EXPECT_TRUE(printed(run.result, kHeaderEnds)) << run.result.output;
        EXPECT_TRUE(printed(run.result, kReadFailed)) << run.result.output;
        EXPECT_TRUE(run.written.empty());
    }
}
