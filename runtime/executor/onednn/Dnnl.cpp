#include "Dnnl.h"

#include <string>

namespace vexart::onednn {

using tag = dnnl::memory::format_tag;

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

dnnl::memory::desc floatDesc(const Shape& logical, bool channelsLast) {
    return {dimsOf(logical), dnnl::memory::data_type::f32,
            channelsLast ? channelsLastTag(logical.size()) : plainTag(logical.size())};
}

void convertLayout(const Tensor& src, Tensor& dst, bool toChannelsLast) {
    const Shape logical = src.logicalShape();
    if (src.type() != DType::Float || logical.size() != 4) throw ExecError("layout conversion needs a rank-4 float tensor");
    const Shape physical = toChannelsLast ? Shape{logical[0], logical[2], logical[3], logical[1]} : logical;
    dst.reset(DType::Float, physical);
    dst.setChannelsLast(toChannelsLast);
    if (dst.size() == 0) return;
    try {
        auto from = wrap(floatDesc(logical, !toChannelsLast), src.raw());
        auto to = wrap(floatDesc(logical, toChannelsLast), dst.raw());
        dnnl::reorder(from, to).execute(threadStream(), from, to);
        threadStream().wait();
    } catch (const dnnl::error& e) {
        rethrow(e, "layout conversion");
    }
}

void rethrow(const dnnl::error& e, const char* what) {
    throw ExecError(std::string(what) + ": oneDNN refused (" + e.what() + ")");
}

}  // namespace vexart::onednn
