#include "kernels/Activation.h"

namespace vexart {
namespace {

namespace dn = onednn;

// Below this many elements the primitive's call costs more than the loop.
constexpr int64_t kPrimitiveElements = 256;

class EltwiseKernel : public Kernel {
public:
    EltwiseKernel(std::vector<dn::Eltwise> steps, std::unique_ptr<Kernel> fallback)
        : steps_(std::move(steps)), fallback_(std::move(fallback)) {}

    std::string implementation() const override { return calls_.empty() ? std::string() : calls_[0].implementation(); }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (x.type() != DType::Float || x.size() < kPrimitiveElements) return fallback_->run(ctx);
        Tensor& y = ctx.out(0, DType::Float, x.shape());
        try {
            // Element-wise: any layout is one flat run of elements.
            if (x.size() != built_) build(x.size());
            src_.set_data_handle(const_cast<void*>(x.raw()));
            dst_.set_data_handle(y.raw());
            auto& s = dn::threadStream();
            for (const auto& c : calls_) c.run(s);
            s.wait();
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "element-wise function");
        }
    }

private:
    void build(int64_t n) {
        auto& eng = dn::cpuEngine();
        const dnnl::memory::desc d({n}, dnnl::memory::data_type::f32, dnnl::memory::format_tag::a);
        src_ = dnnl::memory(d, eng, nullptr);
        dst_ = dnnl::memory(d, eng, nullptr);
        calls_.clear();
        for (size_t k = 0; k < steps_.size(); ++k) {
            const dn::Eltwise& e = steps_[k];
            const dnnl::eltwise_forward::desc ed(dnnl::prop_kind::forward_inference, e.algorithm, d, e.alpha, e.beta);
            calls_.emplace_back(dnnl::eltwise_forward(dnnl::eltwise_forward::primitive_desc(ed, eng)),
                                std::unordered_map<int, dnnl::memory>{{DNNL_ARG_SRC, k == 0 ? src_ : dst_},
                                                                     {DNNL_ARG_DST, dst_}});
        }
        built_ = n;
    }

    std::vector<dn::Eltwise> steps_;
    std::unique_ptr<Kernel> fallback_;
    int64_t built_ = -1;
    dnnl::memory src_, dst_;
    std::vector<dn::Call> calls_;
};

}  // namespace

std::unique_ptr<Kernel> eltwiseKernel(std::vector<onednn::Eltwise> steps, std::unique_ptr<Kernel> fallback) {
    return std::make_unique<EltwiseKernel>(std::move(steps), std::move(fallback));
}

}  // namespace vexart
