// Calibration into encodings: the fitted encodings, and the quantize, run
// fixed point, compare round trip through the tools.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <filesystem>

#include <onnx/onnx_pb.h>

#include "Container.h"
#include "Encoding.h"
#include "FixedPointEncodings.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;

TEST(Encoding, FittedToARangeThatTakesInZero) {
    struct Case {
        float min, max;
        uint32_t bits;
        double step;
        uint64_t offset;
    };
    const Case cases[] = {
        {0, 1, 8, 1.0 / 255, 0},
        {-1, 1, 8, 2.0 / 255, 128},  // 127.5 rounds up; the range moves so that 0 is a code
        {2, 2, 8, 2.0 / 255, 0},     // all positive: stretched down to 0
        {-4, -2, 8, 4.0 / 255, 255}, // all negative: stretched up to 0
        {-1, 3, 8, 4.0 / 255, 64},
        {-1, 1, 16, 2.0 / 65535, 32768},
        {0, 0, 8, 0, 0},             // only zeros
        {INFINITY, -INFINITY, 8, 0, 0},  // nothing seen
        // No finite range: no grid, rather than a NaN step or offset.
        {NAN, 1, 8, 0, 0},
        {-INFINITY, INFINITY, 8, 0, 0},
        {-1, INFINITY, 8, 0, 0},
        // The widest finite range: its width overflows a float, not a double.
        {-3e38f, 3e38f, 8, 6e38 / 255, 128},
    };
    for (const auto& c : cases) {
        const vexart::TensorEncoding e = vexart::encodingForRange(c.min, c.max, c.bits);
        EXPECT_EQ(e.bitWidth, c.bits);
        EXPECT_NEAR(e.stepSize, c.step, 1e-7 * c.step + 1e-12) << c.min << ".." << c.max;
        EXPECT_EQ(e.stepExactly0, c.offset) << c.min << ".." << c.max;
    }
}

TEST(Encoding, QuantizedValuesAreWithinHalfAStepAndClampedOutside) {
    const vexart::TensorEncoding e = vexart::encodingForRange(-1, 3, 8);
    const std::vector<float> x = {-1, 0, 0.3f, 2.999f, 3, 7, -9, NAN};
    std::vector<float> q(x.size());
    vexart::quantizeDequantize(x.data(), q.data(), x.size(), e);
    for (size_t i = 0; i < 5; ++i) EXPECT_LE(std::fabs(q[i] - x[i]), e.stepSize / 2 + 1e-6f) << x[i];
    EXPECT_EQ(q[1], 0.0f);  // 0 is exact
    // Outside, the ends of the encoded range (moved to put 0 on a code).
    const float offset = static_cast<float>(e.stepExactly0);
    EXPECT_NEAR(q[5], (255 - offset) * e.stepSize, 1e-6);
    EXPECT_NEAR(q[6], -offset * e.stepSize, 1e-6);
    EXPECT_EQ(q[7], 0.0f);
}

TEST(Encoding, HistogramQuantilesDropOutliers) {
    std::vector<float> v(1000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 100) / 100;  // 0 .. 0.99
    v[0] = 50;                                                                     // one outlier
    vexart::Histogram h(0, 50, 5000);
    h.add(v.data(), v.size());
    EXPECT_NEAR(h.quantile(0.99), 0.99, 0.02);
    EXPECT_NEAR(h.quantile(0.0), 0, 0.01);
    EXPECT_EQ(h.quantile(1.0), 50);
    // Infinities (an overflowed activation) and NaN lie in no bin and count
    // for nothing: one value at 0.95 answers every quantile, with its bin's
    // lower edge below the median and its upper edge above.
    vexart::Histogram one(0, 1, 10);
    const std::vector<float> w = {0.95f, INFINITY, INFINITY, -INFINITY, NAN};
    one.add(w.data(), w.size());
    EXPECT_FLOAT_EQ(one.quantile(0.1), 0.9f);
    EXPECT_FLOAT_EQ(one.quantile(0.99), 1.0f);
}

