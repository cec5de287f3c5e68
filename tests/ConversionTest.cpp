// Element conversion and quantization rules.
#include "buffers/Conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "Half.h"

namespace {

// binary16 value computed arithmetically, independent of the bit tricks.
double halfValue(uint16_t h) {
    const int sign = (h & 0x8000) ? -1 : 1;
    const int e = (h >> 10) & 0x1F;
    const int m = h & 0x3FF;
    if (e == 0) return sign * std::ldexp(m, -24);
    if (e == 31) return m == 0 ? sign * std::numeric_limits<double>::infinity() : std::nan("");
    return sign * std::ldexp(1024 + m, e - 25);
}

uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

TEST(Half, EveryPatternWidensExactlyAndNarrowsBack) {
    for (uint32_t h = 0; h < 65536; ++h) {
        const auto hb = static_cast<uint16_t>(h);
        const float f = halfToFloat(hb);
        const double want = halfValue(hb);
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(f)) << h;
            ASSERT_EQ(bitsOf(f) >> 31, h >> 15) << h;  // sign kept
            ASSERT_EQ(floatToHalf(f), (h & 0x8000) | 0x7E00) << h;
            continue;
        }
        ASSERT_EQ(static_cast<double>(f), want) << h;
        ASSERT_EQ(floatToHalf(f), hb) << h;
    }
}

TEST(Half, MidpointsRoundToEvenAndOverflowToInfinity) {
    // Between every pair of adjacent positive finite halves, the midpoint goes to the even one.
    for (uint16_t h = 0; h < 0x7BFF; ++h) {
        const double mid = (halfValue(h) + halfValue(static_cast<uint16_t>(h + 1))) / 2;
        const auto f = static_cast<float>(mid);
        if (static_cast<double>(f) != mid) continue;  // not representable in float: nothing to test
        const uint16_t even = (h % 2 == 0) ? h : static_cast<uint16_t>(h + 1);
        ASSERT_EQ(floatToHalf(f), even) << h;
        ASSERT_EQ(floatToHalf(-f), even | 0x8000) << h;
    }
    EXPECT_EQ(floatToHalf(65504.0f), 0x7BFF);
    EXPECT_EQ(floatToHalf(65519.99f), 0x7BFF);
    EXPECT_EQ(floatToHalf(65520.0f), 0x7C00);
    EXPECT_EQ(floatToHalf(-1e30f), 0xFC00);
    EXPECT_EQ(floatToHalf(std::ldexp(1.0f, -25)), 0x0000);            // half the smallest subnormal: to even
    EXPECT_EQ(floatToHalf(std::ldexp(1.5f, -25)), 0x0001);
    EXPECT_EQ(floatToHalf(-std::numeric_limits<float>::quiet_NaN()), 0xFE00);
}

template <typename T>
std::vector<T> convert(const std::vector<float>& in, const std::string& type) {
    std::vector<T> out(in.size());
    float step = 0;
    uint64_t offset = 0;
    EXPECT_TRUE(convertElements(in.data(), out.data(), "float32", type, in.size(), &step, &offset, false));
    return out;
}

TEST(Narrowing, TruncatesAndWrapsWithoutSaturation) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(convert<int8_t>({127.9f, -3.7f, 300.0f, nan, 3e9f}, "int8"), (std::vector<int8_t>{127, -3, 44, 0, 0}));
    EXPECT_EQ(convert<int16_t>({70000.0f, -1.5f}, "int16"), (std::vector<int16_t>{4464, -1}));
    EXPECT_EQ(convert<int32_t>({3e9f, nan, -2.9f}, "int32"), (std::vector<int32_t>{INT32_MIN, INT32_MIN, -2}));
    EXPECT_EQ(convert<int64_t>({1e19f, -5.5f}, "int64"), (std::vector<int64_t>{INT64_MIN, -5}));
    EXPECT_EQ(convert<uint8_t>({-1.0f, 2.0f, 0.5f, 256.0f}, "uint8"), (std::vector<uint8_t>{255, 2, 0, 0}));
    EXPECT_EQ(convert<uint8_t>({2.0f, 0.5f}, "bool8"), (std::vector<uint8_t>{2, 0}));
    EXPECT_EQ(convert<uint16_t>({-2.0f}, "uint16"), (std::vector<uint16_t>{65534}));
    EXPECT_EQ(convert<uint32_t>({5e9f, -1.0f}, "uint32"), (std::vector<uint32_t>{705032704u, 4294967295u}));
    EXPECT_EQ(convert<uint64_t>({1.5e19f, 3.0f}, "uint64"),
              (std::vector<uint64_t>{15000000520515485696ull, 3}));
}

