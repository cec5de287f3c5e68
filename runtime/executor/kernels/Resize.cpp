// Resize and Upsample. The common image cases (rank 4, float, scaling
// height and width only; linear with half-pixel centres, or nearest by a
// whole factor) run on oneDNN's resampling in any layout; every other
// mode and rank runs one pass per resized axis (kernels/ResizeAxes.h).
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/ResizeAxes.h"
#include "kernels/Window.h"
#include "onednn/Dnnl.h"

namespace vexart {
namespace {

class GeneralResize : public Kernel {
public:
    GeneralResize(const onnx::NodeProto& n, int64_t opset, bool upsample) : opset_(opset), upsample_(upsample) {
        const Attrs a(n);
        mode_ = a.s("mode", "nearest");
        coord_ = a.s("coordinate_transformation_mode", opset_ < 11 ? "asymmetric" : "half_pixel");
        nearest_ = a.s("nearest_mode", opset_ < 11 ? "floor" : "round_prefer_floor");
        if (upsample_ || opset_ < 11) nearest_ = opset_ < 11 ? "floor" : nearest_;
        if (upsample_ || opset_ < 11) coord_ = "asymmetric";
        scalesAttr_ = a.floats("scales");
        if (mode_ == "bilinear" || mode_ == "trilinear") mode_ = "linear";
        if (mode_ == "bicubic") mode_ = "cubic";
        if (mode_ != "nearest" && mode_ != "linear" && mode_ != "cubic") {
            throw ExecError("resize mode " + mode_ + " is not supported");
        }
        cubicA_ = a.f("cubic_coeff_a", -0.75f);
        excludeOutside_ = a.i("exclude_outside", 0) != 0;
        extrapolation_ = a.f("extrapolation_value", 0.0f);
        // Opset 18: scales or sizes for some axes only, and sizes that keep the aspect ratio.
        axes_ = a.ints("axes");
        aspect_ = a.s("keep_aspect_ratio_policy", "stretch");
        if (aspect_ != "stretch" && aspect_ != "not_larger" && aspect_ != "not_smaller") {
            throw ExecError("keep_aspect_ratio_policy " + aspect_ + " is not supported");
        }
        antialias_ = a.i("antialias", 0) != 0 && mode_ != "nearest";
        rule_.mode = mode_;
        rule_.coord = coord_;
        rule_.nearest = nearest_;
        rule_.cubicA = cubicA_;
        rule_.excludeOutside = excludeOutside_;
    }

