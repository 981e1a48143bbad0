#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr int cardLength = 80;
constexpr int cardsPerBlock = 36;
constexpr int blockLength = cardLength * cardsPerBlock; // 2880 bytes, one FITS record

// One 2880-byte header record: 36 cards of 80 characters, no terminating NUL.
struct HeaderBlock {
    HeaderBlock* next = nullptr;
    char cards[blockLength];
};

// The description of one image and its header chain. `header` is the current
// block: the last one while a header is being built, the first one after reading
// and before lookup, writing or freeing. `chain` keeps the first block and owns
// every block behind it, so a header is released even when a run ends half-way.
struct FitsImage {
    int16_t naxis = 0;
    int16_t naxis1 = 0;
    int16_t naxis2 = 0;
    double bscale = 1.0;
    double bzero = 0.0;
    int16_t bitpix = 0;
    int16_t bytesPerPixel = 0;
    int32_t pixelCount = 0;
    int16_t blockCards = 0;
    HeaderBlock* header = nullptr;
    HeaderBlock* chain = nullptr;

    FitsImage() = default;
    FitsImage(const FitsImage&) = delete;
    FitsImage& operator=(const FitsImage&) = delete;
    ~FitsImage();
};

constexpr int rasterSize = 512;

// 512 x 512 pixels indexed [x][y]: x along FITS axis 1, [x][y] at x * 512 + y.
struct Raster {
    float cells[rasterSize][rasterSize];

    float* operator[](int x) { return cells[x]; }
    const float* operator[](int x) const { return cells[x]; }
};

// Writes SIMPLE, BITPIX, NAXIS, NAXIS1, NAXIS2, BSCALE, BZERO and an END placeholder
// from the start of the first block; returns the position after the placeholder, or
// null when the first block cannot be allocated.
char* buildMinimalHeader(FitsImage& image);

// The card writers put one 80-character card at `position` and return where the
// next card goes: the start of a freshly chained block when this card filled slot 36.
char* addValueCard(char* position, std::string_view keyword, std::string_view value,
                   std::string_view comment, FitsImage& image);
char* addStringCard(char* position, std::string_view keyword, std::string_view text,
                    FitsImage& image);
char* addCommentCard(char* position, std::string_view keyword, std::string_view text,
                     FitsImage& image);

// Fills the rest of the current block with blank cards; `blockCards` is unchanged.
void padHeader(char* position, FitsImage& image);

// The 1-based number, counted from `block`, of the first card whose key is `keyword`,
// with its value text in `value`; -1 when no card matches.
int findCard(const HeaderBlock* block, std::string_view keyword, std::string& value);

// As findCard, within `block` alone.
int findCardInBlock(const HeaderBlock* block, std::string_view keyword, std::string& value);

// The card with number `number` as counted by findCard from `block`, or null when
// the chain is shorter.
char* cardAt(HeaderBlock* block, int number);

// Overwrites, where it stands, the first card from the first block whose key is
// `keyword`, without adding a card; false when there is none.
bool rewriteValueCard(FitsImage& image, std::string_view keyword, std::string_view value,
                      std::string_view comment);
bool rewriteStringCard(FitsImage& image, std::string_view keyword, std::string_view text);

void freeHeader(FitsImage& image);
