// Models whose numbers ask for unbounded time or memory, or that nest and
// loop without end: each ends with its message and status 1 within the
// suite's bounds, before anything of the size asked for is allocated.
#include <onnx/onnx_pb.h>

#include <chrono>

#include "bench/Models.h"
#include "support/Hostile.h"

namespace {

// A Loop body (iteration, condition, carried v) -> (condition, v[, scan of
// the iteration number]); with `inner`, v goes through another Loop of trips M.
onnx::GraphProto loopBody(bool inner, bool scan) {
    onnx::GraphProto g;
    g.set_name(inner ? "outer_body" : "inner_body");
    *g.add_input() = OnnxBuilder::typed(inner ? "i" : "j", onnx::TensorProto::INT64);
    *g.add_input() = OnnxBuilder::typed(inner ? "cin" : "cjn", onnx::TensorProto::BOOL);
    *g.add_input() = OnnxBuilder::typed(inner ? "v" : "w", onnx::TensorProto::FLOAT);
    const std::string p = inner ? "o_" : "i_";
    OnnxBuilder::addNode(g, "Identity", {inner ? "cin" : "cjn"}, {p + "cond"});
    if (inner) {
        auto& n = OnnxBuilder::addNode(g, "Loop", {"M", "", "v"}, {p + "v"});
        OnnxBuilder::attr(n, "body", loopBody(false, false));
    } else {
        OnnxBuilder::addNode(g, "Identity", {"w"}, {p + "v"});
    }
    *g.add_output() = OnnxBuilder::typed(p + "cond", onnx::TensorProto::BOOL);
    *g.add_output() = OnnxBuilder::typed(p + "v", onnx::TensorProto::FLOAT);
    if (scan) {
        OnnxBuilder::addNode(g, "Identity", {inner ? "i" : "j"}, {p + "scan"});
        *g.add_output() = OnnxBuilder::typed(p + "scan", onnx::TensorProto::INT64);
    }
    return g;
}

OnnxBuilder loopModel(int64_t trips, bool nested, bool scan) {
    OnnxBuilder m("loops", 16);
    m.input("x", {1, 4});
    onnx::TensorProto count;
    count.set_name("M");
    count.set_data_type(onnx::TensorProto::INT64);
    count.add_int64_data(trips);
    m.initializer(count);
    auto& n = m.node("Loop", {"M", "", "x"}, scan ? std::vector<std::string>{"y", "s"} : std::vector<std::string>{"y"});
    OnnxBuilder::attr(n, "body", loopBody(nested, scan));
    m.output("y", {1, 4});
    return m;
}

class HostileModel : public Hostile {
protected:
    // Packs `m` and runs it on x = 1, 2, 3, 4 (and c = true where it has c).
    ProcessResult runModel(const OnnxBuilder& m, std::vector<std::pair<std::string, std::string>> env = {}) {
        packContainer(dir.file("m.dlc"), {{"m", &m}});
        dir.write("x.raw", floatsToBytes({1, 2, 3, 4}));
        dir.write("c.raw", floatsToBytes({1}));
        bool hasC = false;
        for (const auto& in : m.proto().graph().input()) hasC = hasC || in.name() == "c";
        dir.write("list.txt", hasC ? "c:=c.raw x:=x.raw\n" : "x.raw\n");
        return run("m.dlc", "list.txt", {}, std::move(env));
    }
};

TEST_F(HostileModel, NumbersThatAskForTooMuchEndWithTheirMessage) {
    struct Case {
        const char* name;
        OnnxBuilder model;
        std::string message;
        std::vector<std::pair<std::string, std::string>> env;
    };
    std::vector<Case> cases;
    {
        // Before oneDNN builds coordinate tables for 12e8 x 12e8 outputs.
        OnnxBuilder m("resize", 13);
        m.input("x", {1, 1, 4, 4});
        m.initializer("roi", {0}, {});
        m.initializer("scales", {4}, {1, 1, 3e8f, 3e8f});
        m.node("Resize", {"x", "roi", "scales"}, {"y"});
        m.output("y", {1, 1, -1, -1});
        cases.push_back({"Resize by 3e8", std::move(m), "is too large", {}});
    }
    {
        // 2^27 strings declared, none given: compared before allocating.
        OnnxBuilder m("strings", 13);
        m.input("x", {1, 4});
        onnx::TensorProto t;
        t.set_name("s");
        t.set_data_type(onnx::TensorProto::STRING);
        t.add_dims(int64_t{1} << 27);
        m.initializer(t);
        m.node("Identity", {"x"}, {"y"});
        m.node("Size", {"s"}, {"n"});
        m.output("y", {1, 4});
        m.output("n", {});
        cases.push_back({"string initializer without data", std::move(m), "does not match its shape", {}});
    }
    {
        OnnxBuilder m("dilated", 13);
        m.input("x", {1, 1, 4});
        m.initializer("w", {1, 1, 2}, {1, 1});
        auto& n = m.node("Conv", {"x", "w"}, {"y"});
        OnnxBuilder::attr(n, "dilations", std::vector<int64_t>{int64_t{1} << 62});
        m.output("y", {1, 1, -1});
        cases.push_back({"dilation 2^62", std::move(m), "dilations must be at most 2147483647", {}});
    }
    {
        OnnxBuilder m("lrn", 13);
        m.input("x", {1, 4, 1, 1});
        auto& n = m.node("LRN", {"x"}, {"y"});
        OnnxBuilder::attr(n, "size", int64_t{0});
        m.output("y", {1, 4, 1, 1});
        cases.push_back({"LRN of size 0", std::move(m), "LRN size must be 1 to", {}});
    }
    {
        OnnxBuilder m = affineModel("sparse", {1, 4}, 2, 1);
        auto* sparse = const_cast<onnx::ModelProto&>(m.proto()).mutable_graph()->add_sparse_initializer();
        sparse->mutable_values()->set_name("sp");
        sparse->mutable_values()->set_data_type(onnx::TensorProto::FLOAT);
        cases.push_back({"sparse initializer", std::move(m), "sparse initializer 'sp' is not supported", {}});
    }
    // The budget (10 million by default) is lowered to keep the suite quick;
    // the mechanism is the same.
    const std::pair<std::string, std::string> budget{"VEXA_MAX_LOOP_ITERATIONS", "200000"};
    cases.push_back({"nested Loops of 9,999,999 trips each", loopModel(9999999, true, false),
                     "loops ran more than 200000 iterations in one execution", {budget}});
    // Each iteration's scan slice is 8 bytes: the budget ends it long before memory does.
    cases.push_back({"Loop of 2^40 trips with a scan output", loopModel(int64_t{1} << 40, false, true),
                     "loops ran more than 200000 iterations in one execution", {budget}});
    // Protobuf's limit on nesting while parsing bounds the depth of bodies (some 30 levels of If).
    cases.push_back({"If nested 70 deep", benchmodels::nestedIf(70), "graph 'm' is not a valid ONNX model", {}});
    cases.push_back({"a limit on execution time", loopModel(9000000, false, false),
                     "execution ran past its limit of 0.2 s", {{"VEXA_MAX_EXECUTION_SECONDS", "0.2"}}});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult r = runModel(c.model, c.env);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// Each level of an If that is replanned per run used to run the level
// below twice (once to plan it): 2^22 runs of the innermost Add.
TEST_F(HostileModel, DeeplyNestedIfRunsOnceALevel) {
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = runModel(benchmodels::nestedIf(22));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytesToFloats(readFile(dir.file("out/Result_0/y.raw"))), (std::vector<float>{2, 4, 6, 8}));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), kTimeout);
}

