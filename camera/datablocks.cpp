#include "camera/datablocks.h"

#include "camera/cameratexts.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

// A pixel value over the frame's divisor, rounded once to double exactly as the
// division value / divisor rounds it.
struct Quotient {
    double divisor;
    double inverse; // 1 / divisor, correctly rounded

    // Without a division: q0 = value * inverse is within two units in the last place
    // of the quotient, so the residue value - q0 * divisor is exact in a fused
    // multiply-add, and one correction step lands on the rounded quotient. That step
    // is exact because value and divisor are integers of at most 2^31 in magnitude: the
    // quotient then lies at least 2^-84 of its size away from any rounding boundary,
    // far more than the error of the step, about 2^-104.
    // A packed image's values (floatValues) are rounded to floats before they are divided,
    // which leaves them integers of at most 2^31 in magnitude.
    template <bool fused, bool floatValues>
    double operator()(int32_t value) const
    {
        const double v = floatValues ? static_cast<double>(static_cast<float>(value)) : value;
        if constexpr (fused) {
            const double q0 = v * inverse;
            return std::fma(std::fma(-q0, divisor, v), inverse, q0);
        } else {
            return v / divisor;
        }
    }
};

template <Merge merge, bool fused, bool floatValues>
inline void mergeColumn(float* cell, const unsigned char* values, int32_t rows, Quotient quotient)
{
    for (int32_t y = 0; y < rows; ++y) {
        const double q = quotient.operator()<fused, floatValues>(littleInt32(values + 4 * y));
        if constexpr (merge == Merge::store)
            cell[y] = static_cast<float>(q);
        else if constexpr (merge == Merge::subtract)
            cell[y] = static_cast<float>(cell[y] - q);
        else if constexpr (merge == Merge::add)
            cell[y] = static_cast<float>(cell[y] + q);
        else
            cell[y] = static_cast<float>(-(cell[y] + q));
    }
}

template <bool fused, bool floatValues>
inline void mergeColumns(Raster& raster, int32_t x, const unsigned char* columns, int32_t count, int32_t rows,
                         Merge merge, Quotient quotient)
{
    const std::size_t columnBytes = 4 * static_cast<std::size_t>(rows);
    for (int32_t i = 0; i < count; ++i, ++x, columns += columnBytes) {
        switch (merge) {
        case Merge::store: mergeColumn<Merge::store, fused, floatValues>(raster[x], columns, rows, quotient); break;
        case Merge::subtract: mergeColumn<Merge::subtract, fused, floatValues>(raster[x], columns, rows, quotient); break;
        case Merge::add: mergeColumn<Merge::add, fused, floatValues>(raster[x], columns, rows, quotient); break;
        case Merge::addNegate: mergeColumn<Merge::addNegate, fused, floatValues>(raster[x], columns, rows, quotient); break;
        }
    }
}

