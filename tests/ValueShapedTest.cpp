// Graphs whose shapes follow their inputs' values (NonZero and what reads
// its shape, detector post-processing): a plan made on one input must not
// leak into the next, and the suppression must select what its definition
// selects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <set>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "executor/core/Buffer.h"
#include "executor/core/SharedBytes.h"
#include "executor/core/StoragePool.h"
#include "executor/core/Threads.h"
#include "executor/graph/Graph.h"
#include "tools/OnnxBuilder.h"

namespace {

using vexart::Graph;
using vexart::Shape;
using vexart::Tensor;

std::vector<float> valuesOf(const Tensor& t) {
    std::vector<float> v;
    for (int64_t i = 0; i < t.size(); ++i) v.push_back(static_cast<float>(t.scalarAsDouble(i)));
    return v;
}

// x -> NonZero -> its shape (folded to a constant on a static graph) and
// the indices themselves; both must follow every execution's x.
TEST(ValueShaped, ShapesOfNonZeroFollowEachExecution) {
    OnnxBuilder b("g");
    b.input("x", {8});
    b.node("NonZero", {"x"}, {"nz"});
    b.node("Shape", {"nz"}, {"s"});
    b.initializerInts("last", {1});
    b.node("Gather", {"s", "last"}, {"k"});
    OnnxBuilder::attr(b.node("Cast", {"k"}, {"count"}), "to", int64_t{onnx::TensorProto::FLOAT});
    b.node("Transpose", {"nz"}, {"where"});
    b.output("count");
    b.output("where");
    Graph g(b.proto());
    g.prepare({{"x", {8}}}, {"count", "where"});
    EXPECT_TRUE(g.shapesFollowValues());
    const std::vector<std::vector<float>> inputs = {
        {0, 1, 0, 2, 0, 0, 3, 0}, {1, 1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 5}};
    // Twice over: each plan replaces the last one's storage.
    for (int round = 0; round < 2; ++round) {
        for (const auto& x : inputs) {
            std::copy(x.begin(), x.end(), g.input("x").data<float>());
            g.prepare({{"x", {8}}}, {"count", "where"}, true);
            std::vector<float> where;
            for (size_t i = 0; i < x.size(); ++i) {
                if (x[i] != 0) where.push_back(static_cast<float>(i));
            }
            EXPECT_EQ(valuesOf(g.value("count")), (std::vector<float>{static_cast<float>(where.size())}));
            EXPECT_EQ(g.value("where").shape(), (Shape{static_cast<int64_t>(where.size()), 1}));
            EXPECT_EQ(valuesOf(g.value("where")), where);
        }
    }
}

// NonZero of every rank lists each set element's coordinates, in order,
// one row per axis: sparse and dense masks, rows with no hit and rows of
// hits, an empty axis, all set and none set.
TEST(ValueShaped, NonZeroListsTheCoordinatesOfEverySetElement) {
    const std::vector<Shape> shapes = {{37}, {3, 5}, {2, 3, 4, 37}, {4, 1, 9}, {2, 0, 3}};
    for (const Shape& shape : shapes) {
        const int64_t n = vexart::elementCount(shape);
        const std::vector<float> r = pseudoRandom(static_cast<size_t>(n), 7, 1.0f);
        for (const float threshold : {0.8f, 0.0f, -2.0f, 2.0f}) {  // sparse, half, all, none
            OnnxBuilder b("nonzero");
            b.input("x", shape);
            b.node("NonZero", {"x"}, {"nz"});
            b.output("nz");
            Graph g(b.proto());
            std::vector<float> x(static_cast<size_t>(n));
            for (size_t i = 0; i < x.size(); ++i) x[i] = r[i] > threshold ? r[i] : 0.0f;
            // Rows of three elements cleared whole, so that some rows have no hit.
            for (size_t i = 0; i + 3 <= x.size(); i += 11) std::fill(x.begin() + i, x.begin() + i + 3, 0.0f);
            g.prepare({{"x", shape}}, {"nz"});
            std::copy(x.begin(), x.end(), g.input("x").data<float>());
            g.prepare({{"x", shape}}, {"nz"}, true);
            std::vector<std::vector<int64_t>> want(shape.size());
            for (int64_t i = 0; i < n; ++i) {
                if (x[static_cast<size_t>(i)] == 0) continue;
                for (size_t d = shape.size(), rest = static_cast<size_t>(i); d-- > 0;) {
                    want[d].push_back(static_cast<int64_t>(rest % static_cast<size_t>(shape[d])));
                    rest /= static_cast<size_t>(shape[d]);
                }
            }
            const Tensor& nz = g.value("nz");
            const int64_t hits = static_cast<int64_t>(want[0].size());
            ASSERT_EQ(nz.shape(), (Shape{static_cast<int64_t>(shape.size()), hits})) << shape.size() << "-d, " << threshold;
            for (size_t d = 0; d < shape.size(); ++d) {
                const int64_t* row = nz.data<int64_t>() + static_cast<int64_t>(d) * hits;
                EXPECT_EQ(std::vector<int64_t>(row, row + hits), want[d]) << shape.size() << "-d, axis " << d << ", " << threshold;
            }
        }
    }
}

// The build plans a graph on zeros only where that plan would hold for
// every input; the others it leaves to be planned on each execution's
// inputs, computing nothing at build. Its foresight must be what planning
// on zeros finds.
TEST(ValueShaped, TheBuildForeseesWhichPlansFollowValues) {
    struct Case {
        const char* name;
        std::function<void(OnnxBuilder&)> nodes;  // from input x [2, 3] (and n, int64 [2]) to output y
        bool follows;
    };
    const Case cases[] = {
        {"element-wise", [](OnnxBuilder& b) { b.node("Relu", {"x"}, {"y"}); }, false},
        {"target from the input's shape",
         [](OnnxBuilder& b) {
             b.node("Shape", {"x"}, {"s"});
             b.node("Reshape", {"x", "s"}, {"y"});
         },
         false},
        {"target from constants",
         [](OnnxBuilder& b) {
             b.initializerInts("a", {1, 1});
             b.initializerInts("c", {2, 1});
             b.node("Add", {"a", "c"}, {"s"});
             b.node("Reshape", {"x", "s"}, {"y"});
         },
         false},
        {"NonZero of the input's shape",
         [](OnnxBuilder& b) {
             b.node("Shape", {"x"}, {"s"});
             b.node("NonZero", {"s"}, {"nz"});
             OnnxBuilder::attr(b.node("Cast", {"nz"}, {"y"}), "to", int64_t{onnx::TensorProto::FLOAT});
         },
         false},
        {"target from an input's values", [](OnnxBuilder& b) { b.node("Reshape", {"x", "n"}, {"y"}); }, true},
        {"NonZero of the input",
         [](OnnxBuilder& b) {
             b.node("NonZero", {"x"}, {"nz"});
             OnnxBuilder::attr(b.node("Cast", {"nz"}, {"y"}), "to", int64_t{onnx::TensorProto::FLOAT});
         },
         true},
        {"target from the input's shape, itself asked for",
         [](OnnxBuilder& b) {
             b.node("Shape", {"x"}, {"s"});
             b.node("Reshape", {"x", "s"}, {"y"});
             b.output("s");
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OnnxBuilder b("g");
        b.input("x", {2, 3});
        b.input("n", {2}, onnx::TensorProto::INT64);
        c.nodes(b);
        b.output("y");
        std::vector<std::string> outputs;
        for (const auto& o : b.proto().graph().output()) outputs.push_back(o.name());
        Graph ahead(b.proto()), planned(b.proto());
        const bool plannedAtBuild = ahead.prepareUnlessValuesShape({}, outputs);
        planned.prepare({}, outputs);
        EXPECT_EQ(planned.shapesFollowValues(), c.follows);
        EXPECT_EQ(plannedAtBuild, !c.follows);
        // Left unplanned, nothing ran: y has no storage yet.
        EXPECT_EQ(ahead.value("y").raw() == nullptr, c.follows);
    }
}

// A detector's score filter: the scores over a threshold, found by
// NonZero and gathered by GatherND, long enough for the gather to be split
// between threads; against the filter written out here.
// Shape arithmetic on an input's values: planning computes the nodes a
// shape follows (those it otherwise shapes by rule or runs dry included),
// so the target is [2, 3] and not zeros.
TEST(ValueShaped, ATargetComputedFromAnInputIsPlannedOnItsValues) {
    OnnxBuilder b("g");
    b.input("x", {6});
    b.input("n", {2}, onnx::TensorProto::INT64);
    b.initializerInts("zero", {0});
    b.initializerInts("base", {2, 3});
    b.node("Mul", {"n", "zero"}, {"none"});
    b.node("Add", {"none", "base"}, {"sum"});
    b.node("Transpose", {"sum"}, {"target"});  // a kernel that would otherwise run dry
    b.node("Reshape", {"x", "target"}, {"y"});
    b.output("y");
    Graph g(b.proto());
    ASSERT_NO_THROW(g.prepare({}, {"y"}));
    g.input("n").data<int64_t>()[0] = 5;
    std::iota(g.input("x").data<float>(), g.input("x").data<float>() + 6, 1.0f);
    g.prepare({}, {"y"}, true);
    EXPECT_EQ(g.value("y").shape(), (Shape{2, 3}));
    EXPECT_EQ(valuesOf(g.value("y")), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST(ValueShaped, ScoreFilterGathersWhatItFinds) {
    const int64_t n = 100003;
    OnnxBuilder b("filter");
    b.input("x", {n});
    b.initializer("t", {}, {0.25f});
    b.node("Greater", {"x", "t"}, {"over"});
    b.node("NonZero", {"over"}, {"nz"});
    b.node("Transpose", {"nz"}, {"at"});
    b.node("GatherND", {"x", "at"}, {"kept"});
    b.output("kept");
    Graph g(b.proto());
    const vexart::ThreadScope threads(2);
    g.prepare({{"x", {n}}}, {"kept"});
    const auto x = pseudoRandom(static_cast<size_t>(n), 111, 1.0f);
    std::copy(x.begin(), x.end(), g.input("x").data<float>());
    g.prepare({{"x", {n}}}, {"kept"}, true);
    std::vector<float> want;
    for (float v : x) {
        if (v > 0.25f) want.push_back(v);
    }
    ASSERT_GT(want.size(), 10000u);
    EXPECT_EQ(valuesOf(g.value("kept")), want);
}

// GatherND of rows and of single elements, by int32 and int64 tuples with
// negative entries and leading batch axes, for data of 1, 4 and 8 bytes;
// an index out of range ends with its message.
TEST(ValueShaped, GatherNDTakesTheSlicesItsTuplesName) {
    struct Row {
        int32_t dataType, indexType;
        Shape data, indices;
        int64_t batch;
        std::vector<int> idx;
        std::vector<double> want;  // of data[i] = i
    };
    using T = onnx::TensorProto;
    const Row rows[] = {
        {T::FLOAT, T::INT64, {3, 4}, {2, 1}, 0, {2, -3}, {8, 9, 10, 11, 0, 1, 2, 3}},
        {T::INT64, T::INT32, {3, 4}, {3, 2}, 0, {0, 3, -1, -1, 1, 0}, {3, 11, 4}},
        {T::UINT8, T::INT32, {2, 3, 2}, {2, 1, 2}, 1, {2, 1, -3, 0}, {5, 6}},
        {T::FLOAT, T::INT64, {2, 3}, {1, 2}, 0, {1, 3}, {}},  // 3 is past the last column
    };
    for (const Row& r : rows) {
        OnnxBuilder b("gnd");
        b.input("d", r.data, r.dataType);
        b.initializer(OnnxBuilder::intTensor("i", r.indexType, r.indices, r.idx));
        OnnxBuilder::attr(b.node("GatherND", {"d", "i"}, {"y"}), "batch_dims", r.batch);
        b.output("y", {}, r.dataType);
        Graph g(b.proto());
        auto run = [&] {
            g.prepare({}, {"y"});
            Tensor& d = g.input("d");
            for (int64_t i = 0; i < d.size(); ++i) {
                if (r.dataType == T::FLOAT) d.data<float>()[i] = static_cast<float>(i);
                if (r.dataType == T::INT64) d.data<int64_t>()[i] = i;
                if (r.dataType == T::UINT8) d.data<uint8_t>()[i] = static_cast<uint8_t>(i);
            }
            g.run();
        };
        if (r.want.empty()) {
            try {
                run();
                ADD_FAILURE() << "an index out of range went through";
            } catch (const std::exception& e) {
                EXPECT_NE(std::string(e.what()).find("index 3 is out of range"), std::string::npos) << e.what();
            }
            continue;
        }
        run();
        const Tensor& y = g.value("y");
        std::vector<double> got;
        for (int64_t i = 0; i < y.size(); ++i) got.push_back(y.scalarAsDouble(i));
        EXPECT_EQ(got, r.want) << "data type " << r.dataType;
    }
}

// Shape inputs that are constants, or follow only the input's shape, leave
// the plan valid for any values.
TEST(ValueShaped, ConstantShapeInputsKeepThePlan) {
    OnnxBuilder b("g");
    b.input("x", {2, 6});
    b.initializerInts("to", {3, 4});
    b.node("Reshape", {"x", "to"}, {"r"});
    b.node("Shape", {"r"}, {"s"});
    b.node("ConstantOfShape", {"s"}, {"zeros"});
    b.node("Add", {"r", "zeros"}, {"y"});
    b.output("y");
    Graph g(b.proto());
    g.prepare({{"x", {2, 6}}}, {"y"});
    EXPECT_FALSE(g.shapesFollowValues());

    OnnxBuilder d("g");
    d.input("x", {2, 6});
    d.input("to", {2}, onnx::TensorProto::INT64);
    d.node("Reshape", {"x", "to"}, {"y"});
    d.output("y");
    Graph h(d.proto());
    // Planned on zeros (which copy the input's dimensions), it holds for zeros only.
    h.prepare({{"x", {2, 6}}, {"to", {2}}}, {"y"});
    EXPECT_TRUE(h.shapesFollowValues());
    for (const Shape& to : {Shape{3, 4}, Shape{12, 1}, Shape{4, 3}}) {
        std::iota(h.input("x").data<float>(), h.input("x").data<float>() + 12, 0.0f);
        std::copy(to.begin(), to.end(), h.input("to").data<int64_t>());
        h.prepare({{"x", {2, 6}}, {"to", {2}}}, {"y"}, true);
        EXPECT_TRUE(h.shapesFollowValues());
        EXPECT_EQ(h.value("y").shape(), to);
        EXPECT_EQ(h.value("y").data<float>()[11], 11.0f);
    }
}

// No detections leave empty tensors whose other lengths still matter:
// boxes [0, 4] split into four coordinates.
TEST(ValueShaped, EmptyTensorsKeepTheirOtherLengths) {
    OnnxBuilder b("g");
    b.input("x", {0, 1, 4});
    b.node("Flatten", {"x"}, {"f"});
    b.initializerInts("four", {1, 1, 1, 1});
    auto& split = b.node("Split", {"f", "four"}, {"a", "b", "c", "d"});
    OnnxBuilder::attr(split, "axis", int64_t{1});
    b.output("d");
    Graph g(b.proto());
    g.prepare({{"x", {0, 1, 4}}}, {"d"});
    g.run();
    EXPECT_EQ(g.value("d").shape(), (Shape{0, 1}));
}

// A plan's values that kernels only shape are zeroed, for what reads them
// while planning. Pages fresh from the system already read as zero and stay
// untouched (no page faults); storage written, or handed back by the pool
// dirty, is cleared.
TEST(ValueShaped, ZeroingClearsWhatWasWrittenAndLeavesFreshPagesUntouched) {
    using vexart::DType;
    const Shape big{3 << 20};  // 12 MiB: mapped pages of its own
    auto faults = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_minflt;
    };
    auto zeroAndCheck = [&](Tensor& t) {
        const long before = faults();
        t.zero();
        const long touched = faults() - before;
        const float* v = static_cast<const Tensor&>(t).data<float>();
        EXPECT_TRUE(std::all_of(v, v + t.size(), [](float x) { return x == 0.0f; }));
        return touched;
    };
    {
        Tensor fresh(DType::Float, big);
        EXPECT_LT(zeroAndCheck(fresh), 100);  // 3072 pages, none touched
    }
    struct Write {
        const char* name;
        std::function<void(Tensor&)> write;
    };
    const Write writes[] = {
        {"elements", [](Tensor& t) { t.data<float>()[12345] = 5; }},
        {"bytes", [](Tensor& t) { static_cast<uint8_t*>(t.raw())[t.bytes() - 1] = 1; }},
        {"kept storage, reshaped", [](Tensor& t) {
             t.data<float>()[7] = 5;
             t.reset(DType::Float, {1 << 20});
         }},
    };
    for (const Write& w : writes) {
        SCOPED_TRACE(w.name);
        Tensor t(DType::Float, big);
        w.write(t);
        zeroAndCheck(t);
    }
    // A block the pool hands back holds what its last tensor wrote.
    vexart::StoragePool pool;
    const vexart::StoragePool::Scope scope(pool);
    pool.beginRound();
    Tensor first(DType::Float, big);
    std::fill(first.data<float>(), first.data<float>() + first.size(), 1.0f);
    first.release();  // as a plan frees a value it is done with
    Tensor second(DType::Float, big);
    zeroAndCheck(second);
}

// Blocks of several MiB start on a 2 MiB boundary and ask the system for
// huge pages (a first touch of a large activation area then faults once
// per 2 MiB); blocks below that ask nothing.
TEST(ValueShaped, LargeBlocksAskForHugePages) {
    // The kernel's advice flags of the mapping that holds `p` ("hg": huge pages asked for).
    auto flagsOf = [](const void* p) {
        std::ifstream smaps("/proc/self/smaps");
        const auto at = reinterpret_cast<uintptr_t>(p);
        std::string line;
        bool inside = false;
        while (std::getline(smaps, line)) {
            uintptr_t lo = 0, hi = 0;
            if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) inside = lo <= at && at < hi;
            if (inside && line.rfind("VmFlags:", 0) == 0) return line + " ";
        }
        return std::string();
    };
    const auto large = vexart::allocateBuffer(size_t{12} << 20, false);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(large.get()) % (size_t{2} << 20), 0u);
    EXPECT_NE(flagsOf(large.get()).find(" hg "), std::string::npos) << flagsOf(large.get());
    const auto small = vexart::allocateBuffer(size_t{1} << 20, false);
    const std::string flags = flagsOf(small.get());
    EXPECT_FALSE(flags.empty());
    EXPECT_EQ(flags.find(" hg "), std::string::npos) << flags;
}

// A mapped block's pages exist before it is first written.
TEST(ValueShaped, MappedBlocksArriveResident) {
    const long page = sysconf(_SC_PAGESIZE);
    // Kernels before 5.14 refuse the advice; their blocks fault page by page.
    void* probe = mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    const bool populates = madvise(probe, static_cast<size_t>(page), MADV_POPULATE_WRITE) == 0;
    munmap(probe, static_cast<size_t>(page));
    if (!populates) GTEST_SKIP() << "this kernel does not make pages on advice";
    for (const size_t bytes : {size_t{300} << 10, size_t{12} << 20}) {
        const auto block = vexart::allocateBuffer(bytes, false);
        const size_t pages = (bytes + static_cast<size_t>(page) - 1) / static_cast<size_t>(page);
        std::vector<unsigned char> resident(pages);
        ASSERT_EQ(mincore(block.get(), bytes, resident.data()), 0);
        size_t in = 0;
        for (unsigned char r : resident) in += r & 1;
        EXPECT_EQ(in, pages) << bytes << " bytes";
    }
}

// Graphs planned on each execution free and allocate their values every
// time; the pool hands the same blocks back instead of fresh pages, within
// a bound that a value growing every round cannot push up without end.
TEST(ValueShaped, StoragePoolReusesBlocksWithinItsBound) {
    using vexart::StoragePool;
    StoragePool pool;
    const StoragePool::Scope scope(pool);
    pool.beginRound();
    size_t size = 0;
    auto block = StoragePool::take(1000, size);
    const uint8_t* first = block.get();
    EXPECT_GE(size, 1000u);
    StoragePool::give(std::move(block), size);
    EXPECT_EQ(pool.heldBytes(), size);
    // The same size, or a little less, gets the same block back.
    block = StoragePool::take(900, size);
    EXPECT_EQ(block.get(), first);
    EXPECT_EQ(pool.heldBytes(), 0u);
    StoragePool::give(std::move(block), size);
    // Far less gets a block of its own: the large one waits for its like.
    auto small = StoragePool::take(100, size);
    EXPECT_NE(small.get(), first);
    StoragePool::give(std::move(small), size);
    // A value that grows each round: what the pool holds stays within
    // twice the most any round took.
    size_t most = 0;
    for (size_t round = 1; round <= 50; ++round) {
        pool.beginRound();
        size_t got = 0;
        auto grown = StoragePool::take(round * 10000, got);
        most = std::max(most, got);
        StoragePool::give(std::move(grown), got);
        EXPECT_LE(pool.heldBytes(), 2 * most + 2000);
    }
}

// A value that grows a little each round (a Concat onto a Loop's carried
// value) finds an earlier round's block big enough for several rounds,
// and no block is more than a quarter larger than asked for.
TEST(ValueShaped, StoragePoolBlocksServeAValueThatGrowsSlowly) {
    using vexart::StoragePool;
    StoragePool pool;
    const StoragePool::Scope scope(pool);
    std::set<const uint8_t*> distinct;
    vexart::Buffer previous;
    size_t previousSize = 0;
    for (size_t round = 0; round < 40; ++round) {
        pool.beginRound();
        const size_t want = (size_t{1} << 20) + round * 20000;  // 1 MiB, then 2% more each round
        size_t got = 0;
        auto block = StoragePool::take(want, got);
        EXPECT_GE(got, want);
        EXPECT_LE(got, want + want / 4);
        distinct.insert(block.get());
        std::fill(block.get(), block.get() + want, uint8_t{1});  // the whole block is writable
        // Last round's value is freed once this round's exists.
        StoragePool::give(std::move(previous), previousSize);
        previous = std::move(block);
        previousSize = got;
    }
    // Two blocks alternate within each size class: 40 rounds over about
    // two classes would take 40 fresh blocks without them.
    EXPECT_LE(distinct.size(), 12u);
}

// Blocks from a few bytes to several huge pages: aligned for vector loads,
// zero where asked (and always where mapped, whose pages arrive zeroed),
// writable to the last byte (the sanitizer build checks the bounds), and
// blocks big enough for huge pages start on one.
TEST(ValueShaped, BuffersAreAlignedZeroedAndWholeAtEverySize) {
    const size_t mib = size_t{1} << 20;
    const size_t sizes[] = {1, 63, 65, 4096, 4 * mib - 1, 4 * mib, 4 * mib + 4097, 9 * mib + 1};
    for (const size_t n : sizes) {
        // Zeroed after dirty blocks of the same size went back: the heap
        // hands the same bytes out again.
        if (n < 4 * mib) {
            std::vector<vexart::Buffer> dirty;
            for (int i = 0; i < 32; ++i) {
                dirty.push_back(vexart::allocateBuffer(n, false));
                std::fill(dirty.back().get(), dirty.back().get() + n, uint8_t{0x5A});
            }
            dirty.clear();
            std::vector<vexart::Buffer> clean;
            for (int i = 0; i < 32; ++i) {
                clean.push_back(vexart::allocateBuffer(n, true));
                EXPECT_TRUE(std::all_of(clean.back().get(), clean.back().get() + n, [](uint8_t v) { return v == 0; })) << n;
            }
        }
        for (const bool zeroed : {false, true}) {
            vexart::Buffer b = vexart::allocateBuffer(n, zeroed);
            const auto at = reinterpret_cast<uintptr_t>(b.get());
            EXPECT_EQ(at % 64, 0u) << n;
            if (n >= 4 * mib) {
                EXPECT_EQ(at % (2 * mib), 0u) << n;
            }
            if (zeroed || n >= 4 * mib) {
                EXPECT_TRUE(std::all_of(b.get(), b.get() + n, [](uint8_t v) { return v == 0; })) << n;
            }
            std::fill(b.get(), b.get() + n, uint8_t{0xA5});
            EXPECT_EQ(b.get()[n - 1], 0xA5) << n;
        }
        // A container on these bytes gives each block back as it came:
        // mapped ones unmapped whole, heap ones freed (the sanitizer build
        // reports any other).
        std::vector<float, vexart::BufferAllocator<float>> v(n / sizeof(float) + 1, 1.0f);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % 64, 0u) << n;
        v.resize(v.size() * 2 + 1, 2.0f);
        EXPECT_EQ(v.back(), 2.0f);
        EXPECT_EQ(v.front(), 1.0f);
    }
}

// A container's block of 64 KiB or more given back is handed out again
// for a request of its size, as it was left, whether mapped or from the
// heap; a request of another size gives every kept block back first;
// smaller blocks are never kept; no more than a few are kept at once.
TEST(ValueShaped, ContainerBlocksAreReusedForTheirSizeOnly) {
    using Floats = std::vector<float, vexart::BufferAllocator<float>>;
    const size_t mib = size_t{1} << 20;
    for (const size_t bytes : {5 * mib, mib, size_t{128} << 10, size_t{64} << 10}) {  // mapped (aligned or not), heap, the smallest kept
        const size_t n = bytes / sizeof(float);
        { Floats before(n + 2048); }  // whatever was kept goes back at the next request
        const float* first = nullptr;
        {
            Floats a(n, 3.0f);
            first = a.data();
        }
        EXPECT_EQ(vexart::keptBlockBytes(), bytes);
        {
            Floats b;
            b.reserve(n);  // contents left as they were: no fill to compare against
            EXPECT_EQ(b.data(), first) << bytes;
            EXPECT_EQ(vexart::keptBlockBytes(), 0u);
            b.assign(n, 1.0f);
            EXPECT_EQ(b.back(), 1.0f);
        }
        {
            Floats c(n + 1024, 2.0f);  // another size: the kept block went back
            EXPECT_EQ(vexart::keptBlockBytes(), 0u);
            EXPECT_EQ(c.back(), 2.0f);
        }
        { Floats small((size_t{64} << 10) / sizeof(float) - 1); }
        EXPECT_EQ(vexart::keptBlockBytes(), bytes + 4096);
        {
            std::vector<Floats> many;
            for (int i = 0; i < 12; ++i) many.emplace_back(n + 1024);
        }
        EXPECT_EQ(vexart::keptBlockBytes(), 8 * (bytes + 4096)) << bytes;
        // Requests that round to one block share it: the other kept
        // block stays.
        {
            Floats x(n + 2048);
            { Floats d(n + 1); }
        }
        Floats e(n + 3);
        EXPECT_EQ(vexart::keptBlockBytes(), bytes + 8192) << bytes;
    }
}

// TopK against a stable sort of each line: ties keep input order (the
// lower index first), NaN ranks above every number, for k well below the
// length (the selection path) and equal to it, on lines that lie apart
// (the last axis), interleaved (the first) or both (one in the middle),
// one thread and two.
TEST(ValueShaped, TopKMatchesAStableSortWithTiesAndNaN) {
    const int64_t n = 2000, lines = 20;
    std::vector<float> x(static_cast<size_t>(n * lines));
    const std::vector<float> r = pseudoRandom(x.size(), 41, 1.0f);
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::round(r[i] * 20) / 4;  // many ties
    x[17] = x[1500] = x[n * 7 + 3] = std::nanf("");
    x[n * 5 + 1999] = 99;  // a winner in a line's last element
    // Input [before, n, after], taken along axis 1.
    for (const auto& [before, after] : {std::pair<int64_t, int64_t>{lines, 1}, {1, lines}, {4, 5}}) {
        for (int threads : {1, 2}) {
            const vexart::ThreadScope scope(threads);
            for (int64_t largest : {1, 0}) {
                for (int64_t k : {int64_t{5}, int64_t{100}, int64_t{500}, n}) {  // heap, heap, selection, sort
                    OnnxBuilder b("topk", 11);
                    b.input("x", {before, n, after});
                    b.initializerInts("k", {k});
                    onnx::NodeProto& node = b.node("TopK", {"x", "k"}, {"v", "i"});
                    OnnxBuilder::attr(node, "largest", largest);
                    OnnxBuilder::attr(node, "axis", int64_t{1});
                    b.output("v");
                    b.output("i");
                    Graph g(b.proto());
                    g.prepare({{"x", {before, n, after}}}, {"v", "i"});
                    std::copy(x.begin(), x.end(), g.input("x").data<float>());
                    g.run();
                    const Tensor& gotI = g.value("i");
                    const Tensor& gotV = g.value("v");
                    for (int64_t line = 0; line < lines; ++line) {
                        const int64_t p = line / after, q = line % after;
                        auto at = [&](int64_t j) { return (p * n + j) * after + q; };
                        auto rank = [&](int64_t j) { return std::isnan(x[at(j)]) ? 1e9f : x[at(j)]; };
                        std::vector<int64_t> want(static_cast<size_t>(n));
                        std::iota(want.begin(), want.end(), 0);
                        std::stable_sort(want.begin(), want.end(), [&](int64_t a, int64_t c) {
                            return largest ? rank(a) > rank(c) : rank(a) < rank(c);
                        });
                        std::vector<int64_t> got;
                        for (int64_t j = 0; j < k; ++j) {
                            const int64_t o = (p * k + j) * after + q;
                            got.push_back(gotI.data<int64_t>()[o]);
                            const float v = gotV.data<float>()[o], w = x[at(want[j])];
                            ASSERT_TRUE(v == w || (std::isnan(v) && std::isnan(w))) << "line " << line << ", rank " << j;
                        }
                        want.resize(static_cast<size_t>(k));
                        ASSERT_EQ(got, want) << before << "x" << n << "x" << after << ", threads " << threads
                                             << ", largest " << largest << ", k " << k << ", line " << line;
                    }
                }
            }
        }
    }
}

struct Corners {
    float y1, x1, y2, x2;
};

// Greedy suppression as defined: candidates by falling score (ties in
// input order), each kept unless a kept box overlaps it by more than the
// threshold in intersection over union.
std::vector<int64_t> suppressNaively(const std::vector<Corners>& boxes, const std::vector<float>& scores, float threshold,
                                     int64_t most) {
    std::vector<int64_t> order(boxes.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return scores[a] > scores[b]; });
    auto iou = [](Corners a, Corners b) {
        if (a.y1 > a.y2) std::swap(a.y1, a.y2);
        if (a.x1 > a.x2) std::swap(a.x1, a.x2);
        if (b.y1 > b.y2) std::swap(b.y1, b.y2);
        if (b.x1 > b.x2) std::swap(b.x1, b.x2);
        const double h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1), w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
        if (h <= 0 || w <= 0) return 0.0;
        const double inter = h * w;
        const double uni = double(a.y2 - a.y1) * (a.x2 - a.x1) + double(b.y2 - b.y1) * (b.x2 - b.x1) - inter;
        return uni <= 0 ? 0.0 : inter / uni;
    };
    std::vector<int64_t> kept;
    for (int64_t i : order) {
        if (static_cast<int64_t>(kept.size()) >= most) break;
        bool keep = true;
        for (int64_t k : kept) keep = keep && !(iou(boxes[i], boxes[k]) > threshold);
        if (keep) kept.push_back(i);
    }
    return kept;
}

