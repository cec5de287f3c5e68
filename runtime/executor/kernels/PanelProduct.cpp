#include "kernels/PanelProduct.h"

#include <algorithm>
#include <cmath>

#ifdef __AVX2__
#include <immintrin.h>

#include "onednn/Dnnl.h"
#endif

namespace vexart {

namespace {

// body(index in w, index in the panels) for every weight, in the
// order the strided side is read fastest (the panels are written either
// way a few lines at a time).
template <typename Body>
void eachWeight(int64_t cols, int64_t depth, int64_t colStride, int64_t depthStride, Body&& body) {
    auto at = [depth](int64_t j, int64_t k) { return (j / kPanelColumns * depth + k) * kPanelColumns + j % kPanelColumns; };
    if (depthStride <= colStride) {
        for (int64_t j = 0; j < cols; ++j) {
            for (int64_t k = 0; k < depth; ++k) body(j * colStride + k * depthStride, at(j, k));
        }
    } else {
        for (int64_t k = 0; k < depth; ++k) {
            for (int64_t j = 0; j < cols; ++j) body(j * colStride + k * depthStride, at(j, k));
        }
    }
}

}  // namespace

void packWeights(const float* w, int64_t cols, int64_t depth, int64_t colStride, int64_t depthStride,
                 float* packed) {
    std::fill(packed, packed + packedSize(cols, depth), 0.0f);
    eachWeight(cols, depth, colStride, depthStride, [&](int64_t from, int64_t to) { packed[to] = w[from]; });
}

void unpackWeights(const float* packed, int64_t cols, int64_t depth, int64_t colStride, int64_t depthStride,
                   float* w) {
    eachWeight(cols, depth, colStride, depthStride, [&](int64_t to, int64_t from) { w[to] = packed[from]; });
}

namespace {

#ifdef __AVX2__
// R rows by N whole panels (two vectors each); the sums stay in registers
// and each weight vector loaded serves every row. Fewer rows take more
// panels, which keeps enough independent sums in flight to cover the
// multiply-add's latency. One row takes two panels: four streamed weights
// from memory slower (measured 27-30 against 31-36 GB/s), no faster in cache.
template <int R, int N>
void panels(const float* a, int64_t lda, int64_t depth, const float* p, float* c, int64_t ldc) {
    const int64_t stride = depth * kPanelColumns;
    __m256 acc[R][N][2];
    for (int r = 0; r < R; ++r) {
        for (int n = 0; n < N; ++n) acc[r][n][0] = acc[r][n][1] = _mm256_setzero_ps();
    }
    for (int64_t k = 0; k < depth; ++k, p += kPanelColumns) {
        __m256 w[N][2];
        for (int n = 0; n < N; ++n) {
            w[n][0] = _mm256_loadu_ps(p + n * stride);
            w[n][1] = _mm256_loadu_ps(p + n * stride + 8);
        }
        for (int r = 0; r < R; ++r) {
            const __m256 x = _mm256_broadcast_ss(a + r * lda + k);
            for (int n = 0; n < N; ++n) {
                acc[r][n][0] = _mm256_fmadd_ps(x, w[n][0], acc[r][n][0]);
                acc[r][n][1] = _mm256_fmadd_ps(x, w[n][1], acc[r][n][1]);
            }
        }
    }
    for (int r = 0; r < R; ++r) {
        for (int n = 0; n < N; ++n) {
            _mm256_storeu_ps(c + r * ldc + n * kPanelColumns, acc[r][n][0]);
            _mm256_storeu_ps(c + r * ldc + n * kPanelColumns + 8, acc[r][n][1]);
        }
    }
}

template <int R>
void rowBlock(const float* a, int64_t lda, int64_t depth, const float* packed, int64_t from, int64_t to, float* c,
              int64_t ldc) {
    constexpr int N = R <= 2 ? 2 : 1;
    const int64_t stride = depth * kPanelColumns;
    int64_t j = from;
    while (j < to) {
        const int64_t p = j / kPanelColumns, lo = j % kPanelColumns;
        const float* w = packed + p * stride;
        if (lo == 0 && j + N * kPanelColumns <= to) {
            panels<R, N>(a, lda, depth, w, c + j - from, ldc);
            j += N * kPanelColumns;
        } else if (lo == 0 && j + kPanelColumns <= to) {
            panels<R, 1>(a, lda, depth, w, c + j - from, ldc);
            j += kPanelColumns;
        } else {
            // Part of a panel: computed whole, the wanted columns kept.
            float part[R * kPanelColumns];
            panels<R, 1>(a, lda, depth, w, part, kPanelColumns);
            const int64_t hi = std::min(to - p * kPanelColumns, kPanelColumns);
            for (int r = 0; r < R; ++r) std::copy(part + r * kPanelColumns + lo, part + r * kPanelColumns + hi, c + r * ldc + j - from);
            j += hi - lo;
        }
    }
}

// The same on AVX-512, where a panel is one vector: one row takes eight
// panels, so eight independent sums cover the latency (with four the
// kernel ran at half the rate on weights in the second-level cache).
template <int R, int N>
__attribute__((target("avx512f"))) void panels512(const float* a, int64_t lda, int64_t depth, const float* p,
                                                  float* c, int64_t ldc, __mmask16 keep) {
    const int64_t stride = depth * kPanelColumns;
    __m512 acc[R][N];
    for (int r = 0; r < R; ++r) {
        for (int n = 0; n < N; ++n) acc[r][n] = _mm512_setzero_ps();
    }
    for (int64_t k = 0; k < depth; ++k, p += kPanelColumns) {
        __m512 w[N];
        for (int n = 0; n < N; ++n) w[n] = _mm512_loadu_ps(p + n * stride);
        for (int r = 0; r < R; ++r) {
            const __m512 x = _mm512_set1_ps(a[r * lda + k]);
            for (int n = 0; n < N; ++n) acc[r][n] = _mm512_fmadd_ps(x, w[n], acc[r][n]);
        }
    }
    for (int r = 0; r < R; ++r) {
        for (int n = 0; n < N; ++n) _mm512_mask_storeu_ps(c + r * ldc + n * kPanelColumns, keep, acc[r][n]);
    }
}

template <int R>
__attribute__((target("avx512f"))) void rowBlock512(const float* a, int64_t lda, int64_t depth, const float* packed,
                                                    int64_t from, int64_t to, float* c, int64_t ldc) {
    constexpr int N = R == 1 ? 8 : R == 2 ? 4 : 2;
    const int64_t stride = depth * kPanelColumns;
    int64_t j = from;
    while (j < to) {
        const int64_t p = j / kPanelColumns, lo = j % kPanelColumns;
        const float* w = packed + p * stride;
        if (lo == 0 && j + N * kPanelColumns <= to) {
            panels512<R, N>(a, lda, depth, w, c + j - from, ldc, 0xffff);
            j += N * kPanelColumns;
        } else if (lo == 0 && j + kPanelColumns <= to) {
            panels512<R, 1>(a, lda, depth, w, c + j - from, ldc, 0xffff);
            j += kPanelColumns;
        } else {
            // Part of a panel: computed whole, the wanted columns stored
            // (the store is shifted back so that column lo lands on j).
            const int64_t hi = std::min(to - p * kPanelColumns, kPanelColumns);
            const auto keep = static_cast<__mmask16>(((1u << hi) - 1) & ~((1u << lo) - 1));
            panels512<R, 1>(a, lda, depth, w, c + j - from - lo, ldc, keep);
            j += hi - lo;
        }
    }
}
#endif

}  // namespace

bool panelsHaveAvx512() {
#ifdef __AVX2__
    static const bool has = onednn::hasAvx512();
    return has;
#else
    return false;
#endif
}

void rowsTimesPacked(const float* a, int64_t rows, int64_t lda, int64_t depth, const float* packed, int64_t from,
                     int64_t to, float* c, int64_t ldc) {
    rowsTimesPackedOn(panelsHaveAvx512(), a, rows, lda, depth, packed, from, to, c, ldc);
}

void rowsTimesPackedOn(bool wide, const float* a, int64_t rows, int64_t lda, int64_t depth, const float* packed,
                       int64_t from, int64_t to, float* c, int64_t ldc) {
    if (to <= from) return;
#ifdef __AVX2__
    int64_t i = 0;
    if (wide) {
        for (; i + 4 <= rows; i += 4) rowBlock512<4>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc);
        switch (rows - i) {
            case 3: rowBlock512<3>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc); break;
            case 2: rowBlock512<2>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc); break;
            case 1: rowBlock512<1>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc); break;
            default: break;
        }
        return;
    }
    for (; i + 4 <= rows; i += 4) rowBlock<4>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc);
    switch (rows - i) {
        case 3: rowBlock<3>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc); break;
        case 2: rowBlock<2>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc); break;
        case 1: rowBlock<1>(a + i * lda, lda, depth, packed, from, to, c + i * ldc, ldc); break;
        default: break;
    }
#else
    (void)wide;
    for (int64_t i = 0; i < rows; ++i) {
        for (int64_t j = from; j < to; ++j) {
            const float* w = packed + j / kPanelColumns * depth * kPanelColumns + j % kPanelColumns;
            float sum = 0.0f;
            for (int64_t k = 0; k < depth; ++k) sum = std::fma(a[i * lda + k], w[k * kPanelColumns], sum);
            c[i * ldc + j - from] = sum;
        }
    }
#endif
}

}  // namespace vexart
