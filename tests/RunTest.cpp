// Whole runs of the tool in tensor mode against containers made here,
// outputs checked against values computed independently.
#include <gtest/gtest.h>

#include <cstring>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "Container.h"
#include "support/Models.h"
#include "io/OutputWriter.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;

class Run : public ::testing::Test {
protected:
    TempDir dir;

    ProcessResult tool(std::vector<std::string> args) {
        ProcessOptions options;
        options.workingDirectory = dir.path();
        options.env = {{"VEXA_API_TRACE", dir.file("trace.txt")}};
        return runProcess(VEXA_TOOL_PATH, args, options);
    }
    ProcessResult run(const std::string& container, const std::string& list, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--container", container, "--input_list", list, "--output_dir", "out"};
        args.insert(args.end(), extra.begin(), extra.end());
        return tool(args);
    }
    std::vector<float> result(uint32_t index, const std::string& file) {
        return bytesToFloats(readFile(dir.file("out/Result_" + std::to_string(index) + "/" + file)));
    }
    std::string trace() { return readFile(dir.file("trace.txt")); }
    void raw(const std::string& name, const std::vector<float>& values) { dir.write(name, floatsToBytes(values)); }
};

// The sample classifier computed with plain loops.
std::vector<float> referenceClassifier(const std::vector<float>& image) {
    const auto w1 = pseudoRandom(8 * 3 * 9, 1, 0.3f), b1 = pseudoRandom(8, 2, 0.1f);
    const auto w2 = pseudoRandom(16 * 8 * 9, 3, 0.2f), b2 = pseudoRandom(16, 4, 0.1f);
    const auto wf = pseudoRandom(160, 5, 0.5f), bf = pseudoRandom(10, 6, 0.1f);
    auto conv = [](const std::vector<float>& x, int C, int H, const std::vector<float>& w, const std::vector<float>& b,
                   int M) {
        std::vector<float> y(static_cast<size_t>(M * H * H));
        for (int m = 0; m < M; ++m)
            for (int i = 0; i < H; ++i)
                for (int j = 0; j < H; ++j) {
                    double s = b[static_cast<size_t>(m)];
                    for (int c = 0; c < C; ++c)
                        for (int ki = 0; ki < 3; ++ki)
                            for (int kj = 0; kj < 3; ++kj) {
                                const int ii = i + ki - 1, jj = j + kj - 1;
                                if (ii < 0 || jj < 0 || ii >= H || jj >= H) continue;
                                s += x[static_cast<size_t>((c * H + ii) * H + jj)] *
                                     w[static_cast<size_t>(((m * C + c) * 3 + ki) * 3 + kj)];
                            }
                    y[static_cast<size_t>((m * H + i) * H + j)] = std::max(0.0f, static_cast<float>(s));
                }
        return y;
    };
    const auto c1 = conv(image, 3, 32, w1, b1, 8);
    std::vector<float> p1(8 * 16 * 16);
    for (int c = 0; c < 8; ++c)
        for (int i = 0; i < 16; ++i)
            for (int j = 0; j < 16; ++j) {
                float m = -1e30f;
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b) m = std::max(m, c1[static_cast<size_t>((c * 32 + 2 * i + a) * 32 + 2 * j + b)]);
                p1[static_cast<size_t>((c * 16 + i) * 16 + j)] = m;
            }
    const auto c2 = conv(p1, 8, 16, w2, b2, 16);
    std::vector<double> logits(10);
    double maxLogit = -1e30;
    for (int k = 0; k < 10; ++k) {
        double s = bf[static_cast<size_t>(k)];
        for (int c = 0; c < 16; ++c) {
            double mean = 0;
            for (int i = 0; i < 256; ++i) mean += c2[static_cast<size_t>(c * 256 + i)];
            s += mean / 256 * wf[static_cast<size_t>(k * 16 + c)];
        }
        logits[static_cast<size_t>(k)] = s;
        maxLogit = std::max(maxLogit, s);
    }
    double sum = 0;
    for (double& l : logits) sum += (l = std::exp(l - maxLogit));
    std::vector<float> p;
    for (double l : logits) p.push_back(static_cast<float>(l / sum));
    return p;
}

