// Element conversion between data-type names, always through float32, and
// the fixed-point quantizer with computed or given encodings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Converts `count` elements; the step size and offset are read for a
// fixed-point source and read (computeEncoding false) or written (true)
// for a fixed-point destination. False only for a count of 0.
bool convertElements(const void* src, void* dst, const std::string& srcType, const std::string& dstType, size_t count,
                     float* stepSize, uint64_t* offset, bool computeEncoding);

bool quantizeToFixedPoint(void* dst, const float* src, uint64_t* offset, float* stepSize, bool computeEncoding,
                          size_t count, uint32_t bitWidth);
bool dequantizeFromFixedPoint(float* dst, const void* src, uint64_t offset, float stepSize, size_t count,
                              uint32_t bitWidth);

bool halfToFloatArray(float* dst, const void* src, size_t count, uint32_t bitWidth);
bool floatToHalfArray(void* dst, const float* src, size_t count, uint32_t bitWidth);
bool signedToFloatArray(float* dst, const void* src, size_t count, uint32_t bitWidth);
bool floatToSignedArray(void* dst, const float* src, size_t count, uint32_t bitWidth);
bool unsignedToFloatArray(float* dst, const void* src, size_t count, uint32_t bitWidth);
bool floatToUnsignedArray(void* dst, const float* src, size_t count, uint32_t bitWidth);