// The divisions take most of a conversion's computing time; where the processor has
// fused multiply-add, the exact quotient comes from a multiplication and two of them.
#if defined(__FP_FAST_FMA)
constexpr bool hasFusedMultiplyAdd = true;
#define FUSED_MULTIPLY_ADD_TARGET
#elif defined(__x86_64__) && defined(__GNUC__)
const bool hasFusedMultiplyAdd = __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
#define FUSED_MULTIPLY_ADD_TARGET __attribute__((target("avx2,fma")))
#else
constexpr bool hasFusedMultiplyAdd = false;
#define FUSED_MULTIPLY_ADD_TARGET
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__FP_FAST_FMA)
// Four pixels at a time: the same multiplication, multiply-adds and single rounding to float as
// the scalar step, lane by lane, so every cell is bit for bit what the scalar path stores. The
// host is little-endian, as the file's values are.
template <Merge merge, bool floatValues>
FUSED_MULTIPLY_ADD_TARGET void mergeColumnVector(float* cell, const unsigned char* values, int32_t rows,
                                                 Quotient quotient)
{
    const __m256d divisor = _mm256_set1_pd(quotient.divisor);
    const __m256d inverse = _mm256_set1_pd(quotient.inverse);
    int32_t y = 0;
    for (; y + 4 <= rows; y += 4) {
        const __m128i integers = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 4 * y));
        const __m256d value
            = floatValues ? _mm256_cvtps_pd(_mm_cvtepi32_ps(integers)) : _mm256_cvtepi32_pd(integers);
        const __m256d q0 = _mm256_mul_pd(value, inverse);
        const __m256d q = _mm256_fmadd_pd(_mm256_fnmadd_pd(q0, divisor, value), inverse, q0);
        __m256d result = q;
        if constexpr (merge != Merge::store) {
            const __m256d old = _mm256_cvtps_pd(_mm_loadu_ps(cell + y));
            if constexpr (merge == Merge::subtract)
                result = _mm256_sub_pd(old, q);
            else if constexpr (merge == Merge::add)
                result = _mm256_add_pd(old, q);
            else
                result = _mm256_xor_pd(_mm256_add_pd(old, q), _mm256_set1_pd(-0.0));
        }
        _mm_storeu_ps(cell + y, _mm256_cvtpd_ps(result));
    }
    mergeColumn<merge, true, floatValues>(cell + y, values + 4 * y, rows - y, quotient);
}

// Eight pixels at a time where the processor has AVX-512, with the same operations lane by lane.
template <Merge merge, bool floatValues>
__attribute__((target("avx512f,avx2,fma"))) void mergeColumnWide(float* cell, const unsigned char* values, int32_t rows,
                                                                 Quotient quotient)
{
    const __m512d divisor = _mm512_set1_pd(quotient.divisor);
    const __m512d inverse = _mm512_set1_pd(quotient.inverse);
    int32_t y = 0;
    for (; y + 8 <= rows; y += 8) {
        const __m256i integers = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + 4 * y));
        const __m512d value = floatValues ? _mm512_maskz_cvtps_pd(0xFF, _mm256_cvtepi32_ps(integers))
                                          : _mm512_maskz_cvtepi32_pd(0xFF, integers);
        const __m512d q0 = _mm512_mul_pd(value, inverse);
        const __m512d q = _mm512_fmadd_pd(_mm512_fnmadd_pd(q0, divisor, value), inverse, q0);
        __m512d result = q;
        if constexpr (merge != Merge::store) {
            const __m512d old = _mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(cell + y));
            if constexpr (merge == Merge::subtract)
                result = _mm512_sub_pd(old, q);
            else if constexpr (merge == Merge::add)
                result = _mm512_add_pd(old, q);
            else
                result = _mm512_castsi512_pd(
                    _mm512_xor_epi64(_mm512_castpd_si512(_mm512_add_pd(old, q)), _mm512_set1_epi64(INT64_MIN)));
        }
        _mm256_storeu_ps(cell + y, _mm512_maskz_cvtpd_ps(0xFF, result));
    }
    mergeColumnVector<merge, floatValues>(cell + y, values + 4 * y, rows - y, quotient);
}

const bool hasAvx512 = __builtin_cpu_supports("avx512f");