TEST_F(Run, ClassifierMatchesAPlainImplementation) {
    const OnnxBuilder model = randomClassifier();
    packContainer(dir.file("model.dlc"), {{"classifier", &model}}, "random classifier 1.0");
    std::string list;
    for (uint32_t i = 0; i < 3; ++i) {
        raw("image_" + std::to_string(i) + ".raw", pseudoRandom(3 * 32 * 32, 100 + i, 1.0f));
        list += "image_" + std::to_string(i) + ".raw\n";
    }
    dir.write("input_list.txt", list);
    const ProcessResult r = run("model.dlc", "input_list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Model String: random classifier 1.0\nVEXA v2.48.0.260626120635\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nProcessing graph : classifier\n"), std::string::npos);
    EXPECT_NE(r.out.find("Successfully executed graph classifier\n"), std::string::npos);
    for (uint32_t i = 0; i < 3; ++i) {
        const auto image = bytesToFloats(readFile(dir.file("image_" + std::to_string(i) + ".raw")));
        const auto want = referenceClassifier(image);
        const auto got = result(i, "probabilities.raw");
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-5) << i << "/" << k;
    }
    EXPECT_TRUE(fs::exists(dir.file("out/VEXADiag.log")));
}

// The bundled sample: the trained classifier on real test images reaches
// the accuracy recorded when it was trained, within a point.
TEST_F(Run, BundledSampleReachesItsRecordedAccuracy) {
    const std::string sample = VEXA_SAMPLE_DIR;
    ProcessOptions options;
    options.workingDirectory = sample;  // the list names the images relative to it
    const ProcessResult r = runProcess(VEXA_TOOL_PATH,
                                       {"--container", "model.dlc", "--input_list", "input_list.txt", "--output_dir",
                                        dir.file("out"), "--profiling_level", "off"},
                                       options);
    ASSERT_EQ(r.status, 0) << r.err;
    const ProcessResult report = runProcess(
        VEXA_SAMPLE_REPORT, {dir.file("out"), sample + "/labels.txt", sample + "/accuracy.txt"}, options);
    ASSERT_EQ(report.status, 0) << report.out << report.err;
    double got = 0, recorded = 0;
    ASSERT_EQ(std::sscanf(report.out.c_str() + report.out.find("Accuracy on"),
                          "Accuracy on %*u test images: %lf%% (%*u correct); recorded when the model was trained: %lf%%",
                          &got, &recorded),
              2)
        << report.out;
    EXPECT_NEAR(got, recorded, 1.0) << report.out;
    EXPECT_GT(got, 80.0);
}

// Kernels split their work over the library's threads: any count gives
// the same bits, and the count follows the environment or the profile.
TEST_F(Run, ThreadsChangeNeitherResultsNorMoreThanTheirCount) {
    OnnxBuilder b("net");
    b.input("x", {1, 16, 64, 64});
    b.initializer("w", {16, 16, 3, 3}, pseudoRandom(16 * 16 * 9, 7, 0.2f));
    b.initializer("dw", {16, 1, 3, 3}, pseudoRandom(16 * 9, 8, 0.3f));
    auto& conv = b.node("Conv", {"x", "w"}, {"c"}, "conv");
    OnnxBuilder::attr(conv, "pads", std::vector<int64_t>{1, 1, 1, 1});
    auto& pool = b.node("MaxPool", {"c"}, {"p"}, "pool");
    OnnxBuilder::attr(pool, "kernel_shape", std::vector<int64_t>{2, 2});
    OnnxBuilder::attr(pool, "strides", std::vector<int64_t>{2, 2});
    auto& depthwise = b.node("Conv", {"p", "dw"}, {"d"}, "depthwise");
    OnnxBuilder::attr(depthwise, "group", int64_t{16});
    OnnxBuilder::attr(depthwise, "pads", std::vector<int64_t>{1, 1, 1, 1});
    auto& avg = b.node("AveragePool", {"d"}, {"y"}, "avg");
    OnnxBuilder::attr(avg, "kernel_shape", std::vector<int64_t>{3, 3});
    OnnxBuilder::attr(avg, "pads", std::vector<int64_t>{1, 1, 1, 1});
    b.output("y", {1, 16, 32, 32});
    packContainer(dir.file("net.dlc"), {{"net", &b}});
    raw("x.raw", pseudoRandom(16 * 64 * 64, 9, 1.0f));
    dir.write("list.txt", "x.raw\n");
    std::string first;
    for (const char* threads : {"1", "2", "3"}) {
        ProcessOptions options;
        options.workingDirectory = dir.path();
        options.env = {{"VEXA_NUM_THREADS", threads}};
        fs::remove_all(dir.file("out"));
        const ProcessResult r = runProcess(
            VEXA_TOOL_PATH, {"--container", "net.dlc", "--input_list", "list.txt", "--output_dir", "out"}, options);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string y = readFile(dir.file("out/Result_0/y.raw"));
        ASSERT_EQ(y.size(), 16u * 32 * 32 * 4);
        if (first.empty()) first = y;
        EXPECT_EQ(y, first) << threads << " threads";
        EXPECT_NE(readFile(dir.file("out/VEXADiag.log")).find(std::string("threads=") + threads + " "),
                  std::string::npos);
    }
    // Without the variable the profile decides: one thread to save power.
    fs::remove_all(dir.file("out"));
    ASSERT_EQ(run("net.dlc", "list.txt", {"--perf_profile", "power_saver"}).status, 0);
    EXPECT_NE(readFile(dir.file("out/VEXADiag.log")).find("threads=1 "), std::string::npos);
}

