// The output comparison: its measures, and vexa-dlc-diff on output trees.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "Metrics.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
constexpr double kInf = std::numeric_limits<double>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(ErrorStats, MeasuresOfTypicalDifferences) {
    struct Case {
        const char* name;
        std::vector<float> ref, out;
        double maxAbs, meanAbs, cosine, sqnrDb;
        uint64_t nonFinite;
    };
    const Case cases[] = {
        {"identical", {1, -2, 3}, {1, -2, 3}, 0, 0, 1, kInf, 0},
        {"doubled: same direction, noise as strong as the signal", {1, 2}, {2, 4}, 2, 1.5, 1, 0, 0},
        {"negated", {1, 2}, {-1, -2}, 4, 3, -1, 10 * std::log10(5.0 / 20.0), 0},
        {"small noise", {10, -10, 10, -10}, {10.1f, -10, 10, -9.9f}, 0.1, 0.05, 1 / std::sqrt(1.00005), 10 * std::log10(400 / 0.02), 0},
        {"all zero", {0, 0}, {0, 0}, 0, 0, 1, kInf, 0},
        {"zero against signal", {0, 0}, {1, 0}, 1, 0.5, 0, -kInf, 0},
        {"the same non-finite values", {INFINITY, kNaN, 1}, {INFINITY, kNaN, 1}, 0, 0, 1, kInf, 0},
        // A non-finite value against anything else fails every measure.
        {"NaN against a number", {1, 1}, {kNaN, 1}, kInf, kInf, kNaN, -kInf, 1},
        {"a number against NaN", {kNaN, 1}, {1, 1}, kInf, kInf, kNaN, -kInf, 1},
        {"inf against a number", {2, 1}, {INFINITY, 1}, kInf, kInf, kNaN, -kInf, 1},
        {"inf against -inf", {-INFINITY, 1}, {INFINITY, 1}, kInf, kInf, kNaN, -kInf, 1},
    };
    // Equal, or within 1e-5 relative; infinities and NaN must match exactly.
    auto expectMeasure = [](double actual, double expected, const char* what) {
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(actual)) << what << " " << actual;
        } else if (std::isinf(expected)) {
            EXPECT_EQ(actual, expected) << what;
        } else {
            EXPECT_NEAR(actual, expected, 1e-5 * (1 + std::fabs(expected))) << what;
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vexart::ErrorStats s;
        s.add(c.ref.data(), c.out.data(), c.ref.size());
        expectMeasure(s.maxAbsError(), c.maxAbs, "max abs");
        expectMeasure(s.meanAbs(), c.meanAbs, "mean abs");
        expectMeasure(s.cosine(), c.cosine, "cosine");
        expectMeasure(s.sqnrDb(), c.sqnrDb, "sqnr");
        EXPECT_EQ(s.nonFinite, c.nonFinite);
        // Measured in two pieces, the same.
        vexart::ErrorStats a, b;
        a.add(c.ref.data(), c.out.data(), 1);
        b.add(c.ref.data() + 1, c.out.data() + 1, c.ref.size() - 1);
        a.merge(b);
        EXPECT_EQ(a.noise, s.noise);
        EXPECT_EQ(a.maxAbs, s.maxAbs);
    }
}

// numpy.argmax: the first of the largest, and the first NaN above all.
TEST(ArgMax, FirstOfTheLargestAndNaNWins) {
    struct Case {
        std::vector<float> v;
        uint64_t index;
    };
    const Case cases[] = {{{1, 3, 3, 2}, 1},          {{kNaN, -5, -1}, 0}, {{-INFINITY, -INFINITY}, 0},
                          {{2, kNaN, 7, kNaN}, 1},    {{-1, 4, kNaN}, 2},  {{INFINITY, 1, INFINITY}, 0}};
    for (const auto& c : cases) {
        vexart::ArgMax m;
        m.add(c.v.data(), 1);  // read in pieces, as files are
        m.add(c.v.data() + 1, c.v.size() - 1);
        EXPECT_TRUE(m.found);
        EXPECT_EQ(m.index, c.index);
    }
}

class DiffTool : public ::testing::Test {
protected:
    TempDir dir;

    void raw(const std::string& path, const std::vector<float>& v) {
        fs::create_directories(fs::path(dir.file(path)).parent_path());
        dir.write(path, floatsToBytes(v));
    }
    // A run of two results with a class vector and a feature map in a subdirectory.
    void run(const std::string& root, float noise, float swapSecond = false) {
        for (int r = 0; r < 2; ++r) {
            const std::string result = root + "/Result_" + std::to_string(r) + "/";
            std::vector<float> prob = {0.1f, 0.7f + noise, 0.2f};
            if (swapSecond && r == 1) std::swap(prob[1], prob[2]);
            raw(result + "prob.raw", prob);
            raw(result + "feat/x.raw", {1 + noise, 2, 3 - noise, 4});
        }
    }
    ProcessResult diff(const std::vector<std::string>& args) { return runProcess(VEXA_DIFF_PATH, args); }
};