template <bool floatValues>
FUSED_MULTIPLY_ADD_TARGET void mergeColumnsFused(Raster& raster, int32_t x, const unsigned char* columns, int32_t count,
                                                 int32_t rows, Merge merge, Quotient quotient)
{
    const std::size_t columnBytes = 4 * static_cast<std::size_t>(rows);
    auto run = [&](auto column) {
        for (int32_t i = 0; i < count; ++i, ++x, columns += columnBytes)
            column(raster[x], columns, rows, quotient);
    };
    switch (merge) {
    case Merge::store:
        hasAvx512 ? run(mergeColumnWide<Merge::store, floatValues>) : run(mergeColumnVector<Merge::store, floatValues>);
        break;
    case Merge::subtract:
        hasAvx512 ? run(mergeColumnWide<Merge::subtract, floatValues>)
                  : run(mergeColumnVector<Merge::subtract, floatValues>);
        break;
    case Merge::add:
        hasAvx512 ? run(mergeColumnWide<Merge::add, floatValues>) : run(mergeColumnVector<Merge::add, floatValues>);
        break;
    case Merge::addNegate:
        hasAvx512 ? run(mergeColumnWide<Merge::addNegate, floatValues>)
                  : run(mergeColumnVector<Merge::addNegate, floatValues>);
        break;
    }
}
#else
template <bool floatValues>
FUSED_MULTIPLY_ADD_TARGET void mergeColumnsFused(Raster& raster, int32_t x, const unsigned char* columns, int32_t count,
                                                 int32_t rows, Merge merge, Quotient quotient)
{
    mergeColumns<true, floatValues>(raster, x, columns, count, rows, merge, quotient);
}
#endif

} // namespace

void mergeColumnValues(Raster& raster, int32_t x, const unsigned char* columns, int32_t count, int32_t rows,
                       Merge merge, double divisor, bool floatValues)
{
    const Quotient quotient{divisor, 1.0 / divisor};
    // The divisors are counts of coadds: whole numbers. A zero divisor gives infinities
    // and NaNs, which only the division produces as such.
    const bool fused
        = hasFusedMultiplyAdd && divisor != 0.0 && divisor == std::trunc(divisor) && std::fabs(divisor) <= 2147483648.0;
    if (fused && floatValues)
        mergeColumnsFused<true>(raster, x, columns, count, rows, merge, quotient);
    else if (fused)
        mergeColumnsFused<false>(raster, x, columns, count, rows, merge, quotient);
    else if (floatValues)
        mergeColumns<false, true>(raster, x, columns, count, rows, merge, quotient);
    else
        mergeColumns<false, false>(raster, x, columns, count, rows, merge, quotient);
}

namespace {

// Reads the frames of one file into the raster.
class FrameReader {
public:
    FrameReader(CameraStream& stream, const FrameLayout& layout, Raster& raster, int32_t obsmode, Messages& messages)
        : stream_(stream), layout_(layout), raster_(raster), obsmode_(obsmode), messages_(messages)
    {
    }

    // The next frame, merged into the raster. False after a short column, with `shortText`
    // (data block 1) or the block-2 text, filled in with obsmode, and the reason; with
    // `beyondData`, a file that ends there is no fault of the file, and only a read that failed
    // has a reason.
    bool readFrame(Merge merge, float divisor, CameraText shortText, bool beyondData = false)
    {
        if (!readColumns(0, layout_.blockColumns(), merge, divisor, shortText, beyondData))
            return false;
        stream_.skipBytes(layout_.skipBefore);
        if (layout_.finX != layout_.endX) {
            if (!readColumns(layout_.blockColumns(), layout_.naxis1, merge, divisor, CameraText::notEnoughData,
                             beyondData))
                return false;
            stream_.skipBytes(layout_.skipAfter);
        }
        return true;
    }

    // Moves past `count` frames without reading them: one seek however many frames, so a
    // frame past the end shows at its first column.
    void skipFrames(int64_t count)
    {
        const int64_t columnBytes = 4 * static_cast<int64_t>(layout_.naxis2);
        int64_t frameBytes = layout_.blockColumns() * columnBytes + std::max<int64_t>(layout_.skipBefore, 0);
        if (layout_.finX != layout_.endX)
            frameBytes += std::max<int64_t>(layout_.naxis1 - layout_.blockColumns(), 0) * columnBytes
                + std::max<int64_t>(layout_.skipAfter, 0);
        stream_.skipBytes(count * frameBytes);
    }

private:
    bool readColumns(int32_t first, int32_t end, Merge merge, double divisor, CameraText shortText, bool beyondData);