TEST_F(Run, GraphSectionsAndGraphExecuteOrder) {
    const OnnxBuilder g1 = affineModel("g1", {1, 2}, 2, 1, "x", "y1");
    const OnnxBuilder g2 = affineModel("g2", {1, 2}, 3, 0, "x", "y2");
    packContainer(dir.file("two.dlc"), {{"g1", &g1}, {"g2", &g2}});
    raw("a.raw", {1, 2});
    raw("b.raw", {5, 6});
    dir.write("list.txt", "$g1\na.raw\n$g2\nb.raw\n");

    ProcessResult r = run("two.dlc", "list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "Processing graph : "), 1u);
    EXPECT_EQ(result(0, "y1.raw"), (std::vector<float>{3, 5}));
    EXPECT_FALSE(fs::exists(dir.file("out/Result_0/y2.raw")));

    r = run("two.dlc", "list.txt", {"--graph_execute", "g2,g1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.out.find("Processing graph : g2"), r.out.find("Processing graph : g1"));
    EXPECT_LT(r.out.find("Successfully executed graph g2\n"), r.out.find("Processing graph : g1"));
    EXPECT_EQ(result(0, "y2.raw"), (std::vector<float>{15, 18}));

    r = run("two.dlc", "list.txt", {"--graph_execute", "g2,g1", "--graph_init", "g1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Graph g2 is specified in --graph_execute but not in --graph_init.\n");
    EXPECT_EQ(r.out.find("Processing graph"), std::string::npos);
}

TEST_F(Run, BatchesArePaddedAndSlicedPerFile) {
    const OnnxBuilder m = affineModel("batch", {4, 2}, 1, 10);
    packContainer(dir.file("m.dlc"), {{"batch", &m}});
    raw("0.raw", {1, 2});
    raw("1.raw", {3, 4});
    raw("2.raw", {5, 6});
    dir.write("list.txt", "0.raw\n1.raw\n2.raw\n");
    const ProcessResult r = run("m.dlc", "list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Processing DNN input(s):\n0.raw\n1.raw\n2.raw\nApplying padding\n"), std::string::npos);
    EXPECT_EQ(result(0, "y.raw"), (std::vector<float>{11, 12}));
    EXPECT_EQ(result(1, "y.raw"), (std::vector<float>{13, 14}));
    EXPECT_EQ(result(2, "y.raw"), (std::vector<float>{15, 16}));
    EXPECT_FALSE(fs::exists(dir.file("out/Result_3")));
    EXPECT_EQ(countOf(trace(), "Vexa_VEXA_ExecuteITensorsForNetwork("), 1u);
}

TEST_F(Run, NamedInputsFollowTheFirstLineAndNamesAreCleaned) {
    const OnnxBuilder m = differenceModel("diff", {1, 2}, "out:0/sub");
    packContainer(dir.file("m.dlc"), {{"diff", &m}});
    raw("a0.raw", {10, 20});
    raw("b0.raw", {1, 2});
    raw("a1.raw", {30, 40});
    raw("b1.raw", {3, 4});
    // Line 2 names its inputs in the other order, but the first line's order decides.
    dir.write("list.txt", "b:=b0.raw a:=a0.raw\na:=b1.raw b:=a1.raw\n");
    const ProcessResult r = run("m.dlc", "list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result(0, "out_0/sub.raw"), (std::vector<float>{9, 18}));
    EXPECT_EQ(result(1, "out_0/sub.raw"), (std::vector<float>{27, 36}));
}

// Token ids in their own type, through user buffers of that type: every
// bit arrives, 2^63 - 1 and 2^53 + 1 included.
TEST_F(Run, Int64IdsSurviveUserBuffersExactly) {
    OnnxBuilder m("ids", 13);
    m.input("ids", {3}, onnx::TensorProto::INT64);
    m.node("Identity", {"ids"}, {"out"});
    m.output("out", {3}, onnx::TensorProto::INT64);
    packContainer(dir.file("m.dlc"), {{"ids", &m}});
    const int64_t ids[3] = {INT64_MAX, (int64_t{1} << 53) + 1, INT64_MIN};
    dir.write("ids.raw", std::string(reinterpret_cast<const char*>(ids), sizeof ids));
    dir.write("list.txt", "ids.raw\n");
    const ProcessResult r = run("m.dlc", "list.txt", {"--userbuffer_auto", "--use_native_input_files", "--use_native_output_files"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = readFile(dir.file("out/Result_0/out.raw"));
    ASSERT_EQ(out.size(), sizeof ids);
    EXPECT_EQ(std::memcmp(out.data(), ids, sizeof ids), 0);
}

TEST_F(Run, OutputSelectionDebugAndDimensionOverrides) {
    const OnnxBuilder m = affineModel("m", {1, 2}, 2, 1);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("x.raw", {1, 2});
    raw("x2.raw", {3, 4});
    dir.write("list.txt", "x.raw\n");

    ProcessResult r = run("m.dlc", "list.txt", {"--debug"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result(0, "scaled.raw"), (std::vector<float>{2, 4}));
    EXPECT_EQ(result(0, "y.raw"), (std::vector<float>{3, 5}));

    fs::remove_all(dir.file("out"));
    r = run("m.dlc", "list.txt", {"--set_output_tensors", "scaled"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir.file("out/Result_0/scaled.raw")));
    EXPECT_FALSE(fs::exists(dir.file("out/Result_0/y.raw")));

    fs::remove_all(dir.file("out"));
    dir.write("list2.txt", "%scaled\nx.raw\nx2.raw\n");
    r = run("m.dlc", "list2.txt", {"--input_name", "x", "--input_dimensions", "2,2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result(0, "scaled.raw"), (std::vector<float>{2, 4}));
    EXPECT_EQ(result(1, "scaled.raw"), (std::vector<float>{6, 8}));
    EXPECT_NE(trace().find("Vexa_TensorShapeMap_Add("), std::string::npos);
}

TEST_F(Run, KeepNumOutputsStopsSavingButNotExecuting) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    std::string list;
    for (int i = 0; i < 5; ++i) {
        raw(std::to_string(i) + ".raw", {static_cast<float>(i)});
        list += std::to_string(i) + ".raw\n";
    }
    dir.write("list.txt", list);
    ProcessResult r = run("m.dlc", "list.txt", {"--keep_num_outputs", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir.file("out/Result_1/y.raw")));
    EXPECT_FALSE(fs::exists(dir.file("out/Result_2")));
    EXPECT_EQ(countOf(trace(), "Vexa_VEXA_ExecuteITensorsForNetwork("), 5u);

    fs::remove_all(dir.file("out"));
    r = run("m.dlc", "list.txt", {"--keep_num_outputs", "0", "--profiling_level", "off"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST_F(Run, DurationReplaysAndPacingSleeps) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("0.raw", {1});
    raw("1.raw", {2});
    dir.write("list.txt", "0.raw\n1.raw\n");

    auto start = std::chrono::steady_clock::now();
    ProcessResult r = run("m.dlc", "list.txt", {"--duration", "1", "--inferences_per_duration", "20,1"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << r.err;
    // 50 ms per inference, replayed until a whole second has passed: about 20 executions.
    const size_t executions = countOf(trace(), "Vexa_VEXA_ExecuteITensorsForNetwork(");
    EXPECT_GE(executions, 10u);
    EXPECT_LE(executions, 40u);
    EXPECT_EQ(executions % 2, 0u);  // a replay never cuts a pass short
    EXPECT_GE(seconds, 0.9);
    // Every pass starts again at the top of the list, and its results follow
    // the earlier ones: Result_2 and Result_3 exist only through a replay.
    EXPECT_EQ(result(2, "y.raw"), (std::vector<float>{1}));
    EXPECT_EQ(result(3, "y.raw"), (std::vector<float>{2}));
    EXPECT_TRUE(fs::exists(dir.file("out/Result_" + std::to_string(executions - 1))));
    EXPECT_FALSE(fs::exists(dir.file("out/Result_" + std::to_string(executions))));

    r = run("m.dlc", "list.txt", {"--inferences_per_duration", "1000000,1"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(countOf(r.err, "Warning: The number of inferences in the specified duration cannot be achieved on this "
                           "platform.\n"),
              1u);
    start = std::chrono::steady_clock::now();
    r = run("m.dlc", "list.txt", {"--inferences_per_duration", "4,1"});
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.45);  // two inferences, 250 ms each
}

TEST_F(Run, FailuresEndWithTheirMessage) {
    const OnnxBuilder one = affineModel("m", {1, 4}, 1, 0);
    const OnnxBuilder two = differenceModel("d", {1, 1}, "z");
    packContainer(dir.file("one.dlc"), {{"m", &one}});
    packContainer(dir.file("two.dlc"), {{"d", &two}});
    raw("four.raw", {1, 2, 3, 4});
    raw("three.raw", {1, 2, 3});
    raw("one.raw", {1});
    dir.write("six.raw", "123456");
    dir.write("notdir", "x");
    struct Case {
        std::string container;
        std::string list;
        std::vector<std::string> extra;
        std::string err;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"one.dlc", "", {}, "Failed to open input file: missing.txt\n", ""},
        {"two.dlc", "a:=one.raw a:=one.raw\n", {}, "Input names have duplicate at input line 1\n", ""},
        {"two.dlc", "$d\n   \n", {}, "Input list is empty", ""},
        {"one.dlc", "\n\n", {}, "Inputs for graph m are not provided in the input list.\n", ""},
        {"one.dlc", "nope.raw\n", {}, "Failed to open input file: nope.raw\n", ""},
        {"one.dlc", "six.raw\n", {}, "Size of input file should be divisible by sizeof(dtype).\n", ""},
        {"one.dlc", "three.raw\n", {}, "Error: invalid input size provided. Please check all raw sizes.\n", ""},
        {"two.dlc", "a:=one.raw\n", {},
         "Name of inputs in the file do not match the name of inputs to the network.\nMissing b at input line 1\n",
         ""},
        {"two.dlc", "one.raw\n", {},
         "Number of input files does not match the number of inputs to the network.\nExpecting: 2\nGot: 1\n", ""},
        {"one.dlc", "four.raw\n", {"--static_min_max"},
         "Cannot use static_min_max with CPU runtime in float execution mode or GPU runtime. It is only designed "
         "for DSP/AIP runtimes and CPU runtime in fixed point execution mode.\n",
         ""},
        {"one.dlc", "four.raw\n", {"--deferred_init", "weights"}, "Deferred Init is only supported in DSP runtime.\n",
         ""},
        {"one.dlc", "four.raw\n", {"--validate_cache"},
         "Cache validation failed: There are no cache records available in the DLC\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list + ::testing::PrintToString(c.extra));
        std::string list = "missing.txt";
        if (!c.list.empty()) list = dir.write("list.txt", c.list);
        const ProcessResult r = run(c.container, list, c.extra);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Run, OutputDirectoryThatCannotBeCreated) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("one.raw", {1});
    dir.write("list.txt", "one.raw\n");
    dir.write("blocker", "a file where the output directory should be");
    const ProcessResult r = tool({"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "blocker",
                                  "--profiling_level", "off"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to create output directory: blocker/Result_0: File exists\n");
}

TEST_F(Run, BrokenContainersAndUnavailableRuntimes) {
    dir.write("list.txt", "one.raw\n");
    raw("one.raw", {1});
    dir.write("garbage.dlc", std::string(100, 'g'));
    ProcessResult r = run("garbage.dlc", "list.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a valid container archive"), std::string::npos) << r.err;

    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    const std::string bytes = readFile(dir.file("m.dlc"));
    dir.write("cut.dlc", bytes.substr(0, bytes.size() / 2));
    r = run("cut.dlc", "list.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to open container cut.dlc"), std::string::npos) << r.err;

    OnnxBuilder odd("odd");
    odd.input("x", {1, 1});
    odd.node("NoSuchOperator", {"x"}, {"y"});
    odd.output("y", {1, 1});
    packContainer(dir.file("odd.dlc"), {{"odd", &odd}});
    r = run("odd.dlc", "list.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("operator NoSuchOperator is not supported"), std::string::npos) << r.err;

    r = run("m.dlc", "list.txt", {"--use_gpu"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("GPU runtime is not available: this host runtime has no GPU backend\nThe selected runtime is "
                         "not available on this platform. Continue anyway to observe the failure at network "
                         "creation time.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("none of the requested runtimes is available"), std::string::npos) << r.err;
}

TEST_F(Run, InitCacheSavesARecordThatValidates) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("one.raw", {1});
    dir.write("list.txt", "one.raw\n");
    ProcessResult r = run("m.dlc", "list.txt", {"--enable_init_cache"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Saved container into archive successfully\n"), std::string::npos);
    r = run("m.dlc", "list.txt", {"--validate_cache", "--init_from_buffer"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Run, BuilderReceivesEverySettingInOrder) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("one.raw", {1});
    dir.write("list.txt", "one.raw\n");
    const ProcessResult r = run("m.dlc", "list.txt",
                                {"--perf_profile", "burst", "--priority_hint", "low", "--timeout", "77",
                                 "--model_name", "named", "--profiling_level", "basic"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string t = trace();
    const std::vector<std::string> order = {
        "Vexa_VEXABuilder_Create(",           "Vexa_VEXABuilder_SetPerformanceProfile(5)",
        "Vexa_VEXABuilder_SetDebugMode(0)",   "Vexa_VEXABuilder_SetProfilingLevel(1)",
        "Vexa_VEXABuilder_SetExecutionPriorityHint(2)", "Vexa_VEXABuilder_SetUseUserSuppliedBuffers(0)",
        "Vexa_VEXABuilder_SetPlatformConfig(", "Vexa_VEXABuilder_SetInitCacheMode(0)",
        "Vexa_VEXABuilder_SetRuntimeProcessorOrder(\"0\")", "Vexa_VEXABuilder_SetUnconsumedTensorsAsOutputs(0)",
        "Vexa_VEXABuilder_SetTimeOut(77)",    "Vexa_VEXABuilder_SetSingleThreadedInit(0)",
        "Vexa_VEXABuilder_SetCpuFixedPointMode(0)", "Vexa_VEXABuilder_SetAcceleratedInit(0)",
        "Vexa_VEXABuilder_SetModelName(\"named\")", "Vexa_VEXABuilder_SetCacheCompatibilityMode(0)",
        "Vexa_VEXABuilder_SetCpuZmxMode(0)",  "Vexa_VEXABuilder_SetMemoryLimitHint(0)",
        "Vexa_VEXABuilder_SetFileReadMemoryBudget(0)", "Vexa_VEXABuilder_Build(",
        "Vexa_IDiagLog_SetOptions(\"out\")",  "Vexa_IDiagLog_Start(",
        "Vexa_VEXA_ExecuteITensorsForNetwork(\"m\")", "Vexa_VEXA_Delete(",
        "Vexa_VEXABuilder_Delete(",           "Vexa_DlContainer_Delete(",
    };
    size_t at = 0;
    for (const auto& call : order) {
        const size_t next = t.find(call, at);
        ASSERT_NE(next, std::string::npos) << call << " missing after position " << at << "\n" << t;
        at = next;
    }
    EXPECT_EQ(t.find("Vexa_VEXABuilder_SetDeferredInit"), std::string::npos);
}

}  // namespace

namespace {

class UserBufferRun : public Run {
protected:
    // x = k/8 for k = -8..7: exact in float16 and on a 1/8 grid.
    std::vector<float> x = [] {
        std::vector<float> v;
        for (int k = -8; k < 8; ++k) v.push_back(static_cast<float>(k) / 8);
        return v;
    }();

    void SetUp() override {
        const OnnxBuilder m = affineModel("m", {1, 16}, 2, 1);
        vexart::ContainerModel model;
        model.graphs.push_back({"m", m.serialize(), {}, {}});
        vexart::writeContainer(model, dir.file("plain.dlc"));
        model.graphs.back().encodings["x"] = {8, 2.0f / 255, 128, -1, {}, {}};
        vexart::writeContainer(model, dir.file("quantized.dlc"));
        raw("x.raw", x);
        dir.write("list.txt", "x.raw\n");
    }
};

TEST_F(UserBufferRun, EveryModeMatchesTensorModeWithinItsPrecision) {
    std::vector<float> want;
    for (float v : x) want.push_back(2 * v + 1);
    struct Case {
        std::vector<std::string> options;
        double tolerance;
    };
    const double tf8 = 2.0 * (2.0 / 255);  // twice the input step
    const std::vector<Case> cases = {
        {{}, 0},
        {{"--userbuffer_float"}, 0},
        {{"--userbuffer_floatN", "16"}, 0},
        {{"--userbuffer_auto"}, 0},
        {{"--userbuffer_float", "--use_native_input_files", "--use_native_output_files"}, 0},
        {{"--tensor_mode", "userBuffer", "--data_type_map", "x=float16"}, 0},
        {{"--tensor_mode", "userBuffer", "--data_type_map", "y=float16"}, 0},
        {{"--userbuffer_float", "--userbuffer_floatN_output", "16"}, 0},
        {{"--userbuffer_tf8"}, tf8},
        {{"--userbuffer_tfN", "16"}, tf8 / 256},
        {{"--userbuffer_tf8", "--userbuffer_tf8_output"}, tf8 + 4.0 / 255},
        {{"--userbuffer_float", "--userbuffer_tfN_output", "16"}, 4.0 / 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options));
        fs::remove_all(dir.file("out"));
        const ProcessResult r = run("plain.dlc", "list.txt", c.options);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto got = result(0, "y.raw");
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            if (c.tolerance == 0) {
                EXPECT_EQ(got[i], want[i]) << i;
            } else {
                EXPECT_NEAR(got[i], want[i], c.tolerance) << i;
            }
        }
    }
}

TEST_F(UserBufferRun, UnsignedOutputsTruncateAndNativeFilesKeepTheirType) {
    ProcessResult r = run("plain.dlc", "list.txt", {"--userbuffer_float", "--userbuffer_uintN_output", "32"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto got = result(0, "y.raw");
    for (size_t i = 0; i < x.size(); ++i) {
        const float y = 2 * x[i] + 1;
        EXPECT_EQ(got[i], static_cast<float>(static_cast<uint32_t>(static_cast<int32_t>(y)))) << i;
    }
    // A native output file holds the tensor's own type: one byte per element
    // of its container encoding, where the buffer holds floats.
    fs::remove_all(dir.file("out"));
    const OnnxBuilder m = affineModel("m", {1, 16}, 2, 1);
    vexart::ContainerModel model;
    model.graphs.push_back({"m", m.serialize(), {{"y", {8, 4.0f / 255, 64, -1, {}, {}}}}, {}});
    vexart::writeContainer(model, dir.file("encoded.dlc"));
    r = run("encoded.dlc", "list.txt", {"--userbuffer_float", "--userbuffer_float_output", "--use_native_output_files"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The encoding is fitted to the data (y from -1 to 2.75): the smallest
    // value is code 0, the largest 255, and the codes follow the values.
    const std::string bytes = readFile(dir.file("out/Result_0/y.raw"));
    ASSERT_EQ(bytes.size(), x.size());
    const double step = 3.75 / 255;
    for (size_t i = 0; i < x.size(); ++i) {
        const double decoded = static_cast<uint8_t>(bytes[i]) * step - 1;
        EXPECT_NEAR(decoded, 2 * x[i] + 1, step / 2 + 1e-6) << i;
    }
    // An output override with --tensor_mode but no type map is refused.
    r = run("plain.dlc", "list.txt",
            {"--userbuffer_float", "--userbuffer_floatN_output", "16", "--tensor_mode", "userBuffer"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Specify data type for tensors using --data_type_map along with --tensor_mode\n", 0), 0u)
        << r.err;
}

TEST_F(UserBufferRun, BatchesArePaddedSlicedAndReportedPerFile) {
    // A batch of four two-element samples, three files: one padding block.
    const OnnxBuilder m = affineModel("m", {4, 2}, 0, -0.001f);
    vexart::ContainerModel model;
    model.graphs.push_back({"m", m.serialize(), {{"y", {8, 0.01f, 0, -1, {}, {}}}}, {}});
    vexart::writeContainer(model, dir.file("batch.dlc"));
    raw("a.raw", {1, 2});
    raw("b.raw", {3, 4});
    raw("c.raw", {5, 6});
    dir.write("batch.txt", "a.raw\nb.raw\nc.raw\n");
    ProcessResult r = run("batch.dlc", "batch.txt", {"--userbuffer_float"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Processing DNN input(s):\na.raw\nb.raw\nc.raw\nApplying padding\n"), std::string::npos);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(result(i, "y.raw"), (std::vector<float>{-0.001f, -0.001f})) << i;
    EXPECT_FALSE(fs::exists(dir.file("out/Result_3")));
    // Native fixed-point files fitted to the data: the quantizer's report on
    // the too-small range comes once for each file written.
    fs::remove_all(dir.file("out"));
    r = run("batch.dlc", "batch.txt", {"--userbuffer_float", "--use_native_output_files"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.err, "Expect the encoding range to be larger than 0.01\n"), 3u) << r.err;
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(readFile(dir.file("out/Result_" + std::to_string(i) + "/y.raw")).size(), 2u) << i;
    }
}

TEST_F(Run, Nv21InputsAreHandedOverAByteAValue) {
    const OnnxBuilder m = affineModel("m", {1, 6}, 2, 1);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    dir.write("frame.nv21", std::string("\x00\x0a\xc8\xff\x80\x40", 6));
    dir.write("list.txt", "frame.nv21\n");
    ProcessResult r = run("m.dlc", "list.txt", {"--encoding_type", "nv21"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result(0, "y.raw"), (std::vector<float>{1, 21, 401, 511, 257, 129}));
    // The byte count must divide the input like any raw file's.
    dir.write("short.nv21", std::string(4, '\x01'));
    dir.write("short.txt", "short.nv21\n");
    r = run("m.dlc", "short.txt", {"--encoding_type", "nv21"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: invalid input size provided. Please check all raw sizes.\n");
    // NV21 refuses user buffers.
    r = run("m.dlc", "list.txt", {"--encoding_type", "nv21", "--userbuffer_float"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot use user buffer while specifying nv21 encoding type\n"), std::string::npos);
}

TEST_F(UserBufferRun, StaticRangesUseTheModelsEncodingWhenThereIsOne) {
    ProcessResult r = run("quantized.dlc", "list.txt", {"--userbuffer_tf8", "--static_min_max", "--enable_cpu_fxp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto got = result(0, "y.raw");
    // Input error up to one input step doubled, plus half a step of the fitted output encoding.
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(got[i], 2 * x[i] + 1, 4.0 / 255) << i;

    fs::remove_all(dir.file("out"));
    r = run("plain.dlc", "list.txt", {"--userbuffer_tf8", "--static_min_max", "--enable_cpu_fxp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Quantization encoding not found for tensor: x\n");
    got = result(0, "y.raw");
    for (float v : got) EXPECT_EQ(v, 1.0f);  // step 0: every input becomes 0
}

TEST_F(UserBufferRun, DataTypeMapPrintsTheTensorsAndItsBuffers) {
    const ProcessResult r = run("plain.dlc", "list.txt",
                                {"--tensor_mode", "iTensor", "--data_type_map", "x=float32"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Input: x\nOutput: y\n"), std::string::npos) << r.out;
}

}  // namespace

namespace {

TEST_F(Run, StartupMessagesOfStorageFallbackAndSaving) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("one.raw", {1});
    dir.write("list.txt", "one.raw\n");
    struct Case {
        std::vector<std::string> extra;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"--storage_dir", "cache"}, "Setting Storage location to cache\n"},
        {{"--use_gpu", "--enable_cpu_fallback"}, "CPU Fallback is enabled with floating point execution mode.\n"},
        {{"--use_gpu", "--enable_cpu_fallback", "--enable_cpu_fxp"},
         "CPU Fallback is enabled with fixed point execution mode.\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = run("m.dlc", "list.txt", c.extra);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    }
    // A name that leaves no room for the temporary file beside it makes the
    // save fail; the run goes on and the container is left as it was.
    const std::string longName = std::string(250, 'c');
    fs::copy_file(dir.file("m.dlc"), dir.file(longName));
    const std::string before = readFile(dir.file(longName));
    const ProcessResult r = run(longName, "list.txt", {"--enable_init_cache"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Failed to save container into archive\n"), std::string::npos);
    EXPECT_EQ(readFile(dir.file(longName)), before);
}

TEST_F(Run, OutputFilesThatCannotBeWritten) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    raw("one.raw", {1});
    dir.write("list.txt", "one.raw\n");
    fs::create_directories(dir.file("out/Result_0/y.raw"));
    ProcessResult r = run("m.dlc", "list.txt", {"--profiling_level", "off"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to open output file for writing: out/Result_0/y.raw\n");

    dir.write("blocker", "x");
    r = tool({"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "blocker"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to start logger\n");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeRawFile("/dev/full", "data", 4));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to write data to: /dev/full\n");
}

// Only regular files are read: a directory cannot be opened as a raw file.
TEST_F(Run, ADirectoryAsRawInputCannotBeOpened) {
    const OnnxBuilder m = affineModel("m", {1, 1}, 1, 0);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    fs::create_directory(dir.file("adir"));
    dir.write("list.txt", "adir\n");
    const ProcessResult r = run("m.dlc", "list.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to open input file: adir\n");
}

}  // namespace

namespace {

// Token ids as a model takes them: int64, offset past float32's exact
// range, used as gather indices and as values.
class Int64Run : public Run {
protected:
    void SetUp() override {
        OnnxBuilder m("ids");
        m.input("ids", {1, 3}, onnx::TensorProto::INT64);
        m.initializerInts("base", {16777216});
        m.initializer("table", {6, 2}, {0, 1, 10, 11, 20, 21, 30, 31, 40, 41, 50, 51});
        m.node("Sub", {"ids", "base"}, {"offset"});
        auto& cast = m.node("Cast", {"offset"}, {"delta"});
        OnnxBuilder::attr(cast, "to", int64_t{onnx::TensorProto::FLOAT});
        m.node("Gather", {"table", "offset"}, {"rows"});
        m.output("delta", {1, 3});
        m.output("rows", {1, 3, 2});
        vexart::ContainerModel model;
        model.graphs.push_back({"ids", m.serialize(), {}, {}});
        vexart::writeContainer(model, dir.file("ids.dlc"));
    }
};

TEST_F(Int64Run, TensorModeConvertsAtTheBoundaryAndNativeFilesAreExact) {
    // Tensor mode: float32 files, so only ids that float32 holds exactly.
    raw("ids.raw", {16777216, 16777218, 16777220});
    dir.write("list.txt", "ids.raw\n");
    ProcessResult r = run("ids.dlc", "list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result(0, "delta.raw"), (std::vector<float>{0, 2, 4}));
    EXPECT_EQ(result(0, "rows.raw"), (std::vector<float>{0, 1, 20, 21, 40, 41}));

    // User buffers with native files: int64 ids arrive unrounded.
    const std::vector<int64_t> ids = {16777216, 16777217, 16777221};
    dir.write("ids64.raw", std::string(reinterpret_cast<const char*>(ids.data()), ids.size() * sizeof(int64_t)));
    dir.write("list64.txt", "ids64.raw\n");
    fs::remove_all(dir.file("out"));
    r = run("ids.dlc", "list64.txt",
            {"--tensor_mode", "userBuffer", "--data_type_map", "ids=int64", "--use_native_input_files"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(result(0, "delta.raw"), (std::vector<float>{0, 1, 5}));
    EXPECT_EQ(result(0, "rows.raw"), (std::vector<float>{0, 1, 10, 11, 50, 51}));
}

}  // namespace
