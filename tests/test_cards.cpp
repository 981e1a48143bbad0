// Header cards: the exact text of each card kind, block chaining, the END rule and findCard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fits/fitsimage.h"
#include "fits/realtext.h"

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

int blocksOf(const Header& header) {
    int blocks = 0;
    for (const HeaderBlock* b = header.firstBlock(); b; b = b->next) ++blocks;
    return blocks;
}

// The card that `write` puts into a header of its own.
template <typename Write>
std::string onlyCard(Write write) {
    Header header;
    write(header);
    return cardText(header.firstBlock(), 1);
}

// A minimal header: the next card takes slot 8, the END placeholder's.
struct Minimal {
    FitsImage image;
    Minimal() {
        image.bitpix = -32;
        image.naxis1 = 128;
        image.naxis2 = 128;
        buildMinimalHeader(image);
    }
    const HeaderBlock* block(int n) const {
        const HeaderBlock* b = image.header.firstBlock();
        while (n-- > 0) b = b->next;
        return b;
    }
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
    for (const CardCase& c : cases)
        EXPECT_EQ(onlyCard([&](Header& h) { h.addValueCard(c.keyword, c.value, c.comment); }), card(c.expected))
            << c.what;
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
    for (const CardCase& c : cases)
        EXPECT_EQ(onlyCard([&](Header& h) { h.addStringCard(c.keyword, c.value); }), card(c.expected)) << c.what;
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
    for (const CardCase& c : cases)
        EXPECT_EQ(onlyCard([&](Header& h) { h.addCommentCard(c.keyword, c.value); }), card(c.expected)) << c.what;
}

TEST(BuildMinimalHeader, WritesEightCardsTheLastForTheNextCardToReplace) {
    FitsImage image;
    image.bitpix = -32;
    image.naxis1 = 128;
    image.naxis2 = 64;
    image.bscale = -2.5;
    image.bzero = 1e-5;
    buildMinimalHeader(image);
    const HeaderBlock* block = image.header.firstBlock();
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
    EXPECT_EQ(image.naxis, 2);
    EXPECT_EQ(blocksOf(image.header), 1);

    image.header.addCommentCard("COMMENT", "next");
    EXPECT_EQ(cardText(block, 8), card("COMMENT   next"));
    EXPECT_EQ(cardText(block, 9), blanks(80));

    // Built again, the header starts afresh in one block.
    for (int i = 0; i < 40; ++i) image.header.addCommentCard("COMMENT", "x");
    buildMinimalHeader(image);
    EXPECT_EQ(blocksOf(image.header), 1);
    EXPECT_EQ(cardText(image.header.firstBlock(), 9), blanks(80));
}

TEST(BuildMinimalHeader, BytesPerPixelTruncatesTowardZero) {
    const struct {
        int16_t bitpix;
        int16_t bytesPerPixel;
    } cases[] = {{8, 1}, {16, 2}, {32, 4}, {-32, -4}, {12, 1}, {-12, -1}, {4, 0}};
    for (const auto& c : cases) {
        FitsImage image;
        image.bitpix = c.bitpix;
        buildMinimalHeader(image);
        EXPECT_EQ(image.bytesPerPixel(), c.bytesPerPixel) << "BITPIX " << c.bitpix;
    }
}

TEST(CardWriters, ThirtySixthCardChainsNewBlockAtOnce) {
    Minimal h;
    for (int slot = 8; slot < 36; ++slot) h.image.header.addCommentCard("COMMENT", "x");
    EXPECT_EQ(blocksOf(h.image.header), 1);
    h.image.header.addValueCard("LAST", "1", "C");
    ASSERT_EQ(blocksOf(h.image.header), 2);
    EXPECT_EQ(cardText(h.block(0), 36), card("LAST    = " + blanks(19) + "1 / C "));
    EXPECT_EQ(cardText(h.block(1), 1), blanks(80));
    h.image.header.addValueCard("NEXT", "2", "C");
    EXPECT_EQ(cardText(h.block(1), 1), card("NEXT    = " + blanks(19) + "2 / C "));
}

// END takes the place and blank cards fill its block; END never opens an empty block. A
// finished header resumed at its END goes on from there and ends again.
TEST(FinishHeader, EndFillsBlockExactly) {
    const struct {
        int extraCards;  // after the seven cards of the minimal header
        int endCard;
        int blocks;
    } cases[] = {{0, 8, 1}, {20, 28, 1}, {28, 36, 1}, {29, 37, 2}, {64, 72, 2}, {65, 73, 3}};
    for (const auto& c : cases) {
        Minimal h;
        Header& header = h.image.header;
        for (int i = 0; i < c.extraCards; ++i) header.addCommentCard("HISTORY", "h");
        header.addEndCard();

        EXPECT_EQ(blocksOf(header), c.blocks) << "END at " << c.endCard;
        std::string value;
        EXPECT_EQ(header.findCard("END", value), c.endCard);
        const HeaderBlock* last = h.block(c.blocks - 1);
        const int endSlot = (c.endCard - 1) % 36 + 1;
        EXPECT_EQ(cardText(last, endSlot), card("END"));
        for (int slot = endSlot + 1; slot <= 36; ++slot)
            EXPECT_EQ(cardText(last, slot), blanks(80)) << "END at " << c.endCard << ", slot " << slot;

        ASSERT_TRUE(header.resumeAtEnd());
        header.addCommentCard("HISTORY", "more");
        header.addEndCard();
        EXPECT_EQ(cardText(last, endSlot), card("HISTORY   more"));
        EXPECT_EQ(header.findCard("END", value), c.endCard + 1);
    }
    Header empty;
    EXPECT_FALSE(empty.resumeAtEnd());
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
}

TEST(FindCard, EmptyChainFindsNothing) {
    std::string value = "stale";
    EXPECT_EQ(Header().findCard("END", value), -1);
    EXPECT_EQ(value, "");
}

TEST(ReplaceCard, OverwritesInPlaceWithoutCounting) {
    Minimal h;
    Header& header = h.image.header;
    for (int slot = 8; slot < 36; ++slot) header.addCommentCard("COMMENT", "x");
    header.addValueCard("AT36", "1", "C");
    header.addStringCard("AT37", "1");

    EXPECT_TRUE(header.replaceValueCard("NAXIS1", "256", "NEW"));
    EXPECT_TRUE(header.replaceValueCard("AT36", "2", "C"));
    EXPECT_TRUE(header.replaceStringCard("AT37", "it's"));
    EXPECT_FALSE(header.replaceValueCard("NAXIS3", "1", "C"));
    header.addValueCard("AT38", "1", "C");

    EXPECT_EQ(cardText(h.block(0), 4), card("NAXIS1  = " + blanks(17) + "256 / NEW "));
    EXPECT_EQ(cardText(h.block(0), 36), card("AT36    = " + blanks(19) + "2 / C "));
    EXPECT_EQ(cardText(h.block(1), 1), card("AT37    = 'it''s' "));
    EXPECT_EQ(cardText(h.block(1), 2), card("AT38    = " + blanks(19) + "1 / C "));
    EXPECT_EQ(blocksOf(header), 2);
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
