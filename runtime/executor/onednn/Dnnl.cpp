#include "onednn/Dnnl.h"

#include <string>

namespace vexart::onednn {

using tag = dnnl::memory::format_tag;

bool hasVnni() {
    const auto isa = static_cast<unsigned>(dnnl_get_effective_cpu_isa());
    auto has = [&](unsigned mask) { return (isa & mask) == mask; };
    return has(dnnl_cpu_isa_avx512_core_vnni) || has(dnnl_cpu_isa_avx2_vnni);
}

bool hasAvx512() {
    const auto isa = static_cast<unsigned>(dnnl_get_effective_cpu_isa());
    return (isa & dnnl_cpu_isa_avx512_core) == dnnl_cpu_isa_avx512_core;
}

dnnl::memory ownedMemory(const dnnl::memory::desc& d, Buffer& held) {
    held = allocateBuffer(d.get_size(), false);
    return dnnl::memory(d, cpuEngine(), held.get());
}

dnnl::engine& cpuEngine() {
    static dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

dnnl::stream& threadStream() {
    thread_local dnnl::stream stream(cpuEngine());
    return stream;
}

tag plainTag(size_t rank) {
    switch (rank) {
        case 1: return tag::a;
        case 2: return tag::ab;
        case 3: return tag::abc;
        case 4: return tag::abcd;
        case 5: return tag::abcde;
        case 6: return tag::abcdef;
        default: throw ExecError("no oneDNN layout for rank " + std::to_string(rank));
    }
}

tag channelsLastTag(size_t rank) {
    switch (rank) {
        case 3: return tag::acb;
        case 4: return tag::acdb;
        case 5: return tag::acdeb;
        default: return plainTag(rank);
    }
}

dnnl::memory::data_type dataTypeOf(DType t) {
    switch (t) {
        case DType::Float: return dnnl::memory::data_type::f32;
        case DType::UInt8: return dnnl::memory::data_type::u8;
        case DType::Int8: return dnnl::memory::data_type::s8;
        default: throw ExecError(std::string("no oneDNN element type for ") + dtypeName(t));
    }
}

dnnl::memory::desc layoutDesc(const Shape& logical, Layout layout, DType type) {
    const auto dt = dataTypeOf(type);
    if (layout.isBlocked() && logical.size() == 4) {
        if (layout.block() == 8) return {dimsOf(logical), dt, tag::nChw8c};
        if (layout.block() == 16) return {dimsOf(logical), dt, tag::nChw16c};
        throw ExecError("no oneDNN layout for channel blocks of " + std::to_string(layout.block()));
    }
    return {dimsOf(logical), dt, layout == Layout::plain() ? plainTag(logical.size()) : channelsLastTag(logical.size())};
}

Layout layoutOf(const dnnl::memory::desc& d, const Shape& logical) {
    DType type = DType::Float;
    if (d.data_type() == dnnl::memory::data_type::u8) type = DType::UInt8;
    if (d.data_type() == dnnl::memory::data_type::s8) type = DType::Int8;
    if (logical.size() == 5) {
        for (Layout layout : {Layout::plain(), Layout::channelsLast()}) {
            if (d == layoutDesc(logical, layout, type)) return layout;
        }
        return Layout::foreign();
    }
    if (logical.size() != 4) return d == layoutDesc(logical, Layout::plain(), type) ? Layout::plain() : Layout::foreign();
    for (Layout layout : {Layout::plain(), Layout::channelsLast(), Layout::blocked(8), Layout::blocked(16)}) {
        if (layout.isBlocked() && logical[1] % layout.block() != 0) continue;
        if (d == layoutDesc(logical, layout, type)) return layout;
    }
    return Layout::foreign();
}

void convertLayout(const Tensor& src, Tensor& dst, Layout layout) {
    LayoutConversion once;
    once.run(src, dst, layout);
}

Call::Call(dnnl::primitive p, std::unordered_map<int, dnnl::memory> args)
    : primitive_(std::move(p)), memories_(std::move(args)) {
    for (const auto& [key, m] : memories_) args_.push_back({key, m.get()});
}

void Call::run(dnnl::stream& s) const {
    dnnl::error::wrap_c_api(
        dnnl_primitive_execute(primitive_.get(), s.get(), static_cast<int>(args_.size()), args_.data()),
        "could not execute a primitive");
}

std::string Call::implementation() const {
    if (!primitive_) return {};
    const_dnnl_primitive_desc_t pd = nullptr;
    const char* info = nullptr;
    if (dnnl_primitive_get_primitive_desc(primitive_.get(), &pd) != dnnl_success ||
        dnnl_primitive_desc_query(pd, dnnl_query_impl_info_str, 0, &info) != dnnl_success || info == nullptr) {
        return {};
    }
    return info;
}

void UnaryCall::bind(dnnl::primitive p, const dnnl::memory::desc& src, const dnnl::memory::desc& dst) {
    src_ = dnnl::memory(src, cpuEngine(), nullptr);
    dst_ = dnnl::memory(dst, cpuEngine(), nullptr);
    call_ = Call(std::move(p), {{DNNL_ARG_SRC, src_}, {DNNL_ARG_DST, dst_}});
}

void UnaryCall::run(const Tensor& x, Tensor& y) {
    src_.set_data_handle(const_cast<void*>(x.raw()));
    dst_.set_data_handle(y.raw());
    call_.run(threadStream());
    threadStream().wait();
}

void LayoutConversion::run(const Tensor& src, Tensor& dst, Layout layout) {
    // The reorder made for the last source serves this one: nothing is derived again.
    if (!call_ || src.shape() != from_ || src.type() != type_ || src.layout() != fromLayout_ || layout != toLayout_) {
        const Shape logical = src.logicalShape();
        const DType t = src.type();
        const bool unblocked = (logical.size() == 3 || logical.size() == 5) && !layout.isBlocked() && !src.layout().isBlocked();
        if ((t != DType::Float && t != DType::UInt8 && t != DType::Int8) || (logical.size() != 4 && !unblocked)) {
            throw ExecError("layout conversion needs a float or 8-bit tensor of rank 4, or of rank 3 or 5 unblocked");
        }
        to_ = physicalShape(logical, layout);
        type_ = t;
        if (elementCount(to_) == 0) {
            dst.reset(t, to_);
            dst.setLayout(layout);
            return;
        }
        try {
            auto& eng = cpuEngine();
            src_ = dnnl::memory(layoutDesc(logical, src.layout(), t), eng, nullptr);
            dst_ = dnnl::memory(layoutDesc(logical, layout, t), eng, nullptr);
            call_ = Call(dnnl::reorder(src_, dst_), {{DNNL_ARG_FROM, src_}, {DNNL_ARG_TO, dst_}});
        } catch (const dnnl::error& e) {
            rethrow(e, "layout conversion");
        }
        from_ = src.shape();
        fromLayout_ = src.layout();
        toLayout_ = layout;
    }
    dst.reset(type_, to_);
    dst.setLayout(layout);
    if (dst.size() == 0) return;
    try {
        src_.set_data_handle(const_cast<void*>(src.raw()));
        dst_.set_data_handle(dst.raw());
        call_.run(threadStream());
        threadStream().wait();
    } catch (const dnnl::error& e) {
        rethrow(e, "layout conversion");
    }
}

void rethrow(const dnnl::error& e, const char* what) {
    throw ExecError(std::string(what) + ": oneDNN refused (" + e.what() + ")");
}

}  // namespace vexart::onednn
