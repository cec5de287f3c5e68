// The diagnostic log as runs write it and vexa-diagview reads it: the
// figures add up to the run's own, and logs that are not one are refused.
#include <gtest/gtest.h>

#include <map>

#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>

#include "DiagLogFile.h"
#include "Summary.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

class DiagView : public ::testing::Test {
protected:
    TempDir dir;
    static constexpr int kRuns = 6;

    // Runs a two-node model whose node names need encoding, kRuns times.
    std::string logOfARun() {
        OnnxBuilder b("g 1");
        b.input("x", {1, 64});
        b.initializer("k", {}, {2.0f});
        b.node("Mul", {"x", "k"}, {"m"}, "scale by=2 %");
        b.node("Relu", {"m"}, {"y"}, "relu");
        b.output("y", {1, 64});
        packContainer(dir.file("m.dlc"), {{"g 1", &b}});
        dir.write("x.raw", floatsToBytes(std::vector<float>(64, 1.0f)));
        std::string list;
        for (int i = 0; i < kRuns; ++i) list += "x.raw\n";
        dir.write("list.txt", list);
        ProcessOptions options;
        options.workingDirectory = dir.path();
        options.env = {{"VEXA_NUM_THREADS", "1"}};
        const ProcessResult r = runProcess(
            VEXA_TOOL_PATH, {"--container", "m.dlc", "--input_list", "list.txt", "--output_dir", "out"}, options);
        EXPECT_EQ(r.status, 0) << r.err;
        return dir.file("out/VEXADiag.log");
    }
    ProcessResult view(const std::vector<std::string>& args) {
        ProcessOptions options;
        options.workingDirectory = dir.path();
        return runProcess(VEXA_DIAGVIEW_PATH, args, options);
    }
};

TEST_F(DiagView, LogsOfRealRunsAddUp) {
    const diagview::DiagLog log = diagview::readDiagLogFile(logOfARun());
    EXPECT_TRUE(log.ended);
    EXPECT_GT(log.loadUs, 0);
    EXPECT_EQ(log.threads, 1u);
    ASSERT_EQ(log.graphs.size(), 1u);
    const auto& g = log.graphs[0];
    EXPECT_EQ(g.name, "g 1");
    EXPECT_GT(g.activationBytes, 0u);
    ASSERT_EQ(g.schedules.size(), 1u);
    ASSERT_EQ(g.schedules[0].size(), 2u);
    EXPECT_EQ(g.node(0, 0).name, "scale by=2 %");
    EXPECT_EQ(g.node(0, 0).op, "Mul");
    ASSERT_EQ(g.executions.size(), static_cast<size_t>(kRuns));
    double previousEnd = 0;
    for (size_t i = 0; i < g.executions.size(); ++i) {
        const auto& e = g.executions[i];
        EXPECT_EQ(e.number, i + 1);
        // Node times are within the execution's (each is rounded to 0.1 us).
        EXPECT_LE(std::accumulate(e.nodeUs.begin(), e.nodeUs.end(), 0.0), e.totalUs + 0.1);
        EXPECT_GE(e.startUs, previousEnd - 0.1);  // executions follow one another
        previousEnd = e.startUs + e.totalUs;
    }
    const auto latency = diagview::summarize(g);
    EXPECT_EQ(latency.count, static_cast<size_t>(kRuns) - 1);  // the first is the warm-up
    EXPECT_EQ(latency.warmups, 1u);
    EXPECT_TRUE(g.executions[0].warmup);
    EXPECT_LE(latency.minUs, latency.p50Us);
    EXPECT_LE(latency.p50Us, latency.p90Us);
    EXPECT_LE(latency.p90Us, latency.p99Us);
    EXPECT_LE(latency.p99Us, latency.maxUs);
    const auto rows = diagview::operatorTable(g);
    ASSERT_EQ(rows.size(), 2u);
    double shares = 0;
    for (const auto& r : rows) {
        EXPECT_EQ(r.calls, static_cast<uint64_t>(kRuns) - 1);
        EXPECT_EQ(r.kernel, "vexa");  // element-wise work on the engine's own loops
        EXPECT_EQ(r.precision, "f32");
        shares += r.share;
    }
    EXPECT_LE(shares, 1.0 + 1e-9);
    EXPECT_GE(rows[0].totalUs, rows[1].totalUs);

    const ProcessResult r = view({"out/VEXADiag.log", "--top", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Graph g 1: 6 executions"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Latency (ms): mean "), std::string::npos);
    EXPECT_NE(r.out.find("(1 more nodes; --top N shows more)"), std::string::npos) << r.out;
}