// Boxes of several classes shifted apart along x, as detectors that
// suppress every class at once lay them out, with overlapping clusters
// within each class, corners in either order and a box at infinity.
TEST(ValueShaped, SuppressionSelectsWhatTheDefinitionSelects) {
    const int64_t N = 600;
    const std::vector<float> r = pseudoRandom(static_cast<size_t>(N * 5), 23, 1.0f);
    std::vector<Corners> boxes;
    std::vector<float> scores;
    for (int64_t i = 0; i < N; ++i) {
        const float* u = &r[static_cast<size_t>(i * 5)];
        const float shift = 1000.0f * static_cast<float>(i % 6);
        const float cx = shift + 50 + 20 * u[0], cy = 50 + 20 * u[1], w = 30 + 10 * u[2], h = 30 + 10 * u[3];
        Corners c{cy - h / 2, cx - w / 2, cy + h / 2, cx + w / 2};
        if (i % 7 == 0) std::swap(c.x1, c.x2);
        boxes.push_back(c);
        scores.push_back(std::round(u[4] * 8) / 8);  // ties
    }
    boxes[5] = {0, -std::numeric_limits<float>::infinity(), 10, 10};
    for (float threshold : {0.5f, 0.2f, 0.0f, -0.1f}) {
        for (int64_t most : {int64_t{4}, int64_t{1} << 40}) {
            SCOPED_TRACE("threshold " + std::to_string(threshold) + ", at most " + std::to_string(most));
            OnnxBuilder b("nms", 11);
            std::vector<float> flat;
            for (const auto& c : boxes) flat.insert(flat.end(), {c.y1, c.x1, c.y2, c.x2});
            b.initializer("boxes", {1, N, 4}, flat);
            b.input("scores", {1, 1, N});
            b.initializerInts("most", {most});
            b.initializer("iou", {1}, {threshold});
            b.node("NonMaxSuppression", {"boxes", "scores", "most", "iou"}, {"selected"});
            b.output("selected");
            Graph g(b.proto());
            g.prepare({{"scores", {1, 1, N}}}, {"selected"});
            std::copy(scores.begin(), scores.end(), g.input("scores").data<float>());
            g.prepare({{"scores", {1, 1, N}}}, {"selected"}, true);
            const Tensor& s = g.value("selected");
            std::vector<int64_t> got;
            for (int64_t i = 0; i < s.dim(0); ++i) got.push_back(s.data<int64_t>()[i * 3 + 2]);
            EXPECT_EQ(got, suppressNaively(boxes, scores, threshold, most));
        }
    }
}

}  // namespace

