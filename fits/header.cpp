#include "fits/header.h"

#include "fits/realtext.h"

#include <algorithm>
#include <cstring>

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
    const char (&text() const)[cardLength] { return text_; }

private:
    char text_[cardLength];
    std::size_t used_ = 0;
};

// "%-8.8s= %20.20s / %-s " for values of up to 19 characters, else "%-8.8s= %30.30s / %-s ";
// an empty value is an undefined one.
CardText valueCard(std::string_view keyword, std::string_view value, std::string_view comment)
{
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
    return card;
}

// "%-8.8s= '%-.58s' " with each quote of the text doubled, as FITS strings have it; the text
// is cut where the next character would not fit whole into 58 columns.
CardText stringCard(std::string_view keyword, std::string_view text)
{
    std::string escaped;
    for (const char c : stringCardText(text))
        escaped += c == '\'' ? "''" : std::string_view(&c, 1);
    CardText card;
    card.keyword(keyword);
    card.put("= '");
    card.put(escaped);
    card.put("' ");
    return card;
}

// A string card with a comment: the quote in column 11, the comment from column 32 on (or one
// blank after a longer string). For texts without quotes, such as the checksums, whose place
// in the card their encoding counts on.
CardText stringCard(std::string_view keyword, std::string_view text, std::string_view comment)
{
    CardText card = stringCard(keyword, text);
    const std::size_t used = 13 + cText(text).size(); // keyword, "= '", the text, "' "
    card.blanks(used < 31 ? 31 - used : 0);
    card.put("/ ");
    card.put(cText(comment));
    card.put(" ");
    return card;
}

// "%-8.8s  %-.70s": HISTORY, COMMENT and END cards.
CardText commentCard(std::string_view keyword, std::string_view text)
{
    CardText card;
    card.keyword(keyword);
    card.put("  ");
    card.put(cText(text).substr(0, 70));
    return card;
}

HeaderBlock* newBlock()
{
    auto* block = new HeaderBlock;
    std::memset(block->cards, ' ', sizeof block->cards);
    return block;
}

char* cardIn(HeaderBlock* block, int slot)
{
    return block->cards + (slot - 1) * cardLength;
}

// The card with number `number` as findCard counts it from `block`, or null.
template <typename Block>
auto cardAt(Block* block, int number) -> decltype(block->cards + 0)
{
    if (number < 1)
        return nullptr;
    while (block && number > cardsPerBlock) {
        block = block->next;
        number -= cardsPerBlock;
    }
    return block ? block->cards + (number - 1) * cardLength : nullptr;
}

// The slot (1 to 36) of the first card of one block, from slot `after` + 1 on, whose key is
// `keyword`, or 0.
int findInBlock(const HeaderBlock& block, std::string_view keyword, std::string& value, int after = 0)
{
    for (int slot = after; slot < cardsPerBlock; ++slot) {
        const char* card = block.cards + slot * cardLength;
        if (cardKey(card) != keyword)
            continue;
        value = cardValue(card);
        return slot + 1;
    }
    return 0;
}

} // namespace

std::string_view cardKey(const char* card)
{
    std::size_t keyLength = 8;
    while (keyLength > 1 && card[keyLength - 1] == ' ')
        --keyLength;
    return std::string_view(card, keyLength);
}

std::string stringCardText(std::string_view text)
{
    std::string held;
    std::size_t columns = 0;
    for (const char c : cText(text)) {
        const char shown = printable(c);
        columns += shown == '\'' ? 2 : 1;
        if (columns > 58)
            break;
        held += shown;
    }
    return held;
}

std::string cardValue(const char* card)
{
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
        return std::string(cText(text));
    }
    // A slash in the first place begins the comment of an undefined value.
    if (start >= cardLength || card[start] == '/')
        return "";
    std::size_t end = start;
    while (end < cardLength && card[end] != ' ')
        ++end;
    return std::string(cText(std::string_view(card + start, end - start)));
}

