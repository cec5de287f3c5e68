// The oneDNN side of the executor: one CPU engine for the process, a
// stream per calling thread, and the descriptors our tensors map to.
#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include "core/Tensor.h"

namespace vexart::onednn {

dnnl::engine& cpuEngine();
dnnl::stream& threadStream();

inline dnnl::memory::dims dimsOf(const Shape& s) { return dnnl::memory::dims(s.begin(), s.end()); }

// Plain (row-major) and channels-last tags for ranks 3 to 5.
dnnl::memory::format_tag plainTag(size_t rank);
dnnl::memory::format_tag channelsLastTag(size_t rank);

// Float descriptor of a tensor with logical shape `logical` in a layout
// (Tensor::kPlain, kChannelsLast or a channel block).
dnnl::memory::desc floatDesc(const Shape& logical, int layout);
// The layout a oneDNN descriptor of a rank-4 logical shape stands for, or
// kNoLayout when it is none of ours (padded blocks, other orders).
constexpr int kNoLayout = -100;
int layoutOf(const dnnl::memory::desc& d, const Shape& logical);

// Memory object over data that someone else owns.
inline dnnl::memory wrap(const dnnl::memory::desc& d, const void* data) {
    return dnnl::memory(d, cpuEngine(), const_cast<void*>(data));
}

// Copies `src` (a rank-4 float tensor) into `dst` in `layout`.
void convertLayout(const Tensor& src, Tensor& dst, int layout);

// oneDNN reports failures as dnnl::error; the executor speaks ExecError.
[[noreturn]] void rethrow(const dnnl::error& e, const char* what);

}  // namespace vexart::onednn
