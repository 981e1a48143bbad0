#pragma once

#include <string>
#include <string_view>
#include <vector>

constexpr int cardLength = 80;
constexpr int cardsPerBlock = 36;
constexpr int blockLength = cardLength * cardsPerBlock; // 2880 bytes, one FITS record

// One 2880-byte header record: 36 cards of 80 characters, no terminating NUL.
struct HeaderBlock {
    HeaderBlock* next = nullptr;
    char cards[blockLength];
};

// A FITS header: a chain of blocks, which it owns, and the place where the next card goes.
// Cards are appended at that place; a card that fills the last slot of a block chains a new
// block at once, so the place is always a free slot. A block that cannot be allocated throws
// std::bad_alloc, as any allocation does.
class Header {
public:
    Header() = default;
    Header(const Header&) = delete;
    Header& operator=(const Header&) = delete;
    // The chain goes to the new owner; the old one is left empty.
    Header(Header&& other) noexcept;
    Header& operator=(Header&& other) noexcept;
    void swap(Header& other) noexcept;
    // A copy of every block, with the place where it stands here.
    Header clone() const;
    ~Header() { freeHeader(); }

    // The card writers: one 80-character card at the place, which moves on.
    void addValueCard(std::string_view keyword, std::string_view value, std::string_view comment);
    // A value card at the place, which stays: the next card takes its slot (a placeholder).
    void placeValueCard(std::string_view keyword, std::string_view value, std::string_view comment);
    void addStringCard(std::string_view keyword, std::string_view text);
    // A string with a comment: the quote in column 11, the comment from column 32 on.
    void addStringCard(std::string_view keyword, std::string_view text, std::string_view comment);
    void addCommentCard(std::string_view keyword, std::string_view text);

    // END at the place, then blank cards to the end of its block (padHeader). END fills the
    // last slot of a block without chaining an empty block behind it; the place stays on END,
    // so that cards added later take its slot.
    void addEndCard();
    // Blank cards from the place to the end of its block; the place stays.
    void padHeader();

    // The number, counted from the first block, of the first card whose key is `keyword`,
    // with its value text in `value`; -1 when no card matches.
    int findCard(std::string_view keyword, std::string& value) const;
    // True when a HISTORY, COMMENT or other commentary card `keyword` holds `text`.
    bool hasCommentCard(std::string_view keyword, std::string_view text) const;
    // How many cards stand before the place: the number of the card written last.
    int cardsBeforePlace() const;
    // The 80 characters of card `number` (from 1), or null.
    const char* card(int number) const;
    // The value texts of every card whose key is `keyword`, in header order.
    std::vector<std::string> findCards(std::string_view keyword) const;

    // A value card over card `number` (from 1) where it stands; the place does not move.
    void writeValueCardAt(int number, std::string_view keyword, std::string_view value, std::string_view comment);
    // A commentary card likewise.
    void writeCommentCardAt(int number, std::string_view keyword, std::string_view text);
    // Overwrite, where it stands, the first card whose key is `keyword`; the place does not
    // move and no card is added. False when there is no such card.
    bool replaceValueCard(std::string_view keyword, std::string_view value, std::string_view comment);
    bool replaceStringCard(std::string_view keyword, std::string_view text);
    // A value card right after the first card whose key is `after`, the cards behind it moved
    // on by one; the place moves with them. False when there is no such card.
    bool insertValueCard(std::string_view after, std::string_view keyword, std::string_view value,
                         std::string_view comment);
    // Removes card `number` (from 1), the cards behind it moved back by one with the place.
    // False when there is no such card before the place.
    bool removeCard(int number);
    // replaceValueCard, or addValueCard when there is no such card.
    void setValueCard(std::string_view keyword, std::string_view value, std::string_view comment);
    // The same for a string with a comment.
    void setStringCard(std::string_view keyword, std::string_view text, std::string_view comment);

    // Puts the place on the first END card, so that the next card takes its slot: how a
    // finished header, or one read from a file, is appended to. False when it has no END.
    bool resumeAtEnd();

    // A blank block chained behind the last one, for a reader that fills it from a file; the
    // place is not moved.
    HeaderBlock* appendBlock();

    // The chain, from its first block, as the writer and block-wise lookups walk it.
    const HeaderBlock* firstBlock() const { return first_; }
    bool empty() const { return first_ == nullptr; }

    // Releases every block; the header is empty afterwards.
    void freeHeader();

private:
    void makePlace();
    // The texts of the cards before the place, and the header written again from them.
    std::vector<std::string> cardsUpToPlace() const;
    void rewrite(const std::vector<std::string>& cards);
    void store(const char (&card)[cardLength]);
    // The first card whose key is `keyword`, or null.
    char* cardNamed(std::string_view keyword);

    HeaderBlock* first_ = nullptr;
    HeaderBlock* current_ = nullptr; // the block that holds the place
    int slot_ = 1;                   // the place: slot 1 to 36 of the current block
};

// The 1-based number, counted from `block`, of the first card whose key is `keyword`, with
// its value text in `value`; -1 when no card matches. For block-wise lookups.
int findCard(const HeaderBlock* block, std::string_view keyword, std::string& value);

// The key of a card: its first 8 characters without trailing blanks, the first always kept.
std::string_view cardKey(const char* card);
// The value text of a card as findCard gives it: a string's text between its quotes, or the
// word after "= "; "" for an undefined value.
std::string cardValue(const char* card);
// The text that a string card of `text` holds, as cardValue reads it back: each byte outside
// printable ASCII a blank, and cut where the next character would not fit whole into the 58
// columns a string takes (a quote takes two).
std::string stringCardText(std::string_view text);
// The text of a commentary card (HISTORY, COMMENT): from column 11, without trailing blanks.
std::string_view commentaryText(const char* card);

// Writes a string card with a comment, as addStringCard lays it out, over the 80 characters at
// `card`.
void formatStringCard(char* card, std::string_view keyword, std::string_view text, std::string_view comment);

// As findCard, within `block` alone.
int findCardInBlock(const HeaderBlock* block, std::string_view keyword, std::string& value);
