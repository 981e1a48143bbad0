#include "fits/checksum.h"

#include <algorithm>
#include <iterator>

void OnesComplementSum::add(const unsigned char* bytes, std::size_t count)
{
    std::size_t i = 0;
    auto addByte = [&](unsigned char byte) {
        uint64_t& half = phase_ < 2 ? high_ : low_;
        half += phase_ % 2 == 0 ? uint64_t{byte} << 8 : byte;
        phase_ = (phase_ + 1) % 4;
    };
    while (i < count && phase_ != 0)
        addByte(bytes[i++]);
    // Whole words; 2^31 of them fit the 64-bit halves without overflow, far more than a FITS
    // image of this program has.
    for (; i + 3 < count; i += 4) {
        high_ += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
        low_ += static_cast<uint32_t>(bytes[i + 2] << 8 | bytes[i + 3]);
    }
    while (i < count)
        addByte(bytes[i++]);
}

void OnesComplementSum::add(uint32_t other)
{
    high_ += other >> 16;
    low_ += other & 0xFFFF;
}

uint32_t OnesComplementSum::value() const
{
    // Each half's carry goes into the other: the end-around carry of a 32-bit sum.
    uint64_t high = high_, low = low_;
    while ((high >> 16) != 0 || (low >> 16) != 0) {
        const uint64_t highCarry = high >> 16, lowCarry = low >> 16;
        high = (high & 0xFFFF) + lowCarry;
        low = (low & 0xFFFF) + highCarry;
    }
    return static_cast<uint32_t>(high << 16 | low);
}

std::string encodeChecksum(uint32_t sum)
{
    // Each byte of the complement becomes four characters from '0' on that add up to it; pairs
    // are nudged up and down, keeping their sum, until none is punctuation.
    constexpr unsigned char punctuation[]
        = {0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f, 0x40, 0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60};
    const uint32_t value = ~sum;
    char text[16];
    for (int i = 0; i < 4; ++i) {
        const int byte = static_cast<int>((value >> (24 - 8 * i)) & 0xFF);
        int ch[4];
        std::fill(std::begin(ch), std::end(ch), byte / 4 + '0');
        ch[0] += byte % 4;
        for (bool nudged = true; nudged;) {
            nudged = false;
            for (const unsigned char c : punctuation)
                for (int j = 0; j < 4; j += 2)
                    if (ch[j] == c || ch[j + 1] == c) {
                        ++ch[j];
                        --ch[j + 1];
                        nudged = true;
                    }
        }
        for (int j = 0; j < 4; ++j)
            text[4 * j + i] = static_cast<char>(ch[j]);
    }
    // The convention rotates the characters by one place to the right.
    std::string result(16, ' ');
    for (int i = 0; i < 16; ++i)
        result[i] = text[(i + 15) % 16];
    return result;
}
