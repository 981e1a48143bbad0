#pragma once

#include "camera/orientation.h"

#include <cstdint>
#include <string>

// What camera files leave for the driver and for the next file of the run: each value keeps
// what an earlier file set when a later file lacks its record.
struct CameraSession {
    OrientationCode orientation;   // set for every file (ORIENTST)
    int32_t obsmode = 0;           // OBSMODE
    float chopWaitMsec = 0.0f;     // CHOPWAIT
    float framesPerCoimage = 0.0f; // FRPERCOI
};

// What is asked of one camera file.
struct CameraRequest {
    std::string inputName;
    int32_t frameNumber = 0;  // -o: one frame, or 0 for all of them combined
    bool unpack = false;      // -p
    bool interchange = false; // -i
};
