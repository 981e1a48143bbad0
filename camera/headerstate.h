#pragma once

#include "fitsfile.h"
#include "fitsimage.h"
#include "readveska.h"

#include <cstdint>
#include <string>

constexpr int dataBlockBytes = 32768;

// The working values of one readVESKA call.
struct HeaderState {
    char streamBuffer[2 * dataBlockBytes]; // stdio buffer of `stream`, which it must outlive
    File stream;
    std::string inputName;
    int64_t bytesRead = 0;        // bytes taken from the file, flags and end marker included
    int32_t headerSize = 1;       // declared header length (records 68, 71)
    int32_t initX = 0, initY = 0; // INITX, INITY
    int32_t endX = 0, endY = 0;   // ENDX, ENDY
    int32_t finX = 0;             // last column held by the first data block
    int32_t coadds1 = 0, coadds2 = 0, coadds3 = 0, coadds4 = 0;
    bool hasStart = false;        // an INITX/INITY record came
    bool hasEnd = false;          // an ENDX/ENDY record came
    bool hasCoadds = false;       // a TOTCOADD record came
    int32_t packedCount = 0;
    bool isPacked = false;
    int32_t ultrafastCount = 0;
    bool timeObsWritten = false;
    std::string startTimeText;
    int32_t naxis1 = 0, naxis2 = 0;
    int64_t skipBefore = 0, skipAfter = 0;
    unsigned char scratch[dataBlockBytes]; // one column, fill bytes, or one packed data block

    // Reads up to `count` bytes and counts what arrived.
    std::size_t read(void* buffer, std::size_t count)
    {
        const std::size_t got = std::fread(buffer, 1, count, stream.get());
        bytesRead += static_cast<int64_t>(got);
        return got;
    }

    // Why a read came up short, for people: the system's reason, or the end of the file
    // where its data should go on.
    std::string shortReadReason() const;
};

// What a header record handler may change besides the state.
struct RecordTarget {
    FitsImage& image;
    bool unpack;
    CameraSession& session;
};

enum class RecordResult { next, fail, endOfFile };

// Reads the value of data flag 1 to 87 and writes its cards.
RecordResult readRecord(int flag, HeaderState& state, RecordTarget& target);

// A time of day as a quoted value text with two digits per field: '09:05:03.07'.
std::string timeText(int64_t hours, int64_t minutes, int64_t seconds, int64_t hundredths);

// The camera's little-endian values, whatever the host.
inline int16_t littleInt16(const unsigned char* p)
{
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}
inline int32_t littleInt32(const unsigned char* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8
                                | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}
