#include "kernels/SoftmaxRows.h"

#include <immintrin.h>

#include <cmath>

#include "core/Threads.h"
#include "onednn/Dnnl.h"

namespace vexart {
namespace {

// exp(x) for x <= 0 (Cephes' polynomial after reducing by ln 2, within 2
// float steps), and 0 below the smallest normal result. NaN stays NaN:
// max keeps its second operand when either is NaN.
constexpr float kLowest = -87.33654f;
constexpr float kLog2e = 1.44269504088896341f, kLn2Hi = 0.693359375f, kLn2Lo = -2.12194440e-4f;
constexpr float kP0 = 1.9875691500e-4f, kP1 = 1.3981999507e-3f, kP2 = 8.3334519073e-3f, kP3 = 4.1665795894e-2f,
                kP4 = 1.6666665459e-1f, kP5 = 5.0000001201e-1f;

__attribute__((target("avx2,fma"))) inline __m256 exp8(__m256 x) {
    const __m256 under = _mm256_cmp_ps(x, _mm256_set1_ps(kLowest), _CMP_LT_OQ);
    x = _mm256_max_ps(_mm256_set1_ps(kLowest), x);
    const __m256 k = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(kLog2e)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(k, _mm256_set1_ps(kLn2Hi), x);
    r = _mm256_fnmadd_ps(k, _mm256_set1_ps(kLn2Lo), r);
    __m256 p = _mm256_set1_ps(kP0);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP1));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP2));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP3));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP4));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP5));
    p = _mm256_fmadd_ps(p, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    // k lies in [-126, 0]: 2^k is a normal float built from its exponent bits.
    const __m256i twoK = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(k), _mm256_set1_epi32(127)), 23);
    return _mm256_andnot_ps(under, _mm256_mul_ps(p, _mm256_castsi256_ps(twoK)));
}

__attribute__((target("avx512f"))) inline __m512 exp16(__m512 x) {
    const __mmask16 kept = _mm512_cmp_ps_mask(x, _mm512_set1_ps(kLowest), _CMP_NLT_UQ);
    x = _mm512_max_ps(_mm512_set1_ps(kLowest), x);
    const __m512 k = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(kLog2e)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m512 r = _mm512_fnmadd_ps(k, _mm512_set1_ps(kLn2Hi), x);
    r = _mm512_fnmadd_ps(k, _mm512_set1_ps(kLn2Lo), r);
    __m512 p = _mm512_set1_ps(kP0);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP1));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP2));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP3));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP4));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP5));
    p = _mm512_fmadd_ps(p, _mm512_mul_ps(r, r), _mm512_add_ps(r, _mm512_set1_ps(1.0f)));
    return _mm512_maskz_scalef_ps(kept, p, k);
}

// _mm512_max_ps through its masked form: GCC 12 warns that the unmasked
// one's undefined pass-through is used uninitialised.
__attribute__((target("avx512f"))) inline __m512 max16(__m512 a, __m512 b) { return _mm512_mask_max_ps(a, 0xffff, a, b); }

__attribute__((target("avx2"))) inline __m256i tailMask8(int64_t left) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(left)), lanes);
}

__attribute__((target("avx2"))) inline float largest8(__m256 v) {
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_max_ps(m, _mm_movehl_ps(m, m));
    m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
    return _mm_cvtss_f32(m);
}

__attribute__((target("avx2"))) inline float sum8(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
    return _mm_cvtss_f32(s);
}

// Across the lanes through memory: GCC 12's AVX-512 lane shuffles (and
// _mm512_reduce_*) trip its own uninitialised-value warning. Once a row.
__attribute__((target("avx512f"))) inline float largest16(__m512 v) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, v);
    float m = lanes[0];
    for (int i = 1; i < 16; ++i) m = lanes[i] > m ? lanes[i] : m;
    return m;
}

__attribute__((target("avx512f"))) inline float sum16(__m512 v) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, v);
    float s = 0;
    for (float l : lanes) s += l;
    return s;
}

