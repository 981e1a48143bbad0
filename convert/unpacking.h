#pragma once

#include "camera/unpack.h"
#include "convert/commandline.h"
#include "convert/runcontext.h"

#include <cstdint>
#include <string>

// The images of a packed file as the planes of one data cube, named like the unpacked images
// but with 'k' for their 't' and the packed file's own number; with --modern, a TIMES table of
// their estimated starts follows. Planes come as the images are read, so memory stays flat.
void writeUnpackedCube(const Options& options, const std::string& inputName, PackedImages& images, RunContext& run,
                       int64_t& fileNumber);

// The images of a packed file, each named after the file's output name with the letter 't'
// and numbered on from fileNumber, which is raised past them, then announced, read and written.
// A write that fails skips its image; a name that cannot be formed, an image that would replace
// the input and data that end early stop the run.
void writeUnpackedImages(const Options& options, const std::string& inputName, const std::string& outputName,
                         PackedImages& images, RunContext& run, int64_t& fileNumber);
