// Concat in any layout: rank-4 inputs in one channels-last or blocked
// layout join along their physical axis and stay in it (the inception and
// dense blocks of a network, which would otherwise convert every branch);
// a mix is made plain first.
#include <onnx/onnx_pb.h>

#include "onednn/Dnnl.h"
#include "core/Kernel.h"
#include "kernels/Fallbacks.h"

namespace vexart {
namespace {

class ConcatKernel : public Kernel {
public:
    explicit ConcatKernel(const onnx::NodeProto& n) : axis_(Attrs(n).i("axis", 0)) {}

    LayoutUse layoutUse(const KernelContext&) const override { return LayoutUse::Any; }

    void run(KernelContext& ctx) override {
        if (ctx.inputCount() == 0) throw ExecError("concat of nothing");
        ins_.assign(ctx.inputs().begin(), ctx.inputs().end());
        for (const Tensor* t : ins_) {
            if (t == nullptr) throw ExecError("missing concat input");
        }
        const Layout layout = ins_[0]->layout();
        bool sameLayout = true, anyOther = false;
        for (const Tensor* t : ins_) {
            sameLayout = sameLayout && t->layout() == layout;
            anyOther = anyOther || !t->isPlain();
        }
        const int64_t rank = static_cast<int64_t>(ins_[0]->logicalShape().size());
        if (rank == 0) throw ExecError("concat of scalars");
        const int64_t axis = axis_ < 0 ? axis_ + rank : axis_;
        if (axis < 0 || axis >= rank) throw ExecError("concat axis out of range");
        Tensor& out = ctx.out(0, ins_[0]->type(), {});
        if (rank == 4 && layout != Layout::plain() && sameLayout && ctx.mayLeavePlain()) {
            // The logical axis in the physical shape: channels are the last
            // axis channels-last; blocked, channels join as whole blocks.
            static const size_t channelsLast[4] = {0, 3, 1, 2};
            concatInto(ins_, layout == Layout::channelsLast() ? channelsLast[axis] : static_cast<size_t>(axis), out,
                       !ctx.dryRun());
            out.setLayout(layout);
            if (ctx.dryRun()) ctx.zeroOutputs();
            return;
        }
        if (anyOther) {
            plain_.resize(ins_.size());
            toPlain_.resize(ins_.size());
            for (size_t i = 0; i < ins_.size(); ++i) {
                if (ins_[i]->isPlain()) continue;
                // A dry run needs the plain shapes only: converting a
                // video network's branches cost its plan a tenth of a second.
                // (Views of their own: a conversion would write into a view.)
                if (ctx.dryRun()) {
                    shapes_.resize(ins_.size());
                    shapes_[i].view(ins_[i]->type(), ins_[i]->logicalShape(), const_cast<void*>(ins_[i]->raw()));
                    ins_[i] = &shapes_[i];
                } else {
                    toPlain_[i].run(*ins_[i], plain_[i], Layout::plain());
                    ins_[i] = &plain_[i];
                }
            }
        }
        concatInto(ins_, static_cast<size_t>(axis), out, !ctx.dryRun());
        out.setLayout(Layout::plain());
        if (ctx.dryRun()) ctx.zeroOutputs();
    }

private:
    int64_t axis_;
    std::vector<const Tensor*> ins_;
    std::vector<Tensor> plain_;
    std::vector<Tensor> shapes_;  // a dry run's plain shapes of laid-out inputs
    std::vector<onednn::LayoutConversion> toPlain_;
};

}  // namespace

void registerConcatKernels() {
    registerKernel("Concat", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<ConcatKernel>(n); });
}

}  // namespace vexart
