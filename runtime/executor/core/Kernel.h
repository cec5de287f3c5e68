// Operator kernels: created once per node with its attributes parsed,
// run on every execution against the node's input and output tensors.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Fusion.h"
#include "core/OpTraits.h"
#include "core/QuantGrid.h"
#include "core/Tensor.h"

namespace onnx {
class NodeProto;
class TensorProto;
}  // namespace onnx

namespace vexart {

// What a kernel sees of its node: input and output tensors, which inputs
// are constant or lie on a quantization grid, and what the build asks of
// this run. The graph sets the plan; kernels only read it.
class KernelContext {
public:
    KernelContext(std::vector<const Tensor*> inputs, std::vector<Tensor*> outputs)
        : inputs_(std::move(inputs)), outputs_(std::move(outputs)) {}

    size_t inputCount() const { return inputs_.size(); }
    size_t outputCount() const { return outputs_.size(); }
    bool has(size_t i) const { return i < inputs_.size() && inputs_[i] != nullptr; }
    const Tensor& in(size_t i) const {
        if (!has(i)) throw ExecError("missing input " + std::to_string(i));
        return *inputs_[i];
    }
    // Every input, null where omitted.
    const std::vector<const Tensor*>& inputs() const { return inputs_; }
    bool wantsOutput(size_t i) const { return i < outputs_.size() && outputs_[i] != nullptr; }
    // The i-th output, shaped and typed (its storage is reused when large enough).
    Tensor& out(size_t i, DType type, const Shape& shape) {
        Tensor& t = scratchOr(i);
        t.reset(type, shape);
        return t;
    }
    // Every output, null where no one wants it.
    const std::vector<Tensor*>& outputs() const { return outputs_; }

    // Whether input i holds the same values on every execution.
    bool isConstant(size_t i) const { return i < constant_.size() && constant_[i]; }
    // The grid input i lies on when a dequantization made it, or null.
    const QuantGrid* grid(size_t i) const { return i < grids_.size() ? grids_[i] : nullptr; }
    // A kernel that takes inputs in other layouts (Tensor::layout) may
    // write its first output in one too: no one needs it plain.
    bool mayLeavePlain() const { return mayLeavePlain_; }
    // Set while the graph is being planned: a kernel that can may make
    // everything it needs (primitives, packed weights, output shapes) and
    // leave its outputs zero instead of computing them.
    bool dryRun() const { return dryRun_; }

    // Zeroes the outputs of a dry run.
    void zeroOutputs() {
        for (Tensor* t : outputs_) {
            if (t != nullptr) t->zero();
        }
    }

