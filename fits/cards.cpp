#include "fitsimage.h"

#include "fatal.h"
#include "realtext.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Text handed to "%s" ends at its first NUL byte.
std::string_view cText(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

// A header holds printable ASCII only; any other byte is written as a blank.
char printable(char c)
{
    return c >= ' ' && c <= '~' ? c : ' ';
}

// One card being formatted: whatever goes beyond 80 characters is dropped and the
// rest stays blank.
class CardText {
public:
    CardText() { std::memset(text_, ' ', sizeof text_); }

    void put(std::string_view s)
    {
        const std::size_t n = std::min<std::size_t>(s.size(), cardLength - used_);
        std::transform(s.begin(), s.begin() + n, text_ + used_, printable);
        used_ += n;
    }
    void blanks(std::size_t n) { used_ = std::min<std::size_t>(cardLength, used_ + n); }
    // "%-8.8s"
    void keyword(std::string_view key)
    {
        key = cText(key).substr(0, 8);
        put(key);
        blanks(8 - key.size());
    }
    const char* data() const { return text_; }

private:
    char text_[cardLength];
    std::size_t used_ = 0;
};

HeaderBlock* newBlock()
{
    auto* block = new (std::nothrow) HeaderBlock;
    if (block)
        std::memset(block->cards, ' ', sizeof block->cards);
    return block;
}

void releaseChain(HeaderBlock* block)
{
    while (block) {
        HeaderBlock* next = block->next;
        delete block;
        block = next;
    }
}

// Copies the card to `position` and counts it; a card that fills slot 36 chains a
// new block at once and the next card goes to its start.
char* storeCard(char* position, const CardText& card, FitsImage& image)
{
    std::memcpy(position, card.data(), cardLength);
    const int16_t old = image.blockCards;
    image.blockCards = static_cast<int16_t>(old + 1);
    if (old != cardsPerBlock)
        return position + cardLength;
    HeaderBlock* block = newBlock();
    if (!block)
        fatalExit("Error allocating memory!\n");
    block->next = image.header->next;
    image.header->next = block;
    image.header = block;
    image.blockCards = 1;
    return block->cards;
}

} // namespace

FitsImage::~FitsImage()
{
    freeHeader(*this);
}

char* addValueCard(char* position, std::string_view keyword, std::string_view value,
                   std::string_view comment, FitsImage& image)
{
    // "%-8.8s= %20.20s / %-s " for values of up to 19 characters, else "%-8.8s= %30.30s / %-s "
    value = cText(value);
    const std::size_t width = value.size() <= 19 ? 20 : 30;
    value = value.substr(0, width);
    CardText card;
    card.keyword(keyword);
    card.put("= ");
    card.blanks(width - value.size());
    card.put(value);
    card.put(" / ");
    card.put(cText(comment));
    card.put(" ");
    return storeCard(position, card, image);
}

char* addStringCard(char* position, std::string_view keyword, std::string_view text,
                    FitsImage& image)
{
    // "%-8.8s= '%-.58s' " with each quote of the text doubled, as FITS strings have it; the
    // text is cut where the next character would not fit whole into 58 columns.
    std::string escaped;
    for (const char c : cText(text)) {
        const std::string_view piece = printable(c) == '\'' ? "''" : std::string_view(&c, 1);
        if (escaped.size() + piece.size() > 58)
            break;
        escaped += piece;
    }
    CardText card;
    card.keyword(keyword);
    card.put("= '");
    card.put(escaped);
    card.put("' ");
    return storeCard(position, card, image);
}

char* addCommentCard(char* position, std::string_view keyword, std::string_view text,
                     FitsImage& image)
{
    // "%-8.8s  %-.70s"
    CardText card;
    card.keyword(keyword);
    card.put("  ");
    card.put(cText(text).substr(0, 70));
    return storeCard(position, card, image);
}

char* buildMinimalHeader(FitsImage& image)
{
    if (image.header) {
        releaseChain(image.header->next);
        if (!image.chain)
            image.chain = image.header;
    } else {
        freeHeader(image);
        image.header = newBlock();
        if (!image.header)
            return nullptr;
        image.chain = image.header;
    }
    image.header->next = nullptr;
    image.naxis = 2;
    image.bytesPerPixel = static_cast<int16_t>(image.bitpix / 8);
    image.blockCards = 1;

    char* position = image.header->cards;
    position = addValueCard(position, "SIMPLE", "T", "DATA IS IN FITS FORMAT", image);
    position = addValueCard(position, "BITPIX", std::to_string(image.bitpix),
                            "BITS PER PIXEL(<0:=REAL)", image);
    position = addValueCard(position, "NAXIS", "2", "NUMBER OF AXES", image);
    position = addValueCard(position, "NAXIS1", std::to_string(image.naxis1),
                            "PIXELS ON 1ST MOST VARYING AXIS", image);
    position = addValueCard(position, "NAXIS2", std::to_string(image.naxis2),
                            "PIXELS ON 2ND MOST VARYING AXIS", image);
    position = addValueCard(position, "BSCALE", formatReal(image.bscale),
                            "VALUE= DATA*BSCALE+BZERO", image);
    position = addValueCard(position, "BZERO", formatReal(image.bzero), " ", image);
    return addValueCard(position, "END", " ", "END OF FITS HEADER INFORMATION", image);
}

