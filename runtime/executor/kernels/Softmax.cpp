// Softmax and LogSoftmax on oneDNN: the input is seen as [outer, axis,
// inner] (before opset 13, as [outer, rest] flattened at the axis).
#include <onnx/onnx_pb.h>

#include <array>

#include "onednn/Dnnl.h"
#include "kernels/Fallbacks.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

using dnnl::memory;
namespace dn = onednn;

class SoftmaxKernel : public Kernel {
public:
    SoftmaxKernel(const onnx::NodeProto& n, int64_t opset, bool log)
        : axis_(Attrs(n).i("axis", opset >= 13 ? -1 : 1)),
          flatten_(opset < 13),
          log_(log),
          reference_(referenceSoftmax(n, opset, log)) {}

    std::string implementation() const override { return built_ ? call_.implementation() : std::string(); }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const auto r = static_cast<int64_t>(x.rank());
        const int64_t axis = axis_ < 0 ? axis_ + r : axis_;
        if (x.type() != DType::Float || r == 0 || axis < 0 || axis >= r || x.size() == 0) {
            reference_->run(ctx);
            return;
        }
        int64_t outer = 1, dim = 1, inner = 1;
        for (int64_t i = 0; i < r; ++i) {
            const int64_t d = x.dim(static_cast<size_t>(i));
            (i < axis ? outer : i == axis || flatten_ ? dim : inner) *= d;
        }
        Tensor& y = ctx.out(0, DType::Float, x.shape());
        try {
            if (!built_ || outer != builtDims_[0] || dim != builtDims_[1] || inner != builtDims_[2]) {
                const memory::dims dims = {outer, dim, inner};
                auto& eng = dn::cpuEngine();
                const memory::desc d(dims, memory::data_type::f32, memory::format_tag::abc);
                dnnl::primitive p;
                if (log_) {
                    p = dnnl::logsoftmax_forward(dnnl::logsoftmax_forward::primitive_desc(
                        dnnl::logsoftmax_forward::desc(dnnl::prop_kind::forward_inference, d, 1), eng));
                } else {
                    p = dnnl::softmax_forward(dnnl::softmax_forward::primitive_desc(
                        dnnl::softmax_forward::desc(dnnl::prop_kind::forward_inference, d, 1), eng));
                }
                call_.bind(p, d, d);
                builtDims_ = {outer, dim, inner};
                built_ = true;
            }
            if (ctx.dryRun()) {
                ctx.zeroOutputs();
                return;
            }
            call_.run(x, y);
        } catch (const dnnl::error& e) {
            dn::rethrow(e, "softmax");
        }
    }

private:
    int64_t axis_;
    bool flatten_, log_;
    std::unique_ptr<Kernel> reference_;
    bool built_ = false;
    std::array<int64_t, 3> builtDims_ = {0, 0, 0};
    dn::UnaryCall call_;
};

}  // namespace

void registerSoftmaxKernels() {
    registerKernel("Softmax", [](const onnx::NodeProto& n, int64_t opset) {
        return std::make_unique<SoftmaxKernel>(n, opset, false);
    }, OpTraits::computed());
    registerKernel("LogSoftmax", [](const onnx::NodeProto& n, int64_t opset) {
        return std::make_unique<SoftmaxKernel>(n, opset, true);
    });
}

}  // namespace vexart
