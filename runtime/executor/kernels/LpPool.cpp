// Lp pooling: the p-norm of each window (zeros where it overhangs), over
// windows or over all of each channel's positions.
#include <onnx/onnx_pb.h>

#include <cmath>

#include "core/Kernel.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

float norm(double sum, float p) { return static_cast<float>(p == 2 ? std::sqrt(sum) : p == 1 ? sum : std::pow(sum, 1.0 / p)); }

double power(float v, float p) {
    const double a = std::fabs(static_cast<double>(v));
    return p == 2 ? a * a : p == 1 ? a : std::pow(a, static_cast<double>(p));
}

}  // namespace

void registerLpPoolKernels() {
    registerKernel("LpPool", [](const onnx::NodeProto& n, int64_t) {
        const WindowAttrs attrs{Attrs(n)};
        const auto p = static_cast<float>(Attrs(n).i("p", 2));
        if (!(p >= 1)) throw ExecError("LpPool takes p of 1 or more");
        return lambdaKernel([attrs, p](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            requireFloat(x, "LpPool input");
            const Window w = attrs.resolve(x.shape(), attrs.kernel);
            const int64_t planes = x.dim(0) * x.dim(1);
            Tensor& y = ctx.out(0, DType::Float, outputShape(x.shape(), x.dim(1), w));
            if (ctx.dryRun()) return ctx.zeroOutputs();
            for (int64_t c = 0; c < planes; ++c) {
                const float* in = x.data<float>() + c * w.inSize();
                float* out = y.data<float>() + c * w.outSize();
                for (int64_t od = 0; od < w.out[0]; ++od) {
                    for (int64_t oh = 0; oh < w.out[1]; ++oh) {
                        for (int64_t ow = 0; ow < w.out[2]; ++ow) {
                            double sum = 0;
                            forEachTap(w, od, oh, ow, [&](int64_t at, int64_t) { sum += power(in[at], p); });
                            out[(od * w.out[1] + oh) * w.out[2] + ow] = norm(sum, p);
                        }
                    }
                }
            }
        });
    });
    registerKernel("GlobalLpPool", [](const onnx::NodeProto& n, int64_t) {
        const auto p = static_cast<float>(Attrs(n).i("p", 2));
        if (!(p >= 1)) throw ExecError("GlobalLpPool takes p of 1 or more");
        return lambdaKernel([p](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            requireFloat(x, "GlobalLpPool input");
            if (x.rank() < 3) throw ExecError("GlobalLpPool input must have rank 3 or more");
            Shape shape(x.rank(), 1);
            shape[0] = x.dim(0);
            shape[1] = x.dim(1);
            Tensor& y = ctx.out(0, DType::Float, shape);
            if (ctx.dryRun()) return ctx.zeroOutputs();
            const int64_t planes = x.dim(0) * x.dim(1), inner = planes == 0 ? 0 : x.size() / planes;
            for (int64_t c = 0; c < planes; ++c) {
                double sum = 0;
                for (int64_t i = 0; i < inner; ++i) sum += power(x.data<float>()[c * inner + i], p);
                y.data<float>()[c] = norm(sum, p);
            }
        });
    });
    // Caffe's region pooling: the maximum of each bin of each region of
    // interest, region corners rounded to whole pixels.
    registerKernel("MaxRoiPool", [](const onnx::NodeProto& n, int64_t) {
        const auto pooled = Attrs(n).ints("pooled_shape");
        const float scale = Attrs(n).f("spatial_scale", 1.0f);
        if (pooled.size() != 2 || pooled[0] <= 0 || pooled[1] <= 0 || pooled[0] * pooled[1] > (1 << 24)) {
            throw ExecError("pooled_shape must hold two positive sizes");
        }
        return lambdaKernel([pooled, scale](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            const Tensor& rois = ctx.in(1);
            requireFloat(x, "MaxRoiPool input");
            requireFloat(rois, "rois");
            if (x.rank() != 4 || rois.rank() != 2 || rois.dim(1) != 5) throw ExecError("MaxRoiPool takes [N,C,H,W] and [R,5] rois");
            const int64_t R = rois.dim(0), C = x.dim(1), H = x.dim(2), W = x.dim(3), PH = pooled[0], PW = pooled[1];
            Tensor& y = ctx.out(0, DType::Float, {R, C, PH, PW});
            if (ctx.dryRun()) return ctx.zeroOutputs();
            for (int64_t r = 0; r < R; ++r) {
                const float* roi = rois.data<float>() + r * 5;
                const auto b = static_cast<int64_t>(roi[0]);
                if (!(roi[0] >= 0) || b >= x.dim(0)) throw ExecError("MaxRoiPool batch index out of range");
                auto px = [scale](float v) { return static_cast<int64_t>(std::clamp(std::round(v * scale), -1e9f, 1e9f)); };
                const int64_t x1 = px(roi[1]), y1 = px(roi[2]), x2 = px(roi[3]), y2 = px(roi[4]);
                const double binH = static_cast<double>(std::max<int64_t>(y2 - y1 + 1, 1)) / static_cast<double>(PH);
                const double binW = static_cast<double>(std::max<int64_t>(x2 - x1 + 1, 1)) / static_cast<double>(PW);
                for (int64_t c = 0; c < C; ++c) {
                    const float* plane = x.data<float>() + (b * C + c) * H * W;
                    for (int64_t ph = 0; ph < PH; ++ph) {
                        const int64_t hs = std::clamp<int64_t>(static_cast<int64_t>(std::floor(static_cast<double>(ph) * binH)) + y1, 0, H);
                        const int64_t he = std::clamp<int64_t>(static_cast<int64_t>(std::ceil(static_cast<double>(ph + 1) * binH)) + y1, 0, H);
                        for (int64_t pw = 0; pw < PW; ++pw) {
                            const int64_t ws = std::clamp<int64_t>(static_cast<int64_t>(std::floor(static_cast<double>(pw) * binW)) + x1, 0, W);
                            const int64_t we = std::clamp<int64_t>(static_cast<int64_t>(std::ceil(static_cast<double>(pw + 1) * binW)) + x1, 0, W);
                            float m = 0;
                            bool any = false;
                            for (int64_t i = hs; i < he; ++i) {
                                for (int64_t j = ws; j < we; ++j) {
                                    m = any ? std::max(m, plane[i * W + j]) : plane[i * W + j];
                                    any = true;
                                }
                            }
                            y.data<float>()[((r * C + c) * PH + ph) * PW + pw] = m;
                        }
                    }
                }
            }
        });
    });
}

}  // namespace vexart