TEST(Widening, IntegersAndSameTypeCopies) {
    const int32_t big[] = {16777217, -16777219};
    float out[2];
    float step = 0;
    uint64_t offset = 0;
    ASSERT_TRUE(convertElements(big, out, "int32", "float32", 2, &step, &offset, false));
    EXPECT_EQ(out[0], 16777216.0f);  // round to nearest even
    EXPECT_EQ(out[1], -16777220.0f);
    const uint64_t u[] = {18446744073709551615ull};
    ASSERT_TRUE(convertElements(u, out, "uint64", "float32", 1, &step, &offset, false));
    EXPECT_EQ(out[0], 18446744073709551616.0f);
    const int32_t same[] = {7, -9};
    int32_t copy[2] = {};
    ASSERT_TRUE(convertElements(same, copy, "int32", "int32", 2, &step, &offset, false));
    EXPECT_EQ(copy[1], -9);
    EXPECT_FALSE(convertElements(same, copy, "int32", "float32", 0, &step, &offset, false));
    const uint16_t half[] = {0x3C00, 0xC000};
    int8_t asInt[2];
    ASSERT_TRUE(convertElements(half, asInt, "float16", "int8", 2, &step, &offset, false));
    EXPECT_EQ(asInt[0], 1);
    EXPECT_EQ(asInt[1], -2);
}

struct Quantized {
    std::vector<uint8_t> q;
    float step;
    uint64_t offset;
    bool ok;
    std::string err;
};

Quantized quantize8(const std::vector<float>& x) {
    Quantized r{std::vector<uint8_t>(x.size(), 0xAA), 0, 0, false, ""};
    testing::internal::CaptureStderr();
    r.ok = quantizeToFixedPoint(r.q.data(), x.data(), &r.offset, &r.step, true, x.size(), 8);
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

TEST(Quantizer, ComputedEncodingsPutZeroOnAStep) {
    Quantized r = quantize8({0.0f, 1.0f, 0.5f});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.offset, 0u);
    EXPECT_FLOAT_EQ(r.step, 1.0f / 255);
    EXPECT_EQ(r.q, (std::vector<uint8_t>{0, 255, 128}));

    r = quantize8({-1.0f, 1.0f, 0.0f});
    EXPECT_EQ(r.offset, 128u);
    EXPECT_FLOAT_EQ(r.step, 2.0f / 255);
    EXPECT_EQ(r.q[2], 128);

    r = quantize8({2.0f, 2.0f});
    EXPECT_EQ(r.offset, 0u);
    EXPECT_FLOAT_EQ(r.step, 2.0f / 255);
    EXPECT_EQ(r.q, (std::vector<uint8_t>{255, 255}));

    r = quantize8({-4.0f, -2.0f});
    EXPECT_EQ(r.offset, 255u);
    EXPECT_EQ(r.q, (std::vector<uint8_t>{0, 128}));

    r = quantize8({0.0f, 0.005f});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "Expect the encoding range to be larger than 0.01\nGot: 0.005\n");
    EXPECT_EQ(r.q, (std::vector<uint8_t>{0xAA, 0xAA}));  // destination untouched
    EXPECT_FLOAT_EQ(r.step, 0.005f / 255);
    EXPECT_EQ(r.offset, 0u);

    r = quantize8({0.0f, 0.0f});
    EXPECT_EQ(r.q, (std::vector<uint8_t>{0, 0}));
    EXPECT_TRUE(std::isnan(r.step));
    EXPECT_EQ(r.offset, 0x8000000000000000ull);
}

TEST(Quantizer, GivenEncodingsClampAndRoundHalvesAway) {
    const std::vector<float> x = {-1.0f, 0.0f, 0.25f, 1000.0f, std::numeric_limits<float>::quiet_NaN()};
    std::vector<uint8_t> q(x.size());
    uint64_t offset = 2;
    float step = 0.5f;
    ASSERT_TRUE(quantizeToFixedPoint(q.data(), x.data(), &offset, &step, false, x.size(), 8));
    EXPECT_EQ(q, (std::vector<uint8_t>{0, 2, 3, 255, 0}));  // 0.25 is half a step: 2.5 rounds to 3
    testing::internal::CaptureStderr();
    EXPECT_FALSE(quantizeToFixedPoint(q.data(), x.data(), &offset, &step, false, x.size(), 12));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Quantization bitWidth is invalid \n");
    std::vector<float> back(2);
    const uint16_t wide[] = {300, 0};
    ASSERT_TRUE(dequantizeFromFixedPoint(back.data(), wide, 100, 0.5f, 2, 16));
    EXPECT_EQ(back, (std::vector<float>{100.0f, -50.0f}));
    EXPECT_FALSE(dequantizeFromFixedPoint(back.data(), wide, 0, 1, 2, 12));
}

