#include "swapbytes.h"

#include <utility>

void swapBytes2(void* buffer, std::size_t words)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < words; ++i, bytes += 2)
        std::swap(bytes[0], bytes[1]);
}

void swapBytes4(void* buffer, std::size_t words)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < words; ++i, bytes += 4) {
        std::swap(bytes[0], bytes[3]);
        std::swap(bytes[1], bytes[2]);
    }
}
