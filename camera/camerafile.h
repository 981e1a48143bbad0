#pragma once

#include "camera/camerastream.h"

#include <cstdint>
#include <string>

// Where the image lies on the detector and how its columns fill the data blocks of a frame.
struct FrameLayout {
    int32_t initX = 0, initY = 0; // INITX, INITY: the first column and row
    int32_t endX = 0, endY = 0;   // ENDX, ENDY: the last column and row
    int32_t finX = 0;             // FINX: the last column that data block 1 holds
    int32_t naxis1 = 0, naxis2 = 0;
    int64_t skipBefore = 0, skipAfter = 0; // fill bytes behind the columns of data blocks 1 and 2

    int32_t blockColumns() const { return finX - initX + 1; }

    // The image size and the fill counts from the corners (32768 bytes a data block, 4 a pixel);
    // either count may come out zero or negative.
    void measure()
    {
        naxis1 = endX - initX + 1;
        naxis2 = endY - initY + 1;
        skipBefore = dataBlockBytes + (static_cast<int64_t>(initX) - finX - 1) * naxis2 * 4;
        skipAfter = endX == finX ? 0 : dataBlockBytes + (static_cast<int64_t>(finX) - endX) * naxis2 * 4;
    }
};

// What the header's records tell the reader, besides the layout and the cards.
struct HeaderFacts {
    int32_t headerSize = 1;  // the declared header length (records 68, 71)
    int32_t coadds[4] = {};  // TOTCOADD, TOTCOAD2 to TOTCOAD4: the coadds of beams 1 to 4
    bool hasStart = false;   // an INITX/INITY record came
    bool hasEnd = false;     // an ENDX/ENDY record came
    bool hasCoadds = false;  // a TOTCOADD record came
    int32_t packedCount = 0; // PACKED
    bool isPacked = false;   // packed or ultrafast-packed, and being unpacked
    int32_t ultrafastCount = 0;
    bool timeObsWritten = false; // a TIME-OBS with hundredths was written
    std::string startTimeText;   // and its value text
    std::string recordedEndText; // the TIME-END record's value text, which -p leaves out of the header
};

// One camera file while readVESKA reads it.
struct CameraReading {
    CameraStream stream;
    FrameLayout layout;
    HeaderFacts facts;
};