std::string_view commentaryText(const char* card)
{
    std::string_view rest(card + 10, cardLength - 10);
    return rest.substr(0, rest.find_last_not_of(' ') + 1);
}

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

void Header::makePlace()
{
    if (!current_)
        appendBlock();
}

void Header::store(const char (&card)[cardLength])
{
    makePlace();
    std::memcpy(cardIn(current_, slot_), card, cardLength);
    if (slot_ < cardsPerBlock) {
        ++slot_;
        return;
    }
    // The card filled the block: the next one goes to a new block, chained at once.
    HeaderBlock* block = newBlock();
    block->next = current_->next;
    current_->next = block;
    current_ = block;
    slot_ = 1;
}

void Header::addValueCard(std::string_view keyword, std::string_view value, std::string_view comment)
{
    store(valueCard(keyword, value, comment).text());
}

void Header::placeValueCard(std::string_view keyword, std::string_view value, std::string_view comment)
{
    makePlace();
    std::memcpy(cardIn(current_, slot_), valueCard(keyword, value, comment).text(), cardLength);
}

void Header::addStringCard(std::string_view keyword, std::string_view text)
{
    store(stringCard(keyword, text).text());
}

void Header::addStringCard(std::string_view keyword, std::string_view text, std::string_view comment)
{
    store(stringCard(keyword, text, comment).text());
}

void Header::addCommentCard(std::string_view keyword, std::string_view text)
{
    store(commentCard(keyword, text).text());
}

void Header::addEndCard()
{
    makePlace();
    std::memcpy(cardIn(current_, slot_), commentCard("END", " ").text(), cardLength);
    if (slot_ < cardsPerBlock) {
        ++slot_;
        padHeader();
        --slot_;
    }
}

void Header::padHeader()
{
    if (current_)
        std::memset(cardIn(current_, slot_), ' ', static_cast<std::size_t>(cardsPerBlock - slot_ + 1) * cardLength);
}

int Header::findCard(std::string_view keyword, std::string& value) const
{
    return ::findCard(first_, keyword, value);
}

bool Header::hasCommentCard(std::string_view keyword, std::string_view text) const
{
    for (const HeaderBlock* block = first_; block; block = block->next)
        for (int slot = 1; slot <= cardsPerBlock; ++slot)
            if (const char* card = block->cards + (slot - 1) * cardLength;
                cardKey(card) == keyword && commentaryText(card) == text)
                return true;
    return false;
}

int Header::cardsBeforePlace() const
{
    int count = 0;
    for (const HeaderBlock* block = first_; block && block != current_; block = block->next)
        count += cardsPerBlock;
    return count + slot_ - 1;
}

const char* Header::card(int number) const
{
    return cardAt(first_, number);
}

std::vector<std::string> Header::findCards(std::string_view keyword) const
{
    std::vector<std::string> values;
    std::string value;
    for (const HeaderBlock* block = first_; block; block = block->next)
        for (int slot = 0; (value.clear(), slot = findInBlock(*block, keyword, value, slot)) != 0;)
            values.push_back(value);
    return values;
}

void formatStringCard(char* card, std::string_view keyword, std::string_view text, std::string_view comment)
{
    std::memcpy(card, stringCard(keyword, text, comment).text(), cardLength);
}

char* Header::cardNamed(std::string_view keyword)
{
    std::string value;
    return cardAt(first_, findCard(keyword, value));
}

void Header::writeValueCardAt(int number, std::string_view keyword, std::string_view value, std::string_view comment)
{
    if (char* card = cardAt(first_, number))
        std::memcpy(card, valueCard(keyword, value, comment).text(), cardLength);
}

void Header::writeCommentCardAt(int number, std::string_view keyword, std::string_view text)
{
    if (char* card = cardAt(first_, number))
        std::memcpy(card, commentCard(keyword, text).text(), cardLength);
}

bool Header::replaceValueCard(std::string_view keyword, std::string_view value, std::string_view comment)
{
    char* card = cardNamed(keyword);
    if (card)
        std::memcpy(card, valueCard(keyword, value, comment).text(), cardLength);
    return card != nullptr;
}