    void run(KernelContext& ctx) override { resize(ctx, ctx.in(0)); }

protected:
    // Resizes `x`, input 0 in the plain layout, into output 0.
    void resize(KernelContext& ctx, const Tensor& x) {
        requireFloat(x, "Resize input");
        const size_t r = x.rank();
        std::vector<float> scales;
        Shape shape(r);
        bool fromScales = false;
        size_t scalesInput = upsample_ || opset_ < 11 ? 1 : 2;
        if (ctx.has(scalesInput) && ctx.in(scalesInput).size() != 0) {
            const Tensor& s = ctx.in(scalesInput);
            scales.assign(s.data<float>(), s.data<float>() + s.size());
        } else if (!scalesAttr_.empty()) {
            scales = scalesAttr_;
        }
        // The axes that scales or sizes cover; the others keep their length.
        std::vector<size_t> axes;
        for (const int64_t a : axes_) axes.push_back(static_cast<size_t>(normAxis(a, r)));
        if (axes.empty()) {
            for (size_t i = 0; i < r; ++i) axes.push_back(i);
        }
        auto overAllAxes = [&](const auto& given, auto keep) {
            if (given.size() != axes.size()) throw ExecError("scales or sizes do not match the axes they resize");
            std::vector<std::decay_t<decltype(given[0])>> full(r);
            for (size_t i = 0; i < r; ++i) full[i] = keep(i);
            for (size_t k = 0; k < axes.size(); ++k) full[axes[k]] = given[k];
            return full;
        };
        if (!scales.empty()) scales = overAllAxes(scales, [](size_t) { return 1.0f; });
        if (!scales.empty()) {
            fromScales = true;
            if (scales.size() != r) throw ExecError("scales do not match the input rank");
            for (size_t i = 0; i < r; ++i) {
                const double length = std::floor(static_cast<double>(x.dim(i)) * scales[i]);
                if (!(scales[i] > 0) || !(length < 9.2e18)) throw ExecError("scales must be positive and finite");
                shape[i] = static_cast<int64_t>(length);
            }
        } else if (ctx.has(3)) {
            shape = overAllAxes(ctx.in(3).toInt64(), [&](size_t i) { return x.dim(i); });
            scales.resize(r);
            for (size_t i = 0; i < r; ++i) scales[i] = static_cast<float>(shape[i]) / static_cast<float>(x.dim(i));
            if (aspect_ != "stretch") {
                // One scale for every resized axis, the smallest (or largest)
                // of theirs; each length is that scale times its own, rounded.
                float scale = scales[axes[0]];
                for (size_t a : axes) scale = aspect_ == "not_larger" ? std::min(scale, scales[a]) : std::max(scale, scales[a]);
                for (size_t a : axes) {
                    scales[a] = scale;
                    shape[a] = static_cast<int64_t>(std::round(scale * static_cast<float>(x.dim(a))));
                }
                fromScales = true;  // coordinates follow the scale, not the ratio of lengths
            }
        } else {
            throw ExecError("Resize needs scales or sizes");
        }
        // Antialiasing widens the filter only where an axis shrinks; that
        // filter is not implemented, so such a request is refused rather
        // than computed without it.
        for (size_t i = 0; antialias_ && i < r; ++i) {
            if (scales[i] < 1.0f) throw ExecError("antialiased downscaling is not supported");
        }
        Tensor& y = ctx.out(0, DType::Float, shape);  // refuses a shape beyond the caps first
        y.setLayout(Layout::plain());
        // Per dimension: source coordinate of every output index.
        std::vector<float> roi;
        if (coord_ == "tf_crop_and_resize") {
            if (!ctx.has(1) || ctx.in(1).size() != static_cast<int64_t>(2 * r)) {
                throw ExecError("tf_crop_and_resize needs a region of interest of 2 x rank values");
            }
            for (int64_t i = 0; i < ctx.in(1).size(); ++i) roi.push_back(static_cast<float>(ctx.in(1).scalarAsDouble(i)));
        }
        // The tables hold while the input, scales and region do.
        if (x.shape() != tablesIn_ || shape != tablesOut_ || scales != tablesScales_ || roi != tablesRoi_) {
            tables_.resize(r);
            for (size_t d = 0; d < r; ++d) {
                makeAxisTaps(rule_, x.dim(d), shape[d], scales[d], fromScales, roi.empty() ? 0.0f : roi[d],
                             roi.empty() ? 0.0f : roi[d + r], tables_[d]);
            }
            tablesIn_ = x.shape();
            tablesOut_ = shape;
            tablesScales_ = scales;
            tablesRoi_ = roi;
        }
        if (y.size() == 0) return;
        resizeByAxes(x.data<float>(), x.shape(), y.data<float>(), shape, tables_, extrapolation_, scratch_);
    }

    int64_t opset_;
    bool upsample_;
    float cubicA_ = -0.75f;
    float extrapolation_ = 0.0f;
    bool excludeOutside_ = false;
    std::string mode_, coord_, nearest_, aspect_;
    std::vector<float> scalesAttr_;
    std::vector<int64_t> axes_;
    bool antialias_ = false;
    ResizeRule rule_;
    std::vector<AxisTaps> tables_;
    Shape tablesIn_, tablesOut_;
    std::vector<float> tablesScales_, tablesRoi_, scratch_;
};

// oneDNN's resampling where it computes what ONNX defines, else the reference.
class ResizeKernel : public GeneralResize {
public:
    ResizeKernel(const onnx::NodeProto& n, int64_t opset, bool upsample) : GeneralResize(n, opset, upsample) {
        // Newer attributes that change the result: left to the reference.
        const Attrs a(n);
        special_ = a.i("antialias", 0) != 0 || a.has("axes") ||
                   a.s("keep_aspect_ratio_policy", "stretch") != "stretch";
    }

