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

// Each value card whose value is undefined (a NaN of the camera header) becomes a COMMENT card
// that says so where it stood: validators warn of undefined values, and readers take them as
// missing anyway.
void commentUndefinedValues(Header& header);

// One TIME-OBS card: the precise one (with hundredths) where a date record's whole-second one
// stands beside it, else the first.
void keepOneStartTime(Header& header);

// keepOneStartTime; then DATE-OBS rewritten where it stands as the start instant and, at the
// header's place, TIMESYS, MJD-OBS and, with an end time, DATE-END and MJD-END. No time cards
// without a date.
void addTimeCards(Header& header, const ObservationTimes& times);

// DATE-OBS, MJD-OBS and TIME-OBS given the start `instant` (hundredths of a second from the
// beginning of modified Julian day 0) where they stand, for a cube whose planes begin earlier
// than its first.
void replaceStartCards(Header& header, int64_t instant);

// DATE-END and MJD-END given the end of `times` where they stand, in a header whose size is
// fixed already: a card it lacks is not added.
void replaceEndCards(Header& header, const ObservationTimes& times);

// The coordinate cards that name what the others take for granted: the units of both axes,
// and the reference frame of the equinox (FK5 from 1984 on, FK4 before; none without one).
void addCoordinateUnits(Header& header, const Observation& observation);

// BUNIT 'adu', the unit of the pixels, counts per coadd, where the header has no BUNIT (a FITS
// input's own stands), so that readers such as CCDData take the image with its unit.
void addUnitCard(Header& header);

// CHECKSUM and DATASUM with placeholder values, which the writer fills in: they go last.
void addChecksumCards(Header& header);
