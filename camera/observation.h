#pragma once

#include "camera/orientation.h"
#include "fits/header.h"

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr int64_t hundredthsPerDay = 8640000;

// When the observation began and ended, as its header tells: the day of DATE-OBS (either
// date form), the start from the precise TIME-OBS where there is one (else the whole-second
// one, or a time that DATE-OBS itself holds), and the end from TIME-END, on the next day when
// it is earlier than the start.
struct ObservationTimes {
    bool hasDate = false;
    bool hasStart = false;       // a start time is known besides the date
    bool startHundredths = true; // the start time has hundredths of a second
    bool hasEnd = false;
    int64_t day = 0;   // the modified Julian day of the date
    int64_t start = 0; // hundredths of a second from the day's beginning
    int64_t end = 0;   // likewise, past 8640000 on the next day

    // The start as a fraction of the day's hundredths, through a share of the way to the end.
    int64_t startPlus(int64_t numerator, int64_t denominator) const;
    // The start and the end in hundredths from the beginning of modified Julian day 0, to
    // compare instants of different days.
    int64_t startInstant() const { return day * hundredthsPerDay + start; }
    int64_t endInstant() const { return day * hundredthsPerDay + end; }
};

// The values of an observation that the conversion and its reports need, as numbers and texts:
// each as the header's card states it (a real with the 13 digits its card has), so that what is
// computed from them agrees with the cards written. The camera reader fills it as it writes its
// cards; for a FITS input it is read from the header once.
struct Observation {
    // The world-coordinate inputs: of several cards, the first of the last header block that
    // holds one whose value is a number; 0 without one.
    double ra = 0.0, dec = 0.0;          // degrees
    double offset1 = 0.0, offset2 = 0.0; // pixels
    double magnification = 0.0;          // MAGNIFIC
    double telescopeScale = 0.0;         // TELESCLE, arcseconds per millimetre
    // The first card of each of these, where it has one that reads.
    std::optional<double> equinox;
    std::optional<double> framesPerCoimage; // FRPERCOI
    std::optional<double> wavelength;       // LAMBDA, metres
    std::optional<double> filter1, filter2, filter3;
    std::optional<double> integrationTime; // ITIME, seconds
    std::optional<double> frameTime;       // FRAMETIM, seconds
    std::optional<double> chopFrequency;   // CHOPFREQ, Hz
    std::optional<double> airmass;
    std::optional<double> raOffset, decOffset;          // RAOFFSET, DEOFFSET, arcseconds
    std::optional<double> detectorTemperature;          // DETTEMP, kelvin
    std::optional<double> skyFlux;                      // SKYFLUX, counts
    std::optional<int64_t> obsmode;                     // OBSMODE
    std::optional<int64_t> coadds;                      // TOTCOADD
    std::optional<int64_t> chopCycles;                  // NUMCHOPS
    std::optional<int64_t> fileNumber;                  // OBSFINUM
    std::optional<int64_t> packedImages;                // PACKED or ULTRAFST
    std::optional<std::string> object, telescope, site; // OBJECT, TELESCOP, OBSERVAT
    // The orientation code as a FITS input's cards give it: from the first ORIENTST card of each
    // header block, in order ("ULYYN" without one); -f turns an image so, and so is each image
    // of a packed file turned in a cube of them.
    OrientationCode orientation;
    // A FITS input that a conversion has oriented already (its HISTORY says so).
    bool oriented = false;

    // Takes the value of the card numbered `cardNumber` (from 1, counted from the header's start)
    // with key `keyword`, in header order: as the camera reader writes its cards, a number (a
    // real as its card rounds it) or a string's text. Cards that say nothing of these values are
    // passed over, and so is a value of another kind than the keyword's.
    void noteNumber(int cardNumber, std::string_view keyword, double value);
    void noteInteger(int cardNumber, std::string_view keyword, int64_t value);
    void noteText(int cardNumber, std::string_view keyword, const std::string& text);
    // The same from a card's value text, as a FITS input brings it: read as the keyword's kind.
    void noteCard(int cardNumber, std::string_view keyword, const std::string& value);
    // True when cards of `keyword` say something of these values.
    static bool observes(std::string_view keyword);

    // Whether the header has an RA card, or a DEC card.
    bool hasRa() const { return lastBlock_[0] >= 0; }
    bool hasDec() const { return lastBlock_[1] >= 0; }

    // The times of the first DATE-OBS, the TIME-OBS cards and the first TIME-END.
    ObservationTimes times() const;
    // The value text of the first TIME-END card, or "".
    std::string timeEndText() const { return end_.value_or(""); }
    // The instant of the first DATE-BEG card (an unpacked image's own start), in hundredths of
    // a second from the beginning of modified Julian day 0, where it reads.
    std::optional<int64_t> beginInstant() const;

private:
    // Takes a value of its keyword's kind: a real or an integer, or a text (`text`).
    struct Value {
        std::optional<double> real;
        std::optional<int64_t> integer;
        const std::string* text = nullptr;
    };
    void note(int cardNumber, std::string_view keyword, const Value& value);

    // The header block of the last card taken for each world-coordinate value.
    int lastBlock_[6] = {-1, -1, -1, -1, -1, -1};
    std::optional<std::string> date_, end_, begin_; // the first DATE-OBS, TIME-END and DATE-BEG values
    std::bitset<40> seen_;                          // the values whose first card came
    int orientationBlock_ = -1;                     // the header block of the last ORIENTST card taken
    bool hasStartTime_ = false;                     // a TIME-OBS that reads
    bool startHundredths_ = false;
    int64_t startTime_ = 0;
};

// The record of a finished header, as a FITS input brings it: every card up to END in order.
Observation observationOf(const Header& header);
