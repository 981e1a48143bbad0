#include "fits/encode.h"

#include "fits/swapbytes.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KOVRENT_X86_VECTORS 1
#endif

namespace {

// File elements are big-endian whatever the host.
constexpr bool hostOrderDiffers = std::endian::native == std::endian::little;

// The low 32 bits of the value truncated toward zero (0 for NaN and infinities),
// computed without the undefined conversion of an out-of-range float.
uint32_t lowBits(float value)
{
    const double whole = std::trunc(static_cast<double>(value));
    if (!std::isfinite(whole))
        return 0;
    double low = std::fmod(whole, 4294967296.0);
    if (low < 0)
        low += 4294967296.0;
    return static_cast<uint32_t>(low);
}

uint16_t bigEndian(uint16_t word)
{
    return hostOrderDiffers ? swapWord2(word) : word;
}

uint32_t bigEndian(uint32_t word)
{
    return hostOrderDiffers ? swapWord4(word) : word;
}

// Stores one pixel in the file's big-endian element type: BITPIX 8, 16 and 32 take the value
// truncated toward zero, its low bits stored; -32 takes its bits unchanged.
template <int bytesPerPixel>
void storeElement(unsigned char* element, float value)
{
    if constexpr (bytesPerPixel == 1) {
        element[0] = static_cast<unsigned char>(lowBits(value));
    } else if constexpr (bytesPerPixel == 2) {
        const auto word = bigEndian(static_cast<uint16_t>(lowBits(value)));
        std::memcpy(element, &word, 2);
    } else if constexpr (bytesPerPixel == 4) {
        const uint32_t word = bigEndian(lowBits(value));
        std::memcpy(element, &word, 4);
    } else {
        const uint32_t word = bigEndian(std::bit_cast<uint32_t>(value));
        std::memcpy(element, &word, 4);
    }
}

// The placed image before replication: columns and rows at the raster's own resolution.
struct Oriented {
    const Raster& raster;
    const Placement& placement;
    int columns, rows;

    // The raster pixel at (x, y) of the unreplicated image.
    float at(int x, int y) const
    {
        const int a = placement.turn.reverse1 ? columns - 1 - x : x;
        const int b = placement.turn.reverse2 ? rows - 1 - y : y;
        return placement.turn.exchange ? raster[b][a] : raster[a][b];
    }
};

template <int bytesPerPixel>
void orientElements(const Oriented& image, unsigned char* out)
{
    constexpr int size = bytesPerPixel < 0 ? -bytesPerPixel : bytesPerPixel;
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.columns; ++x)
            storeElement<bytesPerPixel>(out + (static_cast<std::size_t>(y) * image.columns + x) * size, image.at(x, y));
}

#ifdef KOVRENT_X86_VECTORS
const bool hasAvx2 = __builtin_cpu_supports("avx2");

// Reverses the eight floats of a vector.
__attribute__((target("avx2"))) __m256 reversed(__m256 v)
{
    return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

// Stores eight floats as big-endian elements.
__attribute__((target("avx2"))) void storeBigEndian(unsigned char* out, __m256 v)
{
    const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6, 5, 4,
                                           11, 10, 9, 8, 15, 14, 13, 12);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(_mm256_castps_si256(v), order));
}

// Eight floats of raster column `column` from row `first` on, in the order of the placed
// image's rows (backwards when its axis 2 runs backwards).
__attribute__((target("avx2"))) __m256 columnRun(const Oriented& image, int column, int y0)
{
    if (!image.placement.turn.reverse2)
        return _mm256_loadu_ps(image.raster[column] + y0);
    return reversed(_mm256_loadu_ps(image.raster[column] + (image.rows - 8 - y0)));
}

