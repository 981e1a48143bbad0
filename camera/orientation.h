#pragma once

#include "fits/encode.h"

#include <string>
#include <string_view>

// The HISTORY text of an oriented output.
constexpr const char* orientedHistory = "THE IMAGE HAS BEEN ORIENTED WITH NORTH UP AND EAST TO THE LEFT";

// The orientation code of a camera file: five letters from its ORIENTST record (or the card of
// a FITS input), "ULYYN" without one, which turns the image by 180 degrees.
struct OrientationCode {
    static constexpr const char* standard = "ULYYN";
    std::string letters = standard;

    // Puts a word into the code the way a C string is copied into the code's five-letter
    // buffer: a shorter word is followed by a NUL and leaves the letters after that as they
    // were ("D" over "ULYYN" gives "D", NUL, "YYN"); only five letters of a longer one are kept.
    void storeWord(std::string_view word);
    // The code of an ORIENTST card's value: its first word, with leading blanks and quotes
    // dropped while it is longer than five letters; a word of four letters gets an 'N'.
    void storeCardValue(const std::string& value);

    // How the image is turned to bring north up and east to the left: the transposition of a
    // fifth letter 'Y', then the rotation by 180 degrees (first letter U or D) or the
    // anti-transposition, which also exchanges the axes (any other letter), both reversing the
    // two axes; each flip that the letters ask for undoes one reversal.
    Orientation orientation() const;
};
