#include "onednn/PostOps.h"

#include <algorithm>

namespace vexart::onednn {

std::vector<Eltwise> eltwisesOf(const Fusion::Post& p) {
    using A = dnnl::algorithm;
    switch (p.act) {
        case Fusion::Act::Relu:
        case Fusion::Act::LeakyRelu: return {{A::eltwise_relu, p.alpha, p.beta}};
        case Fusion::Act::Clip: return {{A::eltwise_clip_v2, p.lo, p.hi}};
        case Fusion::Act::Sigmoid: return {{A::eltwise_logistic, p.alpha, p.beta}};
        case Fusion::Act::Tanh: return {{A::eltwise_tanh, p.alpha, p.beta}};
        case Fusion::Act::HardSwish: return {{A::eltwise_hardswish, p.alpha, p.beta}};
        case Fusion::Act::Swish: return {{A::eltwise_swish, p.alpha, p.beta}};
        case Fusion::Act::Elu: return {{A::eltwise_elu, p.alpha, p.beta}};
        case Fusion::Act::Gelu: return {{A::eltwise_gelu_erf, p.alpha, p.beta}};
        case Fusion::Act::HardSigmoid: return {{A::eltwise_linear, p.alpha, p.beta}, {A::eltwise_clip_v2, 0.0f, 1.0f}};
        case Fusion::Act::FakeQuant:
            // Offsets from the zero point, so every step but the product is
            // exact. The product is a power of one: a second linear in the
            // chain would take the first one's parameters (see repeatsAnEltwise).
            return {{A::eltwise_pow, 1.0f / p.scale, 1.0f},
                    {A::eltwise_round, 0.0f, 0.0f},
                    {A::eltwise_clip_v2, p.lo - p.zero, p.hi - p.zero},
                    {A::eltwise_linear, p.scale, 0.0f}};
    }
    return {};
}

bool repeatsAnEltwise(const Fusion& chain, const Fusion::Post& next) {
    if (next.isAdd) return false;
    const auto added = eltwisesOf(next);
    for (const auto& p : chain.post) {
        if (p.isAdd) continue;
        for (const auto& e : eltwisesOf(p)) {
            for (const auto& a : added) {
                if (a.algorithm == e.algorithm) return true;
            }
        }
    }
    return false;
}

// The oneDNN form of a fused chain; binary adds take their operand per run.
// The last step's result is multiplied by `lastScale` (an eltwise one).
dnnl::post_ops postOpsOf(const Fusion& f, const dnnl::memory::desc& dst, const dnnl::memory::desc& perChannel,
                         float lastScale) {
    dnnl::post_ops ops;
    for (size_t k = 0; k < f.post.size(); ++k) {
        const auto& p = f.post[k];
        if (p.isAdd) {
            ops.append_binary(dnnl::algorithm::binary_add, p.perChannel ? perChannel : dst);
            continue;
        }
        const auto steps = eltwisesOf(p);
        for (size_t e = 0; e < steps.size(); ++e) {
            const bool last = k + 1 == f.post.size() && e + 1 == steps.size();
            ops.append_eltwise(last ? lastScale : 1.0f, steps[e].algorithm, steps[e].alpha, steps[e].beta);
        }
    }
    return ops;
}

std::vector<Call> afterOpsOf(const Fusion& f, const dnnl::memory& dst, const dnnl::memory::desc& perChannel,
                             std::vector<dnnl::memory>& addends) {
    std::vector<Call> out;
    const dnnl::engine eng = dst.get_engine();
    const dnnl::memory::desc d = dst.get_desc();
    for (const auto& p : f.post) {
        if (p.isAdd) {
            const dnnl::memory::desc src1 = p.perChannel ? perChannel : d;
            dnnl::binary::desc bd(dnnl::algorithm::binary_add, d, src1, d);
            addends.emplace_back(src1, eng, nullptr);
            out.emplace_back(dnnl::binary(dnnl::binary::primitive_desc(bd, eng)),
                             std::unordered_map<int, dnnl::memory>{
                                 {DNNL_ARG_SRC_0, dst}, {DNNL_ARG_SRC_1, addends.back()}, {DNNL_ARG_DST, dst}});
            continue;
        }
        for (const auto& e : eltwisesOf(p)) {
            dnnl::eltwise_forward::desc ed(dnnl::prop_kind::forward_inference, e.algorithm, d, e.alpha, e.beta);
            out.emplace_back(dnnl::eltwise_forward(dnnl::eltwise_forward::primitive_desc(ed, eng)),
                             std::unordered_map<int, dnnl::memory>{{DNNL_ARG_SRC, dst}, {DNNL_ARG_DST, dst}});
        }
    }
    return out;
}

}  // namespace vexart::onednn
