// Resize and Upsample. The common image cases (rank 4, float, scaling
// height and width only; linear with half-pixel centres, or nearest by a
// whole factor) run on oneDNN's resampling in any layout; every other
// mode runs the reference kernel, which computes the source coordinate of
// every output index per axis and interpolates each output element.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/Window.h"
#include "onednn/Dnnl.h"

namespace vexart {
namespace {

class ReferenceResize : public Kernel {
public:
    ReferenceResize(const onnx::NodeProto& n, int64_t opset, bool upsample) : opset_(opset), upsample_(upsample) {
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
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
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
        // Per dimension: source coordinate of every output index.
        std::vector<float> roi;
        if (coord_ == "tf_crop_and_resize") {
            if (!ctx.has(1) || ctx.in(1).size() != static_cast<int64_t>(2 * r)) {
                throw ExecError("tf_crop_and_resize needs a region of interest of 2 x rank values");
            }
            for (int64_t i = 0; i < ctx.in(1).size(); ++i) roi.push_back(static_cast<float>(ctx.in(1).scalarAsDouble(i)));
        }
        std::vector<std::vector<float>> coords(r);
        for (size_t d = 0; d < r; ++d) {
            coords[d].resize(static_cast<size_t>(shape[d]));
            for (int64_t o = 0; o < shape[d]; ++o) {
                const float s = scales[d];
                const float in = static_cast<float>(x.dim(d));
                float c;
                if (coord_ == "asymmetric") {
                    c = o / s;
                } else if (coord_ == "align_corners") {
                    // With scales the resized length is in * scale, not its floor.
                    const float len = fromScales ? in * s : static_cast<float>(shape[d]);
                    c = len <= 1 ? 0.0f : o * (in - 1) / (len - 1);
                } else if (coord_ == "tf_half_pixel_for_nn") {
                    c = (o + 0.5f) / s;
                } else if (coord_ == "tf_crop_and_resize") {
                    const float start = roi[d], end = roi[d + r];
                    c = shape[d] > 1 ? start * (in - 1) + o * (end - start) * (in - 1) / static_cast<float>(shape[d] - 1)
                                     : 0.5f * (start + end) * (in - 1);
                } else if (coord_ == "pytorch_half_pixel") {
                    c = shape[d] > 1 ? (o + 0.5f) / s - 0.5f : 0.0f;
                } else if (coord_ == "half_pixel_symmetric") {
                    const float adj = static_cast<float>(shape[d]) / (in * s);
                    const float center = in / 2;
                    c = center * (1 - adj) + (o + 0.5f) / s - 0.5f;
                } else {
                    c = (o + 0.5f) / s - 0.5f;
                }
                coords[d][static_cast<size_t>(o)] = c;
            }
        }
        std::vector<int64_t> xs(r, 1);
        for (size_t i = r; i-- > 1;) xs[i - 1] = xs[i] * x.dim(i);
        std::vector<int64_t> idx(r, 0);
        for (int64_t o = 0; o < y.size(); ++o) {
            float v;
            bool outside = false;
            if (!roi.empty()) {
                // A NaN region of interest puts every coordinate outside.
                for (size_t d = 0; d < r; ++d) {
                    const float c = coords[d][static_cast<size_t>(idx[d])];
                    outside = outside || !(c >= 0 && c <= static_cast<float>(x.dim(d) - 1));
                }
            }
            if (outside) {
                v = extrapolation_;
            } else if (mode_ == "cubic") {
                v = cubicAt(x, coords, idx, xs);
            } else if (mode_ == "nearest") {
                int64_t off = 0;
                for (size_t d = 0; d < r; ++d) off += nearestIndex(coords[d][static_cast<size_t>(idx[d])], x.dim(d), scales[d]) * xs[d];
                v = x.data<float>()[off];
            } else {
                v = linearAt(x, coords, idx, xs, scales);
            }
            y.data<float>()[o] = v;
            for (size_t d = r; d-- > 0;) {
                if (++idx[d] < shape[d]) break;
                idx[d] = 0;
            }
        }
    }

private:
    int64_t nearestIndex(float c, int64_t dim, float scale) const {
        int64_t i;
        if (nearest_ == "floor") {
            i = static_cast<int64_t>(std::floor(c));
        } else if (nearest_ == "ceil") {
            i = static_cast<int64_t>(std::ceil(c));
        } else if (nearest_ == "round_prefer_ceil") {
            i = static_cast<int64_t>(std::floor(c + 0.5f));
        } else {
            i = c == std::floor(c) + 0.5f ? static_cast<int64_t>(std::floor(c)) : static_cast<int64_t>(std::round(c));
        }
        (void)scale;
        return std::clamp<int64_t>(i, 0, dim - 1);
    }