    CameraStream& stream_;
    const FrameLayout& layout_;
    Raster& raster_;
    int32_t obsmode_;
    Messages& messages_;
};

// Columns are merged as many at a time as the stream's buffer holds, where they stand in it; a
// short read ends the run with the message of its place, as a short single column would.
bool FrameReader::readColumns(int32_t first, int32_t end, Merge merge, double divisor, CameraText shortText,
                              bool beyondData)
{
    const std::size_t columnBytes = 4 * static_cast<std::size_t>(layout_.naxis2);
    const auto perRead = static_cast<int32_t>(std::max<std::size_t>(CameraStream::viewLimit / columnBytes, 1));
    for (int32_t x = first; x < end;) {
        const int32_t count = std::min(perRead, end - x);
        const std::size_t bytes = static_cast<std::size_t>(count) * columnBytes;
        std::size_t got = 0;
        const unsigned char* columns = stream_.view(bytes, got);
        if (got != bytes) {
            messages_.say(shortText, {obsmode_});
            if (!beyondData || stream_.failed())
                messages_.reason("%s", stream_.shortReadReason().c_str());
            return false;
        }
        mergeColumnValues(raster_, x, columns, count, layout_.naxis2, merge, divisor, false);
        x += count;
    }
    return true;
}

// The divisor of frame n when it is extracted alone, from the divisors of beams 1 to 4.
float selectedDivisor(const float divisors[4], int32_t obsmode, int32_t n)
{
    switch (obsmode) {
    case 3:
    case 4: return n <= 2 ? divisors[0] : divisors[1];
    case 5: return n == 1 ? divisors[0] : divisors[1];
    case 7: return n >= 1 && n <= 4 ? divisors[n - 1] : divisors[0];
    default: return divisors[0];
    }
}

} // namespace

const ObservingMode* observingMode(int64_t obsmode)
{
    using enum Merge;
    static constexpr ObservedFrame chopNod[4]
        = {{"NOD A, CHOP 1", store, 1}, {"NOD A, CHOP 2", subtract, 1}, {"NOD B, CHOP 1", subtract, 2},
           {"NOD B, CHOP 2", add, 2}};
    // F1/c1 - F2/c1 - F3/c2 + F4/c2 for chop-nod; the two-beam nod's sum is negated as its
    // last frame is added: -(F1/c1 - F2/c2 - F3/c3 + F4/c4).
    static constexpr ObservingMode modes[] = {
        {"GRAB", 1, {{"FRAME", store, 1}}},
        {"CHOP", 2, {{"CHOP 1", store, 1}, {"CHOP 2", subtract, 1}}},
        {"CHOP-NOD", 4, {chopNod[0], chopNod[1], chopNod[2], chopNod[3]}},
        {"CHOP-NOD", 4, {chopNod[0], chopNod[1], chopNod[2], chopNod[3]}},
        {"NOD", 2, {{"NOD A", store, 1}, {"NOD B", subtract, 2}}},
        {nullptr, 0, {}},
        {"TWO BEAM NOD", 4,
         {{"BEAM 1", store, 1}, {"BEAM 2", subtract, 2}, {"BEAM 3", subtract, 3}, {"BEAM 4", addNegate, 4}}},
    };
    return obsmode >= 1 && obsmode <= 7 && modes[obsmode - 1].name ? &modes[obsmode - 1] : nullptr;
}

std::string observingModeName(int64_t obsmode)
{
    const ObservingMode* mode = observingMode(obsmode);
    return mode ? mode->name : "mode " + std::to_string(obsmode);
}

