#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The FITS checksum convention: the 32-bit ones' complement sum of a file's bytes taken as
// big-endian words, kept in the cards DATASUM (of the data blocks, in decimal) and CHECKSUM
// (16 characters that make the sum of the whole HDU come out as all ones).
class OnesComplementSum {
public:
    // A sum of bytes that begin `phase` bytes into a word (their offset in the stream modulo 4),
    // to be added to the sum of the stream they lie in.
    explicit OnesComplementSum(unsigned phase = 0) : phase_(phase % 4) {}
    // Adds bytes as the stream they continue: a sum can be resumed at any byte.
    void add(const unsigned char* bytes, std::size_t count);
    // Adds another sum, as if its bytes followed.
    void add(uint32_t other);
    uint32_t value() const;

private:
    uint64_t high_ = 0, low_ = 0; // the 16-bit halves of the words, their carries folded in value()
    unsigned phase_ = 0;          // where the next byte falls in its word
};

// The CHECKSUM text for an HDU whose bytes, with CHECKSUM holding "0000000000000000", sum to
// `sum`: the complement of the sum in the convention's 16 characters (letters and digits only).
std::string encodeChecksum(uint32_t sum);
