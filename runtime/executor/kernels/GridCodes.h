// Floats to codes on a per-tensor grid and back, as QuantizeLinear and
// DequantizeLinear define them, for those operators and the kernels that
// read or write codes in their place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#ifdef __AVX2__
#include <immintrin.h>
#endif

#include "core/QuantGrid.h"

namespace vexart {

// y[i] = gridCode<Q>(x[i], scale, zero) for i < n.
template <typename Q>
inline void quantizeSpan(const float* __restrict x, Q* __restrict y, int64_t n, float scale, float zero) {
    int64_t i = 0;
#ifdef __AVX2__
    // GCC's own vectorisation of the loop below clamps and narrows through
    // masks and spills (about three instructions a code); the same steps
    // written out run in about a third of the time, with the same bits.
    if constexpr (sizeof(Q) == 1) {
        const __m256 vs = _mm256_set1_ps(scale), vz = _mm256_set1_ps(zero);
        const __m256 vlo = _mm256_set1_ps(std::numeric_limits<Q>::lowest());
        const __m256 vhi = _mm256_set1_ps(std::numeric_limits<Q>::max());
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        auto eight = [&](const float* from) {
            const __m256 q = _mm256_round_ps(_mm256_div_ps(_mm256_loadu_ps(from), vs), _MM_FROUND_CUR_DIRECTION);
            // maxps gives its second operand for NaN: the lowest code.
            return _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(_mm256_add_ps(q, vz), vlo), vhi));
        };
        auto thirtyTwo = [&](const float* from, Q* to) {
            const __m256i lo16 = _mm256_packs_epi32(eight(from), eight(from + 8));
            const __m256i hi16 = _mm256_packs_epi32(eight(from + 16), eight(from + 24));
            const __m256i bytes = std::is_signed_v<Q> ? _mm256_packs_epi16(lo16, hi16) : _mm256_packus_epi16(lo16, hi16);
            // The packs work per 128-bit lane: put the four-code groups back in order.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_permutevar8x32_epi32(bytes, order));
        };
        for (; i + 32 <= n; i += 32) thirtyTwo(x + i, y + i);
        if (i < n) {
            // The last few through a padded copy: short rows (a 56-wide
            // plane) would otherwise spend most of their time in the scalar loop.
            float pad[32] = {};
            Q codes[32];
            std::copy(x + i, x + n, pad);
            thirtyTwo(pad, codes);
            std::copy(codes, codes + (n - i), y + i);
        }
        return;
    }
#endif
    for (; i < n; ++i) y[i] = gridCode<Q>(x[i], scale, zero);
}

// y[i] = (x[i] - zero) * scale for i < n. Restrict pointers: stores of
// floats could otherwise alias the codes, and the loop would not vectorise.
template <typename Q>
inline void dequantizeSpan(const Q* __restrict x, float* __restrict y, int64_t n, float scale, int32_t zero) {
    for (int64_t i = 0; i < n; ++i) y[i] = static_cast<float>(static_cast<int32_t>(x[i]) - zero) * scale;
}

}  // namespace vexart
