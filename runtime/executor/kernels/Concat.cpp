// Concat in either layout: channels-last rank-4 inputs join along their
// physical axis and stay channels-last (the inception and dense blocks of
// a network, which would otherwise convert every branch); a mix is made
// plain first.
#include <onnx/onnx_pb.h>

#include "../onednn/Dnnl.h"
#include "../Kernel.h"

namespace vexart {
namespace {

class ConcatKernel : public Kernel {
public:
    explicit ConcatKernel(const onnx::NodeProto& n) : axis_(Attrs(n).i("axis", 0)) {}

    LayoutUse layoutUse(const KernelContext&) const override { return LayoutUse::Any; }

    void run(KernelContext& ctx) override {
        if (ctx.inputCount() == 0) throw ExecError("concat of nothing");
        ins_.assign(ctx.inputs_.begin(), ctx.inputs_.end());
        bool allChannelsLast = true, anyChannelsLast = false;
        for (const Tensor* t : ins_) {
            if (t == nullptr) throw ExecError("missing concat input");
            allChannelsLast = allChannelsLast && t->channelsLast();
            anyChannelsLast = anyChannelsLast || t->channelsLast();
        }
        const int64_t rank = static_cast<int64_t>(ins_[0]->rank());
        if (rank == 0) throw ExecError("concat of scalars");
        const int64_t axis = axis_ < 0 ? axis_ + rank : axis_;
        if (axis < 0 || axis >= rank) throw ExecError("concat axis out of range");
        Tensor& out = ctx.out(0, ins_[0]->type(), {});
        if (allChannelsLast && ctx.channelsLastOut) {
            static const size_t physical[4] = {0, 3, 1, 2};
            concatInto(ins_, physical[axis], out);
            out.setChannelsLast(true);
            return;
        }
        if (anyChannelsLast) {
            plain_.resize(ins_.size());
            for (size_t i = 0; i < ins_.size(); ++i) {
                if (!ins_[i]->channelsLast()) continue;
                onednn::convertLayout(*ins_[i], plain_[i], false);
                ins_[i] = &plain_[i];
            }
        }
        concatInto(ins_, static_cast<size_t>(axis), out);
        out.setChannelsLast(false);
    }

private:
    int64_t axis_;
    std::vector<const Tensor*> ins_;
    std::vector<Tensor> plain_;
};

}  // namespace

void registerConcatKernels() {
    registerKernel("Concat", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<ConcatKernel>(n); });
}

}  // namespace vexart
