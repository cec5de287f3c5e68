#include "UserBufferCodec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Half.h"
#include "executor/core/Dispatch.h"
#include "runtimelib/VexaTypes.h"

namespace vexart {

uint32_t elementTypeOf(DType t) {
    switch (t) {
        case DType::Float: return VEXA_ELEMENT_FLOAT;
        case DType::Float16: return VEXA_ELEMENT_FLOAT16;
        case DType::Int32: return VEXA_ELEMENT_INT32;
        case DType::UInt32: return VEXA_ELEMENT_UINT32;
        case DType::Int8: return VEXA_ELEMENT_INT8;
        case DType::UInt8: return VEXA_ELEMENT_UINT8;
        case DType::Int16: return VEXA_ELEMENT_INT16;
        case DType::UInt16: return VEXA_ELEMENT_UINT16;
        case DType::Bool: return VEXA_ELEMENT_BOOL8;
        case DType::Int64: return VEXA_ELEMENT_INT64;
        case DType::UInt64: return VEXA_ELEMENT_UINT64;
        default: return VEXA_ELEMENT_UNKNOWN;
    }
}

namespace {

// Dense row-major index -> byte offset through the buffer's strides.
template <typename F>
void forEachStrided(const Shape& shape, const std::vector<size_t>& strides, size_t elemSize, F f) {
    const size_t r = shape.size();
    const int64_t n = elementCount(shape);
    bool dense = strides.size() == r;
    size_t expect = elemSize;
    for (size_t i = r; dense && i-- > 0;) {
        dense = strides[i] == expect;
        expect *= static_cast<size_t>(shape[i]);
    }
    if (dense || strides.size() != r) {
        for (int64_t i = 0; i < n; ++i) f(i, static_cast<size_t>(i) * elemSize);
        return;
    }
    std::vector<int64_t> idx(r, 0);
    size_t off = 0;
    for (int64_t i = 0; i < n; ++i) {
        f(i, off);
        for (size_t d = r; d-- > 0;) {
            off += strides[d];
            if (++idx[d] < shape[d]) break;
            off -= strides[d] * static_cast<size_t>(shape[d]);
            idx[d] = 0;
        }
    }
}

size_t encodedSize(const Encoding& e) { return e.bitWidth / 8; }

bool fixedPoint(const Encoding& e) { return e.elementType == VEXA_ELEMENT_TF8 || e.elementType == VEXA_ELEMENT_TF16; }
double largestCode(const Encoding& e) { return e.elementType == VEXA_ELEMENT_TF8 ? 255.0 : 65535.0; }

// Codes quantized around a zero point the buffer cannot hold all clamp to
// one end: an encoding made for another bit width (a 16-bit tensor's
// encoding on an 8-bit buffer) is refused, never read as data.
void checkZeroPoint(const Encoding& e, const std::string& tensor) {
    if (!fixedPoint(e) || static_cast<double>(e.stepExactly0) <= largestCode(e)) return;
    throw ExecError("the " + std::to_string(e.bitWidth) + "-bit fixed-point buffer of '" + tensor + "' has zero point " +
                    std::to_string(e.stepExactly0) + ", outside its codes 0 to " +
                    std::to_string(static_cast<int>(largestCode(e))) + " (an encoding made for another bit width?)");
}

double decodeOne(const Encoding& e, const uint8_t* p) {
    switch (e.elementType) {
        case VEXA_ELEMENT_FLOAT: {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case VEXA_ELEMENT_FLOAT16: {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return halfToFloat(h);
        }
        case VEXA_ELEMENT_TF8: return (static_cast<double>(*p) - static_cast<double>(e.stepExactly0)) * e.stepSize;
        case VEXA_ELEMENT_TF16: {
            uint16_t q;
            std::memcpy(&q, p, 2);
            return (static_cast<double>(q) - static_cast<double>(e.stepExactly0)) * e.stepSize;
        }
        case VEXA_ELEMENT_INT32: { int32_t v; std::memcpy(&v, p, 4); return v; }
        case VEXA_ELEMENT_UINT32: { uint32_t v; std::memcpy(&v, p, 4); return v; }
        case VEXA_ELEMENT_INT8: return static_cast<int8_t>(*p);
        case VEXA_ELEMENT_UINT8: return *p;
        case VEXA_ELEMENT_INT16: { int16_t v; std::memcpy(&v, p, 2); return v; }
        case VEXA_ELEMENT_UINT16: { uint16_t v; std::memcpy(&v, p, 2); return v; }
        case VEXA_ELEMENT_BOOL8: return *p != 0;
        case VEXA_ELEMENT_INT64: { int64_t v; std::memcpy(&v, p, 8); return static_cast<double>(v); }
        case VEXA_ELEMENT_UINT64: { uint64_t v; std::memcpy(&v, p, 8); return static_cast<double>(v); }
        default: throw ExecError("user buffer has an unknown element type " + std::to_string(e.elementType));
    }
}

template <typename T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

void encodeOne(const Encoding& e, double v, uint8_t* p) {
    switch (e.elementType) {
        case VEXA_ELEMENT_FLOAT: return store(p, static_cast<float>(v));
        case VEXA_ELEMENT_FLOAT16: return store(p, floatToHalf(static_cast<float>(v)));
        case VEXA_ELEMENT_TF8:
        case VEXA_ELEMENT_TF16: {
            const double maxQ = largestCode(e);
            double q = e.stepSize != 0 ? std::round(v / e.stepSize + static_cast<double>(e.stepExactly0)) : 0.0;
            q = std::isnan(q) ? 0.0 : std::clamp(q, 0.0, maxQ);
            if (e.elementType == VEXA_ELEMENT_TF8) {
                *p = static_cast<uint8_t>(q);
            } else {
                store(p, static_cast<uint16_t>(q));
            }
            return;
        }
        case VEXA_ELEMENT_INT32: return store(p, static_cast<int32_t>(v));
        case VEXA_ELEMENT_UINT32: return store(p, static_cast<uint32_t>(static_cast<int64_t>(v)));
        case VEXA_ELEMENT_INT8: return store(p, static_cast<int8_t>(static_cast<int32_t>(v)));
        case VEXA_ELEMENT_UINT8: return store(p, static_cast<uint8_t>(static_cast<int32_t>(v)));
        case VEXA_ELEMENT_INT16: return store(p, static_cast<int16_t>(static_cast<int32_t>(v)));
        case VEXA_ELEMENT_UINT16: return store(p, static_cast<uint16_t>(static_cast<int32_t>(v)));
        case VEXA_ELEMENT_BOOL8: return store(p, static_cast<uint8_t>(v != 0));
        case VEXA_ELEMENT_INT64: return store(p, static_cast<int64_t>(v));
        case VEXA_ELEMENT_UINT64: return store(p, static_cast<uint64_t>(v));
        default: throw ExecError("user buffer has an unknown element type " + std::to_string(e.elementType));
    }
}

// An encoding fitted to the data, with real 0 exactly representable.
void fitEncoding(const Tensor& t, Encoding& e) {
    float lo = 0, hi = 0;
    for (int64_t i = 0; i < t.size(); ++i) {
        const float v = static_cast<float>(t.scalarAsDouble(i));
        if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
    const double maxQ = largestCode(e);
    if (hi - lo < 1e-6) hi = lo + 1e-6f;
    const double step = (static_cast<double>(hi) - lo) / maxQ;
    e.stepExactly0 = static_cast<uint64_t>(std::round(-lo / step));
    e.stepSize = static_cast<float>(step);
}

}  // namespace

void decodeUserBuffer(const UserBuffer& ub, const std::string& name, Tensor& dst) {
    const size_t es = encodedSize(ub.encoding);
    const Shape& shape = dst.shape();
    size_t need = 0;
    forEachStrided(shape, ub.strides, es, [&](int64_t, size_t off) { need = std::max(need, off + es); });
    if (dst.size() != 0 && need > ub.size) {
        throw ExecError("user buffer of input '" + name + "' holds " + std::to_string(ub.size) +
                        " bytes, the network needs " + std::to_string(need));
    }
    checkZeroPoint(ub.encoding, name);
    if (ub.encoding.elementType == VEXA_ELEMENT_FLOAT && dst.type() == DType::Float) {
        forEachStrided(shape, ub.strides, 4, [&](int64_t i, size_t off) {
            std::memcpy(dst.data<float>() + i, ub.data + off, 4);
        });
        return;
    }
    VEXA_DISPATCH_ALL(dst.type(), {
        forEachStrided(shape, ub.strides, es, [&](int64_t i, size_t off) {
            const double v = decodeOne(ub.encoding, ub.data + off);
            if constexpr (std::is_same_v<T, uint16_t>) {
                if (dst.type() == DType::Float16) {
                    dst.data<uint16_t>()[i] = floatToHalf(static_cast<float>(v));
                    return;
                }
            }
            dst.data<T>()[i] = static_cast<T>(v);
        });
    })
}

void encodeUserBuffer(const Tensor& v, const TensorEncoding* fixed, UserBuffer& ub) {
    if (fixedPoint(ub.encoding)) {
        if (fixed != nullptr && fixed->bitWidth * 1u == ub.encoding.bitWidth) {
            ub.encoding.stepSize = fixed->stepSize;
            ub.encoding.stepExactly0 = fixed->stepExactly0;
        } else if (fixed != nullptr) {
            // The model's range on the buffer's own number of codes.
            const double step = fixed->stepSize, zero = static_cast<double>(fixed->stepExactly0);
            const double lo = -zero * step, hi = (std::ldexp(1.0, static_cast<int>(fixed->bitWidth)) - 1 - zero) * step;
            const double own = (hi - lo) / largestCode(ub.encoding);
            ub.encoding.stepSize = static_cast<float>(own);
            ub.encoding.stepExactly0 = own > 0 ? static_cast<uint64_t>(std::round(-lo / own)) : 0;
        } else {
            fitEncoding(v, ub.encoding);
        }
    }
    const size_t es = encodedSize(ub.encoding);
    size_t produced = 0;
    forEachStrided(v.shape(), ub.strides, es, [&](int64_t i, size_t off) {
        produced = std::max(produced, off + es);
        if (off + es > ub.size) return;  // reported through the output size
        if (ub.encoding.elementType == VEXA_ELEMENT_FLOAT && v.type() == DType::Float) {
            std::memcpy(ub.data + off, v.data<float>() + i, 4);
        } else {
            encodeOne(ub.encoding, v.scalarAsDouble(i), ub.data + off);
        }
    });
    ub.outputSize = produced;
}

}  // namespace vexart