// BITPIX -32, eight pixels at a time: a raster row of the placed image is a raster column when
// the axes are exchanged, copied in order or backwards; otherwise blocks of 8 x 8 are
// transposed. The remaining edges take the scalar path; every element is the same as its.
__attribute__((target("avx2"))) void orientFloats(const Oriented& image, unsigned char* out)
{
    const int columns = image.columns, rows = image.rows;
    const int wholeColumns = columns / 8 * 8;
    auto element = [&](int x, int y) { return out + (static_cast<std::size_t>(y) * columns + x) * 4; };
    if (image.placement.turn.exchange) {
        for (int y = 0; y < rows; ++y) {
            const float* column = image.raster[image.placement.turn.reverse2 ? rows - 1 - y : y];
            for (int x = 0; x < wholeColumns; x += 8)
                storeBigEndian(element(x, y),
                               image.placement.turn.reverse1 ? reversed(_mm256_loadu_ps(column + (columns - 8 - x)))
                                                        : _mm256_loadu_ps(column + x));
            for (int x = wholeColumns; x < columns; ++x)
                storeElement<-4>(element(x, y), image.at(x, y));
        }
        return;
    }
    const int wholeRows = rows / 8 * 8;
    for (int y0 = 0; y0 < wholeRows; y0 += 8) {
        for (int x0 = 0; x0 < wholeColumns; x0 += 8) {
            __m256 r[8];
            for (int j = 0; j < 8; ++j)
                r[j] = columnRun(image, image.placement.turn.reverse1 ? columns - 1 - (x0 + j) : x0 + j, y0);
            // r[j][k] is pixel (x0 + j, y0 + k); the transposition makes t[k][j] of it.
            const __m256 a0 = _mm256_unpacklo_ps(r[0], r[1]), a1 = _mm256_unpackhi_ps(r[0], r[1]);
            const __m256 a2 = _mm256_unpacklo_ps(r[2], r[3]), a3 = _mm256_unpackhi_ps(r[2], r[3]);
            const __m256 a4 = _mm256_unpacklo_ps(r[4], r[5]), a5 = _mm256_unpackhi_ps(r[4], r[5]);
            const __m256 a6 = _mm256_unpacklo_ps(r[6], r[7]), a7 = _mm256_unpackhi_ps(r[6], r[7]);
            const __m256 b0 = _mm256_shuffle_ps(a0, a2, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 b1 = _mm256_shuffle_ps(a0, a2, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 b2 = _mm256_shuffle_ps(a1, a3, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 b3 = _mm256_shuffle_ps(a1, a3, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 b4 = _mm256_shuffle_ps(a4, a6, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 b5 = _mm256_shuffle_ps(a4, a6, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 b6 = _mm256_shuffle_ps(a5, a7, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 b7 = _mm256_shuffle_ps(a5, a7, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 t[8] = {_mm256_permute2f128_ps(b0, b4, 0x20), _mm256_permute2f128_ps(b1, b5, 0x20),
                                 _mm256_permute2f128_ps(b2, b6, 0x20), _mm256_permute2f128_ps(b3, b7, 0x20),
                                 _mm256_permute2f128_ps(b0, b4, 0x31), _mm256_permute2f128_ps(b1, b5, 0x31),
                                 _mm256_permute2f128_ps(b2, b6, 0x31), _mm256_permute2f128_ps(b3, b7, 0x31)};
            for (int k = 0; k < 8; ++k)
                storeBigEndian(element(x0, y0 + k), t[k]);
        }
        for (int y = y0; y < y0 + 8; ++y)
            for (int x = wholeColumns; x < columns; ++x)
                storeElement<-4>(element(x, y), image.at(x, y));
    }
    for (int y = wholeRows; y < rows; ++y)
        for (int x = 0; x < columns; ++x)
            storeElement<-4>(element(x, y), image.at(x, y));
}
#endif

// Runs `action` with the element type of BITPIX as a compile-time value.
template <typename Action>
void withElementType(int bitpix, Action action)
{
    switch (bitpix / 8) {
    case 1: action(std::integral_constant<int, 1>()); break;
    case 2: action(std::integral_constant<int, 2>()); break;
    case 4: action(std::integral_constant<int, 4>()); break;
    default: action(std::integral_constant<int, -4>()); break;
    }
}

// Each element of a row of `columns`, `size` bytes, `factor` times in a row.
template <int size>
void replicateRow(const unsigned char* in, int columns, int factor, unsigned char* out)
{
    for (int x = 0; x < columns; ++x, in += size)
        for (int r = 0; r < factor; ++r, out += size)
            std::memcpy(out, in, size);
}

} // namespace

void encodePixels(const Raster& raster, const Placement& placement, int bitpix, std::vector<unsigned char>& data,
                  std::vector<unsigned char>& scratch)
{
    const int size = std::abs(bitpix) / 8;
    const int factor = placement.factor > 1 ? placement.factor : 1;
    const Oriented image{raster, placement, placement.width / factor, placement.height / factor};
    const std::size_t rowBytes = static_cast<std::size_t>(placement.width) * size;
    data.resize(rowBytes * placement.height);
    // Without replication the placed image is the data itself.
    std::vector<unsigned char>& oriented = factor == 1 ? data : scratch;
    oriented.resize(static_cast<std::size_t>(image.columns) * image.rows * size);
#ifdef KOVRENT_X86_VECTORS
    if (hasAvx2 && bitpix == -32)
        orientFloats(image, oriented.data());
    else
#endif
        withElementType(bitpix, [&](auto type) { orientElements<type()>(image, oriented.data()); });
    if (factor == 1)
        return;
    // Each row of blocks: one row with every element repeated, then copies of it.
    for (int y = 0; y < image.rows; ++y) {
        unsigned char* row = data.data() + static_cast<std::size_t>(y) * factor * rowBytes;
        const unsigned char* source = oriented.data() + static_cast<std::size_t>(y) * image.columns * size;
        switch (size) {
        case 1: replicateRow<1>(source, image.columns, factor, row); break;
        case 2: replicateRow<2>(source, image.columns, factor, row); break;
        default: replicateRow<4>(source, image.columns, factor, row); break;
        }
        for (int copy = 1; copy < factor; ++copy)
            std::memcpy(row + copy * rowBytes, row, rowBytes);
    }
}
