// IEEE 754 binary16 <-> binary32, exact in both directions (round to
// nearest even when narrowing). Header-only so both the tool and the
// runtime library use the same rules without linking to each other.
#pragma once

#include <cstdint>
#include <cstring>

inline float halfToFloat(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exp = (h >> 10) & 0x1Fu;
    uint32_t mant = h & 0x3FFu;
    uint32_t bits;
    if (exp == 0x1F) {
        bits = sign | 0x7F800000u | (mant << 13) | (mant != 0 ? 0x00400000u : 0u);
    } else if (exp != 0) {
        bits = sign | ((exp + 112) << 23) | (mant << 13);
    } else if (mant == 0) {
        bits = sign;
    } else {
        // Subnormal half: normalise into a float exponent.
        uint32_t e = 113;
        while ((mant & 0x400u) == 0) {
            mant <<= 1;
            --e;
        }
        bits = sign | (e << 23) | ((mant & 0x3FFu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline uint16_t floatToHalf(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const auto sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
    const uint32_t absBits = bits & 0x7FFFFFFFu;
    if (absBits > 0x7F800000u) return static_cast<uint16_t>(sign | 0x7E00u);  // NaN
    if (absBits >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u); // >= 65520: infinity
    if (absBits < 0x38800000u) {
        // Result is subnormal (or zero): shift the full significand into place and round.
        if (absBits < 0x33000000u) return sign;  // below half the smallest subnormal
        const uint32_t exp = absBits >> 23;
        const uint32_t mant = (absBits & 0x7FFFFFu) | 0x800000u;
        const uint32_t shift = 126 - exp;  // 14..24
        uint32_t half = mant >> shift;
        const uint32_t rest = mant & ((1u << shift) - 1);
        const uint32_t mid = 1u << (shift - 1);
        if (rest > mid || (rest == mid && (half & 1u))) ++half;
        return static_cast<uint16_t>(sign | half);
    }
    uint32_t half = ((absBits >> 13) - (112u << 10)) & 0xFFFFu;
    const uint32_t rest = absBits & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;
    return static_cast<uint16_t>(sign | half);
}