int64_t framesEnd(const FrameLayout& layout, int64_t dataStart, int64_t frames)
{
    // As FrameReader reads: the columns of data block 1, its fill, then those of block 2 and its
    // fill; a fill that comes out negative moves nothing.
    const int64_t columnBytes = 4 * static_cast<int64_t>(layout.naxis2);
    int64_t at = dataStart, end = dataStart;
    for (int64_t f = 0; f < frames; ++f) {
        at += layout.blockColumns() * columnBytes;
        end = at;
        at += std::max<int64_t>(layout.skipBefore, 0);
        if (layout.finX != layout.endX) {
            at += (layout.naxis1 - layout.blockColumns()) * columnBytes;
            end = at;
            at += std::max<int64_t>(layout.skipAfter, 0);
        }
    }
    return end;
}

float frameDivisor(const HeaderFacts& facts, int32_t obsmode, int32_t n)
{
    float divisors[4];
    std::copy(std::begin(facts.coadds), std::end(facts.coadds), divisors);
    return selectedDivisor(divisors, obsmode, n);
}

Result readFrames(CameraReading& file, Raster& raster, int32_t frameNumber, int32_t obsmode, Messages& messages)
{
    // The coadds of beams 1 to 4 as floats, the divisors of their frames.
    float divisors[4];
    std::copy(std::begin(file.facts.coadds), std::end(file.facts.coadds), divisors);
    FrameReader frames(file.stream, file.layout, raster, obsmode, messages);
    if (frameNumber != 0) {
        const int32_t n = frameNumber < 1 ? 1 : frameNumber;
        const ObservingMode* mode = observingMode(obsmode);
        const bool beyondMode = mode && n > mode->frames;
        TextValues values;
        if (beyondMode) {
            values.name = mode->name;
            values.other = file.stream.name();
            values.numbers[0] = n;
            values.numbers[1] = obsmode;
            values.numbers[2] = mode->frames;
        }
        frames.skipFrames(n - 1);
        // A frame beyond the mode's is read where the file goes on, with a warning; where the
        // file ends, the frame asked for is the reason, not the file.
        if (!frames.readFrame(Merge::store, selectedDivisor(divisors, obsmode, n), CameraText::notEnoughData,
                              beyondMode)) {
            if (!beyondMode || file.stream.failed())
                return Result::fatal(CameraText::notEnoughData, messages.lastReason());
            std::string reason = sentence(CameraText::frameBeyondMode, values);
            messages.reason(CameraText::frameBeyondMode, values, reason);
            return Result::fatal(CameraText::frameBeyondMode, std::move(reason));
        }
        if (beyondMode)
            messages.warn(CameraText::frameBeyondMode, values, sentence(CameraText::frameBeyondMode, values));
        return Result();
    }

    // The first frame of every mode is beam 1's, stored; it is read before the mode is known.
    if (!frames.readFrame(Merge::store, divisors[0], CameraText::notEnoughData))
        return Result::fatal(CameraText::notEnoughData, messages.lastReason());
    const ObservingMode* mode = observingMode(obsmode);
    if (!mode)
        return messages.fatal(CameraText::modeNotSupported, {obsmode});
    for (int n = 1; n < mode->frames; ++n) {
        const ObservedFrame& frame = mode->frame[n];
        if (!frames.readFrame(frame.merge, divisors[frame.beam - 1], CameraText::notEnoughDataLater))
            return Result::fatal(CameraText::notEnoughDataLater, messages.lastReason());
    }
    return Result();
}

void interchangeColumns(Raster& raster, int naxis1, int naxis2)
{
    // Groups of 2 columns by 8 rows; at the right and lower edges of an image of odd width or
    // of a height that is no multiple of 8, a swap whose partner lies outside the image is
    // left out, so that no pixel leaves the image and none comes in from an earlier file.
    naxis1 = std::min(naxis1, rasterSize);
    naxis2 = std::min(naxis2, rasterSize);
    for (int x0 = 0; x0 + 1 < naxis1; x0 += 2)
        for (int y0 = 0; y0 + 2 < naxis2; y0 += 8)
            std::swap(raster[x0 + 1][y0 + 1], raster[x0][y0 + 2]);
}
