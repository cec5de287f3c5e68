// Input list parsing, raw input assembly, output paths and buffer geometry.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/InputList.h"
#include "buffers/UserBuffers.h"
#include "io/OutputWriter.h"
#include "io/RawInput.h"
#include "io/ReadAhead.h"
#include "support/Models.h"
#include "support/Subprocess.h"

namespace {

std::vector<std::string> queue(const InputListTables& t, const std::string& graph, size_t i) {
    const auto& q = t.inputFileQueues.at(graph).at(i);
    return {q.begin(), q.end()};
}

TEST(InputList, QueuesNamesAndSections) {
    InputListTables t;
    ASSERT_TRUE(parseInputList({"#conv1 conv2", "%out", "a.raw b.raw\r", "c.raw d.raw", "#not_a_layer.raw"}, t));
    EXPECT_FALSE(t.hasGraphSections);
    EXPECT_EQ(stringListItems(t.outputLayerNames.at("").get()), (std::vector<std::string>{"conv1", "conv2"}));
    EXPECT_EQ(stringListItems(t.outputTensorNames.at("").get()), std::vector<std::string>{"out"});
    EXPECT_EQ(queue(t, "", 0), (std::vector<std::string>{"a.raw", "c.raw", "#not_a_layer.raw"}));
    EXPECT_EQ(queue(t, "", 1), (std::vector<std::string>{"b.raw", "d.raw"}));

    InputListTables g;
    ASSERT_TRUE(parseInputList({"$g1", "in0:=x.raw in1:=y.raw", "$g2", "%t2", "%ignored", "z.raw"}, g));
    EXPECT_TRUE(g.hasGraphSections);
    EXPECT_EQ(stringListItems(g.inputNamesPerLine.at("g1")[0].get()), (std::vector<std::string>{"in0", "in1"}));
    EXPECT_EQ(queue(g, "g1", 1), std::vector<std::string>{"y.raw"});
    EXPECT_EQ(stringListItems(g.outputTensorNames.at("g2").get()), std::vector<std::string>{"t2"});
    EXPECT_EQ(g.outputTensorNames.count("g1"), 0u);
    mergeOutputTensorRequests({{"g1", {"a"}}, {"g2", {"b"}}}, g);
    EXPECT_EQ(stringListItems(g.outputTensorNames.at("g1").get()), std::vector<std::string>{"a"});
    EXPECT_EQ(stringListItems(g.outputTensorNames.at("g2").get()), std::vector<std::string>{"t2"});

    InputListTables empty;
    EXPECT_TRUE(parseInputList({}, empty));
    EXPECT_TRUE(empty.inputFileQueues.empty());
}

// A list written with CR LF ends: the carriage return goes with the line
// end (a "$" line names its graph without it), lines of nothing but one are
// empty, and a last line without an end still counts.
TEST(InputList, FileLinesDropCarriageReturnsAndEmptyLines) {
    TempDir dir;
    const std::string path = dir.write("list.txt", "$g1\r\n\r\na.raw b.raw\r\n\n#out\r\nc.raw");
    std::vector<std::string> lines;
    ASSERT_TRUE(readInputListFile(path, lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"$g1", "a.raw b.raw", "#out", "c.raw"}));
    InputListTables t;
    ASSERT_TRUE(parseInputList(lines, t));
    EXPECT_EQ(t.inputFileQueues.count("g1"), 1u);
}

TEST(InputList, LineTokens) {
    struct Case {
        std::string line;
        std::vector<std::string> names, paths;
    };
    const std::vector<Case> cases = {
        {"a:=x.raw  b:=y.raw", {"a", "b"}, {"x.raw", "y.raw"}},
        {"x.raw a:=y.raw", {"a"}, {"x.raw", "y.raw"}},
        {":=p", {""}, {"p"}},
        {"a:=b:=c", {"a"}, {"b:=c"}},
        {"   ", {}, {}},
    };
    for (const auto& c : cases) {
        const InputLine l = parseInputLine(c.line);
        EXPECT_EQ(l.names, c.names) << c.line;
        EXPECT_EQ(l.paths, c.paths) << c.line;
    }
}

class Assembly : public ::testing::Test {
protected:
    TempDir dir;
    std::string file(const std::string& name, size_t bytes) { return dir.write(name, std::string(bytes, '\x01')); }
};

