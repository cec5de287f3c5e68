#include "UserBufferCodec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

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

// One element on its way between a buffer and a tensor: an integer kept
// exactly (128 bits hold every int64 and uint64), anything else as a double.
// Converting it saturates at the destination's range (NaN gives 0), so
// token ids and indices above 2^53 arrive as they left.
__extension__ typedef __int128 Whole;
struct Element {
    bool integral = false;
    Whole whole = 0;
    double real = 0;
    double value() const { return integral ? static_cast<double>(whole) : real; }
};
Element whole(Whole v) { return {true, v, 0}; }
Element real(double v) { return {false, 0, v}; }

template <typename T>
T saturated(const Element& e) {
    if constexpr (std::is_floating_point_v<T>) {
        // Rounded once, from the exact integer: int64 -> double -> float could round twice.
        return e.integral ? static_cast<T>(e.whole) : static_cast<T>(e.real);
    } else {
        if (!e.integral) return castValue<T>(e.real);
        if (e.whole < static_cast<Whole>(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
        if (e.whole > static_cast<Whole>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
        return static_cast<T>(e.whole);
    }
}

template <typename T>
Element read(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::is_floating_point_v<T>) {
        return real(v);
    } else {
        return whole(v);
    }
}

Element decodeOne(const Encoding& e, const uint8_t* p) {
    switch (e.elementType) {
        case VEXA_ELEMENT_FLOAT: return read<float>(p);
        case VEXA_ELEMENT_FLOAT16: {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return real(halfToFloat(h));
        }
        case VEXA_ELEMENT_TF8: return real((static_cast<double>(*p) - static_cast<double>(e.stepExactly0)) * e.stepSize);
        case VEXA_ELEMENT_TF16: {
            uint16_t q;
            std::memcpy(&q, p, 2);
            return real((static_cast<double>(q) - static_cast<double>(e.stepExactly0)) * e.stepSize);
        }
        case VEXA_ELEMENT_INT32: return read<int32_t>(p);
        case VEXA_ELEMENT_UINT32: return read<uint32_t>(p);
        case VEXA_ELEMENT_INT8: return read<int8_t>(p);
        case VEXA_ELEMENT_UINT8: return read<uint8_t>(p);
        case VEXA_ELEMENT_INT16: return read<int16_t>(p);
        case VEXA_ELEMENT_UINT16: return read<uint16_t>(p);
        case VEXA_ELEMENT_BOOL8: return whole(*p != 0);
        case VEXA_ELEMENT_INT64: return read<int64_t>(p);
        case VEXA_ELEMENT_UINT64: return read<uint64_t>(p);
        default: throw ExecError("user buffer has an unknown element type " + std::to_string(e.elementType));
    }
}

template <typename T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// A real written into an integer buffer is truncated toward zero without
// saturating, as the tool converts its own files: out of range or NaN gives
// the processor's integer-indefinite value, narrower types take low bits.
int64_t truncated64(double v) {
    return v >= -0x1p63 && v < 0x1p63 ? static_cast<int64_t>(v) : std::numeric_limits<int64_t>::min();
}
int32_t truncated32(double v) {
    return v > -0x1p31 - 1 && v < 0x1p31 ? static_cast<int32_t>(v) : std::numeric_limits<int32_t>::min();
}
uint64_t truncatedUnsigned64(double v) {
    if (v >= 0x1p63) return static_cast<uint64_t>(truncated64(v - 0x1p63)) + (uint64_t{1} << 63);
    return static_cast<uint64_t>(truncated64(v));
}

// An element into an integer buffer: an integer exact where it fits and
// saturated where not, a real truncated as above.
template <typename T>
T integerOut(const Element& v) {
    if (v.integral) return saturated<T>(v);
    if constexpr (sizeof(T) == 8) {
        return std::is_signed_v<T> ? static_cast<T>(truncated64(v.real)) : static_cast<T>(truncatedUnsigned64(v.real));
    } else if constexpr (sizeof(T) == 4 && !std::is_signed_v<T>) {
        return static_cast<T>(truncated64(v.real));
    } else {
        return static_cast<T>(truncated32(v.real));
    }
}

void encodeOne(const Encoding& e, const Element& v, uint8_t* p) {
    switch (e.elementType) {
        case VEXA_ELEMENT_FLOAT: return store(p, saturated<float>(v));
        case VEXA_ELEMENT_FLOAT16: return store(p, floatToHalf(saturated<float>(v)));
        case VEXA_ELEMENT_TF8:
        case VEXA_ELEMENT_TF16: {
            const double maxQ = largestCode(e);
            double q = e.stepSize != 0 ? std::round(v.value() / e.stepSize + static_cast<double>(e.stepExactly0)) : 0.0;
            q = std::isnan(q) ? 0.0 : std::clamp(q, 0.0, maxQ);
            if (e.elementType == VEXA_ELEMENT_TF8) {
                *p = static_cast<uint8_t>(q);
            } else {
                store(p, static_cast<uint16_t>(q));
            }
            return;
        }
        case VEXA_ELEMENT_INT32: return store(p, integerOut<int32_t>(v));
        case VEXA_ELEMENT_UINT32: return store(p, integerOut<uint32_t>(v));
        case VEXA_ELEMENT_INT8: return store(p, integerOut<int8_t>(v));
        case VEXA_ELEMENT_UINT8: return store(p, integerOut<uint8_t>(v));
        case VEXA_ELEMENT_INT16: return store(p, integerOut<int16_t>(v));
        case VEXA_ELEMENT_UINT16: return store(p, integerOut<uint16_t>(v));
        case VEXA_ELEMENT_BOOL8: return store(p, static_cast<uint8_t>(v.integral ? v.whole != 0 : v.real != 0));
        case VEXA_ELEMENT_INT64: return store(p, integerOut<int64_t>(v));
        case VEXA_ELEMENT_UINT64: return store(p, integerOut<uint64_t>(v));
        default: throw ExecError("user buffer has an unknown element type " + std::to_string(e.elementType));
    }
}

// Element i of a tensor, exactly.
Element elementOf(const Tensor& t, int64_t i) {
    switch (t.type()) {
        case DType::Float: return real(t.data<float>()[i]);
        case DType::Double: return real(t.data<double>()[i]);
        case DType::Float16: return real(halfToFloat(t.data<uint16_t>()[i]));
        case DType::Bool: return whole(t.data<uint8_t>()[i] != 0);
        default: break;
    }
    Element e;
    VEXA_DISPATCH_NUMERIC(t.type(), {
        if constexpr (std::is_integral_v<T>) e = whole(t.data<T>()[i]);
    })
    return e;
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
    const bool half = dst.type() == DType::Float16, flag = dst.type() == DType::Bool;
    VEXA_DISPATCH_ALL(dst.type(), {
        forEachStrided(shape, ub.strides, es, [&](int64_t i, size_t off) {
            const Element v = decodeOne(ub.encoding, ub.data + off);
            if (half) {
                dst.data<uint16_t>()[i] = floatToHalf(saturated<float>(v));
            } else if (flag) {
                dst.data<uint8_t>()[i] = v.integral ? v.whole != 0 : v.real != 0;
            } else {
                dst.data<T>()[i] = saturated<T>(v);
            }
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
            encodeOne(ub.encoding, elementOf(v, i), ub.data + off);
        }
    });
    ub.outputSize = produced;
}

}  // namespace vexart