// The range search against the noise it promises, measured on the values
// themselves: the range it picks quantizes them with no more squared error
// than the observed minimum and maximum, nor, within a few percent, than
// ranges narrowed from either.
TEST(Encoding, MseRangesHoldTheValuesWithTheLeastNoise) {
    auto noise = [](const std::vector<float>& v, float lo, float hi) {
        const vexart::TensorEncoding e = vexart::encodingForRange(lo, hi, 8);
        std::vector<float> q(v.size());
        vexart::quantizeDequantize(v.data(), q.data(), v.size(), e);
        double sum = 0;
        for (size_t i = 0; i < v.size(); ++i) sum += (static_cast<double>(v[i]) - q[i]) * (v[i] - q[i]);
        return sum / static_cast<double>(v.size());
    };
    struct Case {
        const char* name;
        std::vector<float> values;
        float hiFrom, hiTo;  // where the upper end must land, as a fraction of the largest value
    };
    std::vector<float> even, outliers, bell;
    for (int i = 0; i < 20000; ++i) even.push_back(-1 + 2 * static_cast<float>(i) / 19999);
    outliers = even;
    outliers[7] = 40;  // far out: clipping it costs more than the rounding it saves
    outliers[9] = -25;
    uint32_t seed = 5;
    for (int i = 0; i < 20000; ++i) {
        // A sum of uniforms: a bell whose tails thin out, after a ReLU.
        float x = 0;
        for (int k = 0; k < 6; ++k) {
            seed = seed * 1664525u + 1013904223u;
            x += static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        }
        bell.push_back(std::max(x, 0.0f) * 3);
    }
    const Case cases[] = {{"even", even, 0.99f, 1.0f}, {"outliers", outliers, 0.9f, 1.0f}, {"bell", bell, 0.8f, 0.995f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [mn, mx] = std::minmax_element(c.values.begin(), c.values.end());
        vexart::Histogram h(*mn, *mx);
        h.add(c.values.data(), c.values.size());
        float lo = 0, hi = 0;
        h.mseRange(8, lo, hi);
        EXPECT_GE(hi, *mx * c.hiFrom);
        EXPECT_LE(hi, *mx * c.hiTo);
        EXPECT_LE(lo, 0.0f);
        EXPECT_GE(lo, *mn);
        const double chosen = noise(c.values, lo, hi);
        EXPECT_LE(chosen, noise(c.values, *mn, *mx) * 1.001);
        for (float f : {0.5f, 0.7f, 0.8f, 0.9f, 0.95f, 0.99f}) {
            EXPECT_LE(chosen, noise(c.values, *mn * f, *mx * f) * 1.05) << f;
            EXPECT_LE(chosen, noise(c.values, lo, hi * f) * 1.05) << f;
            EXPECT_LE(chosen, noise(c.values, lo * f, hi) * 1.05) << f;
        }
    }
}

class QuantizeTool : public ::testing::Test {
protected:
    TempDir dir;

    std::string path(const std::string& name) const { return dir.file(name); }
    ProcessResult tool(const char* program, const std::vector<std::string>& args) {
        ProcessOptions o;
        o.workingDirectory = dir.path();
        return runProcess(program, args, o);
    }
};

TEST_F(QuantizeTool, CalibrateRunFixedPointAndCompare) {
    // y = 2x + 1 over x in [-1, 1]: y spans [-1, 3].
    const OnnxBuilder m = affineModel("m", {1, 16}, 2, 1);
    vexart::ContainerModel model;
    model.graphs.push_back({"m", m.serialize(), {}, {}});
    model.otherEntries["LICENSE"] = "kept";
    model.cacheRecords.push_back({"cpu", {"m"}, "abc"});
    vexart::writeContainer(model, path("m.dlc"));
    std::string list = "#y\n%y\n";
    for (int k = 0; k < 4; ++k) {
        std::vector<float> x(16);
        for (size_t i = 0; i < x.size(); ++i) x[i] = -1 + 2.0f * static_cast<float>((i * 7 + static_cast<size_t>(k) * 3) % 16) / 15;
        dir.write("c" + std::to_string(k) + ".raw", floatsToBytes(x));
        list += "x:=c" + std::to_string(k) + ".raw\n";
    }
    dir.write("calib.txt", list);

    ProcessResult r = tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "q.dlc"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("encodings for graph 'm' written to q.dlc (4 calibration inputs)"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("noise      4/4"), std::string::npos) << r.err;

    // Written and read back exactly; the rest of the container kept.
    const auto q = vexart::openContainerFile(path("q.dlc"));
    EXPECT_EQ(q.otherEntries, model.otherEntries);
    ASSERT_EQ(q.cacheRecords.size(), 1u);
    const auto& enc = q.graphs.at(0).encodings;
    // x spans [-1, 1]: 255 steps of 2/255 with 0 at code 127.5, moved to 128;
    // y = 2x + 1 spans [-1, 3]: steps of 4/255, 0 at code 63.75, moved to 64.
    for (const auto& [tensor, step, offset] :
         {std::tuple<const char*, double, uint64_t>{"x", 2.0 / 255, 128}, {"y", 4.0 / 255, 64}}) {
        ASSERT_EQ(enc.count(tensor), 1u) << tensor;
        EXPECT_FLOAT_EQ(enc.at(tensor).stepSize, static_cast<float>(step)) << tensor;
        EXPECT_EQ(enc.at(tensor).stepExactly0, offset) << tensor;
    }

    // Searched by squared error, even spreads keep their whole range.
    r = tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "mse.dlc", "--mse"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("histograms 4/4"), std::string::npos) << r.err;
    const auto mse = vexart::openContainerFile(path("mse.dlc")).graphs.at(0).encodings;
    for (const char* tensor : {"x", "y"}) {
        EXPECT_FLOAT_EQ(mse.at(tensor).stepSize, enc.at(tensor).stepSize) << tensor;
        EXPECT_EQ(mse.at(tensor).stepExactly0, enc.at(tensor).stepExactly0) << tensor;
    }

    // Fixed-point inputs and outputs at those encodings differ from float by
    // their quantization error, and by no more.
    dir.write("eval.txt", "c1.raw\nc3.raw\n");
    r = tool(VEXA_TOOL_PATH, {"--container", "q.dlc", "--input_list", "eval.txt", "--output_dir", "float"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool(VEXA_TOOL_PATH, {"--container", "q.dlc", "--input_list", "eval.txt", "--output_dir", "fixed",
                              "--userbuffer_tf8", "--static_min_max", "--enable_cpu_fxp"});
    ASSERT_EQ(r.status, 0) << r.err;
    const double bound = enc.at("y").stepSize / 2 + 2 * enc.at("x").stepSize / 2 + 1e-6;
    r = tool(VEXA_DIFF_PATH, {"fixed", "float", "--max-abs-error", std::to_string(bound), "--min-sqnr", "30"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = tool(VEXA_DIFF_PATH, {"fixed", "float", "--max-abs-error", "1e-7"});
    EXPECT_EQ(r.status, 1) << "no quantization error at all:\n" << r.out;
}

// Values bunched in the middle with thin tails: --mse clips the tails for
// finer steps inside, where the observed minimum and maximum keep them.
// A model on token ids: its calibration files hold int64 ids, as the tool's
// native input files do, and its open sequence length is given.
TEST_F(QuantizeTool, TokenIdInputsOfAnOpenLength) {
    OnnxBuilder m("lm", 13);
    m.input("ids", {1, -1}, onnx::TensorProto::INT64);
    m.initializer("table", {10, 4}, pseudoRandom(40, 9, 1.0f));
    m.node("Gather", {"table", "ids"}, {"emb"});
    m.output("emb");
    packContainer(path("m.dlc"), {{"lm", &m}});
    const std::vector<int64_t> ids = {0, 3, 9, 1, 4, 4};
    dir.write("ids.raw", std::string(reinterpret_cast<const char*>(ids.data()), ids.size() * 8));
    dir.write("calib.txt", "ids.raw\n");
    ProcessResult r = tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "q.dlc"});
    EXPECT_EQ(r.status, 1);  // the open length defaults to 1: six ids are too many
    EXPECT_NE(r.err.find("ids.raw holds 48 bytes; input 'ids' of shape [1,1] needs 8 (1 int64 values"), std::string::npos) << r.err;
    r = tool(VEXA_QUANTIZE_PATH,
             {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "q.dlc", "--input_dimensions", "ids=1,6"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The embedding's range is that of the rows the ids pick, and only those.
    const std::vector<float> table = pseudoRandom(40, 9, 1.0f);
    float lo = 0, hi = 0;
    for (const int64_t id : ids) {
        for (int c = 0; c < 4; ++c) {
            lo = std::min(lo, table[static_cast<size_t>(id * 4 + c)]);
            hi = std::max(hi, table[static_cast<size_t>(id * 4 + c)]);
        }
    }
    const vexart::ContainerModel q = vexart::openContainerFile(path("q.dlc"));
    EXPECT_NEAR(q.graphs.at(0).encodings.at("emb").stepSize, (hi - lo) / 255, 1e-6);
    EXPECT_EQ(q.graphs.at(0).encodings.count("ids"), 0u);  // ids hold no float
}

TEST_F(QuantizeTool, MseRangesClipThinTails) {
    const OnnxBuilder m = affineModel("m", {1, 1024}, 1, 0);
    packContainer(path("m.dlc"), {{"m", &m}});
    std::string list;
    uint32_t seed = 3;
    for (int k = 0; k < 4; ++k) {
        std::vector<float> x(1024);
        for (float& v : x) {
            v = 0;
            for (int j = 0; j < 6; ++j) {
                seed = seed * 1664525u + 1013904223u;
                v += static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
            }
        }
        dir.write("b" + std::to_string(k) + ".raw", floatsToBytes(x));
        list += "b" + std::to_string(k) + ".raw\n";
    }
    dir.write("bell.txt", list);
    ASSERT_EQ(tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "bell.txt", "-o", "minmax.dlc"}).status, 0);
    ASSERT_EQ(tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "bell.txt", "-o", "mse.dlc", "--mse"}).status, 0);
    const auto minmax = vexart::openContainerFile(path("minmax.dlc")).graphs.at(0).encodings;
    const auto mse = vexart::openContainerFile(path("mse.dlc")).graphs.at(0).encodings;
    for (const char* tensor : {"x", "y"}) {
        EXPECT_LT(mse.at(tensor).stepSize, minmax.at(tensor).stepSize * 0.99f) << tensor;
        EXPECT_GT(mse.at(tensor).stepSize, minmax.at(tensor).stepSize * 0.5f) << tensor;
    }
}