TEST_F(Assembly, PadsWithZeroPiecesAndLeavesTheRestQueued) {
    InputFileQueue q = {file("a", 4)};
    std::vector<uint8_t> out;
    uint64_t files = 0, pieces = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(assembleInputBytes(q, 12, out, files, pieces));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Processing DNN input(s):\n" + dir.file("a") + "\nApplying padding\nApplying padding\n");
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(pieces, 3u);

    InputFileQueue three = {file("x", 4), file("y", 4), file("z", 4)};
    out.clear();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(assembleInputBytes(three, 8, out, files, pieces));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(three.size(), 1u);
    EXPECT_EQ(files, 2u);
}

TEST_F(Assembly, SizeRulesAndReadErrors) {
    struct Case {
        std::vector<size_t> sizes;
        uint64_t target;
        std::string err;
    };
    const std::string sizeError = "Error: invalid input size provided. Please check all raw sizes.\n";
    const std::vector<Case> cases = {
        {{4, 8}, 8, sizeError},   // second file differs from the piece size
        {{16}, 8, sizeError},     // larger than the target
        {{3}, 8, sizeError},      // does not divide the target
        {{0}, 8, sizeError},      // no usable piece size
        {{}, 8, sizeError},       // nothing queued at all
    };
    for (const auto& c : cases) {
        InputFileQueue q;
        for (size_t i = 0; i < c.sizes.size(); ++i) q.push_back(file("f" + std::to_string(i), c.sizes[i]));
        std::vector<uint8_t> out;
        uint64_t files = 7, pieces = 7;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(assembleInputBytes(q, c.target, out, files, pieces));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the log is printed only on success
        EXPECT_EQ(files, 7u);
    }
    std::vector<float> floats;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(readRawFloats(file("six", 6), floats));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Size of input file should be divisible by sizeof(dtype).\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(readRawFloats(dir.file("absent"), floats));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open input file: " + dir.file("absent") + "\n");
}

// Whatever happens to a file between its read-ahead and its turn, the
// assembler reports what it would have reported reading it then.
TEST_F(Assembly, ReadAheadChangesNothingTheAssemblerReports) {
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> between;  // after the read-ahead, before assembly
    };
    const std::vector<Case> cases = {
        {"unchanged", [](const std::string&) {}},
        {"rewritten, odd size", [&](const std::string& p) { dir.write(fs::path(p).filename(), "12345"); }},
        {"rewritten, same size",
         [&](const std::string& p) {
             const auto t = fs::last_write_time(p);
             dir.write(fs::path(p).filename(), "ABCDEFGH");
             fs::last_write_time(p, t + std::chrono::seconds(1));
         }},
        {"replaced", [&](const std::string& p) { fs::rename(dir.write("other", "abcdefgh"), p); }},
        {"deleted", [](const std::string& p) { fs::remove(p); }},
    };
    for (const auto& c : cases) {
        struct Outcome {
            bool ok;
            std::string out, err, bytes;
        };
        auto assembleOnce = [&](bool early) {
            const std::string path = dir.write("in", "01234567");
            InputFileQueue q = {path};
            ReadAhead ahead;
            if (early) {
                ahead.request({q}, 1);
                ahead.wait();
            }
            c.between(path);
            float floats[2] = {0, 0};
            uint64_t files = 0, pieces = 0;
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const bool ok = assembleInputFloats(q, 2, floats, files, pieces, early ? &ahead : nullptr);
            Outcome o{ok, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(),
                      std::string(reinterpret_cast<const char*>(floats), sizeof floats)};
            if (early && std::string(c.name) == "unchanged" && std::thread::hardware_concurrency() > 1) {
                EXPECT_EQ(ahead.served(), 1u);
            }
            return o;
        };
        const Outcome plain = assembleOnce(false);
        const Outcome early = assembleOnce(true);
        EXPECT_EQ(early.ok, plain.ok) << c.name;
        EXPECT_EQ(early.out, plain.out) << c.name;
        EXPECT_EQ(early.err, plain.err) << c.name;
        EXPECT_EQ(early.bytes, plain.bytes) << c.name;
    }
}

// Pipes and devices are never read ahead: that would take their data or
// block on them.
TEST_F(Assembly, ReadAheadLeavesPipesAlone) {
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ReadAhead ahead;
    ahead.request({InputFileQueue{fifo, "/dev/zero"}}, 2);
    ahead.wait();
    EXPECT_EQ(ahead.take(fifo), nullptr);
    EXPECT_EQ(ahead.take("/dev/zero"), nullptr);
}

