#include "onednn/PostOps.h"

namespace vexart::onednn {
namespace {

dnnl::algorithm eltwiseOf(Fusion::Act act) {
    switch (act) {
        case Fusion::Act::Relu:
        case Fusion::Act::LeakyRelu: return dnnl::algorithm::eltwise_relu;
        case Fusion::Act::Clip: return dnnl::algorithm::eltwise_clip_v2;
        case Fusion::Act::Sigmoid: return dnnl::algorithm::eltwise_logistic;
        case Fusion::Act::Tanh: return dnnl::algorithm::eltwise_tanh;
        case Fusion::Act::HardSwish: return dnnl::algorithm::eltwise_hardswish;
        case Fusion::Act::Swish: return dnnl::algorithm::eltwise_swish;
        case Fusion::Act::Elu: return dnnl::algorithm::eltwise_elu;
        case Fusion::Act::Gelu: return dnnl::algorithm::eltwise_gelu_erf;
        case Fusion::Act::HardSigmoid: break;
    }
    return dnnl::algorithm::eltwise_linear;
}

}  // namespace

// The oneDNN form of a fused chain; binary adds take their operand per run.
dnnl::post_ops postOpsOf(const Fusion& f, const dnnl::memory::desc& dst, const dnnl::memory::desc& perChannel) {
    dnnl::post_ops ops;
    for (const auto& p : f.post) {
        if (p.isAdd) {
            ops.append_binary(dnnl::algorithm::binary_add, p.perChannel ? perChannel : dst);
        } else if (p.act == Fusion::Act::HardSigmoid) {
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_linear, p.alpha, p.beta);
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_clip_v2, 0.0f, 1.0f);
        } else {
            ops.append_eltwise(1.0f, eltwiseOf(p.act), p.alpha, p.beta);
        }
    }
    return ops;
}

std::vector<Call> afterOpsOf(const Fusion& f, const dnnl::memory& dst, const dnnl::memory::desc& perChannel,
                             std::vector<dnnl::memory>& addends) {
    std::vector<Call> out;
    const dnnl::engine eng = dst.get_engine();
    const dnnl::memory::desc d = dst.get_desc();
    auto eltwise = [&](dnnl::algorithm alg, float alpha, float beta) {
        dnnl::eltwise_forward::desc ed(dnnl::prop_kind::forward_inference, alg, d, alpha, beta);
        out.emplace_back(dnnl::eltwise_forward(dnnl::eltwise_forward::primitive_desc(ed, eng)),
                         std::unordered_map<int, dnnl::memory>{{DNNL_ARG_SRC, dst}, {DNNL_ARG_DST, dst}});
    };
    for (const auto& p : f.post) {
        if (p.isAdd) {
            const dnnl::memory::desc src1 = p.perChannel ? perChannel : d;
            dnnl::binary::desc bd(dnnl::algorithm::binary_add, d, src1, d);
            addends.emplace_back(src1, eng, nullptr);
            out.emplace_back(dnnl::binary(dnnl::binary::primitive_desc(bd, eng)),
                             std::unordered_map<int, dnnl::memory>{
                                 {DNNL_ARG_SRC_0, dst}, {DNNL_ARG_SRC_1, addends.back()}, {DNNL_ARG_DST, dst}});
        } else if (p.act == Fusion::Act::HardSigmoid) {
            eltwise(dnnl::algorithm::eltwise_linear, p.alpha, p.beta);
            eltwise(dnnl::algorithm::eltwise_clip_v2, 0.0f, 1.0f);
        } else {
            eltwise(eltwiseOf(p.act), p.alpha, p.beta);
        }
    }
    return out;
}

}  // namespace vexart::onednn
