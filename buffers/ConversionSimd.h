// Vector kernels for the hot conversions; each returns false (doing
// nothing) where the processor lacks the instructions.
#pragma once

#include <cstddef>
#include <cstdint>

bool simdHalfToFloat(float* dst, const void* src, size_t n);
bool simdFloatToHalf(void* dst, const float* src, size_t n);
bool simdMinMax(const float* src, size_t n, float& mn, float& mx);
bool simdQuantize(void* dst, const float* src, size_t n, uint32_t bitWidth, double encMin, double maxQ, double range);