// What read-ahead holds is capped over all files of a request; the files
// past the cap are left to the assembler.
TEST_F(Assembly, ReadAheadHoldsNoMoreThanItsCap) {
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) paths.push_back(dir.write("f" + std::to_string(i), std::string(100 << 10, 'a')));
    ReadAhead ahead(250 << 10);
    InputFileQueue q;
    for (const auto& p : paths) q.push_back(p);
    ahead.request({q}, 4);
    ahead.wait();
    size_t taken = 0;
    for (const auto& p : paths) taken += ahead.take(p) != nullptr ? 1 : 0;
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_EQ(taken, 2u);
    }
}

// Only ".." components are neutralised; PyTorch names every tensor
// "/module/.../Op_output_0", and a leading slash or "." component must land
// where the plain concatenation puts it ("Result_0//module/...").
TEST(OutputWriter, OnlyParentComponentsAreNeutralised) {
    struct Case {
        std::string name, path;
    };
    const std::vector<Case> cases = {
        {"../x", "o/Result_0/__/x.raw"},
        {"../../../../etc/passwd", "o/Result_0/__/__/__/__/etc/passwd.raw"},
        {"/features/conv/Conv_output_0", "o/Result_0//features/conv/Conv_output_0.raw"},
        {"//y", "o/Result_0///y.raw"},
        {"a/./b", "o/Result_0/a/./b.raw"},
        {"a/..", "o/Result_0/a/__.raw"},
        {".", "o/Result_0/..raw"},
        {"..", "o/Result_0/__.raw"},
        {"..a/b..", "o/Result_0/..a/b...raw"},
        {".../x", "o/Result_0/.../x.raw"},
        {"a/../", "o/Result_0/a/__/.raw"},
        {"/../..", "o/Result_0//__/__.raw"},
    };
    for (const auto& c : cases) EXPECT_EQ(outputFilePath("o", c.name, 0), c.path) << c.name;
}

TEST(OutputWriter, PathsAreCleanedButSlashesKept) {
    EXPECT_EQ(outputFilePath("out", "conv1:0", 3), "out/Result_3/conv1_0.raw");
    EXPECT_EQ(outputFilePath("./output/", "a<b>|c?", 0), "./output//Result_0/a_b__c_.raw");
    EXPECT_EQ(outputFilePath("o", "x\"y\\z*", 1), "o/Result_1/x_y_z_.raw");
    EXPECT_EQ(outputFilePath("o", "block/relu", 0), "o/Result_0/block/relu.raw");
    TempDir dir;
    const std::string path = outputFilePath(dir.path(), "block/relu", 0);
    ASSERT_TRUE(writeRawFile(path, "abcd", 4));
    EXPECT_EQ(readFile(dir.file("Result_0/block/relu.raw")), "abcd");
    ASSERT_TRUE(writeRawFile(path, "xy", 2));
    EXPECT_EQ(readFile(path), "xy");  // overwritten, not appended
    ASSERT_TRUE(writeRawFile(path, "", 0));
    EXPECT_EQ(readFile(path), "");
    EXPECT_TRUE(writeRawFile("/dev/null", "data", 4));  // nothing to cut to length
    EXPECT_TRUE(makeDirectories("."));
    EXPECT_TRUE(makeDirectories(""));
}

TEST(BufferGeometry, StridesAndCountsWithResizableDimensions) {
    const size_t dims[] = {1, 224, 224, 3};
    const TensorShapeHandle shape(Vexa_TensorShape_CreateDimsSize(dims, 4));
    const TensorShapeHandle strides = computeStrides(shape.get(), 4, 10);
    std::vector<size_t> s;
    for (size_t i = 0; i < 4; ++i) s.push_back(Vexa_TensorShape_At(strides.get(), i));
    EXPECT_EQ(s, (std::vector<size_t>{602112, 2688, 12, 4}));
    const size_t open[] = {2, 0, 3};
    const TensorShapeHandle openShape(Vexa_TensorShape_CreateDimsSize(open, 3));
    const TensorShapeHandle openStrides = computeStrides(openShape.get(), 2, 5);
    EXPECT_EQ(Vexa_TensorShape_At(openStrides.get(), 0), 30u);
    EXPECT_EQ(elementCount(3, open, 5), 30u);
    EXPECT_EQ(elementCount(0, open, 5), 0u);
    const TensorShapeHandle scalar(Vexa_TensorShape_Create());
    const TensorShapeHandle scalarStrides = computeStrides(scalar.get(), 8, 10);
    EXPECT_EQ(Vexa_TensorShape_Rank(scalarStrides.get()), 1u);
    EXPECT_EQ(Vexa_TensorShape_At(scalarStrides.get(), 0), 8u);
}

}  // namespace