// ONNX leaves node names optional: unnamed nodes, and two nodes of one
// name and different types, keep rows of their own.
TEST_F(DiagView, NodesWithoutNamesAreNotMerged) {
    dir.write("unnamed.log", "format vexa-diag 2\nrun profiling_level=2 threads=1 load_us=1\n"
                             "graph name=g activation_bytes=0\nnodes graph=g count=4\n"
                             "node graph=g index=0 name= op=Relu\nnode graph=g index=1 name= op=Relu\n"
                             "node graph=g index=2 name=x op=Conv\nnode graph=g index=3 name=x op=Sigmoid\n"
                             "exec graph=g n=1 start_us=0 total_us=100 node_us=25,25,25,25 warmup=1\n"
                             "exec graph=g n=2 start_us=100 total_us=10 node_us=1,2,3,4\n"
                             "exec graph=g n=3 start_us=110 total_us=10 node_us=1,2,3,4\n");
    const auto rows = diagview::operatorTable(diagview::readDiagLogFile(dir.file("unnamed.log")).graphs.at(0));
    ASSERT_EQ(rows.size(), 4u);
    std::map<double, std::string> byTotal;
    for (const auto& r : rows) {
        EXPECT_EQ(r.calls, 2u) << r.node << " " << r.op;
        byTotal[r.totalUs] = r.op;
    }
    EXPECT_EQ(byTotal, (std::map<double, std::string>{{2, "Relu"}, {4, "Relu"}, {6, "Conv"}, {8, "Sigmoid"}}));
}

// One stalled execution moves a node's mean and total, not its median: the
// table ranks by median and the run is called unstable. Long names keep
// both their ends.
TEST_F(DiagView, OneStallDoesNotBlameTheWrongNode) {
    const std::string longName = "/features/features.1/block/block.0/block.0.0/Conv";
    std::string text = "format vexa-diag 2\nrun profiling_level=2 threads=1 load_us=1\ngraph name=g activation_bytes=0\n"
                       "nodes graph=g count=2\nnode graph=g index=0 name=flatten op=Flatten\n"
                       "node graph=g index=1 name=" + longName + " op=Conv\n";
    for (int n = 1; n <= 21; ++n) {
        const int flatten = n == 7 ? 5000 : 1;  // one execution stalls in Flatten
        text += "exec graph=g n=" + std::to_string(n) + " start_us=" + std::to_string(n * 10000) + " total_us=" +
                std::to_string(flatten + 20) + " node_us=" + std::to_string(flatten) + ",20" + (n == 1 ? " warmup=1" : "") + "\n";
    }
    dir.write("stall.log", text);
    const auto rows = diagview::operatorTable(diagview::readDiagLogFile(dir.file("stall.log")).graphs.at(0));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].op, "Conv");  // median 20 against Flatten's 1, though Flatten's total is 5019
    EXPECT_DOUBLE_EQ(rows[1].totalUs, 5019);
    EXPECT_DOUBLE_EQ(rows[1].medianUs, 1);
    const ProcessResult r = view({"stall.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Unstable run: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/features/features...ck.0/block.0.0/Conv Conv"), std::string::npos) << r.out;
}

