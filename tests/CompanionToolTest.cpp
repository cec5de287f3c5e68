// What every companion tool owes a user: --help on standard output with
// status 0, a mistake answered on standard error with status 2, and the
// figures vexa-dlc-info and vexa-dlc-diff report.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "Container.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;

TEST(CompanionTools, HelpOnStandardOutputAndMistakesOnStandardError) {
    for (const std::string tool :
         {VEXA_PACK_PATH, VEXA_INFO_PATH, VEXA_QUANTIZE_PATH, VEXA_DIFF_PATH, VEXA_DIAGVIEW_PATH, VEXA_BENCH_PATH}) {
        SCOPED_TRACE(tool);
        for (const std::string flag : {"--help", "-h"}) {
            const ProcessResult r = runProcess(tool, {flag});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out.rfind("usage: ", 0), 0u) << r.out;
            EXPECT_GT(std::count(r.out.begin(), r.out.end(), '\n'), 2);  // explains, not only lists
            EXPECT_EQ(r.err, "");
        }
        const ProcessResult r = runProcess(tool, {"--no-such-option"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("usage: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(CompanionTools, InfoShowsOpsetOperatorsParametersAndPerChannelEncodings) {
    TempDir dir;
    const OnnxBuilder m = randomClassifier();
    vexart::ContainerModel model;
    model.modelVersion = "v";
    model.graphs.push_back({"classifier", m.serialize()});
    vexart::TensorEncoding perChannel;
    perChannel.axis = 0;
    perChannel.stepExactly0 = 128;
    perChannel.channelSteps = {0.5f, 0.25f, 0.125f};
    perChannel.stepSize = 0.5f;
    model.graphs[0].encodings["conv1.w"] = perChannel;
    vexart::TensorEncoding perTensor;
    perTensor.stepSize = 0.02f;
    model.graphs[0].encodings["relu1"] = perTensor;
    perTensor.biasCorrection = {0.25f, -0.125f, 0.5f};
    model.graphs[0].encodings["conv1"] = perTensor;
    vexart::writeContainer(model, dir.file("m.dlc"));
    EXPECT_EQ(vexart::openContainerFile(dir.file("m.dlc")).graphs[0].encodings.at("conv1").biasCorrection,
              perTensor.biasCorrection);
    const ProcessResult r = runProcess(VEXA_INFO_PATH, {dir.file("m.dlc")});
    ASSERT_EQ(r.status, 0) << r.err;
    // Weights: 8x3x3x3 + 8 + 16x8x3x3 + 16 + 10x16 + 10 = 1,562 floats, 6,248 bytes.
    for (const std::string line :
         {"Graph: classifier (9 nodes, opset 13)\n", "  input  image [1,3,32,32] float32\n",
          "  operators: Conv x2, Relu x2, Flatten x1, Gemm x1, GlobalAveragePool x1, MaxPool x1, Softmax x1\n",
          "  parameters: 1,562 (6.1 KiB)\n",
          "  encoding conv1.w bitWidth=8 per-channel axis=0 channels=3 stepSizes=0.125..0.5 stepExactly0=128\n",
          "  encoding relu1 bitWidth=8 stepSize=0.02 stepExactly0=0\n",
          "  encoding conv1 bitWidth=8 stepSize=0.02 stepExactly0=0 biasCorrection=-0.125..0.5\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "in\n" << r.out;
    }
}

TEST(CompanionTools, DiffTableStaysAlignedAndWritesJson) {
    TempDir dir;
    const std::string longName = std::string(60, 'n');
    for (const std::string root : {"out", "ref"}) {
        for (const std::string& tensor : {std::string("short"), longName}) {
            fs::create_directories(dir.file(root + "/Result_0"));
            dir.write(root + "/Result_0/" + tensor + ".raw",
                      floatsToBytes(root == "out" ? std::vector<float>{1, 2, 4} : std::vector<float>{1, 2, 3}));
        }
    }
    ProcessResult r = runProcess(VEXA_DIFF_PATH, {dir.file("out"), dir.file("ref"), "--max-abs-error", "0.5"});
    EXPECT_EQ(r.status, 1);
    // The verdict column starts at one place in the header and every row.
    std::vector<size_t> starts;
    size_t at = 0;
    for (int row = 0; row < 3; ++row) {
        const size_t end = r.out.find('\n', at);
        const std::string line = r.out.substr(at, end - at);
        starts.push_back(line.find(row == 0 ? "  verdict" : "  max abs error"));
        at = end + 1;
    }
    EXPECT_NE(starts[0], std::string::npos) << r.out;
    EXPECT_EQ(starts[0], starts[1]) << r.out;
    EXPECT_EQ(starts[0], starts[2]) << r.out;

    r = runProcess(VEXA_DIFF_PATH, {dir.file("out"), dir.file("ref"), "--max-abs-error", "0.5", "--json", "-"});
    EXPECT_EQ(r.status, 1);
    const auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc.at("tensors").size(), 2u);
    const auto& t = doc.at("tensors").at(1);
    EXPECT_EQ(t.at("tensor"), "short");
    EXPECT_EQ(t.at("results"), 1);
    EXPECT_DOUBLE_EQ(t.at("max_abs_error").get<double>(), 1.0);
    EXPECT_DOUBLE_EQ(t.at("mean_abs_error").get<double>(), 1.0 / 3);
    EXPECT_DOUBLE_EQ(t.at("sqnr_db").get<double>(), 10 * std::log10(14.0));  // 1 + 4 + 9 against 1
    EXPECT_EQ(t.at("ok"), false);
    EXPECT_EQ(t.at("verdict"), "max abs error 1 > 0.5");
    EXPECT_EQ(doc.at("failed"), 2);
}

// Top-1 agreement is for class scores: with the model's declared shapes, a
// feature map of few elements gets none; without them, raw files carry no
// shape and every small tensor gets one.
TEST(CompanionTools, DiffTakesTopOneForClassScoresOnly) {
    TempDir dir;
    OnnxBuilder m("g", 13);
    m.input("x", {1, 4, 2, 2});
    m.node("Relu", {"x"}, {"/features/relu"});
    m.node("ReduceMean", {"/features/relu"}, {"/head/scores"});
    m.output("/features/relu", {1, 4, 2, 2});
    m.output("/head/scores", {1, 1, 1, 1});
    packContainer(dir.file("m.dlc"), {{"g", &m}});
    for (const std::string root : {"out", "ref"}) {
        fs::create_directories(dir.file(root + "/Result_0/features"));
        fs::create_directories(dir.file(root + "/Result_0/head"));
        dir.write(root + "/Result_0/features/relu.raw", floatsToBytes(pseudoRandom(16, 3, 1.0f)));
        dir.write(root + "/Result_0/head/scores.raw", floatsToBytes({0.5f}));
        dir.write(root + "/Result_0/probabilities.raw", floatsToBytes({0.1f, 0.7f, 0.2f}));
    }
    auto top1Of = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {dir.file("out"), dir.file("ref"), "--json", "-"};
        args.insert(args.end(), extra.begin(), extra.end());
        const ProcessResult r = runProcess(VEXA_DIFF_PATH, args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, bool> has;
        const auto doc = nlohmann::json::parse(r.out);
        for (const auto& t : doc.at("tensors")) has[t.at("tensor").get<std::string>()] = t.contains("top1");
        return has;
    };
    EXPECT_EQ(top1Of({}), (std::map<std::string, bool>{{"features/relu", true}, {"head/scores", false},
                                                         {"probabilities", true}}));
    // [1,4,2,2] has two axes past 1: not class scores; probabilities are not declared.
    EXPECT_EQ(top1Of({"--container", dir.file("m.dlc")}),
              (std::map<std::string, bool>{{"features/relu", false}, {"head/scores", false}, {"probabilities", true}}));
}

// With a declared shape, top-1 is taken per row: per batch item and per
// position of a sequence, never across a batch of single scores; the class
// axis may be named. A tensor that was not compared shows no figures.
TEST(CompanionTools, DiffTakesTopOnePerRow) {
    TempDir dir;
    OnnxBuilder m("g", 13);
    m.input("x", {2, 5});
    m.node("Relu", {"x"}, {"logits"});
    m.node("ReduceMax", {"x"}, {"best"});
    m.node("Reshape", {"logits"}, {"seq"});
    m.output("logits", {2, 5});
    m.output("best", {2, 1});
    m.output("seq", {1, 2, 5});
    packContainer(dir.file("m.dlc"), {{"g", &m}});
    // Row 0 agrees (class 4), row 1 does not (3 against 0).
    const std::vector<float> out = {0, 1, 2, 3, 9, 0, 0, 0, 9, 1}, ref = {0, 1, 2, 3, 8, 7, 0, 0, 1, 1};
    for (const auto& [root, values] : {std::pair{std::string("out"), out}, std::pair{std::string("ref"), ref}}) {
        fs::create_directories(dir.file(root + "/Result_0"));
        dir.write(root + "/Result_0/logits.raw", floatsToBytes(values));
        dir.write(root + "/Result_0/seq.raw", floatsToBytes(values));
        dir.write(root + "/Result_0/best.raw", floatsToBytes({values[4], values[5]}));
    }
    dir.write("out/Result_0/extra.raw", floatsToBytes({1}));
    auto diff = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {dir.file("out"), dir.file("ref"), "--json", "-", "--container", dir.file("m.dlc")};
        args.insert(args.end(), extra.begin(), extra.end());
        const ProcessResult r = runProcess(VEXA_DIFF_PATH, args);
        EXPECT_EQ(r.status, 1) << r.err;  // "extra" has no reference
        std::map<std::string, nlohmann::json> by;
        const auto doc = nlohmann::json::parse(r.out);
        for (const auto& t : doc.at("tensors")) by[t.at("tensor").get<std::string>()] = t;
        return by;
    };
    auto by = diff({});
    EXPECT_EQ(by.at("logits").at("top1"), (nlohmann::json{{"agree", 1}, {"total", 2}}));
    EXPECT_EQ(by.at("seq").at("top1"), (nlohmann::json{{"agree", 1}, {"total", 2}}));
    EXPECT_FALSE(by.at("best").contains("top1"));  // [2, 1]: one score per item, no classes
    EXPECT_FALSE(by.at("extra").contains("cosine"));
    EXPECT_FALSE(by.at("extra").contains("sqnr_db"));
    // Classes along the middle axis: five columns of two, compared apart.
    by = diff({"--classes-axis", "0"});
    EXPECT_EQ(by.at("logits").at("top1"), (nlohmann::json{{"agree", 3}, {"total", 5}}));
    const ProcessResult table = runProcess(VEXA_DIFF_PATH, {dir.file("out"), dir.file("ref")});
    for (const auto& line : {std::string("extra"), std::string("logits")}) EXPECT_NE(table.out.find(line), std::string::npos);
    const size_t extra = table.out.find("\nextra");
    ASSERT_NE(extra, std::string::npos) << table.out;
    const std::string row = table.out.substr(extra + 1, table.out.find('\n', extra + 1) - extra - 1);
    EXPECT_EQ(row.find("1.000000"), std::string::npos) << row;  // no cosine of nothing
}

// A length the model names is set by its name, for the graph asked for
// alone; the JSON says how.
TEST(CompanionTools, BenchSetsOpenDimensionsByNameAndGraph) {
    TempDir dir;
    OnnxBuilder lm("lm", 13);
    lm.input("input_ids", {1, -1}, onnx::TensorProto::INT64);
    lm.initializer("table", {10, 4}, pseudoRandom(40, 7, 1.0f));
    lm.node("Gather", {"table", "input_ids"}, {"emb"});
    lm.output("emb");
    onnx::ModelProto named = lm.proto();
    named.mutable_graph()->mutable_input(0)->mutable_type()->mutable_tensor_type()->mutable_shape()->mutable_dim(1)->set_dim_param(
        "sequence");
    dir.write("lm.onnx", named.SerializeAsString());
    const OnnxBuilder other = affineModel("two", {1, 4}, 2, 1, "pixels", "y");
    dir.write("two.onnx", other.serialize());
    ProcessResult r = runProcess(VEXA_PACK_PATH, {"-o", dir.file("m.dlc"), dir.file("two.onnx") + "=two",
                                                  dir.file("lm.onnx") + "=lm"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--graph", "lm", "--iterations", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dimension 1 ('sequence') open"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--dim sequence=N"), std::string::npos) << r.err;
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--graph", "lm", "--iterations", "1", "--dim", "sequence=16", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc.at("inputs").at(0).at("shape"), nlohmann::json::parse("[1,16]"));
    EXPECT_EQ(doc.at("open_dimensions"),
              nlohmann::json::parse(R"([{"input":"input_ids","axis":1,"name":"sequence","value":16,"by":"--dim"}])"));
    // Shapes given for one graph of several are that graph's.
    r = runProcess(VEXA_BENCH_PATH,
                   {dir.file("m.dlc"), "--graph", "lm", "--iterations", "1", "--input_dimensions", "input_ids=1,8", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc.at("inputs").at(0).at("shape"), nlohmann::json::parse("[1,8]"));
    EXPECT_TRUE(doc.at("open_dimensions").empty());
}

// vexa-bench on a model it must feed right: a float input read from a file,
// token ids generated within what a 10-row embedding takes, and an input
// whose length the model leaves open.
TEST(CompanionTools, BenchFeedsEveryInputAndReportsItsFigures) {
    TempDir dir;
    OnnxBuilder m("tokens", 13);
    m.input("x", {1, 4});
    m.input("ids", {1, -1}, onnx::TensorProto::INT64);
    m.initializer("table", {10, 4}, pseudoRandom(40, 7, 1.0f));
    m.initializer("two", {}, {2.0f});
    m.initializer("one", {}, {1.0f});
    m.node("Gather", {"table", "ids"}, {"emb"});
    m.node("ReduceSum", {"emb"}, {"s"});
    m.node("Mul", {"x", "two"}, {"x2"});
    m.node("Add", {"x2", "one"}, {"y"});
    m.output("y", {1, 4});
    m.output("s", {});
    packContainer(dir.file("m.dlc"), {{"tokens", &m}});
    dir.write("x.raw", floatsToBytes({1, 2, 3, 4}));
    ProcessResult r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--threads", "1", "--iterations", "7",
                                                   "--input", "x=" + dir.file("x.raw"), "--input_dimensions", "ids=1,5",
                                                   "--output", dir.file("y.raw"), "--profile", dir.file("prof"), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc.at("iterations"), 7);
    EXPECT_EQ(doc.at("warmup"), 5);
    // What the figures were measured on.
    EXPECT_EQ(doc.at("threads"), 1);
    EXPECT_GE(doc.at("cores").get<int>(), 1);
    EXPECT_FALSE(doc.at("version").get<std::string>().empty());
    EXPECT_EQ(doc.at("inputs"), nlohmann::json::parse(R"([{"name":"x","shape":[1,4],"type":"float32"},
                                                          {"name":"ids","shape":[1,5],"type":"int64"}])"));
    EXPECT_EQ(doc.at("batch"), 1);
    EXPECT_DOUBLE_EQ(doc.at("samples_per_s").get<double>(), doc.at("throughput_per_s").get<double>());
    EXPECT_EQ(doc.at("graph"), "tokens");
    EXPECT_FALSE(doc.at("isa").get<std::string>().empty());
    for (const char* key : {"load_ms", "first_ms", "min_ms", "peak_rss_mb", "throughput_per_s"}) {
        EXPECT_GT(doc.at(key).get<double>(), 0) << key;
    }
    EXPECT_LE(doc.at("min_ms").get<double>(), doc.at("median_ms").get<double>());
    EXPECT_LE(doc.at("median_ms").get<double>(), doc.at("p99_ms").get<double>());
    EXPECT_LE(doc.at("p99_ms").get<double>(), doc.at("max_ms").get<double>());
    EXPECT_EQ(bytesToFloats(readFile(dir.file("y.raw"))), (std::vector<float>{3, 5, 7, 9}));
    // The profile is a log the viewer reads: the first, five warm-up and seven measured executions.
    r = runProcess(VEXA_DIAGVIEW_PATH, {dir.file("prof")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Graph tokens: 13 executions"), std::string::npos) << r.out;

    // Every output, by its name, into a directory made for them.
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--iterations", "1", "--free-dims", "1", "--input", "x=" + dir.file("x.raw"),
                                     "--inputs", "zeros", "--output_dir", dir.file("outs/first")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytesToFloats(readFile(dir.file("outs/first/y.raw"))), (std::vector<float>{3, 5, 7, 9}));
    // Zero ids pick row 0 of the table, once per position.
    const std::vector<float> table = pseudoRandom(40, 7, 1.0f);
    EXPECT_FLOAT_EQ(bytesToFloats(readFile(dir.file("outs/first/s.raw"))).at(0),
                    table[0] + table[1] + table[2] + table[3]);

    // The text report; and what cannot run is named.
    // An open length is refused until it is given, then said.
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--iterations", "3", "--inputs", "zeros"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("input 'ids' leaves dimension 1 open: give its shape (--input_dimensions ids=...) or every "
                         "open dimension's (--free-dims N)"),
              std::string::npos)
        << r.err;
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--iterations", "3", "--inputs", "zeros", "--free-dims", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"Inputs: x [1,4] float32, ids [1,3] int64\n", "Open dimensions: ids[1] = 3 by --free-dims\n",
                             "Load (open and build):", "First execution:",
                             "Steady state, 3 executions after 5 warm-up (ms): mean ", "Throughput (wall clock): ",
                             "Peak resident memory: "}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
    }
    // Fixed point on a container without encodings is measured, and said.
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--iterations", "1", "--free-dims", "1", "--fixed-point"});
    EXPECT_NE(r.err.find("warning: the container holds no encodings for this graph"), std::string::npos) << r.err;
    // More threads than cores is measured, and said.
    r = runProcess(VEXA_BENCH_PATH, {dir.file("m.dlc"), "--iterations", "1", "--threads", "1024", "--free-dims", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1024 threads on "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("warning: 1024 threads on"), std::string::npos) << r.err;
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--graph", "other"}, "the container has no graph 'other'"},
             {{"--input", "nope=" + dir.file("x.raw")}, "graph 'tokens' has no input 'nope'"},
             {{"--input", "x=" + dir.file("m.dlc")}, "; input 'x' of shape [1,4] needs 4 float32 values (16 bytes)"},
             {{"--input", "x=" + dir.file("outs")}, "for input 'x': not a regular file"},
             {{"--input", "x=" + dir.file("none.raw")}, "for input 'x': no such file"},
             {{"--input", "x=/dev/zero"}, "for input 'x': not a regular file"}}) {
        std::vector<std::string> all = {dir.file("m.dlc"), "--iterations", "1", "--free-dims", "1"};
        all.insert(all.end(), args.begin(), args.end());
        r = runProcess(VEXA_BENCH_PATH, all);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

}  // namespace
