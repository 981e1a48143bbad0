#pragma once

#include "headerstate.h"

// How one frame's values combine with what the raster cell holds; q = value / divisor.
enum class Merge { store, subtract, add, addNegate };

// Reads the next frame of an unpacked file into the raster. A short column ends the
// run with `shortMessage` (block 1) or the block-2 message, filled in with obsmode.
void readFrame(HeaderState& state, Raster& raster, Merge merge, float divisor, const char* shortMessage,
               int32_t obsmode);

// Moves past `count` frames without reading them.
void skipFrames(HeaderState& state, int64_t count);

// The observing modes whose frames combine into one image: their name and how many
// frames an observation has; null for any other mode.
struct ObservingMode {
    const char* name;
    int frames;
};
const ObservingMode* observingMode(int32_t obsmode);

// Builds the image of an unpacked file: one frame (frameNumber of 1 or more, or
// negative) or the combination of every frame that the observing mode defines.
void readFrames(HeaderState& state, Raster& raster, int32_t frameNumber, int32_t obsmode);