    // The build's side: what the plan gives the kernel.
    void setInput(size_t i, const Tensor* t) { inputs_.at(i) = t; }
    void setOutput(size_t i, Tensor* t) { outputs_.at(i) = t; }
    void setConstant(std::vector<bool> constant) { constant_ = std::move(constant); }
    void setGrids(std::vector<const QuantGrid*> grids) { grids_ = std::move(grids); }
    void allowLeavingPlain(bool allowed) { mayLeavePlain_ = allowed; }
    void setDryRun(bool dry) { dryRun_ = dry; }

private:
    Tensor& scratchOr(size_t i) {
        if (wantsOutput(i)) return *outputs_[i];
        if (spare_.size() <= i) spare_.resize(i + 1);
        return spare_[i];
    }
    std::vector<const Tensor*> inputs_;
    std::vector<Tensor*> outputs_;
    std::vector<bool> constant_;
    std::vector<const QuantGrid*> grids_;
    bool mayLeavePlain_ = false;
    bool dryRun_ = false;
    std::vector<Tensor> spare_;
};

// What a kernel does with tensors in other layouts than the plain one
// (see Tensor::layout).
enum class LayoutUse {
    Plain,        // every input plain
    Spatial,      // input 0 in any layout; output in one when allowed
    Elementwise,  // works on physical shapes when all inputs agree
    Any,          // takes every input as it is and sets its outputs' layout itself
};

class Kernel {
public:
    virtual ~Kernel() = default;
    virtual void run(KernelContext& ctx) = 0;
    virtual LayoutUse layoutUse(const KernelContext&) const { return LayoutUse::Plain; }
    // The layout (Tensor::layout) its first output will have, given mayLeavePlain.
    virtual Layout outputLayout(KernelContext& ctx) { return ctx.mayLeavePlain() ? Layout::channelsLast() : Layout::plain(); }
    // Output shapes (logical) from the inputs' shapes alone, where the kernel knows them.
    virtual bool inferShapes(const KernelContext&, std::vector<Shape>&) const { return false; }
    // True when the kernel holds what it needs of constant input i (say,
    // weights in its own layout) and never reads the tensor again.
    virtual bool keepsCopyOf(size_t) const { return false; }
    // Kernels that can apply a Fusion say so and take it before their first run.
    virtual bool fusable() const { return false; }
    // The output axis that per-channel operands run along.
    virtual size_t channelAxis(size_t) const { return 1; }
    // Whether a following BatchNormalization may fold into its weights.
    virtual bool foldsNormalization() const { return false; }
    // Whether it can end a fused chain by writing 8-bit codes (Fusion::codes).
    virtual bool writesCodes() const { return false; }
    // Whether it applies activations and added operands (Fusion::post) too.
    virtual bool appliesPosts() const { return true; }
    virtual void setFusion(Fusion) {}
    // Whether the last run's first output is its first input's bytes
    // unchanged for as long as that input keeps its shape (a Slice with
    // constant bounds that keeps everything): planning then makes it a view.
    virtual bool viewsInput(const KernelContext&) const { return false; }
    // Whether the last plan runs on integer codes (see QuantGrid).
    virtual bool runsOnIntegers() const { return false; }
    // What the last plan runs: oneDNN's implementation name where a oneDNN
    // primitive does the work ("brgconv:avx512_core"), empty for the
    // engine's own loops. For profiles.
    virtual std::string implementation() const { return {}; }
};

// Attribute access for kernel factories.
class Attrs {
public:
    explicit Attrs(const onnx::NodeProto& node) : node_(node) {}
    bool has(const char* name) const;
    int64_t i(const char* name, int64_t fallback) const;
    float f(const char* name, float fallback) const;
    std::string s(const char* name, const std::string& fallback) const;
    std::vector<int64_t> ints(const char* name) const;
    std::vector<float> floats(const char* name) const;
    const onnx::TensorProto* tensor(const char* name) const;

private:
    const void* find(const char* name) const;
    const onnx::NodeProto& node_;
};

using KernelFactory = std::function<std::unique_ptr<Kernel>(const onnx::NodeProto&, int64_t opset)>;

// Registered operators; null when the type is unknown.
const KernelFactory* findKernel(const std::string& opType);
// Registers an operator's kernel with what the passes may know of it.
// `source` records the file that implements it, so a reader finds an
// operator's kernel from its name (registeredOperators).
void registerKernel(const std::string& opType, KernelFactory factory, OpTraits traits = {},
                    const char* source = __builtin_FILE());
// The traits of a registered operator (none declared for an unknown one).
const OpTraits& opTraits(const std::string& opType);
// Every registered operator, with the file that implements it.
std::vector<std::pair<std::string, std::string>> registeredOperators();

// Kernel built from a plain function of the context and the node's attributes.
template <typename F>
std::unique_ptr<Kernel> lambdaKernel(F f) {
    struct K : Kernel {
        F fn;
        explicit K(F g) : fn(std::move(g)) {}
        void run(KernelContext& ctx) override { fn(ctx); }
    };
    return std::make_unique<K>(std::move(f));
}

// Tensor from an ONNX TensorProto (raw or typed fields; external data is refused).
// With `shareRaw`, raw data is not copied: the tensor views the proto's bytes.
void tensorFromProto(const onnx::TensorProto& proto, Tensor& out, bool shareRaw = false);

// Registration hooks of the kernel families.
void registerElementwiseKernels();
void registerShapeKernels();
void registerNnKernels();
void registerConvKernels();
void registerPoolKernels();
void registerMatMulKernels();
void registerConcatKernels();
void registerLayerNormKernels();
void registerSoftmaxKernels();
void registerBatchNormKernels();
void registerResizeKernels();
void registerReductionKernels();
void registerTopKKernels();
void registerLossKernels();
void registerIndexingKernels();
void registerQuantizedKernels();
void registerRecurrentKernels();
void registerControlFlowKernels();
void registerSignalKernels();
void registerAlgebraKernels();
void registerDetectionKernels();
void registerGridSampleKernels();
void registerNormalizationKernels();
void registerSequenceKernels();
void registerStringKernels();
void registerLpPoolKernels();
void registerConvTransposeKernels();

}  // namespace vexart