    float linearAt(const Tensor& x, const std::vector<std::vector<float>>& coords, const std::vector<int64_t>& idx,
                   const std::vector<int64_t>& xs, const std::vector<float>& scales) const {
        const size_t r = idx.size();
        int64_t lo[8], hi[8];
        float wlo[8];
        size_t active[8];
        size_t na = 0;
        int64_t base = 0;
        for (size_t d = 0; d < r; ++d) {
            const int64_t dim = x.dim(d);
            float c = coords[d][static_cast<size_t>(idx[d])];
            if (scales[d] == 1.0f && coord_ != "align_corners") c = static_cast<float>(idx[d]);
            c = std::clamp(c, 0.0f, static_cast<float>(dim - 1));
            const auto l = static_cast<int64_t>(std::floor(c));
            const int64_t h = std::min(l + 1, dim - 1);
            if (h == l || na == 8) {
                base += l * xs[d];
                continue;
            }
            lo[na] = l, hi[na] = h, wlo[na] = 1.0f - (c - static_cast<float>(l)), active[na] = d;
            ++na;
        }
        float sum = 0;
        for (uint32_t corner = 0; corner < (1u << na); ++corner) {
            float weight = 1;
            int64_t off = base;
            for (size_t k = 0; k < na; ++k) {
                const bool up = (corner >> k) & 1u;
                weight *= up ? 1.0f - wlo[k] : wlo[k];
                off += (up ? hi[k] : lo[k]) * xs[active[k]];
            }
            sum += weight * x.data<float>()[off];
        }
        return sum;
    }

    // Four taps per dimension with the cubic convolution kernel of parameter A.
    float cubicAt(const Tensor& x, const std::vector<std::vector<float>>& coords, const std::vector<int64_t>& idx,
                  const std::vector<int64_t>& xs) const {
        const size_t r = idx.size();
        std::vector<std::array<int64_t, 4>> taps(r);
        std::vector<std::array<double, 4>> weights(r);
        for (size_t d = 0; d < r; ++d) {
            const int64_t dim = x.dim(d);
            const double c = coords[d][static_cast<size_t>(idx[d])];
            const double f = std::floor(c);
            const double t = c - f;
            const double A = cubicA_;
            const double dist[4] = {1 + t, t, 1 - t, 2 - t};
            double sum = 0;
            for (int k = 0; k < 4; ++k) {
                const double z = dist[k];
                double w = z <= 1 ? ((A + 2) * z - (A + 3)) * z * z + 1 : ((A * z - 5 * A) * z + 8 * A) * z - 4 * A;
                const int64_t at = static_cast<int64_t>(f) - 1 + k;
                if (excludeOutside_ && (at < 0 || at >= dim)) w = 0;
                taps[d][static_cast<size_t>(k)] = std::clamp<int64_t>(at, 0, dim - 1);
                weights[d][static_cast<size_t>(k)] = w;
                sum += w;
            }
            if (excludeOutside_ && sum != 0) {
                for (auto& w : weights[d]) w /= sum;
            }
        }
        double total = 0;
        std::vector<int> k(r, 0);
        for (;;) {
            double w = 1;
            int64_t off = 0;
            for (size_t d = 0; d < r; ++d) {
                w *= weights[d][static_cast<size_t>(k[d])];
                off += taps[d][static_cast<size_t>(k[d])] * xs[d];
            }
            total += w * x.data<float>()[off];
            size_t d = r;
            while (d-- > 0) {
                if (++k[d] < 4) break;
                k[d] = 0;
            }
            if (d == static_cast<size_t>(-1)) break;
        }
        return static_cast<float>(total);
    }

protected:
    int64_t opset_;
    bool upsample_;
    float cubicA_ = -0.75f;
    float extrapolation_ = 0.0f;
    bool excludeOutside_ = false;
    std::string mode_, coord_, nearest_, aspect_;
    std::vector<float> scalesAttr_;
    std::vector<int64_t> axes_;
    bool antialias_ = false;
};

// oneDNN's resampling where it computes what ONNX defines, else the reference.
class ResizeKernel : public ReferenceResize {
public:
    ResizeKernel(const onnx::NodeProto& n, int64_t opset, bool upsample) : ReferenceResize(n, opset, upsample) {
        // Newer attributes that change the result: left to the reference.
        const Attrs a(n);
        special_ = a.i("antialias", 0) != 0 || a.has("axes") ||
                   a.s("keep_aspect_ratio_policy", "stretch") != "stretch";
    }

    LayoutUse layoutUse(const KernelContext& ctx) const override {
        Shape out;
        return plan(ctx, out) ? LayoutUse::Spatial : LayoutUse::Plain;
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
            ReferenceResize::run(ctx);
            return;
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

    bool built_ = false, builtAllowed_ = false;
    Shape builtX_, outShape_;  // the input the primitive was made for, and its output
    Layout builtIn_, builtOut_;
    onednn::UnaryCall call_;
};

}  // namespace

void registerResizeKernels() {
    registerKernel("Resize",
                   [](const onnx::NodeProto& n, int64_t o) { return std::make_unique<ResizeKernel>(n, o, false); });
    registerKernel("Upsample",
                   [](const onnx::NodeProto& n, int64_t o) { return std::make_unique<ResizeKernel>(n, o, true); });
}

}  // namespace vexart
