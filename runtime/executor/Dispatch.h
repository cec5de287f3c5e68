// Switches on an element type and runs the body with T bound to its C++ type.
#pragma once

#include "Tensor.h"
#include "buffers/Half.h"

#define VEXA_CASE(DT, CT, ...) \
    case DType::DT: {          \
        using T = CT;          \
        __VA_ARGS__;           \
        break;                 \
    }

#define VEXA_DISPATCH_FLOAT(type, ...)                                                  \
    switch (type) {                                                                     \
        VEXA_CASE(Float, float, __VA_ARGS__)                                            \
        VEXA_CASE(Double, double, __VA_ARGS__)                                          \
        default: throw ExecError(std::string("unsupported element type ") + dtypeName(type)); \
    }

#define VEXA_NUMERIC_CASES(...)                 \
    VEXA_CASE(Float, float, __VA_ARGS__)        \
    VEXA_CASE(Double, double, __VA_ARGS__)      \
    VEXA_CASE(Int64, int64_t, __VA_ARGS__)      \
    VEXA_CASE(Int32, int32_t, __VA_ARGS__)      \
    VEXA_CASE(Int16, int16_t, __VA_ARGS__)      \
    VEXA_CASE(Int8, int8_t, __VA_ARGS__)        \
    VEXA_CASE(UInt64, uint64_t, __VA_ARGS__)    \
    VEXA_CASE(UInt32, uint32_t, __VA_ARGS__)    \
    VEXA_CASE(UInt16, uint16_t, __VA_ARGS__)    \
    VEXA_CASE(UInt8, uint8_t, __VA_ARGS__)

#define VEXA_DISPATCH_NUMERIC(type, ...)                                                      \
    switch (type) {                                                                           \
        VEXA_NUMERIC_CASES(__VA_ARGS__)                                                       \
        default: throw ExecError(std::string("unsupported element type ") + dtypeName(type)); \
    }

// Numeric types plus bool (as uint8_t) and float16 (as its bits), for kernels that only move data.
#define VEXA_DISPATCH_ALL(type, ...)                                                          \
    switch (type) {                                                                           \
        VEXA_NUMERIC_CASES(__VA_ARGS__)                                                       \
        VEXA_CASE(Bool, uint8_t, __VA_ARGS__)                                                 \
        VEXA_CASE(Float16, uint16_t, __VA_ARGS__)                                             \
        default: throw ExecError(std::string("unsupported element type ") + dtypeName(type)); \
    }

namespace vexart {

// Copies the elements of `src` into `dst` (same shape), converting types.
void castTensor(const Tensor& src, DType to, Tensor& dst);

// Converts `n` floats into elements of type `to` at `dst`, as Cast does.
void castFloats(const float* src, DType to, void* dst, int64_t n);

}  // namespace vexart