    LayoutUse layoutUse(const KernelContext& ctx) const override {
        const Tensor& x = ctx.in(0);
        const Layout out = x.isPlain() ? Layout::channelsLast() : x.layout();
        Shape ys;
        return plan(ctx, ys) && jitted(x.logicalShape(), ys, x.layout(), out) ? LayoutUse::Spatial : LayoutUse::Plain;
    }
    std::string implementation() const override { return built_ ? call_.implementation() : std::string(); }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        // The primitive made for the last input serves this one (scales
        // and sizes are constants): nothing is derived again.
        const size_t scalesInput = upsample_ || opset_ < 11 ? 1 : 2;
        const bool planned = built_ && x.shape() == builtX_ && x.layout() == builtIn_ &&
                             ctx.mayLeavePlain() == builtAllowed_ &&
                             (!ctx.has(scalesInput) || ctx.isConstant(scalesInput)) && (!ctx.has(3) || ctx.isConstant(3));
        if (!planned && !build(ctx)) {
            // Input 0 may have come in a layout for oneDNN (layoutUse).
            if (x.isPlain()) return resize(ctx, x);
            onednn::convertLayout(x, plainInput_, Layout::plain());
            return resize(ctx, plainInput_);
        }
        Tensor& y = ctx.out(0, DType::Float, outShape_);
        y.setLayout(builtOut_);
        if (ctx.dryRun()) {
            ctx.zeroOutputs();
            return;
        }
        try {
            call_.run(x, y);
        } catch (const dnnl::error& e) {
            onednn::rethrow(e, "Resize");
        }
    }

private:
    bool build(const KernelContext& ctx) {
        Shape ys;
        if (!plan(ctx, ys)) return false;
        const Tensor& x = ctx.in(0);
        const Shape xs = x.logicalShape();
        const Layout inLayout = x.layout();
        const Layout outLayout = ctx.mayLeavePlain() ? (inLayout == Layout::plain() ? Layout::channelsLast() : inLayout)
                                                  : Layout::plain();
        try {
            auto& eng = onednn::cpuEngine();
            const auto alg = mode_ == "linear" ? dnnl::algorithm::resampling_linear : dnnl::algorithm::resampling_nearest;
            dnnl::resampling_forward::desc d(dnnl::prop_kind::forward_inference, alg, onednn::floatDesc(xs, inLayout),
                                             onednn::floatDesc(ys, outLayout));
            if (!jitted(xs, ys, inLayout, outLayout)) return false;
            call_.bind(dnnl::resampling_forward(dnnl::resampling_forward::primitive_desc(d, eng)),
                       onednn::floatDesc(xs, inLayout), onednn::floatDesc(ys, outLayout));
        } catch (const dnnl::error& e) {
            onednn::rethrow(e, "Resize");
        }
        builtX_ = x.shape();
        builtIn_ = inLayout;
        builtOut_ = outLayout;
        builtAllowed_ = ctx.mayLeavePlain();
        outShape_ = physicalShape(ys, outLayout);
        built_ = true;
        return true;
    }

    // Whether oneDNN has compiled code for this resampling: its reference
    // implementation walks every output element through generic indexing,
    // tens of times slower than the passes per axis. Asked once per shape.
    bool jitted(const Shape& xs, const Shape& ys, Layout in, Layout out) const {
        if (xs == jitX_ && ys == jitY_ && in == jitIn_ && out == jitOut_) return jitted_;
        bool fast = false;
        try {
            const auto alg = mode_ == "linear" ? dnnl::algorithm::resampling_linear : dnnl::algorithm::resampling_nearest;
            dnnl::resampling_forward::desc d(dnnl::prop_kind::forward_inference, alg, onednn::floatDesc(xs, in),
                                             onednn::floatDesc(ys, out));
            const dnnl::resampling_forward::primitive_desc pd(d, onednn::cpuEngine());
            fast = std::string(pd.impl_info_str()).rfind("ref", 0) != 0;
        } catch (const dnnl::error&) {
            fast = false;
        }
        jitX_ = xs, jitY_ = ys, jitIn_ = in, jitOut_ = out, jitted_ = fast;
        return fast;
    }