// A log with figures chosen by hand, against figures worked out by hand: a
// warm-up of 1000 us, then ten executions of 10, 20, ..., 100 us, each
// starting 1 us after the previous one ended; node a takes 4 us of each,
// node b (with c fused into it) the rest.
TEST_F(DiagView, FiguresOfAKnownLog) {
    std::string text = "format vexa-diag 2\nrun profiling_level=2 threads=1 load_us=2500\n"
                       "graph name=g activation_bytes=1048576\nnodes graph=g count=2\n"
                       "node graph=g index=0 name=a op=Conv kernel=onednn:brgconv:avx512_core precision=int8\n"
                       "node graph=g index=1 name=b op=Relu kernel=vexa precision=f32 fused=c%2C1,d\n"
                       "exec graph=g n=1 start_us=0 total_us=1000 node_us=4,996 warmup=1\n";
    double start = 1001;
    for (int n = 1; n <= 10; ++n) {
        text += "exec graph=g n=" + std::to_string(n + 1) + " start_us=" + std::to_string(start) +
                " total_us=" + std::to_string(10 * n) + " node_us=4," + std::to_string(10 * n - 4) + "\n";
        start += 10 * n + 1;
    }
    text += "end executions=11 wall_us=3000000 peak_rss_bytes=20971520\n";
    dir.write("known.log", text);
    const diagview::DiagLog log = diagview::readDiagLogFile(dir.file("known.log"));
    ASSERT_EQ(log.graphs.size(), 1u);
    EXPECT_FALSE(log.cut);
    const diagview::GraphLog& g = log.graphs[0];
    const auto l = diagview::summarize(g);
    EXPECT_EQ(l.count, 10u);
    EXPECT_EQ(l.warmups, 1u);
    EXPECT_DOUBLE_EQ(l.warmupUs, 1000);
    EXPECT_DOUBLE_EQ(l.totalUs, 550);
    EXPECT_DOUBLE_EQ(l.meanUs, 55);
    EXPECT_DOUBLE_EQ(l.minUs, 10);
    EXPECT_DOUBLE_EQ(l.maxUs, 100);
    // Nearest rank: the ceil(p/100 * 10)-th smallest.
    EXPECT_DOUBLE_EQ(l.p50Us, 50);
    EXPECT_DOUBLE_EQ(l.p90Us, 90);
    EXPECT_DOUBLE_EQ(l.p99Us, 100);
    EXPECT_NEAR(l.perSecond, 10 / 550e-6, 1e-6);
    EXPECT_NEAR(l.wallPerSecond, 10 / 559e-6, 1e-6);  // 550 us of work and 9 gaps of 1 us
    const auto rows = diagview::operatorTable(g);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].node, "b");  // 510 us in all, before a's 40
    EXPECT_DOUBLE_EQ(rows[0].totalUs, 510);
    EXPECT_DOUBLE_EQ(rows[0].meanUs, 51);
    EXPECT_DOUBLE_EQ(rows[0].share, 510.0 / 550);
    // b took 6, 16, ..., 96: the 5th of ten is the nearest-rank median.
    EXPECT_DOUBLE_EQ(rows[0].medianUs, 46);
    EXPECT_DOUBLE_EQ(rows[0].minUs, 6);
    EXPECT_DOUBLE_EQ(rows[1].medianUs, 4);
    std::vector<std::string> fused;
    diagview::forEachFused(rows[0].fused, [&](const std::string& name) {
        fused.push_back(name);
        return true;
    });
    EXPECT_EQ(fused, (std::vector<std::string>{"c,1", "d"}));
    EXPECT_EQ(rows[1].node, "a");
    EXPECT_EQ(rows[1].kernel, "onednn:brgconv:avx512_core");
    EXPECT_EQ(rows[1].precision, "int8");
    EXPECT_DOUBLE_EQ(rows[1].totalUs, 40);
    EXPECT_DOUBLE_EQ(rows[1].share, 40.0 / 550);
    ProcessResult r = view({"known.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line :
         {"Load (container open and build): 2.500 ms\n",
          "Run: 3.000 s from loaded to released, peak resident memory 20.0 MiB\n",
          "Graph g: 11 executions, activation memory 1.00 MiB\n",
          "First execution (warm-up, left out below): 1.000 ms\n",
          "Latency (ms): mean 0.055  p50 0.050  p90 0.090  p99 0.100  min 0.010  max 0.100\n",
          "Throughput: 17889.1 inferences/s of wall-clock time (18181.8/s counting execution time alone)\n",
          "Relu                      1       0.510   92.7%\n", "Conv                      1       0.040    7.3%\n",
          "onednn:brgconv:avx512_core   int8", "  b <- c,1 d\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "in\n" << r.out;
    }
    // The same figures as JSON.
    r = view({"known.log", "--json", "known.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto doc = nlohmann::json::parse(readFile(dir.file("known.json")));
    const auto& jg = doc.at("graphs").at(0);
    EXPECT_EQ(jg.at("executions"), 11);
    EXPECT_DOUBLE_EQ(jg.at("warmup_ms").get<double>(), 1.0);
    EXPECT_DOUBLE_EQ(jg.at("latency_ms").at("p90").get<double>(), 0.09);
    EXPECT_NEAR(jg.at("throughput_wall_clock_per_s").get<double>(), 10 / 559e-6, 1e-6);
    EXPECT_EQ(jg.at("operator_types").at(0).at("op"), "Relu");
    EXPECT_EQ(jg.at("nodes").at(1).at("kernel"), "onednn:brgconv:avx512_core");
    EXPECT_EQ(doc.at("peak_rss_bytes"), 20971520);
}

// A run stopped at any byte of its log: the viewer reads what is whole, says
// the run was interrupted, or names why it cannot; it never fails otherwise.
TEST_F(DiagView, LogsCutAtEveryByteOfTheirEnd) {
    const std::string whole = readFile(logOfARun());
    ASSERT_GT(whole.size(), 200u);
    size_t read = 0, refused = 0;
    for (size_t cut = whole.size() - 200; cut <= whole.size(); ++cut) {
        const std::string part = whole.substr(0, cut);
        std::istringstream in(part);
        try {
            const diagview::DiagLog log = diagview::readDiagLog(in);
            ++read;
            const bool complete = cut == whole.size();
            EXPECT_EQ(log.ended, complete) << cut;
            EXPECT_EQ(log.cut, !complete && part.back() != '\n') << cut;
            ASSERT_EQ(log.graphs.size(), 1u);
            for (const auto& e : log.graphs[0].executions) {
                EXPECT_EQ(e.nodeUs.size(), log.graphs[0].schedules[e.schedule].size()) << cut;
            }
        } catch (const diagview::DiagLogError& e) {
            ++refused;
            ADD_FAILURE() << "cut at " << cut << ": " << e.what();
        }
    }
    EXPECT_EQ(read, 201u);
    EXPECT_EQ(refused, 0u);
    // The viewer says so.
    dir.write("cut.log", whole.substr(0, whole.size() - 30));
    const ProcessResult r = view({"cut.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(", run interrupted; "), std::string::npos) << r.out;
}

TEST_F(DiagView, ChromeTraceAndPageHoldTheRun) {
    logOfARun();
    const ProcessResult r = view({"--chrome-trace", "trace.json", "--html", "page.html", "out/VEXADiag.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto trace = nlohmann::json::parse(readFile(dir.file("trace.json")));
    size_t executions = 0, nodes = 0, loads = 0;
    double start = 0, end = 0, loadEnd = 0;
    for (const auto& e : trace.at("traceEvents")) {
        if (e.at("ph") != "X") continue;
        if (e.at("cat") == "load") {
            ++loads;
            EXPECT_EQ(e.at("ts").get<double>(), 0);
            loadEnd = e.at("dur").get<double>();
        } else if (e.at("cat") == "execution") {
            EXPECT_GE(e.at("ts").get<double>(), loadEnd);  // after the load
            ++executions;
            start = e.at("ts").get<double>();
            end = start + e.at("dur").get<double>();
        } else {
            ++nodes;
            EXPECT_GE(e.at("ts").get<double>(), start);  // nested in the execution before it
            EXPECT_LE(e.at("ts").get<double>() + e.at("dur").get<double>(), end + 0.2);
        }
    }
    EXPECT_EQ(loads, 1u);
    EXPECT_EQ(executions, static_cast<size_t>(kRuns));
    EXPECT_EQ(nodes, static_cast<size_t>(2 * kRuns));
    const std::string page = readFile(dir.file("page.html"));
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("scale by=2 %"), std::string::npos);
    EXPECT_EQ(countOf(page, "<svg"), 3u);  // operator types, the slowest nodes and the latency histogram
    EXPECT_NE(page.find(">executions</text>"), std::string::npos);  // both axes labelled
    EXPECT_NE(page.find(">latency of one execution (ms)</text>"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("http"), page.find("http://www.w3.org/2000/svg"));  // nothing from outside
}

TEST_F(DiagView, WhatIsNotALogIsRefusedWithAReason) {
    const std::string header = "format vexa-diag 1\nrun profiling_level=2 threads=1 load_us=5\n"
                               "graph name=g activation_bytes=4\nnodes graph=g count=1\nnode graph=g index=0 name=a op=Relu\n";
    struct Case {
        std::string content;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"", "the log is empty"},
        {"# only a comment\n", "the log is empty"},
        {"hello world\n", "not a vexa diagnostic log"},
        {"format vexa-diag 3\n", "the log is in format vexa-diag 3; this viewer reads formats vexa-diag 1 to 2"},
        {std::string("\x89PNG\r\n\x1a\n\0\0", 10), "not a vexa diagnostic log"},
        {header + "exec graph=g n=1 start_us=0 total_us=3 node_us=1,2\n", "line 6: 2 node times for 1 nodes"},
        {header + "exec graph=h n=1 start_us=0 total_us=3 node_us=1\n", "line 6: graph 'h' was not declared"},
        {header + "exec graph=g n=1 start_us=0 total_us=-3 node_us=1\n", "line 6: total_us is not a time"},
        {header + "exec graph=g n=x start_us=0 total_us=3 node_us=1\n", "line 6: n is not a count"},
        {header + "exec graph=g n=1 start_us=0 node_us=1\n", "line 6: exec line without total_us"},
        {header + "surprise x=1\n", "line 6: unknown line kind 'surprise'"},
        {"format vexa-diag 1\ngraph name=g activation_bytes=4\nnodes graph=g count=2\nnode graph=g index=0 name=a op=R\n"
         "end executions=0\n",
         "line 5: expected 1 more node lines"},
    };
    for (const auto& c : cases) {
        dir.write("bad.log", c.content);
        const ProcessResult r = view({"bad.log"});
        EXPECT_EQ(r.status, 1) << c.reason;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("vexa-diagview: "), std::string::npos);
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
    EXPECT_NE(view({dir.path()}).err.find("cannot open " + dir.path() + "/VEXADiag.log"), std::string::npos);
    EXPECT_NE(view({"absent.log"}).err.find("cannot open absent.log"), std::string::npos);
    EXPECT_EQ(view({}).status, 2);
    EXPECT_EQ(view({"--top", "x", "a.log"}).status, 2);
}

TEST(DiagSummary, NearestRankPercentiles) {
    std::vector<double> v(100);
    std::iota(v.begin(), v.end(), 1.0);
    EXPECT_EQ(diagview::percentile(v, 50), 50);
    EXPECT_EQ(diagview::percentile(v, 90), 90);
    EXPECT_EQ(diagview::percentile(v, 99), 99);
    EXPECT_EQ(diagview::percentile(v, 100), 100);
    EXPECT_EQ(diagview::percentile({7}, 99), 7);
    EXPECT_EQ(diagview::percentile({}, 50), 0);
    EXPECT_EQ(diagview::diagDecode("a%20b%3Dc%25%2"), "a b=c%%2");
}

}  // namespace
