// Element type conversion, as Cast defines it: saturating float to
// integer, shortest round-tripping text for strings.
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/Dispatch.h"

namespace vexart {
namespace {

template <typename To, typename From>
void castLoop(const From* src, To* dst, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        if constexpr (std::is_same_v<To, bool>) {
            dst[i] = src[i] != From(0);
        } else {
            dst[i] = castValue<To>(src[i]);
        }
    }
}

template <typename From>
void castFrom(const From* src, DType to, void* dst, int64_t n) {
    switch (to) {
        case DType::Float: castLoop(src, static_cast<float*>(dst), n); break;
        case DType::Double: castLoop(src, static_cast<double*>(dst), n); break;
        case DType::Int64: castLoop(src, static_cast<int64_t*>(dst), n); break;
        case DType::Int32: castLoop(src, static_cast<int32_t*>(dst), n); break;
        case DType::Int16: castLoop(src, static_cast<int16_t*>(dst), n); break;
        case DType::Int8: castLoop(src, static_cast<int8_t*>(dst), n); break;
        case DType::UInt64: castLoop(src, static_cast<uint64_t*>(dst), n); break;
        case DType::UInt32: castLoop(src, static_cast<uint32_t*>(dst), n); break;
        case DType::UInt16: castLoop(src, static_cast<uint16_t*>(dst), n); break;
        case DType::UInt8: castLoop(src, static_cast<uint8_t*>(dst), n); break;
        case DType::Bool: {
            auto* d = static_cast<uint8_t*>(dst);
            for (int64_t i = 0; i < n; ++i) d[i] = src[i] != From(0);
            break;
        }
        case DType::Float16: {
            auto* d = static_cast<uint16_t*>(dst);
            for (int64_t i = 0; i < n; ++i) d[i] = floatToHalf(static_cast<float>(src[i]));
            break;
        }
        case DType::BFloat16: {
            // Round to nearest even on the upper half of the float's bits.
            auto* d = static_cast<uint16_t*>(dst);
            for (int64_t i = 0; i < n; ++i) {
                const auto f = static_cast<float>(src[i]);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                d[i] = std::isnan(f) ? static_cast<uint16_t>((bits >> 16) | 0x40)
                                     : static_cast<uint16_t>((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16);
            }
            break;
        }
        default: throw ExecError(std::string("cannot cast to ") + dtypeName(to));
    }
}

}  // namespace

void castFloats(const float* src, DType to, void* dst, int64_t n) { castFrom(src, to, dst, n); }

void castTensor(const Tensor& src, DType to, Tensor& dst) {
    if (holdsTensors(src.type()) || holdsTensors(to)) {
        if (src.type() != to) throw ExecError(std::string("cannot cast a ") + dtypeName(src.type()) + " to " + dtypeName(to));
        dst.reset(to, src.shape());
        if (&dst == &src) return;
        dst.items.resize(src.items.size());
        for (size_t i = 0; i < src.items.size(); ++i) castTensor(src.items[i], src.items[i].type(), dst.items[i]);
        return;
    }
    dst.reset(to, src.shape());
    const int64_t n = src.size();
    if (src.type() == to) {
        if (to == DType::String) {
            dst.strings = src.strings;
        } else if (src.bytes() != 0) {
            std::memcpy(dst.raw(), src.raw(), src.bytes());
        }
        return;
    }
    if (to == DType::String) {
        // The shortest text that reads back as the same value.
        char text[64];
        for (int64_t i = 0; i < n; ++i) {
            const double v = src.scalarAsDouble(i);
            const auto end = src.type() == DType::Double ? std::to_chars(text, text + sizeof text, v).ptr
                                                          : std::to_chars(text, text + sizeof text, static_cast<float>(v)).ptr;
            dst.strings[static_cast<size_t>(i)].assign(text, end);
        }
        return;
    }
    if (src.type() == DType::String) {
        std::vector<double> values(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) values[static_cast<size_t>(i)] = std::strtod(src.strings[static_cast<size_t>(i)].c_str(), nullptr);
        return castFrom(values.data(), to, dst.raw(), n);
    }
    if (src.type() == DType::Float16 || src.type() == DType::BFloat16) {
        std::vector<float> tmp(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) tmp[static_cast<size_t>(i)] = static_cast<float>(src.scalarAsDouble(i));
        return castFrom(tmp.data(), to, dst.raw(), n);
    }
    if (src.type() == DType::Bool) return castFrom(src.data<uint8_t>(), to, dst.raw(), n);
    VEXA_DISPATCH_NUMERIC(src.type(), castFrom(src.data<T>(), to, dst.raw(), n))
}

}  // namespace vexart
