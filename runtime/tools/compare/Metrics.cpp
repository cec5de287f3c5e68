#include "Metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vexart {

void ErrorStats::add(const float* ref, const float* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const double r = ref[i];
        const double o = out[i];
        if (!std::isfinite(r) || !std::isfinite(o)) {
            // The same non-finite value on both sides (inf and inf, NaN and NaN) is no error.
            if (!(r == o) && !(std::isnan(r) && std::isnan(o))) ++nonFinite;
            continue;
        }
        ++finite;
        const double d = o - r;
        maxAbs = std::max(maxAbs, std::fabs(d));
        sumAbs += std::fabs(d);
        dot += r * o;
        refNorm += r * r;
        outNorm += o * o;
        noise += d * d;
    }
    elements += n;
}

void ErrorStats::merge(const ErrorStats& o) {
    elements += o.elements;
    maxAbs = std::max(maxAbs, o.maxAbs);
    sumAbs += o.sumAbs;
    dot += o.dot;
    refNorm += o.refNorm;
    outNorm += o.outNorm;
    noise += o.noise;
    nonFinite += o.nonFinite;
    finite += o.finite;
}

// A non-finite value against anything else is an unbounded error: no
// measure may read as if the finite pairs were all there was.
double ErrorStats::maxAbsError() const { return nonFinite != 0 ? std::numeric_limits<double>::infinity() : maxAbs; }

double ErrorStats::meanAbs() const {
    if (nonFinite != 0) return std::numeric_limits<double>::infinity();
    return elements == 0 ? 0 : sumAbs / static_cast<double>(elements);
}

double ErrorStats::cosine() const {
    if (nonFinite != 0) return std::numeric_limits<double>::quiet_NaN();
    if (refNorm == 0 || outNorm == 0) return refNorm == outNorm ? 1 : 0;
    return dot / std::sqrt(refNorm * outNorm);
}

double ErrorStats::sqnrDb() const {
    if (nonFinite != 0) return -std::numeric_limits<double>::infinity();
    if (noise == 0) return std::numeric_limits<double>::infinity();
    if (refNorm == 0) return -std::numeric_limits<double>::infinity();
    return 10 * std::log10(refNorm / noise);
}

// The first NaN wins, as in numpy and PyTorch: a NaN-corrupted output
// must not agree with its reference by skipping the NaN.
void ArgMax::add(const float* v, size_t n) {
    for (size_t i = 0; i < n; ++i, ++seen) {
        if (found && (std::isnan(value) || !(v[i] > value || std::isnan(v[i])))) continue;
        found = true;
        index = seen;
        value = v[i];
    }
}

}  // namespace vexart
