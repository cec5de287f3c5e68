// How far one float tensor is from a reference: the error measures that
// tell a quantized or converted model's outputs from the original's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexart {

// Accumulated over any number of element pairs (files, results, batches).
struct ErrorStats {
    uint64_t elements = 0;
    double maxAbs = 0;
    double sumAbs = 0;
    double dot = 0;      // sum of ref * out
    double refNorm = 0;  // sum of ref^2 (the signal)
    double outNorm = 0;  // sum of out^2
    double noise = 0;    // sum of (out - ref)^2
    uint64_t nonFinite = 0;  // pairs where either side is NaN or infinite and the other differs
    uint64_t finite = 0;     // pairs where both sides are numbers: what the measures are taken over

    void add(const float* ref, const float* out, size_t n);
    void merge(const ErrorStats& other);

    // With any differing non-finite pair: infinite errors, cosine NaN and
    // SQNR -infinity, so that every gate fails.
    double maxAbsError() const;
    double meanAbs() const;
    // 1 for identical directions; 1 when both are all zero, 0 when only one is.
    double cosine() const;
    // 10 log10(signal / noise); +infinity when there is no noise.
    double sqnrDb() const;
};

// Index of the largest element (the first of equals; the first NaN wins), of a
// tensor read in pieces.
struct ArgMax {
    uint64_t index = 0;
    float value = 0;
    uint64_t seen = 0;
    bool found = false;  // a number was seen
    void add(const float* v, size_t n);
};

}  // namespace vexart