// Packed weights are kept once where their bytes agree: a copy whose bytes
// are the same is answered with the block alive already; a block that
// differs anywhere (also where the quick key does not look, or in its
// length) keeps its own; a block freed is no longer handed out.
TEST(SharedBytes, IdenticalBlocksAreKeptOnceAndOthersKeepTheirOwn) {
    using vexart::Buffer;
    auto block = [](size_t n, uint8_t seed) {
        auto b = std::make_shared<Buffer>(vexart::allocateBuffer(n, false));
        for (size_t i = 0; i < n; ++i) b->get()[i] = static_cast<uint8_t>(seed + i * 7);
        return b;
    };
    struct Case {
        const char* name;
        size_t size;
        std::function<void(uint8_t*)> change;  // applied to the copy; null leaves it identical
        size_t copySize;                       // the length the copy is offered with
        bool shared;
    };
    const size_t big = 300000;
    const Case cases[] = {
        {"identical", big, nullptr, big, true},
        {"identical, small", 5, nullptr, 5, true},
        {"one byte apart, between the sampled words", big, [](uint8_t* p) { p[big / 2 + 3] ^= 1; }, big, false},
        {"last byte apart", big, [](uint8_t* p) { p[big - 1] ^= 0x80; }, big, false},
        {"first byte apart", big, [](uint8_t* p) { p[0] ^= 1; }, big, false},
        {"a shorter prefix", big, nullptr, big - 64, false},
    };
    uint8_t seed = 11;
    for (const Case& c : cases) {
        auto first = block(c.size, seed);
        EXPECT_EQ(vexart::shareIdentical(first, c.size), first) << c.name;
        auto copy = block(c.size, seed++);
        if (c.change) c.change(copy->get());
        auto kept = vexart::shareIdentical(copy, c.copySize);
        EXPECT_EQ(kept == first, c.shared) << c.name;
        EXPECT_EQ(kept == copy, !c.shared) << c.name;
    }
    // Once the block held is freed, an identical one keeps its own.
    auto gone = block(4096, 200);
    vexart::shareIdentical(gone, 4096);
    gone.reset();
    auto again = block(4096, 200);
    EXPECT_EQ(vexart::shareIdentical(again, 4096), again);
    EXPECT_EQ(vexart::shareIdentical(block(4096, 200), 4096), again);
}
