// The companion tools and the fixed-point buffers against careless and
// hostile input: sizes that ask for everything, runs that measure nothing,
// logs that repeat themselves, result trees that name a result twice, and
// names that carry terminal escapes.
#include <cmath>
#include <fstream>

#include "support/Hostile.h"

namespace {

class HostileTool : public Hostile {
protected:
    ProcessResult bench(std::vector<std::string> args) { return exec(VEXA_BENCH_PATH, args); }
    static bool says(const ProcessResult& r, const std::string& text) {
        return r.err.find(text) != std::string::npos || r.out.find(text) != std::string::npos;
    }
};

// A crop of data-dependent size, then a resize to a fixed picture, as
// detection heads do: an empty crop cannot be resized.
TEST_F(HostileTool, BenchRefusesShapesWithoutMakingThem) {
    OnnxBuilder m("resize", 13);
    m.input("x", {-1, -1, -1, -1});
    m.initializerInts("sizes", {1, 3, 224, 224});
    m.node("Resize", {"x", "", "", "sizes"}, {"y"});
    m.output("y");
    packContainer(dir.file("m.dlc"), {{"resize", &m}});
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--input_dimensions", "x=1,0,0,16"}, 1, "from an empty one"},
        {{"--input_dimensions", "x=1,3,0,16"}, 1, "from an empty one"},
        {{"--input_dimensions", "x=3000000,3000000,3000000,1"}, 1, "elements"},
        {{"--input_dimensions", "x=1,3,8,8", "--input_dimensions", "x=1,3,8,8"}, 2, "gives 'x' twice"},
        {{"--input_dimensions", "x=1,3,-8,8"}, 2, "takes counts separated by commas"},
        {{"--input_dimensions", "x=1,3,8,8", "--duration", "1e-300"}, 1, "no execution was measured"},
        {{"--input_dimensions", "x=1,3,8,8", "--duration", "100000"}, 2, "--duration takes seconds"},
        {{"--input_dimensions", "x=1,3,8,8", "--input", "x=missing.raw"}, 1, "cannot read missing.raw for input 'x': no such file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"m.dlc", "--iterations", "2", "--warmup", "0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = bench(args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << "\n" << r.err;
        EXPECT_TRUE(says(r, c.message)) << c.args[1] << ": " << r.err;
    }
    // A duration run keeps a bounded sample of its times; its figures come with their count.
    const ProcessResult r = bench({"m.dlc", "--input_dimensions", "x=1,3,2,2", "--duration", "0.5", "--warmup", "0", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_GT(doc.at("iterations").get<size_t>(), 0u);
    EXPECT_EQ(doc.at("percentiles_from"), doc.at("iterations"));
    EXPECT_GE(doc.at("stddev_ms").get<double>(), 0);
}

// Nothing a run reads is written over, and no output is lost to another
// of the same file name; all of it is checked before the run.
TEST_F(HostileTool, BenchNeverWritesOverWhatItReads) {
    OnnxBuilder m("g", 13);
    m.input("x", {1, 4});
    m.node("Relu", {"x"}, {"a/b"});
    m.node("Neg", {"x"}, {"a_b"});
    m.output("a/b", {1, 4});
    m.output("a_b", {1, 4});
    packContainer(dir.file("m.dlc"), {{"g", &m}});
    dir.write("x.raw", floatsToBytes({1, -2, 3, -4}));
    const std::string container = readFile(dir.file("m.dlc"));
    dir.write("m.json", container);
    dir.write("blocked", "a file");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"m.dlc", "--output", "m.dlc"}, "--output would write m.dlc, the container the run reads"},
        {{"m.dlc", "--input", "x.raw", "--output", "x.raw"}, "--output would write x.raw, an input file the run reads"},
        {{"m.json", "--json", "m.json"}, "--json would write m.json, the container the run reads"},
        {{"m.dlc", "--output_dir", "od"}, "outputs 'a/b' and 'a_b' would both be written to od/a_b.raw"},
        {{"m.dlc", "--output_dir", "blocked/od"}, "cannot make the directory blocked/od"},
        {{"m.dlc", "--json", "report.txt"}, "(a --json file must end in .json)"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--iterations", "1", "--warmup", "0"});
        const ProcessResult r = bench(all);
        EXPECT_NE(r.status, 0) << args.back();
        EXPECT_TRUE(says(r, message)) << r.err;
    }
    EXPECT_EQ(readFile(dir.file("m.dlc")), container);
    EXPECT_EQ(readFile(dir.file("m.json")), container);
    EXPECT_EQ(bytesToFloats(readFile(dir.file("x.raw"))), (std::vector<float>{1, -2, 3, -4}));
    EXPECT_FALSE(fs::exists(dir.file("od")) && !fs::is_empty(dir.file("od")));
}

// Names carry what a terminal obeys: each tool shows them escaped.
TEST_F(HostileTool, NamesReachTheTerminalEscaped) {
    // ESC and BEL; CSI as the C1 control U+009B; a right-to-left override.
    const std::string evil = "y\x1b]0;owned\x07\x1b[2J\xc2\x9b" "2J\xe2\x80\xae" "evil";
    const OnnxBuilder m = affineModel("g\x1b[31m", {1, 4}, 2, 1, "x\r", evil);
    packContainer(dir.file("m.dlc"), {{"g\x1b[31m", &m}});
    dir.write("one.raw", floatsToBytes({1, 2, 3, 4}));
    dir.write("list.txt", "one.raw\n");
    const std::string raw = std::string("\x1b\x07\r", 3);
    std::vector<ProcessResult> runs = {exec(VEXA_INFO_PATH, {"m.dlc"}), bench({"m.dlc", "--iterations", "1"}),
                                       bench({"m.dlc", "--graph", "\x1b[2Jother"}),
                                       exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "list.txt",
                                                                 "-o", "q.dlc"})};
    fs::create_directories(dir.file("out/Result_0"));
    fs::create_directories(dir.file("ref/Result_0"));
    dir.write("out/Result_0/" + evil + ".raw", floatsToBytes({1}));
    dir.write("ref/Result_0/" + evil + ".raw", floatsToBytes({2}));
    runs.push_back(exec(VEXA_DIFF_PATH, {"out", "ref"}));
    for (size_t i = 0; i < runs.size(); ++i) {
        for (const std::string& text : {runs[i].out, runs[i].err}) {
            EXPECT_EQ(text.find_first_of(raw), std::string::npos) << i << ": " << text;
            EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << i << ": " << text;
            EXPECT_EQ(text.find("\xe2\x80\xae"), std::string::npos) << i << ": " << text;
        }
        EXPECT_TRUE(says(runs[i], "\\x1b")) << i << ": " << runs[i].out << runs[i].err;
    }
}