void padHeader(char* position, FitsImage& image)
{
    if (image.blockCards >= cardsPerBlock || !image.header)
        return;
    // Never past the end of the current block, whatever the caller's count says.
    char* const blockEnd = image.header->cards + blockLength;
    if (position < image.header->cards || position >= blockEnd)
        return;
    const std::size_t wanted = static_cast<std::size_t>(cardsPerBlock - image.blockCards) * cardLength;
    std::memset(position, ' ', std::min<std::size_t>(wanted, blockEnd - position));
}

namespace {

// The slot (1 to 36) of the first card of one block whose key is `keyword`, or 0.
int findInBlock(const HeaderBlock& block, std::string_view keyword, std::string& value)
{
    for (int slot = 0; slot < cardsPerBlock; ++slot) {
        const char* card = block.cards + slot * cardLength;
        std::size_t keyLength = 8;
        while (keyLength > 1 && card[keyLength - 1] == ' ')
            --keyLength;
        if (std::string_view(card, keyLength) != keyword)
            continue;

        std::size_t start = 9;
        while (start < cardLength && card[start] == ' ')
            ++start;
        if (start < cardLength && card[start] == '\'') {
            // A string: up to its closing quote, a doubled quote inside it reading as one.
            std::string text;
            for (std::size_t i = start + 1; i < cardLength; ++i) {
                if (card[i] == '\'' && (i + 1 == cardLength || card[++i] != '\''))
                    break;
                text += card[i];
            }
            value = cText(text);
        } else if (start < cardLength && card[start] != '/') {
            // A slash in the first place begins the comment of an undefined value.
            std::size_t end = start;
            while (end < cardLength && card[end] != ' ')
                ++end;
            value = cText(std::string_view(card + start, end - start));
        }
        return slot + 1;
    }
    return 0;
}

} // namespace

int findCard(const HeaderBlock* block, std::string_view keyword, std::string& value)
{
    value.clear();
    for (int passed = 0; block; block = block->next, passed += cardsPerBlock)
        if (const int slot = findInBlock(*block, keyword, value))
            return passed + slot;
    return -1;
}

int findCardInBlock(const HeaderBlock* block, std::string_view keyword, std::string& value)
{
    value.clear();
    const int slot = block ? findInBlock(*block, keyword, value) : 0;
    return slot ? slot : -1;
}

char* cardAt(HeaderBlock* block, int number)
{
    if (number < 1)
        return nullptr;
    while (block && number > cardsPerBlock) {
        block = block->next;
        number -= cardsPerBlock;
    }
    return block ? block->cards + (number - 1) * cardLength : nullptr;
}

namespace {

// Runs `write` on the card `keyword` where it stands; the temporary count of 1 keeps
// the writer from chaining a block, and the header's own count is restored after.
template <typename Write>
bool rewriteCard(FitsImage& image, std::string_view keyword, Write write)
{
    std::string value;
    char* card = cardAt(image.chain, findCard(image.chain, keyword, value));
    if (!card)
        return false;
    const int16_t savedCards = image.blockCards;
    HeaderBlock* const savedHeader = image.header;
    image.blockCards = 1;
    write(card);
    image.blockCards = savedCards;
    image.header = savedHeader;
    return true;
}

} // namespace

bool rewriteValueCard(FitsImage& image, std::string_view keyword, std::string_view value,
                      std::string_view comment)
{
    return rewriteCard(image, keyword, [&](char* card) {
        addValueCard(card, keyword, value, comment, image);
    });
}

bool rewriteStringCard(FitsImage& image, std::string_view keyword, std::string_view text)
{
    return rewriteCard(image, keyword, [&](char* card) { addStringCard(card, keyword, text, image); });
}

void freeHeader(FitsImage& image)
{
    releaseChain(image.chain ? image.chain : image.header);
    image.chain = nullptr;
    image.header = nullptr;
}