// A long chain builds in time proportional to its length (the arena planner
// once compared every buffer with every other).
TEST_F(HostileModel, LongChainsBuild) {
    const ProcessResult r = runModel(benchmodels::negationChain(50000));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytesToFloats(readFile(dir.file("out/Result_0/y.raw"))), (std::vector<float>{1, 2, 3, 4}));
}

// A NaN region of interest puts every output outside it: the extrapolation
// value, and no index computed from NaN.
TEST_F(HostileModel, NanRegionOfInterestGivesTheExtrapolationValue) {
    OnnxBuilder m("crop", 13);
    m.input("x", {1, 1, 2, 2});
    m.initializer("roi", {8}, {0, 0, NAN, 0, 1, 1, 1, 1});
    m.initializer("scales", {4}, {1, 1, 2, 2});
    auto& n = m.node("Resize", {"x", "roi", "scales"}, {"y"});
    OnnxBuilder::attr(n, "coordinate_transformation_mode", std::string("tf_crop_and_resize"));
    OnnxBuilder::attr(n, "mode", std::string("linear"));
    OnnxBuilder::attr(n, "extrapolation_value", 7.0f);
    m.output("y", {1, 1, 4, 4});
    dir.write("x4.raw", floatsToBytes({1, 2, 3, 4}));
    packContainer(dir.file("m.dlc"), {{"m", &m}});
    dir.write("list.txt", "x4.raw\n");
    const ProcessResult r = run("m.dlc", "list.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytesToFloats(readFile(dir.file("out/Result_0/y.raw"))), std::vector<float>(16, 7.0f));
}

}  // namespace