// Gates that measured nothing fail, and two directories for one result are
// refused rather than one of them dropped.
TEST_F(HostileTool, DiffGatesNeverPassOnNothing) {
    auto tree = [&](const std::string& root, const std::string& result, std::vector<float> v) {
        fs::create_directories(dir.file(root + "/" + result));
        dir.write(root + "/" + result + "/y.raw", floatsToBytes(v));
    };
    // More classes than top-1 is taken over: nothing measured.
    tree("out", "Result_0", std::vector<float>(70000, 0.0f));
    tree("ref", "Result_0", std::vector<float>(70000, 0.0f));
    dir.write("ref/Result_0/y.raw", [] {
        std::vector<float> v(70000, 0.0f);
        v[5] = 1;
        return floatsToBytes(v);
    }());
    ProcessResult r = exec(VEXA_DIFF_PATH, {"out", "ref", "--min-top1", "1.0"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("--min-top1 measured nothing"), std::string::npos) << r.err;
    // NaN against NaN, and two empty files: nothing was measured.
    for (const auto& [name, values] : std::vector<std::pair<std::string, std::vector<float>>>{
             {"nan", std::vector<float>(10, std::nanf(""))}, {"empty", {}}}) {
        tree(name + "_out", "Result_0", values);
        tree(name + "_ref", "Result_0", values);
        r = exec(VEXA_DIFF_PATH, {name + "_out", name + "_ref", "--min-sqnr", "30", "--min-cosine", "0.999"});
        EXPECT_EQ(r.status, 1) << name << "\n" << r.out;
        EXPECT_NE(r.out.find("no finite values to compare"), std::string::npos) << r.out;
    }
    // Result_7 and Result_07 name one result.
    tree("a", "Result_7", {1});
    tree("a", "Result_07", {101});
    tree("b", "Result_7", {1});
    r = exec(VEXA_DIFF_PATH, {"a", "b", "--max-abs-error", "0"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("for result 7"), std::string::npos) << r.err;
}

// The viewer's memory follows the nodes and executions of a run, not how
// long a log's lists are; its reports never replace the log they read.
TEST_F(HostileTool, ViewerMemoryFollowsTheRunNotTheLog) {
    std::string log = "format vexa-diag 2\nrun profiling_level=2 threads=1 load_us=1\ngraph name=g activation_bytes=0\n";
    // One node with a million fused names (empty ones), its table
    // repeated, and 400 executions.
    const std::string table = "nodes graph=g count=1\nnode graph=g index=0 name=a op=Conv fused=" +
                              std::string(1000000, ',') + "\n";
    for (int k = 0; k < 10; ++k) log += table;
    for (int e = 0; e < 400; ++e) {
        log += "exec graph=g n=" + std::to_string(e + 1) + " start_us=" + std::to_string(e * 10) + " total_us=5 node_us=5\n";
    }
    dir.write("big.log", log);
    ProcessResult r = exec(VEXA_DIAGVIEW_PATH, {"big.log", "--chrome-trace", "trace.json", "--json", "report.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(fs::file_size(dir.file("trace.json")), 20u << 20);  // the list once, not 400 times
    EXPECT_LT(r.peakRssBytes, (sanitizedBuild() ? 800u : 200u) << 20) << "peak resident bytes";
    EXPECT_EQ(nlohmann::json::parse(readFile(dir.file("report.json"))).at("graphs").at(0).at("executions"), 400);

    // The text report names a few of the fused, and how many more.
    r = exec(VEXA_DIAGVIEW_PATH, {"big.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.out.size(), 20000u);
    EXPECT_NE(r.out.find("and 999989 more"), std::string::npos) << r.out.substr(0, 2000);

    // A report over its own log is refused and the log kept; so are two
    // reports into one file, even one that does not exist yet.
    fs::create_directories(dir.file("run"));
    dir.write("run/VEXADiag.log", log);
    for (const char* flag : {"--json", "--html", "--chrome-trace"}) {
        r = exec(VEXA_DIAGVIEW_PATH, {flag, "run/VEXADiag.log", "run"});
        EXPECT_EQ(r.status, 1) << flag;
        EXPECT_NE(r.err.find("the log it reads"), std::string::npos) << r.err;
    }
    EXPECT_EQ(fs::file_size(dir.file("run/VEXADiag.log")), log.size());
    r = exec(VEXA_DIAGVIEW_PATH, {"--json", "same.out", "--html", "./same.out", "run"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already a report of this run"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("same.out")));
    // Times a run cannot have taken are refused, not summed into infinity.
    dir.write("times.log", "format vexa-diag 2\nrun profiling_level=2 threads=1 load_us=1\n"
                           "graph name=g activation_bytes=0\nnodes graph=g count=1\nnode graph=g index=0 name=a op=Conv\n"
                           "exec graph=g n=1 start_us=0 total_us=10 node_us=1e39\n");
    r = exec(VEXA_DIAGVIEW_PATH, {"times.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("node_us is not a time"), std::string::npos) << r.err;
    // Fields beyond their range are refused, not wrapped.
    dir.write("threads.log", "format vexa-diag 2\nrun profiling_level=2 threads=4294967296 load_us=1\n");
    r = exec(VEXA_DIAGVIEW_PATH, {"threads.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("threads is out of range"), std::string::npos) << r.err;
}

// A 16-bit encoding cannot be the zero point of 8-bit codes: the inputs
// are refused; outputs take the same range on their own codes.
TEST_F(HostileTool, FixedPointBuffersKeepTheirOwnBitWidth) {
    const OnnxBuilder m = affineModel("m", {1, 64}, 0.5f, 0.25f);
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    std::vector<float> x(64);
    for (size_t i = 0; i < x.size(); ++i) x[i] = -2.0f + 4.0f * static_cast<float>(i) / 63;
    dir.write("x.raw", floatsToBytes(x));
    dir.write("list.txt", "x.raw\n");
    ProcessResult r = exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "list.txt", "-o", "q16.dlc",
                                                "--act_bitwidth", "16"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run("q16.dlc", "list.txt", {"--enable_cpu_fxp", "--userbuffer_tf8", "--static_min_max"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(says(r, "has zero point")) << r.out << r.err;
    r = run("q16.dlc", "list.txt", {"--enable_cpu_fxp", "--userbuffer_float", "--userbuffer_tf8_output", "--static_min_max"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<float> y = bytesToFloats(readFile(dir.file("out/Result_0/y.raw")));
    ASSERT_EQ(y.size(), x.size());
    // The output's range, [-0.75, 1.25], on 255 steps.
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(y[i], 0.5f * x[i] + 0.25f, 2.0 / 255) << i;
}

// Smaller mistakes, each named.
TEST_F(HostileTool, SmallerMistakesAreNamed) {
    simple();
    // One input twice on a calibration line.
    dir.write("twice.txt", "x:=one.raw x:=one.raw\n");
    ProcessResult r = exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "twice.txt", "-o", "q.dlc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("names input 'x' twice on line 1"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("q.dlc")));
    // A plain file beside a named one would feed the named input twice.
    dir.write("mixed.txt", "x:=one.raw one.raw\n");
    r = exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "mixed.txt", "-o", "q.dlc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mixes name:=file with plain files"), std::string::npos) << r.err;
    // The list is not the container's place.
    r = exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "list.txt", "-o", "list.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir.file("list.txt")), "one.raw\n");
    // 200,000 names on one line are checked in one pass.
    std::string names;
    for (int i = 0; i < 200000; ++i) names += "n" + std::to_string(i) + ":=one.raw ";
    dir.write("long.txt", names + "\n");
    r = exec(VEXA_QUANTIZE_PATH, {"--container", "m.dlc", "--input_list", "long.txt", "-o", "q.dlc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.timedOut);

    // Declared parameters beyond any count are said to be so.
    OnnxBuilder huge("huge", 13);
    huge.input("x", {1});
    onnx::TensorProto t;
    t.set_name("w");
    t.set_data_type(onnx::TensorProto::FLOAT);
    t.add_dims(int64_t{1} << 62);
    t.set_data_location(onnx::TensorProto::DEFAULT);
    for (int k = 0; k < 4; ++k) {
        t.set_name("w" + std::to_string(k));
        huge.initializer(t);
    }
    huge.node("Identity", {"x"}, {"y"});
    huge.output("y");
    packContainer(dir.file("huge.dlc"), {{"huge", &huge}});
    r = exec(VEXA_INFO_PATH, {"huge.dlc"});
    EXPECT_NE(r.out.find("parameters: more than 18,446,744,073,709,551,614"), std::string::npos) << r.out << r.err;

    // A model without a valid opset of the ONNX domain has no meaning to run.
    for (const int64_t opset : {int64_t{-3}, int64_t{0}}) {
        OnnxBuilder bad("bad", opset);
        bad.input("x", {1, 4});
        bad.node("Relu", {"x"}, {"y"});
        bad.output("y", {1, 4});
        packContainer(dir.file("bad.dlc"), {{"bad", &bad}});
        r = run("bad.dlc", "list.txt");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(says(r, "opset " + std::to_string(opset) + " of the ONNX domain")) << r.out << r.err;
    }
    OnnxBuilder none("none", 13);
    none.input("x", {1, 4});
    none.node("Relu", {"x"}, {"y"});
    none.output("y", {1, 4});
    onnx::ModelProto proto = none.proto();
    proto.clear_opset_import();
    dir.write("none.onnx", proto.SerializeAsString());
    r = exec(VEXA_PACK_PATH, {"-o", "none.dlc", "none.onnx"});
    if (r.status == 0) {
        r = run("none.dlc", "list.txt");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(says(r, "imports no opset of the ONNX domain")) << r.out << r.err;
    }
}

}  // namespace