TEST_F(DiffTool, VerdictsAndExitStatus) {
    run("ref", 0);
    run("same", 0);
    run("noisy", 0.05f);
    run("swapped", 0, true);
    raw("flat/prob.raw", {0.1f, 0.7f, 0.2f});
    raw("flat/feat/x.raw", {1, 2, 3, 4});
    raw("short/Result_0/prob.raw", {0.1f, 0.7f});
    raw("short/Result_0/feat/x.raw", {1, 2, 3, 4});
    raw("short/Result_1/prob.raw", {0.1f, 0.7f, 0.2f});
    raw("short/Result_1/extra.raw", {1});
    // Corrupted runs: all NaN, half NaN, all infinite.
    for (int r = 0; r < 2; ++r) {
        const std::string result = "/Result_" + std::to_string(r) + "/";
        raw("nan" + result + "prob.raw", {kNaN, kNaN, kNaN});
        raw("nan" + result + "feat/x.raw", {kNaN, kNaN, kNaN, kNaN});
        raw("halfnan" + result + "prob.raw", {0.1f, 0.7f, kNaN});
        raw("halfnan" + result + "feat/x.raw", {1, 2, kNaN, kNaN});
        raw("inf" + result + "prob.raw", {INFINITY, INFINITY, INFINITY});
        raw("inf" + result + "feat/x.raw", {INFINITY, -INFINITY, INFINITY, -INFINITY});
    }
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {"identical runs", {"same", "ref", "--max-abs-error", "0"}, 0, {"0 of 2 tensor(s)", "inf", "2/2"}},
        {"a flat reference stands for every result", {"noisy", "flat"}, 0, {"feat/x", " 2 ", "0.05"}},
        {"noise under a loose bound", {"noisy", "ref", "--min-sqnr", "20", "--min-cosine", "0.99"}, 0, {"ok"}},
        {"noise over a tight bound", {"noisy", "ref", "--min-sqnr", "40"}, 1, {"SQNR", "< 40 dB", "2 of 2"}},
        {"largest class moved", {"swapped", "ref", "--min-top1", "1"}, 1, {"1/2", "top-1 agreement 1/2 < 1"}},
        {"all NaN fails every gate", {"nan", "ref", "--min-sqnr", "30"}, 1,
         {"8 non-finite values where the other side differs", "nan", "-inf", "2 of 2"}},
        {"all NaN, cosine gate", {"nan", "ref", "--min-cosine", "0.99"}, 1, {"non-finite", "2 of 2"}},
        {"all NaN, top-1 gate", {"nan", "ref", "--min-top1", "1"}, 1, {"0/2", "2 of 2"}},
        {"half NaN", {"halfnan", "ref", "--min-sqnr", "30", "--min-cosine", "0.99"}, 1,
         {"2 non-finite values", "4 non-finite values", "2 of 2"}},
        {"all infinite", {"inf", "ref", "--max-abs-error", "1e30"}, 1, {"6 non-finite", "8 non-finite", "2 of 2"}},
        {"NaN output, no gate: measured, not judged", {"nan", "ref"}, 0, {"-inf", "0 of 2"}},
        {"missing, extra and short files", {"short", "ref"}, 1,
         {"sizes differ: 8 and 12 bytes", "Result_1: missing", "extra", "not in the reference"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        for (auto& a : args) {
            if (fs::exists(dir.file(a))) a = dir.file(a);
        }
        const ProcessResult r = diff(args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const auto& s : c.shown) EXPECT_NE(r.out.find(s), std::string::npos) << s << " in\n" << r.out;
    }
}

TEST_F(DiffTool, UsageAndUnreadableTrees) {
    run("ref", 0);
    dir.write("file.raw", "1234");
    fs::create_directory(dir.file("empty"));
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {{dir.file("ref")}, 2, "usage"},
        {{dir.file("ref"), dir.file("ref"), dir.file("ref")}, 2, "usage"},
        {{"--min-sqnr", "abc", dir.file("ref"), dir.file("ref")}, 2, "usage"},
        {{"--min-sqnr", "inf", dir.file("ref"), dir.file("ref")}, 2, "usage"},
        {{"--bogus", dir.file("ref"), dir.file("ref")}, 2, "usage"},
        {{dir.file("file.raw"), dir.file("ref")}, 1, "is not a directory"},
        {{dir.file("empty"), dir.file("empty")}, 1, "no .raw files"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = diff(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

}  // namespace
