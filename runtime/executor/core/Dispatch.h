// Switches on an element type and runs the body with T bound to its C++ type.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "core/Tensor.h"
#include "Half.h"

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

// Values from a model must not make arithmetic undefined: integers wrap as
// unsigned ones do (the operator set leaves overflow open), and floating
// values outside an integer type's range saturate when converted, NaN to 0.
template <typename T>
using WrapType = std::conditional_t<(sizeof(T) < sizeof(unsigned)), unsigned, std::make_unsigned_t<T>>;

template <typename T>
T wrapAdd(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        return static_cast<T>(static_cast<WrapType<T>>(a) + static_cast<WrapType<T>>(b));
    } else {
        return a + b;
    }
}
template <typename T>
T wrapSub(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        return static_cast<T>(static_cast<WrapType<T>>(a) - static_cast<WrapType<T>>(b));
    } else {
        return a - b;
    }
}
template <typename T>
T wrapMul(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        return static_cast<T>(static_cast<WrapType<T>>(a) * static_cast<WrapType<T>>(b));
    } else {
        return a * b;
    }
}

template <typename T>
T wrapNeg(T a) {
    if constexpr (std::is_integral_v<T>) {
        return wrapSub(T(0), a);
    } else {
        return -a;
    }
}

template <typename To, typename From>
To castValue(From v) {
    if constexpr (std::is_floating_point_v<From> && std::is_integral_v<To>) {
        if (std::isnan(v)) return To(0);
        if (v <= static_cast<From>(std::numeric_limits<To>::lowest())) return std::numeric_limits<To>::lowest();
        if (v >= static_cast<From>(std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
    }
    return static_cast<To>(v);
}

// Copies the elements of `src` into `dst` (same shape), converting types.
void castTensor(const Tensor& src, DType to, Tensor& dst);

// Converts `n` floats into elements of type `to` at `dst`, as Cast does.
void castFloats(const float* src, DType to, void* dst, int64_t n);

}  // namespace vexart
