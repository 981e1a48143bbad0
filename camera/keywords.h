#pragma once

#include "camera/camerafile.h"
#include "camera/observation.h"
#include "camera/session.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"

#include <cstdint>
#include <string>

// What the header records set besides the stream they are read from.
struct RecordTarget {
    FitsImage& image; // its header takes the cards
    Observation& observation;
    OrientationCode& orientation;
    CarriedValues& carried;
    FrameLayout& layout;
    HeaderFacts& facts;
    bool unpack;
    Messages& messages; // a refusal's message
};

// Reads the value of data flag 1 to 87, writes its cards and keeps what it sets. Fails when the
// file refuses itself (packed data without -p) or ends within the record.
Result readRecord(int flag, CameraStream& stream, RecordTarget& target);

// A header cut short by the end of the file, or by a read error, whose reason follows.
Result endsInHeader(const CameraStream& stream, Messages& messages);

// A time card of the reader's own, besides the records' (TIME-END of a packed file's trailer),
// laid out as theirs and noted in the observation record like theirs.
void addTimeCard(RecordTarget& target, const char* keyword, const std::string& time, const char* comment);

// A time of day with two digits per field: 09:05:03.07.
std::string timeText(int64_t hours, int64_t minutes, int64_t seconds, int64_t hundredths);