// exp(x - the row's largest) into y (unless `store` is false) and its sum,
// the largest in `largest`. A NaN anywhere reaches the sum, so every
// element of its row comes out NaN, whatever the largest lane kept. Four
// running maxima and two sums: one would wait out each instruction's
// latency.
__attribute__((target("avx2,fma"))) float expShifted8(const float* x, float* y, int64_t n, bool store, __m256& largest) {
    const __m256 ninf = _mm256_set1_ps(-INFINITY);
    __m256 t0 = ninf, t1 = ninf, t2 = ninf, t3 = ninf;
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        t0 = _mm256_max_ps(t0, _mm256_loadu_ps(x + i));
        t1 = _mm256_max_ps(t1, _mm256_loadu_ps(x + i + 8));
        t2 = _mm256_max_ps(t2, _mm256_loadu_ps(x + i + 16));
        t3 = _mm256_max_ps(t3, _mm256_loadu_ps(x + i + 24));
    }
    for (; i + 8 <= n; i += 8) t0 = _mm256_max_ps(t0, _mm256_loadu_ps(x + i));
    const __m256i tail = tailMask8(n - i);
    if (i < n) t0 = _mm256_max_ps(t0, _mm256_blendv_ps(ninf, _mm256_maskload_ps(x + i, tail), _mm256_castsi256_ps(tail)));
    largest = _mm256_set1_ps(largest8(_mm256_max_ps(_mm256_max_ps(t0, t1), _mm256_max_ps(t2, t3))));
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    for (i = 0; i + 16 <= n; i += 16) {
        const __m256 e0 = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), largest));
        const __m256 e1 = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i + 8), largest));
        if (store) {
            _mm256_storeu_ps(y + i, e0);
            _mm256_storeu_ps(y + i + 8, e1);
        }
        s0 = _mm256_add_ps(s0, e0);
        s1 = _mm256_add_ps(s1, e1);
    }
    for (; i + 8 <= n; i += 8) {
        const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), largest));
        if (store) _mm256_storeu_ps(y + i, e);
        s0 = _mm256_add_ps(s0, e);
    }
    if (i < n) {
        const __m256 e = _mm256_and_ps(exp8(_mm256_sub_ps(_mm256_maskload_ps(x + i, tail), largest)), _mm256_castsi256_ps(tail));
        if (store) _mm256_maskstore_ps(y + i, tail, e);
        s0 = _mm256_add_ps(s0, e);
    }
    return sum8(_mm256_add_ps(s0, s1));
}

__attribute__((target("avx512f"))) float expShifted16(const float* x, float* y, int64_t n, bool store, __m512& largest) {
    const __m512 ninf = _mm512_set1_ps(-INFINITY);
    __m512 t0 = ninf, t1 = ninf, t2 = ninf, t3 = ninf;
    int64_t i = 0;
    for (; i + 64 <= n; i += 64) {
        t0 = max16(t0, _mm512_loadu_ps(x + i));
        t1 = max16(t1, _mm512_loadu_ps(x + i + 16));
        t2 = max16(t2, _mm512_loadu_ps(x + i + 32));
        t3 = max16(t3, _mm512_loadu_ps(x + i + 48));
    }
    for (; i + 16 <= n; i += 16) t0 = max16(t0, _mm512_loadu_ps(x + i));
    const auto tail = static_cast<__mmask16>((1u << (n - i)) - 1);
    if (i < n) t0 = max16(t0, _mm512_mask_loadu_ps(ninf, tail, x + i));
    largest = _mm512_set1_ps(largest16(max16(max16(t0, t1), max16(t2, t3))));
    __m512 s0 = _mm512_setzero_ps(), s1 = _mm512_setzero_ps();
    for (i = 0; i + 32 <= n; i += 32) {
        const __m512 e0 = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i), largest));
        const __m512 e1 = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i + 16), largest));
        if (store) {
            _mm512_storeu_ps(y + i, e0);
            _mm512_storeu_ps(y + i + 16, e1);
        }
        s0 = _mm512_add_ps(s0, e0);
        s1 = _mm512_add_ps(s1, e1);
    }
    for (; i + 16 <= n; i += 16) {
        const __m512 e = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i), largest));
        if (store) _mm512_storeu_ps(y + i, e);
        s0 = _mm512_add_ps(s0, e);
    }
    if (i < n) {
        const __m512 e = _mm512_maskz_mov_ps(tail, exp16(_mm512_sub_ps(_mm512_maskz_loadu_ps(tail, x + i), largest)));
        if (store) _mm512_mask_storeu_ps(y + i, tail, e);
        s0 = _mm512_add_ps(s0, e);
    }
    return sum16(_mm512_add_ps(s0, s1));
}

}  // namespace

