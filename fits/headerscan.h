#pragma once

#include "fits/fitsimage.h"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>

// Reads values back from a finished header the way a block-by-block search does:
// for each block up to the one holding END, every keyword found in it is reported
// with its value, in block order, so that the last report of a keyword wins.
// Keywords that END's block lacks are also reported from the blocks after it.
void scanHeaderToEnd(const Header& header, std::initializer_list<const char*> keywords,
                     const std::function<void(std::size_t keyword, const std::string& value)>& found);
