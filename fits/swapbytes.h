#pragma once

#include <cstddef>

// Reverse the bytes of each 16-bit or 32-bit word of a buffer in place.
void swapBytes2(void* buffer, std::size_t words);
void swapBytes4(void* buffer, std::size_t words);
