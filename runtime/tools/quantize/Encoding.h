// Fixed-point encodings fitted to observed ranges, and the error they cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Container.h"

namespace vexart {

// The encoding of [min, max] at `bitWidth` bits, fitted the way the tool
// fits one to data: the range is stretched to take in 0, and 0 falls exactly
// on a quantized value. An empty or all-zero range gives step size 0.
TensorEncoding encodingForRange(float min, float max, uint32_t bitWidth);

// x quantized to `e` and back to float (what a fixed-point tensor holds).
void quantizeDequantize(const float* x, float* out, size_t n, const TensorEncoding& e);

// Symmetric steps per index along `axis` of weights with `dims`: the
// largest magnitude of each channel is the largest code (2^(bits-1) - 1),
// and real 0 is code 2^(bits-1).
TensorEncoding perChannelEncoding(const float* w, const std::vector<int64_t>& dims, int64_t axis, uint32_t bitWidth);

// Weights with `dims` quantized to a per-channel encoding and back.
void quantizeDequantizeChannels(const float* x, float* out, const std::vector<int64_t>& dims, const TensorEncoding& e);

// Values seen in a tensor, binned over a range fixed beforehand.
class Histogram {
public:
    Histogram(float min, float max, size_t bins = 4096);
    void add(const float* x, size_t n);
    // The smallest bin edge below which `fraction` (0..1) of the values lie.
    float quantile(double fraction) const;
    // The range whose encoding at `bitWidth` bits (encodingForRange) holds
    // the values seen with the least mean squared error: rounding within
    // it, clipping outside. Each end moves in from the histogram's own, in
    // hundredths, one end at a time.
    void mseRange(uint32_t bitWidth, float& lo, float& hi) const;

private:
    float min_, max_;
    std::vector<uint64_t> counts_;
    uint64_t total_ = 0;
};

}  // namespace vexart
