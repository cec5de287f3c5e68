// GCC 12 takes the placeholder vector that an AVX-512 shift in Eigen's sine
// starts from for an uninitialised read; it must be silenced before the
// intrinsics are first included.
#pragma GCC diagnostic ignored "-Wuninitialized"

#include "kernels/VectorMath.h"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>
#include <unsupported/Eigen/SpecialFunctions>

#include "core/Threads.h"

namespace vexart {
namespace {

// Chunks small enough to stay in cache, many enough to share out.
constexpr int64_t kChunk = 4096;
// Below these, Eigen's logarithm takes its argument for the smallest normal
// number (log 1e-40 came out -87.3, not -92.1), and its exponential stops
// at its smallest normal result (exp(-inf) came out 2.9e-39).
constexpr float kNormal = std::numeric_limits<float>::min();
constexpr float kLowestExp = -87.3f;

// y = f(x), where f maps an Eigen array expression of a chunk to its result.
template <typename F>
void eigenInto(const float* x, float* y, int64_t n, F f) {
    parallelFor((n + kChunk - 1) / kChunk, n * 8, [x, y, n, &f](int64_t c) {
        const int64_t at = c * kChunk, len = std::min(kChunk, n - at);
        Eigen::Map<Eigen::ArrayXf>(y + at, len) = f(Eigen::Map<const Eigen::ArrayXf>(x + at, len));
    });
}

// As eigenInto, but the arguments `rare` picks (given a chunk or one value),
// which Eigen's form gets wrong, take `exact` instead.
// Checked in the same pass, while the chunk is in cache.
template <typename F, typename Rare, typename Exact>
void eigenIntoExcept(const float* x, float* y, int64_t n, F f, Rare rare, Exact exact) {
    parallelFor((n + kChunk - 1) / kChunk, n * 8, [x, y, n, &f, &rare, &exact](int64_t c) {
        const int64_t at = c * kChunk, len = std::min(kChunk, n - at);
        const Eigen::Map<const Eigen::ArrayXf> a(x + at, len);
        Eigen::Map<Eigen::ArrayXf>(y + at, len) = f(a);
        if (!rare(a).any()) return;
        for (int64_t i = at; i < at + len; ++i) {
            if (rare(x[i])) y[i] = exact(x[i]);
        }
    });
}

}  // namespace

void erfInto(const float* x, float* y, int64_t n) {
    eigenInto(x, y, n, [](const auto& a) { return a.erf(); });
}

void sinInto(const float* x, float* y, int64_t n) {
    eigenInto(x, y, n, [](const auto& a) { return a.sin(); });
}

void cosInto(const float* x, float* y, int64_t n) {
    eigenInto(x, y, n, [](const auto& a) { return a.cos(); });
}

void logInto(const float* x, float* y, int64_t n) {
    eigenIntoExcept(
        x, y, n, [](const auto& a) { return a.log(); }, [](const auto& v) { return v > 0.0f && v < kNormal; },
        [](float v) { return std::log(v); });
}

void expInto(const float* x, float* y, int64_t n) {
    eigenIntoExcept(
        x, y, n, [](const auto& a) { return a.exp(); }, [](const auto& v) { return v < kLowestExp; },
        [](float v) { return std::exp(v); });
}

void powerInto(const float* x, float* y, int64_t n, float e) {
    const float inf = std::numeric_limits<float>::infinity();
    eigenInto(x, y, n, [e, inf](const auto& a) { return ((a == -inf).select(inf, a).log() * e).exp(); });
}

}  // namespace vexart