__attribute__((target("avx2,fma"))) void softmaxRowsAvx2(const float* x, float* y, int64_t n, bool log) {
    __m256 largest;
    const float total = expShifted8(x, y, n, !log, largest);
    const __m256i tail = tailMask8(n % 8);
    int64_t i = 0;
    if (log) {
        const __m256 logSum = _mm256_set1_ps(std::log(total));
        for (i = 0; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, _mm256_sub_ps(_mm256_sub_ps(_mm256_loadu_ps(x + i), largest), logSum));
        if (i < n) _mm256_maskstore_ps(y + i, tail, _mm256_sub_ps(_mm256_sub_ps(_mm256_maskload_ps(x + i, tail), largest), logSum));
        return;
    }
    const __m256 scale = _mm256_set1_ps(1.0f / total);
    for (i = 0; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, _mm256_mul_ps(_mm256_loadu_ps(y + i), scale));
    if (i < n) _mm256_maskstore_ps(y + i, tail, _mm256_mul_ps(_mm256_maskload_ps(y + i, tail), scale));
}

__attribute__((target("avx512f"))) void softmaxRowsAvx512(const float* x, float* y, int64_t n, bool log) {
    __m512 largest;
    const float total = expShifted16(x, y, n, !log, largest);
    const auto tail = static_cast<__mmask16>((1u << (n % 16)) - 1);
    int64_t i = 0;
    if (log) {
        const __m512 logSum = _mm512_set1_ps(std::log(total));
        for (i = 0; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, _mm512_sub_ps(_mm512_sub_ps(_mm512_loadu_ps(x + i), largest), logSum));
        if (i < n) _mm512_mask_storeu_ps(y + i, tail, _mm512_sub_ps(_mm512_sub_ps(_mm512_maskz_loadu_ps(tail, x + i), largest), logSum));
        return;
    }
    const __m512 scale = _mm512_set1_ps(1.0f / total);
    for (i = 0; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, _mm512_mul_ps(_mm512_loadu_ps(y + i), scale));
    if (i < n) _mm512_mask_storeu_ps(y + i, tail, _mm512_mul_ps(_mm512_maskz_loadu_ps(tail, y + i), scale));
}

__attribute__((target("avx2,fma"))) float softmaxNumeratorsAvx2(const float* x, float* y, int64_t n) {
    __m256 largest;
    return expShifted8(x, y, n, true, largest);
}

__attribute__((target("avx512f"))) float softmaxNumeratorsAvx512(const float* x, float* y, int64_t n) {
    __m512 largest;
    return expShifted16(x, y, n, true, largest);
}

bool softmaxRowsHaveAvx512() {
    static const bool has = onednn::hasAvx512();
    return has;
}

void softmaxRows(const float* x, float* y, int64_t rows, int64_t n, bool log) {
    if (n <= 0) return;
    const bool wide = softmaxRowsHaveAvx512();
    parallelFor(rows, rows * n * 8, [&](int64_t r) {
        if (wide) {
            softmaxRowsAvx512(x + r * n, y + r * n, n, log);
        } else {
            softmaxRowsAvx2(x + r * n, y + r * n, n, log);
        }
    });
}

}  // namespace vexart
