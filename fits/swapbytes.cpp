#include "fits/swapbytes.h"

#include <cstdint>
#include <cstring>

void swapBytes2(void* buffer, std::size_t words)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < words; ++i, bytes += 2) {
        uint16_t word;
        std::memcpy(&word, bytes, 2);
        word = swapWord2(word);
        std::memcpy(bytes, &word, 2);
    }
}

void swapBytes4(void* buffer, std::size_t words)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < words; ++i, bytes += 4) {
        uint32_t word;
        std::memcpy(&word, bytes, 4);
        word = swapWord4(word);
        std::memcpy(bytes, &word, 4);
    }
}

void swapBytes8(void* buffer, std::size_t words)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < words; ++i, bytes += 8) {
        uint64_t word;
        std::memcpy(&word, bytes, 8);
        word = swapWord8(word);
        std::memcpy(bytes, &word, 8);
    }
}