    // The output shape, when oneDNN computes exactly what ONNX defines.
    bool plan(const KernelContext& ctx, Shape& ys) const {
        const Tensor& x = ctx.in(0);
        const Shape xs = x.logicalShape();
        if (special_ || x.type() != DType::Float || xs.size() != 4 || x.size() == 0) return false;
        std::vector<float> scales;
        const size_t scalesInput = upsample_ || opset_ < 11 ? 1 : 2;
        ys = xs;
        if (ctx.has(scalesInput) && ctx.in(scalesInput).size() != 0) {
            const Tensor& s = ctx.in(scalesInput);
            if (s.type() != DType::Float || s.size() != 4) return false;
            scales.assign(s.data<float>(), s.data<float>() + 4);
        } else if (!scalesAttr_.empty()) {
            scales = scalesAttr_;
        } else if (!upsample_ && opset_ >= 11 && ctx.has(3) && ctx.in(3).size() == 4) {
            const auto sizes = ctx.in(3).toInt64();
            for (size_t i = 0; i < 4; ++i) scales.push_back(static_cast<float>(sizes[i]) / static_cast<float>(xs[i]));
        }
        if (scales.size() != 4 || scales[0] != 1.0f || scales[1] != 1.0f) return false;
        for (size_t i = 2; i < 4; ++i) {
            if (!(scales[i] > 0) || !std::isfinite(scales[i])) return false;
            // oneDNN scales by the ratio of the sizes: it must be the scale.
            const double exact = static_cast<double>(xs[i]) * scales[i];
            if (!(exact < 9.2e18)) return false;  // the reference refuses it
            ys[i] = static_cast<int64_t>(std::floor(exact));
            if (ys[i] <= 1 || static_cast<double>(ys[i]) != exact) return false;
        }
        // Before oneDNN sizes its coordinate tables from it.
        requireAllocatable(ys);
        if (mode_ == "linear") return coord_ == "half_pixel" || coord_ == "pytorch_half_pixel";
        if (mode_ != "nearest") return false;
        // Nearest by a whole factor: the source of output o is o / factor in
        // these modes (half-pixel centres never fall on a tie).
        for (size_t i = 2; i < 4; ++i) {
            if (ys[i] % xs[i] != 0 || static_cast<float>(ys[i] / xs[i]) != scales[i]) return false;
        }
        if (coord_ == "asymmetric") return nearest_ == "floor";
        return (coord_ == "half_pixel" || coord_ == "pytorch_half_pixel") &&
               (nearest_ == "round_prefer_floor" || nearest_ == "round_prefer_ceil");
    }

    bool special_ = false;
    mutable Shape jitX_, jitY_;  // the last shape asked of jitted(), and its answer
    mutable Layout jitIn_, jitOut_;
    mutable bool jitted_ = false;
    Tensor plainInput_;

    bool built_ = false, builtAllowed_ = false;
    Shape builtX_, outShape_;  // the input the primitive was made for, and its output
    Layout builtIn_, builtOut_;
    onednn::UnaryCall call_;
};

}  // namespace

void registerResizeKernels() {
    registerKernel("Resize",
                   [](const onnx::NodeProto& n, int64_t o) { return std::make_unique<ResizeKernel>(n, o, false); }, OpTraits::valueShaped(0b1110u));
    registerKernel("Upsample",
                   [](const onnx::NodeProto& n, int64_t o) { return std::make_unique<ResizeKernel>(n, o, true); }, OpTraits::valueShaped(1u << 1));
}

}  // namespace vexart
