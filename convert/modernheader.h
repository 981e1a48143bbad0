#pragma once

#include "camera/observation.h"
#include "fits/header.h"

#include <cstdint>
#include <string>

// The cards that --modern adds, for clients that read a header in full: times as instants,
// units and the reference frame of the coordinates, and checksums.

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
void addCoordinateUnits(Header& header, const Observation& observation);

// CHECKSUM and DATASUM with placeholder values, which the writer fills in: they go last.
void addChecksumCards(Header& header);
