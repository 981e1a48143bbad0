#pragma once

#include "fitsimage.h"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>

// Where a header's first END card stands: its block and its slot (1 to 36).
struct HeaderEnd {
    HeaderBlock* block = nullptr;
    int slot = 0;
};

// Reads values back from a finished header the way a block-by-block search does:
// for each block up to the one holding END, every keyword found in it is reported
// with its value, in block order, so that the last report of a keyword wins.
// Keywords that END's block lacks are also reported from the blocks after it.
HeaderEnd scanHeaderToEnd(HeaderBlock* first, std::initializer_list<const char*> keywords,
                          const std::function<void(std::size_t keyword, const std::string& value)>& found);
