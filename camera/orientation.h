#pragma once

#include <string>
#include <string_view>

// What an orientation code does to the camera's image to bring north up and east to the left:
// the transposition of a fifth letter 'Y', then the exchange of axes of the anti-transposition
// (any first letter but U and D), and which axes of the oriented image run against the axes
// they came from (the rotation and the anti-transposition reverse both; each flip undoes one).
struct OrientationSteps {
    bool transpose = false;
    bool swapAxes = false;
    bool reverse1 = false;
    bool reverse2 = false;
};

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

    OrientationSteps steps() const;
};
