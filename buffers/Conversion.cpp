#include "buffers/Conversion.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>

#include "buffers/ConversionSimd.h"
#include "buffers/DataTypes.h"
#include "Half.h"
#include "buffers/Unaligned.h"

namespace {

constexpr uint64_t kIndefinite64 = 0x8000000000000000ull;

// Truncation toward zero with the processor's integer-indefinite result
// for NaN and out-of-range values, as the x86 conversions give.
int32_t truncate32(float f) {
    if (!(f >= -2147483648.0f && f < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(f);
}

int64_t truncate64(float f) {
    if (!(f >= -9223372036854775808.0f && f < 9223372036854775808.0f)) return INT64_MIN;
    return static_cast<int64_t>(f);
}

template <typename T>
void load(float* dst, const void* src, size_t count) {
    for (size_t i = 0; i < count; ++i) dst[i] = static_cast<float>(loadUnaligned<T>(src, i));
}

template <typename T, typename F>
void storeAs(void* dst, const float* src, size_t count, F convert) {
    for (size_t i = 0; i < count; ++i) storeUnaligned<T>(dst, i, static_cast<T>(convert(src[i])));
}

// Half-away-from-zero rounding of a double that may be NaN; NaN gives 0.
double roundOrZero(double v) { return std::isnan(v) ? 0.0 : std::round(v); }

uint64_t toOffset(double v) {
    if (std::isnan(v) || v < 0 || v >= 18446744073709551616.0) return kIndefinite64;
    return static_cast<uint64_t>(std::round(v));
}

bool isFixedPoint(const std::string& t) { return t == "fixedPoint8" || t == "fixedPoint16"; }
bool isUnsigned(const std::string& t) {
    return t == "uint8" || t == "uint16" || t == "uint32" || t == "uint64" || t == "bool8";
}

}  // namespace

bool halfToFloatArray(float* dst, const void* src, size_t count, uint32_t bitWidth) {
    if (bitWidth == 32) {
        std::memcpy(dst, src, count * 4);
        return true;
    }
    if (bitWidth != 16) return false;
    if (simdHalfToFloat(dst, src, count)) return true;
    for (size_t i = 0; i < count; ++i) dst[i] = halfToFloat(loadUnaligned<uint16_t>(src, i));
    return true;
}

bool floatToHalfArray(void* dst, const float* src, size_t count, uint32_t bitWidth) {
    if (bitWidth == 32) {
        std::memcpy(dst, src, count * 4);
        return true;
    }
    if (bitWidth != 16) return false;
    if (simdFloatToHalf(dst, src, count)) return true;
    storeAs<uint16_t>(dst, src, count, floatToHalf);
    return true;
}

bool signedToFloatArray(float* dst, const void* src, size_t count, uint32_t bitWidth) {
    switch (bitWidth) {
        case 8: load<int8_t>(dst, src, count); return true;
        case 16: load<int16_t>(dst, src, count); return true;
        case 32: load<int32_t>(dst, src, count); return true;
        case 64: load<int64_t>(dst, src, count); return true;
        default: return false;
    }
}

bool unsignedToFloatArray(float* dst, const void* src, size_t count, uint32_t bitWidth) {
    switch (bitWidth) {
        case 8: load<uint8_t>(dst, src, count); return true;
        case 16: load<uint16_t>(dst, src, count); return true;
        case 32: load<uint32_t>(dst, src, count); return true;
        case 64: load<uint64_t>(dst, src, count); return true;
        default: return false;
    }
}

bool floatToSignedArray(void* dst, const float* src, size_t count, uint32_t bitWidth) {
    switch (bitWidth) {
        case 8: storeAs<int8_t>(dst, src, count, [](float f) { return static_cast<int8_t>(truncate32(f) & 0xFF); }); return true;
        case 16: storeAs<int16_t>(dst, src, count, [](float f) { return static_cast<int16_t>(truncate32(f) & 0xFFFF); }); return true;
        case 32: storeAs<int32_t>(dst, src, count, truncate32); return true;
        case 64: storeAs<int64_t>(dst, src, count, truncate64); return true;
        default: return false;
    }
}

bool floatToUnsignedArray(void* dst, const float* src, size_t count, uint32_t bitWidth) {
    switch (bitWidth) {
        case 8: storeAs<uint8_t>(dst, src, count, [](float f) { return static_cast<uint32_t>(truncate32(f)) & 0xFFu; }); return true;
        case 16: storeAs<uint16_t>(dst, src, count, [](float f) { return static_cast<uint32_t>(truncate32(f)) & 0xFFFFu; }); return true;
        case 32: storeAs<uint32_t>(dst, src, count, [](float f) { return static_cast<uint64_t>(truncate64(f)) & 0xFFFFFFFFu; }); return true;
        case 64:
            storeAs<uint64_t>(dst, src, count, [](float f) {
                if (f >= 9223372036854775808.0f) {
                    return static_cast<uint64_t>(truncate64(f - 9223372036854775808.0f)) + kIndefinite64;
                }
                return static_cast<uint64_t>(truncate64(f));
            });
            return true;
        default: return false;
    }
}

bool dequantizeFromFixedPoint(float* dst, const void* src, uint64_t offset, float stepSize, size_t count,
                              uint32_t bitWidth) {
    if (count == 0) return false;
    const auto offsetF = static_cast<float>(offset);
    auto run = [&](auto width) {
        using Q = decltype(width);
        for (size_t i = 0; i < count; ++i) dst[i] = (static_cast<float>(loadUnaligned<Q>(src, i)) - offsetF) * stepSize;
    };
    switch (bitWidth) {
        case 8: run(uint8_t{}); return true;
        case 16: run(uint16_t{}); return true;
        case 32: run(uint32_t{}); return true;
        default: return false;
    }
}

bool quantizeToFixedPoint(void* dst, const float* src, uint64_t* offset, float* stepSize, bool computeEncoding,
                          size_t count, uint32_t bitWidth) {
    if (count == 0) return false;
    const double maxQ = std::pow(2.0, bitWidth) - 1.0;
    double encMin = 0;
    double range = 0;
    if (computeEncoding) {
        float mn = FLT_MAX, mx = -FLT_MAX;
        if (!simdMinMax(src, count, mn, mx)) {
            for (size_t i = 0; i < count; ++i) {
                mn = std::fmin(mn, src[i]);
                mx = std::fmax(mx, src[i]);
            }
        }
        double off;
        double encMax;
        if (mn > 0) {
            off = 0, encMin = 0, encMax = mx;
        } else if (mx < 0) {
            off = maxQ, encMin = mn, encMax = 0;
        } else {
            const double delta = static_cast<double>(mx - mn) / maxQ;
            const double o = -static_cast<double>(mn) / delta;
            if (o == std::floor(o)) {
                encMin = mn, encMax = mx, off = o;
            } else {
                const double r = std::round(o);
                off = r, encMin = -r * delta, encMax = (maxQ - r) * delta;
            }
        }
        range = encMax - encMin;
        *stepSize = static_cast<float>(range / maxQ);
        *offset = toOffset(off);
        if (range < 0.01) {
            std::cerr << "Expect the encoding range to be larger than " << 0.01 << "\n"
                      << "Got: " << range << std::endl;
            return false;
        }
    } else {
        uint64_t off;
        switch (bitWidth) {
            case 8: off = static_cast<uint8_t>(*offset); break;
            case 16: off = static_cast<uint16_t>(*offset); break;
            case 32: off = static_cast<uint32_t>(*offset); break;
            default: std::cerr << "Quantization bitWidth is invalid " << std::endl; return false;
        }
        const float minF = static_cast<float>(-static_cast<double>(off)) * *stepSize;
        encMin = minF;
        range = (maxQ - static_cast<double>(off)) * *stepSize - encMin;
    }
    if (simdQuantize(dst, src, count, bitWidth, encMin, maxQ, range)) return true;
    auto store = [&](auto width) {
        using Q = decltype(width);
        for (size_t i = 0; i < count; ++i) {
            double v = roundOrZero((static_cast<double>(src[i]) - encMin) * maxQ / range);
            v = v < 0 ? 0 : v > maxQ ? maxQ : v;
            storeUnaligned<Q>(dst, i, static_cast<Q>(v));
        }
    };
    switch (bitWidth) {
        case 8: store(uint8_t{}); return true;
        case 16: store(uint16_t{}); return true;
        case 32: store(uint32_t{}); return true;
        default: return false;
    }
}

bool convertElements(const void* src, void* dst, const std::string& srcType, const std::string& dstType, size_t count,
                     float* stepSize, uint64_t* offset, bool computeEncoding) {
    if (count == 0) return false;
    const uint32_t srcBits = DataTypeBitWidths.at(srcType);
    const uint32_t dstBits = DataTypeBitWidths.at(dstType);
    if (srcType == dstType) {
        std::memcpy(dst, src, count * (srcBits / 8));
        return true;
    }
    // One float32 stage, reused across calls on this thread. A float32
    // buffer at an address floats cannot live at is staged too.
    thread_local std::vector<float> scratch;
    auto aligned = [](const void* p) { return reinterpret_cast<uintptr_t>(p) % alignof(float) == 0; };
    float* stage;
    if (dstType == "float32" && aligned(dst)) {
        stage = static_cast<float*>(dst);
    } else if (srcType == "float32" && aligned(src)) {
        stage = const_cast<float*>(static_cast<const float*>(src));
    } else {
        scratch.assign(count, 0.0f);
        stage = scratch.data();
    }
    if (srcType == "float32") {
        if (stage != src) std::memcpy(stage, src, count * 4);
    } else if (srcType == "float16") {
        halfToFloatArray(stage, src, count, srcBits);
    } else if (isUnsigned(srcType)) {
        unsignedToFloatArray(stage, src, count, srcBits);
    } else if (isFixedPoint(srcType)) {
        dequantizeFromFixedPoint(stage, src, *offset, *stepSize, count, srcBits);
    } else {
        signedToFloatArray(stage, src, count, srcBits);
    }
    if (dstType == "float32") {
        if (stage != dst) std::memcpy(dst, stage, count * 4);
    } else if (dstType == "float16") {
        floatToHalfArray(dst, stage, count, dstBits);
    } else if (isUnsigned(dstType)) {
        floatToUnsignedArray(dst, stage, count, dstBits);
    } else if (isFixedPoint(dstType)) {
        quantizeToFixedPoint(dst, stage, offset, stepSize, computeEncoding, count, dstBits);
    } else {
        floatToSignedArray(dst, stage, count, dstBits);
    }
    return true;
}