TEST_F(QuantizeTool, PerChannelWeightsRoundTripAndTheNetworkRunsQuantized) {
    const OnnxBuilder m = randomClassifier();
    packContainer(path("m.dlc"), {{"classifier", &m}});
    std::string list;
    for (int k = 0; k < 4; ++k) {
        dir.write("c" + std::to_string(k) + ".raw", floatsToBytes(pseudoRandom(3 * 32 * 32, 40 + k, 1.0f)));
        list += "c" + std::to_string(k) + ".raw\n";
    }
    dir.write("calib.txt", list);
    // One step per tensor only when asked; per channel by default.
    ProcessResult r = tool(VEXA_QUANTIZE_PATH,
                           {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "t.dlc", "--per_tensor"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("conv2.w                                  weight  "), std::string::npos) << r.out;
    EXPECT_TRUE(vexart::openContainerFile(path("t.dlc")).graphs.at(0).encodings.at("conv2.w").channelSteps.empty());
    r = tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "q.dlc"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("conv2.w                                  weight/c"), std::string::npos) << r.out;

    // A step per output channel, read back exactly; biases keep one range.
    const auto enc = vexart::openContainerFile(path("q.dlc")).graphs.at(0).encodings;
    for (const auto& w : m.proto().graph().initializer()) {
        const std::vector<int64_t> dims(w.dims().begin(), w.dims().end());
        const auto& got = enc.at(w.name());
        if (w.name().find(".b") != std::string::npos) {
            EXPECT_TRUE(got.channelSteps.empty()) << w.name();
            continue;
        }
        // Symmetric codes -127..127 about 128: each channel's step is its largest magnitude over 127.
        const size_t perChannel = static_cast<size_t>(w.float_data_size()) / static_cast<size_t>(dims[0]);
        ASSERT_EQ(got.channelSteps.size(), static_cast<size_t>(dims[0])) << w.name();
        for (size_t c = 0; c < got.channelSteps.size(); ++c) {
            float largest = 0;
            for (size_t i = 0; i < perChannel; ++i) largest = std::max(largest, std::fabs(w.float_data(static_cast<int>(c * perChannel + i))));
            EXPECT_FLOAT_EQ(got.channelSteps[c], largest / 127) << w.name() << " channel " << c;
        }
        EXPECT_EQ(got.axis, 0) << w.name();
        EXPECT_EQ(got.stepExactly0, 128u) << w.name();
        EXPECT_EQ(got.channelSteps.size(), static_cast<size_t>(dims[0])) << w.name();
    }

    // The whole network in fixed point against float, every tensor: close,
    // not equal, and only under the names the model has.
    dir.write("eval.txt", "c1.raw\nc3.raw\n");
    r = tool(VEXA_TOOL_PATH, {"--container", "q.dlc", "--input_list", "eval.txt", "--output_dir", "float", "--debug"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool(VEXA_TOOL_PATH, {"--container", "q.dlc", "--input_list", "eval.txt", "--output_dir", "fixed", "--debug",
                              "--enable_cpu_fxp"});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(path("fixed"))) {
        EXPECT_EQ(e.path().filename().string().find('#'), std::string::npos) << e.path();
        files += e.is_regular_file() ? 1 : 0;
    }
    size_t floatFiles = 0;
    for (const auto& e : fs::recursive_directory_iterator(path("float"))) floatFiles += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, floatFiles);
    r = tool(VEXA_DIFF_PATH, {"fixed", "float", "--min-sqnr", "25", "--min-top1", "1"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = tool(VEXA_DIFF_PATH, {"fixed", "float", "--max-abs-error", "1e-7"});
    EXPECT_EQ(r.status, 1) << "no quantization error at all:\n" << r.out;
}

// Two 1x1 convolutions whose weights all round down on their channel's
// grid: each output channel's mean falls by what the rounding lost times
// the input's mean, and the second inherits the first's fall. Corrected,
// the first convolution's shift is that loss worked out here, and the
// second's output mean is float's again: corrections applied in order,
// not each measured against an uncorrected network.
TEST_F(QuantizeTool, BiasCorrectionCancelsTheMeanShiftOfRoundedWeights) {
    OnnxBuilder b("m");
    b.input("x", {1, 16, 8, 8});
    std::vector<float> w1(4 * 16), w2(4 * 4);
    for (size_t o = 0; o < 4; ++o) {
        // Steps of 1/127 (the largest weight is 1); 38.3 to 38.45 steps round to 38.
        for (size_t i = 0; i < 16; ++i) w1[o * 16 + i] = i == 0 ? 1.0f : (38.3f + 0.05f * static_cast<float>(o)) / 127;
        for (size_t i = 0; i < 4; ++i) w2[o * 4 + i] = i == o ? 1.0f : 57.2f / 127;
    }
    b.initializerRaw("w1", {4, 16, 1, 1}, w1);
    b.initializerRaw("w2", {4, 4, 1, 1}, w2);
    b.node("Conv", {"x", "w1"}, {"c1"});
    b.node("Conv", {"c1", "w2"}, {"y"});
    b.output("y");
    packContainer(path("m.dlc"), {{"m", &b}});
    std::string list;
    std::vector<std::vector<float>> inputs;
    for (int k = 0; k < 8; ++k) {
        inputs.push_back(pseudoRandom(16 * 64, 60 + static_cast<uint32_t>(k), 1.0f));
        for (float& v : inputs.back()) v = std::fabs(v);
        dir.write("c" + std::to_string(k) + ".raw", floatsToBytes(inputs.back()));
        list += "c" + std::to_string(k) + ".raw\n";
    }
    dir.write("calib.txt", list);
    ASSERT_EQ(tool(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "plain.dlc"}).status, 0);
    ProcessResult r = tool(VEXA_QUANTIZE_PATH,
                           {"--container", "m.dlc", "--input_list", "calib.txt", "-o", "bc.dlc", "--bias_correction"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bias corrections for 2 convolution and dense-layer outputs"), std::string::npos) << r.out;
    // A line per layer, the first with the time left at its pace.
    EXPECT_NE(r.err.find("bias       1/2, about "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bias       2/2\n"), std::string::npos) << r.err;
    const auto plain = vexart::openContainerFile(path("plain.dlc")).graphs.at(0).encodings;
    const auto corrected = vexart::openContainerFile(path("bc.dlc")).graphs.at(0).encodings;
    EXPECT_TRUE(plain.at("c1").biasCorrection.empty());

    // Input channel means, as the fixed-point network sees them (on x's grid).
    std::vector<double> xMean(16, 0);
    const auto& xe = corrected.at("x");
    for (const auto& x : inputs) {
        for (size_t i = 0; i < x.size(); ++i) {
            xMean[i / 64] += (std::nearbyint(x[i] / xe.stepSize) * xe.stepSize) / (64.0 * static_cast<double>(inputs.size()));
        }
    }
    const auto& shift1 = corrected.at("c1").biasCorrection;
    ASSERT_EQ(shift1.size(), 4u);
    for (size_t o = 0; o < 4; ++o) {
        double lost = 0;
        for (size_t i = 0; i < 16; ++i) lost += (w1[o * 16 + i] - std::nearbyint(w1[o * 16 + i] * 127) / 127) * xMean[i];
        EXPECT_NEAR(shift1[o], lost, 0.1 * lost) << "channel " << o;
    }
    ASSERT_EQ(corrected.at("y").biasCorrection.size(), 4u);

    // The second convolution's output mean, before its own grid, against float's.
    auto meanShifts = [&](const std::map<std::string, vexart::TensorEncoding>& encodings) {
        vexart::Engine fixed(b.proto(), vexart::fixedPointOptions(encodings));
        vexart::Engine exact(b.proto(), {});
        const std::string y = fixed.computedName("y");
        fixed.prepare({}, {y});
        exact.prepare({}, {"y"});
        std::vector<double> shift(4, 0);
        for (const auto& x : inputs) {
            std::copy(x.begin(), x.end(), fixed.input("x").data<float>());
            std::copy(x.begin(), x.end(), exact.input("x").data<float>());
            fixed.run();
            exact.run();
            const float* got = fixed.value(y).data<float>();
            const float* want = exact.value("y").data<float>();
            for (size_t i = 0; i < 4 * 64; ++i) shift[i / 64] += (got[i] - want[i]) / (64.0 * static_cast<double>(inputs.size()));
        }
        return shift;
    };
    const auto before = meanShifts(plain), after = meanShifts(corrected);
    for (size_t o = 0; o < 4; ++o) {
        EXPECT_LT(before[o], -0.03) << "channel " << o << ": the weights' rounding shifts the mean";
        EXPECT_LT(std::fabs(after[o]), 0.002) << "channel " << o;
    }
}

// x -> pair -> Conv (weights fake-quantized per channel, codes within 60) -> Relu -> pair -> y.
OnnxBuilder quantizeDequantizeModel() {
    OnnxBuilder b("qdq");
    b.input("x", {1, 4, 6, 6});
    auto pair = [&](const std::string& in, const std::string& out, const std::string& s, const std::string& z) {
        b.node("QuantizeLinear", {in, s, z}, {out + ".q"});
        b.node("DequantizeLinear", {out + ".q", s, z}, {out});
    };
    b.initializer("xs", {}, {0.02f});
    b.initializer(OnnxBuilder::intTensor("xz", onnx::TensorProto::UINT8, {}, {128}));
    pair("x", "xq", "xs", "xz");
    const std::vector<float> scales = {0.01f, 0.02f, 0.015f, 0.005f, 0.03f, 0.01f, 0.02f, 0.025f};
    std::vector<float> w(8 * 4 * 9);
    const auto r = pseudoRandom(w.size(), 3, 60.49f);
    for (size_t i = 0; i < w.size(); ++i) w[i] = std::nearbyint(r[i]) * scales[i / 36];
    b.initializer("w", {8, 4, 3, 3}, w);
    b.initializer("ws", {8}, scales);
    b.initializer(OnnxBuilder::intTensor("wz", onnx::TensorProto::INT8, {8}, std::vector<int>(8, 0)));
    auto& wq = b.node("QuantizeLinear", {"w", "ws", "wz"}, {"w.q"});
    auto& wd = b.node("DequantizeLinear", {"w.q", "ws", "wz"}, {"wd"});
    OnnxBuilder::attr(wq, "axis", int64_t{0});
    OnnxBuilder::attr(wd, "axis", int64_t{0});
    b.initializer("bias", {8}, pseudoRandom(8, 4, 0.2f));
    OnnxBuilder::attr(b.node("Conv", {"xq", "wd", "bias"}, {"c"}), "pads", std::vector<int64_t>(4, 1));
    b.node("Relu", {"c"}, {"r"});
    b.initializer("ys", {}, {0.01f});
    b.initializer(OnnxBuilder::intTensor("yz", onnx::TensorProto::UINT8, {}, {0}));
    pair("r", "y", "ys", "yz");
    b.output("y");
    return b;
}

TEST_F(QuantizeTool, PackerTakesQuantizeDequantizePairsAsEncodingsWhenAsked) {
    const OnnxBuilder m = quantizeDequantizeModel();
    dir.write("qdq.onnx", m.serialize());
    ProcessResult r = tool(VEXA_PACK_PATH, {"-o", "as-is.dlc", "qdq.onnx"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool(VEXA_PACK_PATH, {"-o", "encoded.dlc", "--qdq-encodings", "qdq.onnx"});
    ASSERT_EQ(r.status, 0) << r.err;

    auto asIsModel = vexart::openContainerFile(path("as-is.dlc"));
    const auto& asIs = asIsModel.graphs.at(0);
    EXPECT_TRUE(asIs.encodings.empty());
    onnx::ModelProto kept, folded;
    ASSERT_TRUE(vexart::parseGraph(asIsModel, asIs, kept));
    EXPECT_EQ(kept.SerializeAsString(), m.serialize());
    auto encodedModel = vexart::openContainerFile(path("encoded.dlc"));
    const auto& encoded = encodedModel.graphs.at(0);
    ASSERT_TRUE(vexart::parseGraph(encodedModel, encoded, folded));
    std::vector<std::string> ops;
    for (const auto& n : folded.graph().node()) ops.push_back(n.op_type());
    EXPECT_EQ(ops, (std::vector<std::string>{"Conv", "Relu", "Identity"}));
    const auto& e = encoded.encodings;
    ASSERT_EQ(e.count("x"), 1u);
    EXPECT_EQ(e.at("x").stepSize, 0.02f);
    EXPECT_EQ(e.at("x").stepExactly0, 128u);
    ASSERT_EQ(e.count("r"), 1u);
    EXPECT_EQ(e.at("r").stepSize, 0.01f);
    EXPECT_EQ(e.at("r").stepExactly0, 0u);
    EXPECT_EQ(e.count("y"), 1u);
    ASSERT_EQ(e.count("w"), 1u);
    EXPECT_EQ(e.at("w").axis, 0);
    EXPECT_EQ(e.at("w").stepExactly0, 128u);
    EXPECT_EQ(e.at("w").channelSteps, (std::vector<float>{0.01f, 0.02f, 0.015f, 0.005f, 0.03f, 0.01f, 0.02f, 0.025f}));

    // Run in fixed point, the encoded container computes what the pairs
    // compute, to within a rounding step of the output.
    dir.write("x.raw", floatsToBytes(pseudoRandom(4 * 36, 9, 2.0f)));
    dir.write("list.txt", "x.raw\n");
    r = tool(VEXA_TOOL_PATH, {"--container", "as-is.dlc", "--input_list", "list.txt", "--output_dir", "pairs"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool(VEXA_TOOL_PATH, {"--container", "encoded.dlc", "--input_list", "list.txt", "--output_dir", "fixed",
                              "--enable_cpu_fxp"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool(VEXA_DIFF_PATH, {"fixed", "pairs", "--max-abs-error", "0.01001", "--min-sqnr", "35"});
    EXPECT_EQ(r.status, 0) << r.out;
    r = tool(VEXA_TOOL_PATH, {"--container", "encoded.dlc", "--input_list", "list.txt", "--output_dir", "float"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool(VEXA_DIFF_PATH, {"float", "pairs", "--max-abs-error", "1e-7"});
    EXPECT_EQ(r.status, 1) << "the float run is not quantized:\n" << r.out;

    // Parameters that define no grid are refused, and nothing is written.
    onnx::ModelProto bad = m.proto();
    for (auto& t : *bad.mutable_graph()->mutable_initializer()) {
        if (t.name() == "ys") t.set_float_data(0, 0.0f);
    }
    dir.write("bad.onnx", bad.SerializeAsString());
    r = tool(VEXA_PACK_PATH, {"-o", "bad.dlc", "--qdq-encodings", "bad.onnx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.onnx: node 'DequantizeLinear_8': scale 0.000000 is not a positive number"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(path("bad.dlc")));
}

TEST_F(QuantizeTool, RefusedRequestsLeaveTheContainer) {
    const OnnxBuilder m = affineModel("m", {1, 4}, 2, 1);
    packContainer(path("m.dlc"), {{"m", &m}});
    const std::string before = readFile(path("m.dlc"));
    dir.write("short.raw", floatsToBytes({1, 2}));
    dir.write("short.txt", "short.raw\n");
    dir.write("two.txt", "short.raw short.raw\n");
    dir.write("empty.txt", "#y\n\n");
    dir.write("device.txt", "/dev/zero\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {{"--container", "m.dlc", "--input_list", "short.txt"}, 1, "short.raw holds 8 bytes; input 'x' of shape [1,4] needs 16 (4 float32 values"},
        {{"--container", "m.dlc", "--input_list", "two.txt"}, 1, "names 2 file(s); the graph has 1 input(s)"},
        {{"--container", "m.dlc", "--input_list", "empty.txt"}, 1, "names no input"},
        {{"--container", "m.dlc", "--input_list", "absent.txt"}, 1, "cannot read the input list"},
        {{"--container", "m.dlc", "--input_list", "/dev/zero"}, 1, "/dev/zero: not a regular file"},
        {{"--container", "m.dlc", "--input_list", "device.txt"}, 1, "/dev/zero: not a regular file"},
        {{"--container", "m.dlc", "--input_list", "short.txt", "--graph", "other"}, 1, "has no graph 'other'"},
        {{"--container", "absent.dlc", "--input_list", "short.txt"}, 1, "cannot read the file"},
        {{"--container", "m.dlc", "--input_list", "short.txt", "--act_bitwidth", "4"}, 2, "usage"},
        {{"--container", "m.dlc", "--input_list", "short.txt", "--percentile", "12"}, 2, "usage"},
        {{"--container", "m.dlc", "--input_list", "short.txt", "--percentile", "99", "--mse"}, 2, "usage"},
        {{"--container", "m.dlc"}, 2, "usage"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = tool(VEXA_QUANTIZE_PATH, c.args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(readFile(path("m.dlc")), before) << c.err;
    }
}

}  // namespace
