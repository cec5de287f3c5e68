// Vector versions of the hot conversions, for processors with AVX2, FMA
// and F16C, chosen at run time. Each gives bit-for-bit the results of the
// scalar loops in Conversion.cpp, which remain the reference and the
// fallback.
#include "buffers/ConversionSimd.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <cpuid.h>
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "buffers/Unaligned.h"

#define VEXA_SIMD_TARGET __attribute__((target("avx2,fma,f16c")))

namespace {

bool haveSimd() {
    // CPUID leaf 1: FMA is ECX bit 12, F16C ECX bit 29; AVX2 is leaf 7 EBX bit 5.
    // VEXA_SCALAR_CONVERSIONS set runs the scalar reference loops instead
    // (the tests run their tables through both).
    static const bool ok = [] {
        if (std::getenv("VEXA_SCALAR_CONVERSIONS") != nullptr) return false;
        unsigned a, b, c, d;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
        const bool fmaF16c = (c & (1u << 12)) != 0 && (c & (1u << 29)) != 0;
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
        return fmaF16c && (b & (1u << 5)) != 0 && __builtin_cpu_supports("avx2");
    }();
    return ok;
}

// The half-precision side may sit at any byte address (shared buffers at
// odd offsets): vector accesses are unaligned ones, scalar ones go through memcpy.
VEXA_SIMD_TARGET void halfToFloatAvx(float* dst, const void* src, size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(src);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
    for (; i < n; ++i) dst[i] = _cvtsh_ss(loadUnaligned<uint16_t>(src, i));
}

VEXA_SIMD_TARGET void floatToHalfAvx(void* dstBytes, const float* src, size_t n) {
    auto* dst = static_cast<unsigned char*>(dstBytes);
    const __m256 signMask = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u)));
    const __m256 quietNan = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FC00000));
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(src + i);
        // Every NaN narrows to the canonical quiet NaN with its sign kept.
        const __m256 nan = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
        x = _mm256_blendv_ps(x, _mm256_or_ps(_mm256_and_ps(x, signMask), quietNan), nan);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT));
    }
    for (; i < n; ++i) {
        __m128 x = _mm_set_ss(src[i]);
        const __m128 nan = _mm_cmpunord_ss(x, x);
        x = _mm_blendv_ps(x, _mm_or_ps(_mm_and_ps(x, _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0x80000000u)))),
                                       _mm_castsi128_ps(_mm_set1_epi32(0x7FC00000))),
                          nan);
        storeUnaligned<uint16_t>(dst, i,
                                 static_cast<uint16_t>(_mm_extract_epi16(_mm_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT), 0)));
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

// Eight lanes in single precision: v = x * scale - encMin * scale in one
// FMA, rounded to nearest. Where v is farther than the error bound from a
// half, that integer is the one the double-precision definition rounds to.
// The error is a few units in the last place of |v| and |encMin * scale|;
// the limits over-estimate it fourfold. Lanes near a half, NaN or infinite
// are flagged in the returned mask, for the caller to redo in double.
// Only |v| <= maxQ + 1 matters: farther out both roundings clamp alike. With
// eight bits that bound is small enough for one constant margin; with
// sixteen a margin that grows with |v| keeps the double path rare.
struct FloatLanes {
    __m256 scale, negOffset, maxQ, vWeight, halfLessMargin;
};

template <bool perLaneMargin>
VEXA_SIMD_TARGET __m256 quantizeFloatLanes(__m256 x, const FloatLanes& k, __m256i& q) {
    const __m256 absMask = _mm256_set1_ps(-0.0f);
    const __m256 v = _mm256_fmadd_ps(x, k.scale, k.negOffset);
    const __m256 r = _mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256 dist = _mm256_andnot_ps(absMask, _mm256_sub_ps(v, r));
    __m256 limit = k.halfLessMargin;
    if constexpr (perLaneMargin) limit = _mm256_fnmadd_ps(_mm256_andnot_ps(absMask, v), k.vWeight, limit);
    // Negative lanes become 0 in the unsigned saturation of the packs.
    q = _mm256_cvtps_epi32(_mm256_min_ps(r, k.maxQ));
    // "Not dist <= limit" is also true for NaN.
    return _mm256_cmp_ps(dist, limit, _CMP_NLE_UQ);
}

struct DoubleLanes {
    __m256d encMin, maxQ, range, scale;
};

VEXA_SIMD_TARGET __m256i quantizeDouble(const float* src, const DoubleLanes& d) {
    const __m256 x = _mm256_loadu_ps(src);
    const __m128i a = _mm256_cvtpd_epi32(quantizeLanes(_mm256_castps256_ps128(x), d.encMin, d.maxQ, d.range, d.scale));
    const __m128i b = _mm256_cvtpd_epi32(quantizeLanes(_mm256_extractf128_ps(x, 1), d.encMin, d.maxQ, d.range, d.scale));
    return _mm256_set_m128i(b, a);
}

