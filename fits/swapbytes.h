#pragma once

#include <cstddef>
#include <cstdint>

// The bytes of one word reversed.
inline uint16_t swapWord2(uint16_t word)
{
    return __builtin_bswap16(word);
}
inline uint32_t swapWord4(uint32_t word)
{
    return __builtin_bswap32(word);
}
inline uint64_t swapWord8(uint64_t word)
{
    return __builtin_bswap64(word);
}

// Reverse the bytes of each 16-bit, 32-bit or 64-bit word of a buffer in place.
void swapBytes2(void* buffer, std::size_t words);
void swapBytes4(void* buffer, std::size_t words);
void swapBytes8(void* buffer, std::size_t words);