bool Header::replaceStringCard(std::string_view keyword, std::string_view text)
{
    char* card = cardNamed(keyword);
    if (card)
        std::memcpy(card, stringCard(keyword, text).text(), cardLength);
    return card != nullptr;
}

bool Header::insertValueCard(std::string_view after, std::string_view keyword, std::string_view value,
                             std::string_view comment)
{
    std::string old;
    const int number = findCard(after, old);
    std::vector<std::string> cards = cardsUpToPlace();
    if (number < 1 || static_cast<std::size_t>(number) > cards.size())
        return false;
    cards.insert(cards.begin() + number, std::string(valueCard(keyword, value, comment).text(), cardLength));
    rewrite(cards);
    return true;
}

bool Header::removeCard(int number)
{
    std::vector<std::string> cards = cardsUpToPlace();
    if (number < 1 || static_cast<std::size_t>(number) > cards.size())
        return false;
    cards.erase(cards.begin() + (number - 1));
    rewrite(cards);
    return true;
}

std::vector<std::string> Header::cardsUpToPlace() const
{
    std::vector<std::string> cards;
    for (const HeaderBlock* block = first_; block; block = block->next) {
        const int used = block == current_ ? slot_ - 1 : cardsPerBlock;
        for (int slot = 1; slot <= used; ++slot)
            cards.emplace_back(block->cards + (slot - 1) * cardLength, cardLength);
        if (block == current_)
            break;
    }
    return cards;
}

void Header::rewrite(const std::vector<std::string>& cards)
{
    // The cards before the place are written again from the start; a header ended with END is
    // ended again.
    const bool ended = current_ && std::string_view(cardIn(current_, slot_), 8) == "END     ";
    freeHeader();
    for (const std::string& card : cards) {
        char text[cardLength];
        std::memcpy(text, card.data(), cardLength);
        store(text);
    }
    if (ended)
        addEndCard();
}

void Header::setValueCard(std::string_view keyword, std::string_view value, std::string_view comment)
{
    if (!replaceValueCard(keyword, value, comment))
        addValueCard(keyword, value, comment);
}

void Header::setStringCard(std::string_view keyword, std::string_view text, std::string_view comment)
{
    if (char* card = cardNamed(keyword))
        std::memcpy(card, stringCard(keyword, text, comment).text(), cardLength);
    else
        addStringCard(keyword, text, comment);
}

bool Header::resumeAtEnd()
{
    std::string value;
    for (HeaderBlock* block = first_; block; block = block->next) {
        if (const int slot = findInBlock(*block, "END", value)) {
            current_ = block;
            slot_ = slot;
            return true;
        }
    }
    return false;
}

HeaderBlock* Header::appendBlock()
{
    HeaderBlock* block = newBlock();
    if (!first_) {
        first_ = current_ = block;
        slot_ = 1;
        return block;
    }
    HeaderBlock* last = first_;
    while (last->next)
        last = last->next;
    last->next = block;
    return block;
}

Header::Header(Header&& other) noexcept
{
    swap(other);
}

Header& Header::operator=(Header&& other) noexcept
{
    freeHeader();
    swap(other);
    return *this;
}

void Header::swap(Header& other) noexcept
{
    std::swap(first_, other.first_);
    std::swap(current_, other.current_);
    std::swap(slot_, other.slot_);
}

Header Header::clone() const
{
    Header copy;
    for (const HeaderBlock* block = first_; block; block = block->next) {
        HeaderBlock* added = copy.appendBlock();
        std::memcpy(added->cards, block->cards, blockLength);
        if (block == current_)
            copy.current_ = added;
    }
    copy.slot_ = slot_;
    return copy;
}

void Header::freeHeader()
{
    while (first_) {
        HeaderBlock* next = first_->next;
        delete first_;
        first_ = next;
    }
    current_ = nullptr;
    slot_ = 1;
}
