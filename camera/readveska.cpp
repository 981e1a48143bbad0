#include "readveska.h"

#include <cstdio>

float chopWaitMsec = 0.0f;
float framesPerCoimage = 0.0f;
int unpackWriteFailures = 0;

int readVESKA(const std::string& inputName, const std::string&, FitsImage&, Raster&, int32_t, bool, bool,
              std::string& orientation, int64_t&, int32_t&)
{
    orientation = "ULYYN";
    std::printf("kovrent: Error - camera files cannot be read yet: %s\n", inputName.c_str());
    return 1;
}

void interchangeColumns(Raster&, int, int) {}
