// The oneDNN side of the executor: one CPU engine for the process, a
// stream per calling thread, and the descriptors our tensors map to.
#pragma once

#include <oneapi/dnnl/dnnl.hpp>
#include <unordered_map>
#include <vector>

#include "core/Buffer.h"
#include "core/Tensor.h"

namespace vexart::onednn {

dnnl::engine& cpuEngine();
// Whether the CPU has 8-bit dot products (VNNI). Without them oneDNN's
// integer kernels sum pairs of u8*s8 products in saturating 16 bits.
bool hasVnni();
// Whether oneDNN may use AVX-512 here (the processor has it and
// ONEDNN_MAX_CPU_ISA allows it): the engine's own AVX-512 loops follow the
// same limit, so a machine held to AVX2 runs AVX2 throughout.
bool hasAvx512();
dnnl::stream& threadStream();

inline dnnl::memory::dims dimsOf(const Shape& s) { return dnnl::memory::dims(s.begin(), s.end()); }

// Plain (row-major) and channels-last tags for ranks 3 to 5.
dnnl::memory::format_tag plainTag(size_t rank);
dnnl::memory::format_tag channelsLastTag(size_t rank);

// oneDNN's name for float and 8-bit element types; throws for others.
dnnl::memory::data_type dataTypeOf(DType t);

// Descriptor of a tensor of `type` with logical shape `logical` in a
// layout (see core/Layout.h).
dnnl::memory::desc layoutDesc(const Shape& logical, Layout layout, DType type);
inline dnnl::memory::desc floatDesc(const Shape& logical, Layout layout) {
    return layoutDesc(logical, layout, DType::Float);
}
// The layout a oneDNN descriptor of a rank-4 logical shape stands for, or
// Layout::foreign() when it is none of ours (padded blocks, other orders).
Layout layoutOf(const dnnl::memory::desc& d, const Shape& logical);

// Memory of `d` over bytes of our own (core/Buffer.h: large ones on huge
// pages), which `held` keeps; the memory object must not outlive it.
dnnl::memory ownedMemory(const dnnl::memory::desc& d, Buffer& held);

// Memory object over data that someone else owns.
inline dnnl::memory wrap(const dnnl::memory::desc& d, const void* data) {
    return dnnl::memory(d, cpuEngine(), const_cast<void*>(data));
}

// Copies `src` (a float or 8-bit tensor of rank 4, or of rank 3 or 5
// unblocked) into `dst` in `layout`.
void convertLayout(const Tensor& src, Tensor& dst, Layout layout);

// A primitive bound to its arguments once. The C++ execute() builds an
// argument map and vector on every call; this keeps them, so an execution
// allocates nothing (memory objects are re-pointed with set_data_handle).
class Call {
public:
    Call() = default;
    Call(dnnl::primitive p, std::unordered_map<int, dnnl::memory> args);
    void run(dnnl::stream& s) const;
    explicit operator bool() const { return static_cast<bool>(primitive_); }
    // oneDNN's name for the implementation it chose ("brgconv:avx512_core"); empty when unbound.
    std::string implementation() const;

private:
    dnnl::primitive primitive_;
    std::unordered_map<int, dnnl::memory> memories_;
    std::vector<dnnl_exec_arg_t> args_;
};

// A primitive with one source and one destination (softmax, resampling).
class UnaryCall {
public:
    void bind(dnnl::primitive p, const dnnl::memory::desc& src, const dnnl::memory::desc& dst);
    void run(const Tensor& x, Tensor& y);
    std::string implementation() const { return call_.implementation(); }

private:
    dnnl::memory src_, dst_;
    Call call_;
};

// A reorder between two layouts of a rank-4 float or 8-bit tensor, made once and
// pointed at each execution's tensors.
class LayoutConversion {
public:
    void run(const Tensor& src, Tensor& dst, Layout layout);

private:
    Shape from_, to_;  // physical shapes of the source it was made for and of its result
    Layout fromLayout_, toLayout_;
    DType type_ = DType::Float;
    dnnl::memory src_, dst_;
    Call call_;
};

// oneDNN reports failures as dnnl::error; the executor speaks ExecError.
[[noreturn]] void rethrow(const dnnl::error& e, const char* what);

}  // namespace vexart::onednn
