#pragma once

#include "camera/observation.h"
#include "fits/fitsfile.h"
#include "fits/header.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The header of a data cube, made from the header its planes would have as images: three axes,
// NAXIS3 with the count of planes right after NAXIS2; with `modern`, EXTEND for the table of
// planes that follows and the cards of a time axis, kept blank for addTimeAxis. False when the
// header lacks the NAXIS cards.
bool makeCubeHeader(Header& header, int64_t planes, bool modern);

// What a cube says of one of its planes: the plane's source file, its start (an instant in
// hundredths of a second from the beginning of modified Julian day 0) and end where known, the
// values a cube's planes may differ in, and for a cube of frames (--frames) the frame's label
// and the coadds that divide it.
struct PlaneRecord {
    std::string fileName;
    std::optional<int64_t> start, end;
    std::optional<std::string> object;
    std::optional<int64_t> obsmode;
    std::optional<double> wavelength, filter1, filter2, filter3;
    std::string frame;
    double divisor = 0.0;
};

// The record of a plane converted from `fileName`: its start is the image's own DATE-BEG where
// it has one, else the observation's start, unknown for an image unpacked without DATE-BEG.
PlaneRecord planeRecordOf(const std::string& fileName, const Observation& observation);

// The third axis of a cube whose header makeCubeHeader made with `modern`: a linear time axis
// (CTYPE3 'TIME', seconds from MJDREF, plane k at its start) when the planes are evenly spaced
// in time, each start within the hundredth it is rounded to; else the cards kept for it go, and
// the axis stays blank. Nothing without the kept cards.
void addTimeAxis(Header& header, const std::vector<PlaneRecord>& planes);

// The binary-table extension TIMES of a --modern data cube, a row per plane: its number from 1
// (IMAGENUM), source file (FILENAME), start (DATE_BEG, an ISO instant, blank when unknown, and
// MJD_BEG, NaN then), OBJECT, OBSMODE and its name (MODE), and for a cube of frames FRAME and DIVISOR. The header
// ends with checksums, which headerText fills in; `data` is the table's rows, big-endian.
void planeTable(const std::vector<PlaneRecord>& planes, bool frames, Header& header, std::string& data);

// The keys (OBJECT, OBSMODE, LAMBDA, FILTER1 to FILTER3) in which planes of the cube `cubeName`
// differ from its first: a warning for each in `messages`, naming the planes, and the text of a
// HISTORY card for each, in order.
std::vector<std::string> differingPlanes(const std::vector<PlaneRecord>& planes, const std::string& cubeName,
                                         Messages& messages);
