// Header cards: the exact text of each card kind, block chaining, the END rule and findCard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fitsimage.h"
#include "realtext.h"

namespace {

std::string blanks(size_t n) { return std::string(n, ' '); }

// The text blank-padded to one 80-column card.
std::string card(std::string text) {
    text.resize(80, ' ');
    return text;
}

std::string cardText(const HeaderBlock* block, int slot) {
    return std::string(block->cards + (slot - 1) * 80, 80);
}

// A record with a minimal header whose next card goes to slot 1 of the first block, as the
// camera reader reuses it.
struct Header {
    FitsImage image;
    HeaderBlock* first = nullptr;
    char* position = nullptr;

    Header() {
        image.bitpix = -32;
        image.naxis1 = 128;
        image.naxis2 = 128;
        position = buildMinimalHeader(image);
        first = image.header;
    }
    void rewind() {
        image.blockCards = 1;
        position = first->cards;
    }
    ~Header() { image.header = first; }
};

// Header blocks filled by hand from card texts, 36 to a block, for findCard.
class HandChain {
public:
    explicit HandChain(const std::vector<std::string>& cards) {
        for (size_t i = 0; i == 0 || i < cards.size(); i += 36) {
            auto block = std::make_unique<HeaderBlock>();
            std::fill(std::begin(block->cards), std::end(block->cards), ' ');
            for (size_t j = i; j < cards.size() && j < i + 36; ++j)
                card(cards[j]).copy(block->cards + (j - i) * 80, 80);
            if (!blocks_.empty()) blocks_.back()->next = block.get();
            blocks_.push_back(std::move(block));
        }
    }
    const HeaderBlock* block(size_t n) const { return blocks_[n].get(); }
    HeaderBlock* block(size_t n) { return blocks_[n].get(); }

private:
    std::vector<std::unique_ptr<HeaderBlock>> blocks_;
};

struct CardCase {
    const char* what;
    std::string keyword;
    std::string value;
    std::string comment;
    std::string expected;
};

TEST(AddValueCard, LaysOutKeywordValueAndComment) {
    const std::string longValue = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345678";  // 35 characters
    const CardCase cases[] = {
        {"integer", "NAXIS1", "128", "PIXELS ON 1ST MOST VARYING AXIS",
         "NAXIS1  = " + blanks(17) + "128 / PIXELS ON 1ST MOST VARYING AXIS "},
        {"keyword cut to 8", "TOOLONGKEYWORD", "T", "C", "TOOLONGK= " + blanks(19) + "T / C "},
        {"19 characters end in column 30", "KEY", "1234567890123456789", "C",
         "KEY     =  1234567890123456789 / C "},
        {"20 characters end in column 40", "KEY", "12345678901234567890", "C",
         "KEY     = " + blanks(10) + "12345678901234567890 / C "},
        {"negative real takes the wide field", "BZERO", "-1.500000000000E+000", "C",
         "BZERO   = " + blanks(10) + "-1.500000000000E+000 / C "},
        {"value over 30 characters cut", "KEY", longValue, "C",
         "KEY     = ABCDEFGHIJKLMNOPQRSTUVWXYZ0123 / C "},
        {"long comment cut at column 80", "KEY", "T", std::string(60, 'c'),
         "KEY     = " + blanks(19) + "T / " + std::string(47, 'c')},
        {"blank comment", "BZERO", "0", " ", "BZERO   = " + blanks(19) + "0 /   "},
        {"undefined value", "RA", "", "C", "RA      = " + blanks(20) + " / C "},
        {"bytes outside printable ASCII are blanks", "KEY", "'a\tb'", "\x7f\xe9!",
         "KEY     = " + blanks(15) + "'a b' /   ! "},
    };
    for (const CardCase& c : cases) {
        Header h;
        h.rewind();
        addValueCard(h.position, c.keyword, c.value, c.comment, h.image);
        EXPECT_EQ(cardText(h.first, 1), card(c.expected)) << c.what;
    }
}

TEST(AddStringCard, QuotesTextCutTo58) {
    const std::string sixty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567";
    ASSERT_EQ(sixty.size(), 60u);
    const CardCase cases[] = {
        {"short", "OBJECT", "M31", "", "OBJECT  = 'M31' "},
        {"inner and outer blanks kept", "OBJECT", "  M 31 ", "", "OBJECT  = '  M 31 ' "},
        {"empty", "OBJECT", "", "", "OBJECT  = '' "},
        {"60 characters keep 58", "OBJECT", sixty, "", "OBJECT  = '" + sixty.substr(0, 58) + "' "},
        {"keyword cut to 8", "IRAFNAMES", "x", "", "IRAFNAME= 'x' "},
        {"quote doubled", "OBJECT", "Barnard's star", "", "OBJECT  = 'Barnard''s star' "},
        {"40 quotes keep 29 doubled", "TELESCOP", std::string(40, '\''), "",
         "TELESCOP= '" + std::string(58, '\'') + "' "},
        {"a doubled quote is never split", "OBJECT", sixty.substr(0, 57) + "'x", "",
         "OBJECT  = '" + sixty.substr(0, 57) + "' "},
        {"bytes outside printable ASCII are blanks", "FILENAME", "a\tb\r\x7f\xe9'", "", "FILENAME= 'a b   ''' "},
    };
    for (const CardCase& c : cases) {
        Header h;
        h.rewind();
        addStringCard(h.position, c.keyword, c.value, h.image);
        EXPECT_EQ(cardText(h.first, 1), card(c.expected)) << c.what;
    }
}

TEST(AddCommentCard, TextFromColumn11CutAt70) {
    const std::string seventyFive(75, 'h');
    const CardCase cases[] = {
        {"history", "HISTORY", "THIS FILE", "", "HISTORY   THIS FILE"},
        {"keyword with trailing blank", "HISTORY ", "X", "", "HISTORY   X"},
        {"cut at 70", "COMMENT", seventyFive, "", "COMMENT   " + std::string(70, 'h')},
        {"END", "END", " ", "", "END"},
        {"bytes outside printable ASCII are blanks", "HISTORY", "dir\nname\xff", "", "HISTORY   dir name "},
    };
    for (const CardCase& c : cases) {
        Header h;
        h.rewind();
        addCommentCard(h.position, c.keyword, c.value, h.image);
        EXPECT_EQ(cardText(h.first, 1), card(c.expected)) << c.what;
    }
}

TEST(BuildMinimalHeader, WritesEightCardsAndCountsThem) {
    FitsImage image;
    image.bitpix = -32;
    image.naxis1 = 128;
    image.naxis2 = 64;
    image.bscale = -2.5;
    image.bzero = 1e-5;
    char* position = buildMinimalHeader(image);
    ASSERT_NE(position, nullptr);
    const HeaderBlock* block = image.header;
    const std::string expected[] = {
        "SIMPLE  = " + blanks(19) + "T / DATA IS IN FITS FORMAT ",
        "BITPIX  = " + blanks(17) + "-32 / BITS PER PIXEL(<0:=REAL) ",
        "NAXIS   = " + blanks(19) + "2 / NUMBER OF AXES ",
        "NAXIS1  = " + blanks(17) + "128 / PIXELS ON 1ST MOST VARYING AXIS ",
        "NAXIS2  = " + blanks(18) + "64 / PIXELS ON 2ND MOST VARYING AXIS ",
        "BSCALE  = " + blanks(10) + "-2.500000000000E+000 / VALUE= DATA*BSCALE+BZERO ",
        "BZERO   =  1.000000000000E-005 /   ",
        "END     = " + blanks(20) + " / END OF FITS HEADER INFORMATION ",
    };
    for (int slot = 1; slot <= 8; ++slot)
        EXPECT_EQ(cardText(block, slot), card(expected[slot - 1])) << "card " << slot;
    EXPECT_EQ(position, block->cards + 8 * 80);
    EXPECT_EQ(image.blockCards, 9);
    EXPECT_EQ(image.naxis, 2);
    EXPECT_EQ(block->next, nullptr);
}

TEST(BuildMinimalHeader, BytesPerPixelTruncatesTowardZero) {
    const struct {
        int16_t bitpix;
        int16_t bytesPerPixel;
    } cases[] = {{8, 1}, {16, 2}, {32, 4}, {-32, -4}, {12, 1}, {-12, -1}, {4, 0}};
    for (const auto& c : cases) {
        FitsImage image;
        image.bitpix = c.bitpix;
        ASSERT_NE(buildMinimalHeader(image), nullptr);
        EXPECT_EQ(image.bytesPerPixel, c.bytesPerPixel) << "BITPIX " << c.bitpix;
    }
}

TEST(BuildMinimalHeader, ReusedBlockDropsItsChain) {
    Header h;
    for (int i = 0; i < 40; ++i) h.position = addCommentCard(h.position, "COMMENT", "x", h.image);
    ASSERT_NE(h.first->next, nullptr);
    h.image.header = h.first;
    ASSERT_NE(buildMinimalHeader(h.image), nullptr);
    EXPECT_EQ(h.image.header, h.first);
    EXPECT_EQ(h.first->next, nullptr);
    EXPECT_EQ(h.image.blockCards, 9);
}

TEST(CardWriters, ThirtySixthCardChainsNewBlockAtOnce) {
    Header h;  // next card goes to slot 9
    for (int slot = 9; slot < 36; ++slot)
        h.position = addCommentCard(h.position, "COMMENT", "x", h.image);
    EXPECT_EQ(h.image.blockCards, 36);
    EXPECT_EQ(h.first->next, nullptr);
    EXPECT_EQ(h.position, h.first->cards + 35 * 80);

    h.position = addValueCard(h.position, "LAST", "1", "C", h.image);
    ASSERT_NE(h.first->next, nullptr);
    EXPECT_EQ(h.image.header, h.first->next);
    EXPECT_EQ(h.first->next->next, nullptr);
    EXPECT_EQ(h.position, h.first->next->cards);
    EXPECT_EQ(h.image.blockCards, 1);
    EXPECT_EQ(cardText(h.first, 36), card("LAST    = " + blanks(19) + "1 / C "));
    EXPECT_EQ(cardText(h.first->next, 1), blanks(80));
}

// The finishing rule: lower blockCards, write END, pad. Stale text of a reused first block must
// not survive behind END, and END never opens an empty block.
TEST(FinishHeader, EndFillsBlockExactly) {
    const struct {
        int extraCards;  // after the seven cards of the minimal header
        int endCard;
        int blocks;
    } cases[] = {{0, 8, 1}, {20, 28, 1}, {28, 36, 1}, {29, 37, 2}, {64, 72, 2}, {65, 73, 3}};
    for (const auto& c : cases) {
        Header h;
        std::fill(std::begin(h.first->cards), std::end(h.first->cards), 'x');
        h.image.header = h.first;
        h.position = buildMinimalHeader(h.image) - 80;  // over the END placeholder
        --h.image.blockCards;
        for (int i = 0; i < c.extraCards; ++i)
            h.position = addCommentCard(h.position, "HISTORY", "h", h.image);
        --h.image.blockCards;
        h.position = addCommentCard(h.position, "END", " ", h.image);
        padHeader(h.position, h.image);

        int blocks = 0;
        for (const HeaderBlock* b = h.first; b; b = b->next) ++blocks;
        EXPECT_EQ(blocks, c.blocks) << "END at " << c.endCard;
        std::string value;
        EXPECT_EQ(findCard(h.first, "END", value), c.endCard);
        const int endSlot = (c.endCard - 1) % 36 + 1;
        EXPECT_EQ(h.image.blockCards, endSlot);
        EXPECT_EQ(cardText(h.image.header, endSlot), card("END"));
        for (int slot = endSlot + 1; slot <= 36; ++slot)
            EXPECT_EQ(cardText(h.image.header, slot), blanks(80)) << "END at " << c.endCard << ", slot " << slot;
        if (c.blocks == 1) {
            for (int slot = 9; slot < endSlot; ++slot)
                EXPECT_EQ(cardText(h.first, slot), card("HISTORY   h")) << "slot " << slot;
        }
    }
}

TEST(PadHeader, FullBlockIsLeftAlone) {
    Header h;
    std::fill(std::begin(h.first->cards), std::end(h.first->cards), 'x');
    h.image.blockCards = 36;
    padHeader(h.first->cards + 35 * 80, h.image);
    EXPECT_EQ(cardText(h.first, 36), std::string(80, 'x'));
}

TEST(FindCard, MatchesWholeKeyAndReadsValue) {
    HandChain chain({
        "SIMPLE  =                    T / comment",  // 1
        "NAXIS1  =                  128",            // 2
        "NAXIS   =                    2",            // 3
        "BZERO   =   1.5",                            // 4
        "OBJECT  = '  M 31  ' / name",               // 5
        "EXPTIME =  12.5/seconds",                    // 6
        "HISTORY   converted by hand",               // 7
        "NOVALUE =",                                  // 8
        "OPENQ   = 'abc",                             // 9
        "lower   = 1",                                // 10
        "QUOTED  = 'Barnard''s star ''' / name",      // 11
        "UNDEF   =                      / no value",  // 12
        "END",                                        // 13
    });
    const struct {
        const char* keyword;
        int number;
        std::string value;
    } cases[] = {
        {"SIMPLE", 1, "T"},
        {"NAXIS", 3, "2"},
        {"NAXIS1", 2, "128"},
        {"NAXIS2", -1, ""},
        {"NAXI", -1, ""},
        {"BZERO", 4, "1.5"},
        {"OBJECT", 5, "  M 31  "},
        {"EXPTIME", 6, "12.5/seconds"},
        {"HISTORY", 7, "converted"},
        {"NOVALUE", 8, ""},
        {"OPENQ", 9, "abc" + blanks(66)},  // no closing quote: up to column 80
        {"LOWER", -1, ""},
        {"lower", 10, "1"},
        {"QUOTED", 11, "Barnard's star '"},
        {"UNDEF", 12, ""},
        {"END", 13, ""},
        {" ", 14, ""},  // a blank card keeps its first blank as key
    };
    for (const auto& c : cases) {
        std::string value = "stale";
        EXPECT_EQ(findCard(chain.block(0), c.keyword, value), c.number) << c.keyword;
        EXPECT_EQ(value, c.value) << c.keyword;
    }
}

TEST(FindCard, CountsFromTheGivenBlock) {
    std::vector<std::string> cards(39, "COMMENT   x");
    cards[0] = "SIMPLE  = T";
    cards[35] = "SLOT36  = 'in block 1'";
    cards[37] = "SIMPLE  = F";
    cards.push_back("END");  // card 40
    HandChain chain(cards);
    std::string value;
    EXPECT_EQ(findCard(chain.block(0), "END", value), 40);
    EXPECT_EQ(findCard(chain.block(1), "END", value), 4);
    EXPECT_EQ(findCard(chain.block(0), "SLOT36", value), 36);
    EXPECT_EQ(value, "in block 1");
    EXPECT_EQ(findCard(chain.block(0), "SIMPLE", value), 1);
    EXPECT_EQ(value, "T");
    EXPECT_EQ(findCard(chain.block(1), "SIMPLE", value), 2);
    EXPECT_EQ(value, "F");

    EXPECT_EQ(findCardInBlock(chain.block(0), "END", value), -1);
    EXPECT_EQ(findCardInBlock(chain.block(1), "END", value), 4);
    EXPECT_EQ(cardAt(chain.block(0), 40), chain.block(1)->cards + 3 * 80);
    EXPECT_EQ(cardAt(chain.block(0), 36), chain.block(0)->cards + 35 * 80);
    EXPECT_EQ(cardAt(chain.block(0), 73), nullptr);
    EXPECT_EQ(cardAt(chain.block(0), -1), nullptr);
}

TEST(FindCard, EmptyChainFindsNothing) {
    std::string value = "stale";
    EXPECT_EQ(findCard(nullptr, "END", value), -1);
    EXPECT_EQ(value, "");
}

TEST(RewriteValueCard, OverwritesInPlaceWithoutCounting) {
    Header h;
    h.position -= 80;
    --h.image.blockCards;
    for (int slot = 8; slot < 36; ++slot) h.position = addCommentCard(h.position, "COMMENT", "x", h.image);
    h.position = addValueCard(h.position, "AT36", "1", "C", h.image);
    h.position = addValueCard(h.position, "AT37", "1", "C", h.image);
    HeaderBlock* const second = h.image.header;
    ASSERT_NE(second, h.first);
    const int16_t cards = h.image.blockCards;

    EXPECT_TRUE(rewriteValueCard(h.image, "NAXIS1", "256", "NEW"));
    EXPECT_TRUE(rewriteValueCard(h.image, "AT36", "2", "C"));
    EXPECT_TRUE(rewriteValueCard(h.image, "AT37", "3", "C"));
    EXPECT_FALSE(rewriteValueCard(h.image, "NAXIS3", "1", "C"));

    EXPECT_EQ(cardText(h.first, 4), card("NAXIS1  = " + blanks(17) + "256 / NEW "));
    EXPECT_EQ(cardText(h.first, 36), card("AT36    = " + blanks(19) + "2 / C "));
    EXPECT_EQ(cardText(second, 1), card("AT37    = " + blanks(19) + "3 / C "));
    EXPECT_EQ(h.image.header, second);
    EXPECT_EQ(h.image.blockCards, cards);
    EXPECT_EQ(second->next, nullptr);
}

TEST(FormatReal, ThreeDigitSignedExponent) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1.5, "1.500000000000E+000"},      {-1.5, "-1.500000000000E+000"},
        {1e-5, "1.000000000000E-005"},     {1e100, "1.000000000000E+100"},
        {0.0, "0.000000000000E+000"},      {123456.789, "1.234567890000E+005"},
        {-2.5e-300, "-2.500000000000E-300"},
        {std::nan(""), ""}, {HUGE_VAL, ""}, {-HUGE_VAL, ""},  // no FITS form: an undefined value
    };
    for (const auto& c : cases) EXPECT_EQ(formatReal(c.value), c.text) << c.value;
}

}  // namespace