// Quantizes `count` vectors of eight lanes at `src` into `q`, in single
// precision where that is exact and in double precision where it may not be.
template <int count, bool perLaneMargin>
VEXA_SIMD_TARGET void quantizeVectors(const float* src, bool floatOk, const FloatLanes& f, const DoubleLanes& d,
                                      __m256i* q) {
    __m256 flags[count];
    __m256 any = _mm256_setzero_ps();
    for (int k = 0; k < count; ++k) {
        flags[k] = quantizeFloatLanes<perLaneMargin>(_mm256_loadu_ps(src + 8 * k), f, q[k]);
        any = _mm256_or_ps(any, flags[k]);
    }
    if (floatOk && _mm256_movemask_ps(any) == 0) return;
    for (int k = 0; k < count; ++k) {
        if (!floatOk || _mm256_movemask_ps(flags[k]) != 0) q[k] = quantizeDouble(src + 8 * k, d);
    }
}

template <typename Q>
VEXA_SIMD_TARGET void quantizeAvx(void* dstBytes, const float* src, size_t n, double encMinD, double maxQD,
                                  double rangeD) {
    // Elements of Q at any byte address; see halfToFloatAvx.
    auto* bytes = static_cast<unsigned char*>(dstBytes);
    auto at = [bytes](size_t i) { return bytes + i * sizeof(Q); };
    const double scaleD = maxQD / rangeD;
    const DoubleLanes d{_mm256_set1_pd(encMinD), _mm256_set1_pd(maxQD), _mm256_set1_pd(rangeD), _mm256_set1_pd(scaleD)};
    const double offsetD = encMinD * scaleD;
    const bool floatOk = std::isfinite(scaleD) && std::fabs(offsetD) < 1e30 && std::fabs(scaleD) < 1e30;
    constexpr bool wide = sizeof(Q) > 1;
    const double margin = std::fabs(offsetD) / (1 << 21) + 1.0 / (1 << 20) + (wide ? 0.0 : (maxQD + 1) / (1 << 21));
    const FloatLanes f{_mm256_set1_ps(static_cast<float>(scaleD)), _mm256_set1_ps(static_cast<float>(-offsetD)),
                       _mm256_set1_ps(static_cast<float>(maxQD)), _mm256_set1_ps(1.0f / (1 << 21)),
                       _mm256_set1_ps(static_cast<float>(0.5 - margin))};
    size_t i = 0;
    // Thirty-two lanes a step, so that packing costs one shuffle per 32.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (; i + 32 <= n; i += 32) {
        __m256i q[4];
        quantizeVectors<4, wide>(src + i, floatOk, f, d, q);
        // packus works within 128-bit halves; the permutes restore the order.
        const __m256i w01 = _mm256_packus_epi32(q[0], q[1]), w23 = _mm256_packus_epi32(q[2], q[3]);
        if constexpr (sizeof(Q) == 1) {
            const __m256i b = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), order);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(at(i)), b);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(at(i)), _mm256_permute4x64_epi64(w01, 0xD8));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(at(i + 16)), _mm256_permute4x64_epi64(w23, 0xD8));
        }
    }
    for (; i + 8 <= n; i += 8) {
        __m256i q32;
        quantizeVectors<1, wide>(src + i, floatOk, f, d, &q32);
        const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(q32), _mm256_extracti128_si256(q32, 1));
        if constexpr (sizeof(Q) == 1) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at(i)), _mm_packus_epi16(w, w));
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(at(i)), w);
        }
    }
    for (; i < n; ++i) {
        double v = (static_cast<double>(src[i]) - encMinD) * maxQD / rangeD;
        v = std::isnan(v) ? 0.0 : std::round(v);
        v = v < 0 ? 0 : v > maxQD ? maxQD : v;
        storeUnaligned<Q>(dstBytes, i, static_cast<Q>(v));
    }
}

}  // namespace

bool simdHalfToFloat(float* dst, const void* src, size_t n) {
    if (!haveSimd()) return false;
    halfToFloatAvx(dst, src, n);
    return true;
}

bool simdFloatToHalf(void* dst, const float* src, size_t n) {
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
        quantizeAvx<uint8_t>(dst, src, n, encMin, maxQ, range);
    } else {
        quantizeAvx<uint16_t>(dst, src, n, encMin, maxQ, range);
    }
    return true;
}

#else

bool simdHalfToFloat(float*, const void*, size_t) { return false; }
bool simdFloatToHalf(void*, const float*, size_t) { return false; }
bool simdMinMax(const float*, size_t, float&, float&) { return false; }
bool simdQuantize(void*, const float*, size_t, uint32_t, double, double, double) { return false; }

#endif
