// Vector versions of the hot conversions, for processors with AVX2, FMA
// and F16C, chosen at run time. Each gives bit-for-bit the results of the
// scalar loops in Conversion.cpp, which remain the reference and the
// fallback.
#include "buffers/ConversionSimd.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <cpuid.h>
#include <immintrin.h>

#include <cmath>

#include <cfloat>

#define VEXA_SIMD_TARGET __attribute__((target("avx2,fma,f16c")))

namespace {

bool haveSimd() {
    // CPUID leaf 1: FMA is ECX bit 12, F16C ECX bit 29; AVX2 is leaf 7 EBX bit 5.
    static const bool ok = [] {
        unsigned a, b, c, d;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
        const bool fmaF16c = (c & (1u << 12)) != 0 && (c & (1u << 29)) != 0;
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
        return fmaF16c && (b & (1u << 5)) != 0 && __builtin_cpu_supports("avx2");
    }();
    return ok;
}

VEXA_SIMD_TARGET void halfToFloatAvx(float* dst, const uint16_t* src, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
    for (; i < n; ++i) dst[i] = _cvtsh_ss(src[i]);
}

VEXA_SIMD_TARGET void floatToHalfAvx(uint16_t* dst, const float* src, size_t n) {
    const __m256 signMask = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u)));
    const __m256 quietNan = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FC00000));
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(src + i);
        // Every NaN narrows to the canonical quiet NaN with its sign kept.
        const __m256 nan = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
        x = _mm256_blendv_ps(x, _mm256_or_ps(_mm256_and_ps(x, signMask), quietNan), nan);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT));
    }
    for (; i < n; ++i) {
        __m128 x = _mm_set_ss(src[i]);
        const __m128 nan = _mm_cmpunord_ss(x, x);
        x = _mm_blendv_ps(x, _mm_or_ps(_mm_and_ps(x, _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0x80000000u)))),
                                       _mm_castsi128_ps(_mm_set1_epi32(0x7FC00000))),
                          nan);
        dst[i] = static_cast<uint16_t>(_mm_extract_epi16(_mm_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT), 0));
    }
}

VEXA_SIMD_TARGET void minMaxAvx(const float* src, size_t n, float& mn, float& mx) {
    __m256 lo = _mm256_set1_ps(mn), hi = _mm256_set1_ps(mx);
    size_t i = 0;
    // With a NaN in the first operand the second is returned: NaNs are skipped, as fminf/fmaxf do.
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(src + i);
        lo = _mm256_min_ps(x, lo);
        hi = _mm256_max_ps(x, hi);
    }
    alignas(32) float l[8], h[8];
    _mm256_store_ps(l, lo);
    _mm256_store_ps(h, hi);
    for (int k = 0; k < 8; ++k) mn = std::fmin(mn, l[k]), mx = std::fmax(mx, h[k]);
    for (; i < n; ++i) mn = std::fmin(mn, src[i]), mx = std::fmax(mx, src[i]);
}

// q = round-half-away((x - encMin) * maxQ / range), clamped to [0, maxQ], NaN to 0.
// A multiply by maxQ / range stands in for the division; it differs from it
// by a few units in the last place, which can only change the rounding
// next to a half, so lanes there are redone with the exact division.
VEXA_SIMD_TARGET __m256d quantizeLanes(__m128 x, __m256d encMin, __m256d maxQ, __m256d range, __m256d scale) {
    const __m256d diff = _mm256_sub_pd(_mm256_cvtps_pd(x), encMin);
    __m256d v = _mm256_mul_pd(diff, scale);
    const __m256d frac = _mm256_sub_pd(_mm256_sub_pd(v, _mm256_floor_pd(v)), _mm256_set1_pd(0.5));
    const __m256d absFrac = _mm256_andnot_pd(_mm256_set1_pd(-0.0), frac);
    if (_mm256_movemask_pd(_mm256_cmp_pd(absFrac, _mm256_set1_pd(1e-9), _CMP_LT_OQ)) != 0) {
        v = _mm256_div_pd(_mm256_mul_pd(diff, maxQ), range);
    }
    // floor(v + 0.5) can only overshoot, when the sum rounds up; step back then.
    __m256d r = _mm256_floor_pd(_mm256_add_pd(v, _mm256_set1_pd(0.5)));
    const __m256d over = _mm256_cmp_pd(_mm256_sub_pd(r, v), _mm256_set1_pd(0.5), _CMP_GT_OQ);
    r = _mm256_sub_pd(r, _mm256_and_pd(over, _mm256_set1_pd(1.0)));
    r = _mm256_max_pd(r, _mm256_setzero_pd());  // NaN in the first operand gives 0
    return _mm256_min_pd(r, maxQ);
}

