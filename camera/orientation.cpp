#include "camera/orientation.h"

#include "fits/scan.h"

void OrientationCode::storeWord(std::string_view word)
{
    if (word.size() >= 5) {
        letters = word.substr(0, 5);
        return;
    }
    std::string previous = letters;
    previous.resize(5, '\0');
    letters = word;
    letters += '\0';
    letters += previous.substr(word.size() + 1);
}

void OrientationCode::storeCardValue(const std::string& value)
{
    std::string code;
    if (!scanWord(value, code))
        return;
    while ((code[0] == ' ' || code[0] == '\'') && code.size() > 5)
        code.erase(0, 1);
    if (code.size() == 4)
        code += 'N';
    storeWord(code);
}

Orientation OrientationCode::orientation() const
{
    auto letter = [&](std::size_t index) { return index < letters.size() ? letters[index] : '\0'; };
    const char l1 = letter(0), l2 = letter(1), l3 = letter(2), l4 = letter(3);
    const bool transpose = letter(4) == 'Y';
    Orientation turn{transpose, true, true};
    if (l1 == 'U' || l1 == 'D') {
        if ((l1 == 'U' && l4 == 'N') || (l1 == 'D' && l4 == 'Y'))
            turn.reverse2 = false;
        if ((l2 == 'L' && l3 == 'N') || (l2 == 'R' && l3 == 'Y'))
            turn.reverse1 = false;
    } else {
        // The anti-transposition exchanges the axes once more: after a transposition they stay.
        turn.exchange = !transpose;
        if ((l2 == 'U' && l3 == 'Y') || (l2 == 'D' && l3 == 'N'))
            turn.reverse1 = false;
        if ((l1 == 'L' && l4 == 'Y') || (l1 == 'R' && l4 == 'N'))
            turn.reverse2 = false;
    }
    return turn;
}
