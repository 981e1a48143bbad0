#pragma once

#include "convert/commandline.h"
#include "convert/runcontext.h"
#include "fits/encode.h"

#include <string>

// The cube of the range from `first` to `last` of `rootName`: its name and inputs. The run stops
// here when the cube would replace a file the run reads, an input of the range or a map.
void planRangeCube(const Options& options, const std::string& rootName, int64_t first, int64_t last, RunContext& run);

// The converted image of one file of the range, encoded in `data`, as the next plane of its cube:
// the first file's header and size make the cube's, and every later file must have the same size
// and BITPIX.
void addRangePlane(const Options& options, const std::string& inputName, const std::string& outputName,
                   const Placement& placement, RunContext& run);

// The range's cube, once every plane has come: announced, its TIMES table behind it with
// --modern, and renamed into place.
void finishRangeCube(const Options& options, RunContext& run);
