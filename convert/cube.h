#pragma once

#include "fits/header.h"

#include <cstdint>
#include <string>
#include <vector>

// The header of a data cube, made from the header its planes would have as images: three axes,
// NAXIS3 with the count of planes right after NAXIS2, and EXTEND when an extension follows.
// False when the header lacks the NAXIS cards.
bool makeCubeHeader(Header& header, int64_t planes, bool extension);

// The binary-table extension TIMES of a --modern data cube, a row per plane: its number from 1
// (IMAGENUM) and its start (DATE-BEG), an ISO instant or blank when unknown. The header ends
// with checksums for the writer to compute; `data` is the table's rows, big-endian.
void timesExtension(const std::vector<std::string>& starts, Header& header, std::string& data);