// Eight lanes in single precision; the result is defined in double, so a
// vector with any lane within reach of a rounding boundary (a half) is
// redone with the exact double-precision lanes above.
// The single-precision error is bounded by a few units in the last place
// of |x| * scale, |encMin| * scale and |v|; `margin` over-estimates it.
VEXA_SIMD_TARGET bool quantizeFloatLanes(__m256 x, __m256 encMin, __m256 scale, __m256 maxQ, __m256 xWeight,
                                         __m256 margin0, __m256i& q) {
    const __m256 absMask = _mm256_set1_ps(-0.0f);
    const __m256 v = _mm256_mul_ps(_mm256_sub_ps(x, encMin), scale);
    const __m256 frac = _mm256_sub_ps(_mm256_sub_ps(v, _mm256_floor_ps(v)), _mm256_set1_ps(0.5f));
    __m256 margin = _mm256_fmadd_ps(_mm256_andnot_ps(absMask, x), xWeight, margin0);
    margin = _mm256_fmadd_ps(_mm256_andnot_ps(absMask, v), _mm256_set1_ps(1.0f / (1 << 21)), margin);
    const __m256 near = _mm256_cmp_ps(_mm256_andnot_ps(absMask, frac), margin, _CMP_LT_OQ);
    const __m256 nan = _mm256_cmp_ps(v, v, _CMP_UNORD_Q);
    if (_mm256_movemask_ps(_mm256_or_ps(near, nan)) != 0) return false;
    __m256 r = _mm256_floor_ps(_mm256_add_ps(v, _mm256_set1_ps(0.5f)));
    r = _mm256_min_ps(_mm256_max_ps(r, _mm256_setzero_ps()), maxQ);
    q = _mm256_cvtps_epi32(r);
    return true;
}

template <typename Q>
VEXA_SIMD_TARGET void quantizeAvx(Q* dst, const float* src, size_t n, double encMinD, double maxQD, double rangeD) {
    const __m256d encMin = _mm256_set1_pd(encMinD), maxQ = _mm256_set1_pd(maxQD), range = _mm256_set1_pd(rangeD);
    const __m256d scale = _mm256_set1_pd(maxQD / rangeD);
    const __m256 encMinF = _mm256_set1_ps(static_cast<float>(encMinD));
    const __m256 scaleF = _mm256_set1_ps(static_cast<float>(maxQD / rangeD));
    const __m256 maxQF = _mm256_set1_ps(static_cast<float>(maxQD));
    const double scaleD = maxQD / rangeD;
    const bool floatOk = std::isfinite(scaleD) && std::fabs(encMinD) < 1e30 && std::fabs(scaleD) < 1e30;
    const __m256 xWeight = _mm256_set1_ps(static_cast<float>(std::fabs(scaleD) / (1 << 21)));
    const __m256 margin0 = _mm256_set1_ps(static_cast<float>(std::fabs(encMinD * scaleD) / (1 << 21) + 1.0 / (1 << 20)));
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(src + i);
        __m256i q32;
        if (!floatOk || !quantizeFloatLanes(x, encMinF, scaleF, maxQF, xWeight, margin0, q32)) {
            const __m128i a = _mm256_cvtpd_epi32(quantizeLanes(_mm256_castps256_ps128(x), encMin, maxQ, range, scale));
            const __m128i b = _mm256_cvtpd_epi32(quantizeLanes(_mm256_extractf128_ps(x, 1), encMin, maxQ, range, scale));
            q32 = _mm256_set_m128i(b, a);
        }
        const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(q32), _mm256_extracti128_si256(q32, 1));
        if constexpr (sizeof(Q) == 1) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(w, w));
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), w);
        }
    }
    for (; i < n; ++i) {
        double v = (static_cast<double>(src[i]) - encMinD) * maxQD / rangeD;
        v = std::isnan(v) ? 0.0 : std::round(v);
        v = v < 0 ? 0 : v > maxQD ? maxQD : v;
        dst[i] = static_cast<Q>(v);
    }
}

}  // namespace

bool simdHalfToFloat(float* dst, const uint16_t* src, size_t n) {
    if (!haveSimd()) return false;
    halfToFloatAvx(dst, src, n);
    return true;
}

bool simdFloatToHalf(uint16_t* dst, const float* src, size_t n) {
    if (!haveSimd()) return false;
    floatToHalfAvx(dst, src, n);
    return true;
}

bool simdMinMax(const float* src, size_t n, float& mn, float& mx) {
    if (!haveSimd()) return false;
    minMaxAvx(src, n, mn, mx);
    return true;
}

bool simdQuantize(void* dst, const float* src, size_t n, uint32_t bitWidth, double encMin, double maxQ, double range) {
    if (!haveSimd() || (bitWidth != 8 && bitWidth != 16)) return false;
    if (bitWidth == 8) {
        quantizeAvx(static_cast<uint8_t*>(dst), src, n, encMin, maxQ, range);
    } else {
        quantizeAvx(static_cast<uint16_t*>(dst), src, n, encMin, maxQ, range);
    }
    return true;
}

#else

bool simdHalfToFloat(float*, const uint16_t*, size_t) { return false; }
bool simdFloatToHalf(uint16_t*, const float*, size_t) { return false; }
bool simdMinMax(const float*, size_t, float&, float&) { return false; }
bool simdQuantize(void*, const float*, size_t, uint32_t, double, double, double) { return false; }

#endif
