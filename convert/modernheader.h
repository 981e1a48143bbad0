#pragma once

#include "fits/header.h"

#include <cstdint>
#include <string>

// The cards that --modern adds, for clients that read a header in full: times as instants,
// units and the reference frame of the coordinates, and checksums.

constexpr int64_t hundredthsPerDay = 8640000;

// When the observation began and ended, as its header tells: the day of DATE-OBS (either
// date form), the start from the precise TIME-OBS where there is one (else the whole-second
// one), and the end from TIME-END, on the next day when it is earlier than the start.
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
    // The end in hundredths from the beginning of modified Julian day 0, to compare ends of
    // different days.
    int64_t endInstant() const { return day * hundredthsPerDay + end; }
};

ObservationTimes observationTimes(const Header& header);

// The instant `hundredths` into modified Julian day `day` as 'CCYY-MM-DDThh:mm:ss.ss' (without
// the hundredths when `withHundredths` is false).
std::string isoInstant(int64_t day, int64_t hundredths, bool withHundredths = true);

// The instant as a modified Julian date, written as every real header value.
std::string mjdText(int64_t day, int64_t hundredths);

// DATE-OBS rewritten where it stands as the start instant; then, at the header's place, TIMESYS,
// MJD-OBS and, with an end time, DATE-END and MJD-END. Nothing without a date.
void addTimeCards(Header& header, const ObservationTimes& times);

// DATE-END and MJD-END given the end of `times` where they stand, in a header whose size is
// fixed already: a card it lacks is not added.
void replaceEndCards(Header& header, const ObservationTimes& times);

// The coordinate cards that name what the others take for granted: the units of both axes,
// and the reference frame of the equinox (FK5 from 1984 on, FK4 before; none without one).
void addCoordinateUnits(Header& header);

// CHECKSUM and DATASUM with placeholder values, which the writer fills in: they go last.
void addChecksumCards(Header& header);
