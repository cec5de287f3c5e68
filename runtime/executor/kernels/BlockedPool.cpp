#include "kernels/BlockedPool.h"

#include <algorithm>
#include <limits>

#include "core/Threads.h"

namespace vexart {
namespace {

// Taps [first, last) of a window starting at `start` that fall inside [0, size).
// Runs per output pixel: the division is only paid for dilated windows.
inline void validTaps(int64_t start, int64_t k, int64_t dil, int64_t size, int64_t& first, int64_t& last) {
    if (dil == 1) {
        first = std::max<int64_t>(0, -start);
        last = std::min(k, size - start);
    } else {
        first = start >= 0 ? 0 : (-start + dil - 1) / dil;
        last = start + (k - 1) * dil < size ? k : (size - 1 - start) / dil + 1;
    }
    last = std::max(first, std::min(last, k));
}

// Folds one input pixel's channels into the accumulator.
template <int64_t B, bool IsMax>
inline void fold(float* a, const float* v, int64_t block) {
    if (B > 0) block = B;
    if (IsMax) {
        VEXA_SIMD
        for (int64_t c = 0; c < block; ++c) a[c] = a[c] > v[c] ? a[c] : v[c];
    } else {
        VEXA_SIMD
        for (int64_t c = 0; c < block; ++c) a[c] += v[c];
    }
}

// Output row `oy` of channel block `b`. B > 0 fixes the block width, so that
// a pixel's channels stay in vector registers; K > 0 a K x K undilated
// window, whose taps unroll wherever the window lies inside the input.
template <int64_t B, bool IsMax, int64_t K>
void poolRow(const float* x, float* y, const BlockedPoolShape& s, int64_t b, int64_t oy) {
    const int64_t block = B > 0 ? B : s.block;
    const int64_t dh = K > 0 ? 1 : s.dh, dw = K > 0 ? 1 : s.dw;
    int64_t ky0 = 0, ky1 = 0;
    const int64_t y0 = oy * s.sh - s.padTop;
    validTaps(y0, s.kh, dh, s.ih, ky0, ky1);
    // Pixel index of the window's top-left tap (negative in the padding);
    // only taps inside the input are read.
    const int64_t corner = (b * s.ih + y0) * s.iw;
    for (int64_t ox = 0; ox < s.ow; ++ox) {
        int64_t kx0 = 0, kx1 = 0;
        const int64_t x0 = ox * s.sw - s.padLeft;
        validTaps(x0, s.kw, dw, s.iw, kx0, kx1);
        float* out = y + ((b * s.oh + oy) * s.ow + ox) * block;
        float acc[B > 0 ? B : 1];
        float* a = B > 0 ? acc : out;
        const float init = IsMax ? -std::numeric_limits<float>::infinity() : 0.0f;
        VEXA_SIMD
        for (int64_t c = 0; c < block; ++c) a[c] = init;
        if (K > 0 && ky0 == 0 && ky1 == K && kx0 == 0 && kx1 == K) {
            for (int64_t ky = 0; ky < K; ++ky) {
                for (int64_t kx = 0; kx < K; ++kx) fold<B, IsMax>(a, x + (corner + ky * s.iw + x0 + kx) * block, block);
            }
        } else {
            for (int64_t ky = ky0; ky < ky1; ++ky) {
                for (int64_t kx = kx0; kx < kx1; ++kx) {
                    fold<B, IsMax>(a, x + (corner + ky * dh * s.iw + x0 + kx * dw) * block, block);
                }
            }
        }
        if (!IsMax) {
            const int64_t taps = s.countPad ? s.kh * s.kw : (ky1 - ky0) * (kx1 - kx0);
            const float scale = taps > 0 ? 1.0f / static_cast<float>(taps) : 0.0f;
            VEXA_SIMD
            for (int64_t c = 0; c < block; ++c) a[c] *= scale;
        }
        if (B > 0) {
            VEXA_SIMD
            for (int64_t c = 0; c < block; ++c) out[c] = acc[c];
        }
    }
}

template <int64_t B, bool IsMax>
void poolRowOfWindow(const float* x, float* y, const BlockedPoolShape& s, int64_t b, int64_t oy) {
    const bool undilated = s.dh == 1 && s.dw == 1 && s.kh == s.kw;
    if (undilated && s.kh == 3) {
        poolRow<B, IsMax, 3>(x, y, s, b, oy);
    } else if (undilated && s.kh == 2) {
        poolRow<B, IsMax, 2>(x, y, s, b, oy);
    } else {
        poolRow<B, IsMax, 0>(x, y, s, b, oy);
    }
}

template <bool IsMax>
void poolRowOfBlock(const float* x, float* y, const BlockedPoolShape& s, int64_t b, int64_t oy) {
    if (s.block == 8) {
        poolRowOfWindow<8, IsMax>(x, y, s, b, oy);
    } else if (s.block == 16) {
        poolRowOfWindow<16, IsMax>(x, y, s, b, oy);
    } else {
        poolRowOfWindow<0, IsMax>(x, y, s, b, oy);
    }
}

}  // namespace

void blockedPool(const float* x, float* y, const BlockedPoolShape& s) {
    const int64_t rows = s.outer * s.oh;
    parallelFor(rows, rows * s.ow * s.block * s.kh * s.kw, [&](int64_t r) {
        if (s.isMax) {
            poolRowOfBlock<true>(x, y, s, r / s.oh, r % s.oh);
        } else {
            poolRowOfBlock<false>(x, y, s, r / s.oh, r % s.oh);
        }
    });
}

}  // namespace vexart