TEST(Quantizer, RoundTripThroughFixedPoint16StaysWithinAStep) {
    std::vector<float> x(1000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(static_cast<float>(i)) * 3.0f;
    std::vector<uint16_t> q(x.size());
    std::vector<float> back(x.size());
    float step = 0;
    uint64_t offset = 0;
    ASSERT_TRUE(convertElements(x.data(), q.data(), "float32", "fixedPoint16", x.size(), &step, &offset, true));
    ASSERT_TRUE(convertElements(q.data(), back.data(), "fixedPoint16", "float32", x.size(), &step, &offset, false));
    for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(back[i], x[i], step) << i;
}

}  // namespace

namespace {

// The array converters (vectorised where the processor allows) agree with
// the scalar element rules bit for bit.
TEST(ArrayConverters, MatchTheElementRulesOnEveryPattern) {
    std::vector<uint16_t> halves(65536 + 5);
    for (size_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<uint16_t>(i);
    std::vector<float> widened(halves.size());
    ASSERT_TRUE(halfToFloatArray(widened.data(), halves.data(), halves.size(), 16));
    for (size_t i = 0; i < halves.size(); ++i) ASSERT_EQ(bitsOf(widened[i]), bitsOf(halfToFloat(halves[i]))) << i;

    std::vector<float> floats;
    for (uint32_t b = 0; b < 0xFFFFFFFFu - 0x10000u; b += 0x10001u) {
        float f;
        std::memcpy(&f, &b, 4);
        floats.push_back(f);
    }
    std::vector<uint16_t> narrowed(floats.size());
    ASSERT_TRUE(floatToHalfArray(narrowed.data(), floats.data(), floats.size(), 16));
    for (size_t i = 0; i < floats.size(); ++i) ASSERT_EQ(narrowed[i], floatToHalf(floats[i])) << bitsOf(floats[i]);
}

TEST(ArrayConverters, QuantizerAgreesWithItsDefinitionNearHalves) {
    // Values that land on and around half steps, plus NaN and out-of-range ones.
    std::vector<float> x;
    for (int k = 0; k <= 510; ++k) {
        const float v = static_cast<float>(k) / 510.0f;
        x.insert(x.end(), {v, std::nextafter(v, 0.0f), std::nextafter(v, 1.0f)});
    }
    x.insert(x.end(), {std::nanf(""), -5.0f, 5.0f});
    for (uint32_t bits : {8u, 16u}) {
        std::vector<uint16_t> q(x.size());
        uint64_t offset = 0;
        float step = 1.0f / 255;
        ASSERT_TRUE(quantizeToFixedPoint(q.data(), x.data(), &offset, &step, false, x.size(), bits));
        const double maxQ = std::pow(2.0, bits) - 1;
        const double range = maxQ * step;
        for (size_t i = 0; i < x.size(); ++i) {
            double v = static_cast<double>(x[i]) * maxQ / range;
            v = std::isnan(v) ? 0 : std::round(v);
            v = std::min(std::max(v, 0.0), maxQ);
            const uint32_t got = bits == 8 ? reinterpret_cast<uint8_t*>(q.data())[i] : q[i];
            ASSERT_EQ(got, static_cast<uint32_t>(v)) << i << " " << x[i];
        }
    }
}

}  // namespace

namespace {

// A fixed linear congruential sequence in [0, 1), so failures reproduce.
struct Uniform {
    uint32_t seed;
    float operator()() {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(seed >> 8) / 16777216.0f;
    }
};

TEST(ArrayConverters, QuantizerAgreesWithItsDefinitionOnRandomEncodings) {
    Uniform next{12345};
    for (int trial = 0; trial < 40; ++trial) {
        const uint32_t bits = trial % 2 == 0 ? 8 : 16;
        const double maxQ = std::pow(2.0, bits) - 1;
        std::vector<float> x(4099);
        const float spread = 0.01f + next() * 50.0f;
        const float shift = (next() - 0.5f) * spread;
        for (auto& v : x) v = (next() - 0.5f) * spread + shift;
        std::vector<uint16_t> q(x.size());
        uint64_t offset = 0;
        float step = 0;
        testing::internal::CaptureStderr();
        const bool ok = quantizeToFixedPoint(q.data(), x.data(), &offset, &step, true, x.size(), bits);
        testing::internal::GetCapturedStderr();
        if (!ok) continue;  // range too small: nothing written
        // Re-derive what the definition gives for the encoding written back.
        float mn = x[0], mx = x[0];
        for (float v : x) mn = std::fmin(mn, v), mx = std::fmax(mx, v);
        double encMin, encMax;
        if (mn > 0) {
            encMin = 0, encMax = mx;
        } else if (mx < 0) {
            encMin = mn, encMax = 0;
        } else {
            const double delta = static_cast<double>(mx - mn) / maxQ;
            const double o = -static_cast<double>(mn) / delta;
            const double r = o == std::floor(o) ? o : std::round(o);
            encMin = o == std::floor(o) ? mn : -r * delta;
            encMax = o == std::floor(o) ? mx : (maxQ - r) * delta;
        }
        const double range = encMax - encMin;
        for (size_t i = 0; i < x.size(); ++i) {
            double v = std::round((static_cast<double>(x[i]) - encMin) * maxQ / range);
            v = std::min(std::max(v, 0.0), maxQ);
            const uint32_t got = bits == 8 ? reinterpret_cast<uint8_t*>(q.data())[i] : q[i];
            ASSERT_EQ(got, static_cast<uint32_t>(v)) << trial << " " << i << " " << x[i];
        }
    }
}

// Given encodings with values far outside their range, on and next to
// half steps, infinite and NaN: the vector paths must clamp and round as the
// definition does.
TEST(ArrayConverters, QuantizerAgreesWithItsDefinitionForGivenEncodings) {
    Uniform next{777};
    for (int trial = 0; trial < 60; ++trial) {
        const uint32_t bits = trial % 3 == 0 ? 16 : 8;
        const double maxQ = std::pow(2.0, bits) - 1;
        const auto off = static_cast<uint64_t>(next() * maxQ);
        const auto step = static_cast<float>(std::pow(10.0, next() * 6 - 4));
        const double encMin = static_cast<float>(-static_cast<double>(off)) * step;
        const double range = (maxQ - static_cast<double>(off)) * step - encMin;
        std::vector<float> x;
        for (int k = -3; k < 300; ++k) {
            const auto h = static_cast<float>(encMin + (k + 0.5) * range / maxQ);
            x.insert(x.end(), {h, std::nextafter(h, -INFINITY), std::nextafter(h, INFINITY)});
        }
        for (int k = 0; k < 400; ++k) x.push_back(static_cast<float>(encMin + (next() * 8 - 4) * range));
        x.insert(x.end(), {INFINITY, -INFINITY, 1e38f, -1e38f, std::nanf("")});
        std::vector<uint16_t> q(x.size());
        uint64_t offset = off;
        float s = step;
        ASSERT_TRUE(quantizeToFixedPoint(q.data(), x.data(), &offset, &s, false, x.size(), bits));
        for (size_t i = 0; i < x.size(); ++i) {
            double v = (static_cast<double>(x[i]) - encMin) * maxQ / range;
            v = std::isnan(v) ? 0 : std::min(std::max(std::round(v), 0.0), maxQ);
            const uint32_t got = bits == 8 ? reinterpret_cast<uint8_t*>(q.data())[i] : q[i];
            ASSERT_EQ(got, static_cast<uint32_t>(v)) << trial << " " << i << " " << x[i];
        }
    }
}

}  // namespace

namespace {

// Shared buffers can start at any byte: every conversion gives the same
// bytes at an odd address as at an aligned one (the sanitizer build also
// checks that no access is misaligned).
TEST(Conversion, OddAddressesGiveTheSameBytes) {
    const char* types[] = {"float32", "float16", "fixedPoint8", "fixedPoint16", "int8", "int16", "int32",
                           "int64",   "uint8",   "uint16",      "uint32",       "uint64", "bool8"};
    const size_t count = 37;  // vector bodies and scalar tails both
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i) * 0.75f - 9.0f;
    for (const char* from : types) {
        for (const char* to : types) {
            // Source bytes in `from`, made by converting the floats.
            alignas(16) unsigned char aligned[8 * count + 16] = {};
            float step = 0;
            uint64_t offset = 0;
            ASSERT_TRUE(convertElements(values.data(), aligned, "float32", from, count, &step, &offset, true));
            const size_t width = std::strcmp(from, "float32") == 0 ? 4 : 8;
            alignas(16) unsigned char oddSource[8 * count + 16] = {};
            std::memcpy(oddSource + 1, aligned, width * count);

            alignas(16) unsigned char want[8 * count + 16] = {};
            alignas(16) unsigned char got[8 * count + 16] = {};
            float s1 = step, s2 = step;
            uint64_t o1 = offset, o2 = offset;
            ASSERT_TRUE(convertElements(aligned, want, from, to, count, &s1, &o1, true)) << from << "->" << to;
            ASSERT_TRUE(convertElements(oddSource + 1, got + 3, from, to, count, &s2, &o2, true)) << from << "->" << to;
            EXPECT_EQ(std::memcmp(want, got + 3, 8 * count), 0) << from << " -> " << to;
            EXPECT_EQ(bitsOf(s1), bitsOf(s2));
            EXPECT_EQ(o1, o2);
        }
    }
}

}  // namespace
