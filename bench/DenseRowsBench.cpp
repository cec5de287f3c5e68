// Products of one to four rows by constant weights (dense heads, wide
// classifier layers, decoder steps): oneDNN's matmul on the weights in its
// own layout beside the panel kernel that recurrent layers and dense
// layers of one or two rows run on (kernels/PanelProduct.h), one thread.
// Weights larger than the last-level cache are streamed from memory on
// every product, where the two differ.
//   bench-dense-rows [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <omp.h>

#include <vector>

#include "executor/kernels/PanelProduct.h"
#include "executor/onednn/Dnnl.h"

namespace {

using dnnl::memory;

// Arguments: rows, depth (inputs), columns (outputs).
void shapes(benchmark::internal::Benchmark* b) {
    for (const int64_t rows : {1, 2, 4}) {
        for (const auto& [depth, cols] : {std::pair<int64_t, int64_t>{128, 512}, {512, 512}, {1280, 1000}, {768, 3072}, {4096, 4096}, {9216, 4096}}) {
            b->Args({rows, depth, cols});
        }
    }
    b->Unit(benchmark::kMicrosecond);
}

void setBytes(benchmark::State& state, int64_t depth, int64_t cols) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * depth * cols * 4);
}

void onednnMatmul(benchmark::State& state) {
    const int64_t rows = state.range(0), depth = state.range(1), cols = state.range(2);
    omp_set_num_threads(1);
    auto& eng = vexart::onednn::cpuEngine();
    auto& s = vexart::onednn::threadStream();
    const auto f32 = memory::data_type::f32;
    std::vector<float> a(static_cast<size_t>(rows * depth), 0.5f), w(static_cast<size_t>(cols * depth), 0.25f),
        c(static_cast<size_t>(rows * cols));
    const memory::desc ad({rows, depth}, f32, memory::format_tag::ab), cd({rows, cols}, f32, memory::format_tag::ab);
    const dnnl::matmul::primitive_desc pd(
        dnnl::matmul::desc(ad, memory::desc({depth, cols}, f32, memory::format_tag::any), cd), eng);
    memory user({{depth, cols}, f32, memory::format_tag::ba}, eng, w.data());
    vexart::Buffer held;
    memory packed = vexart::onednn::ownedMemory(pd.weights_desc(), held);
    dnnl::reorder(user, packed).execute(s, user, packed);
    memory am(ad, eng, a.data()), cm(cd, eng, c.data());
    const dnnl::matmul product(pd);
    for (auto _ : state) {
        product.execute(s, {{DNNL_ARG_SRC, am}, {DNNL_ARG_WEIGHTS, packed}, {DNNL_ARG_DST, cm}});
        s.wait();
        benchmark::DoNotOptimize(c.data());
    }
    setBytes(state, depth, cols);
}

void panels(benchmark::State& state) {
    const int64_t rows = state.range(0), depth = state.range(1), cols = state.range(2);
    std::vector<float> a(static_cast<size_t>(rows * depth), 0.5f), w(static_cast<size_t>(cols * depth), 0.25f),
        c(static_cast<size_t>(rows * cols));
    std::vector<float> packed(static_cast<size_t>(vexart::packedSize(cols, depth)));
    vexart::packWeights(w.data(), cols, depth, packed.data());
    for (auto _ : state) {
        vexart::rowsTimesPacked(a.data(), rows, depth, depth, packed.data(), 0, cols, c.data(), cols);
        benchmark::DoNotOptimize(c.data());
    }
    setBytes(state, depth, cols);
}

BENCHMARK(onednnMatmul)->Apply(shapes);
BENCHMARK(panels)->Apply(shapes);

}  // namespace

BENCHMARK_MAIN();
