#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The values that a camera file's records set and a later file of the same run, lacking the
// record, takes over from it: each file's own, where it has the record.
struct CarriedValues {
    std::optional<int32_t> obsmode;          // OBSMODE
    std::optional<float> chopWaitMsec;       // CHOPWAIT
    std::optional<float> framesPerCoimage;   // FRPERCOI
};

// The carried values that apply to a file: its own, else those an earlier file of the run left;
// a run starts with none (0).
struct CameraSession {
    int32_t obsmode = 0;
    float chopWaitMsec = 0.0f;
    float framesPerCoimage = 0.0f;

    // The session after a file with `own` values.
    CameraSession after(const CarriedValues& own) const
    {
        return {own.obsmode.value_or(obsmode), own.chopWaitMsec.value_or(chopWaitMsec),
                own.framesPerCoimage.value_or(framesPerCoimage)};
    }
};

class Cancellation;

// What is asked of one camera file.
struct CameraRequest {
    std::string inputName;
    int32_t frameNumber = 0;  // -o: one frame, or 0 for all of them combined
    bool unpack = false;      // -p
    bool interchange = false; // -i
    Cancellation* cancel = nullptr; // asked when a signal interrupts a wait for the file
};
