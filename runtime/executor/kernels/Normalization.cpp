// Normalisations over chosen axes: MeanVarianceNormalization,
// LpNormalization, GroupNormalization and LRN (LayerNormalization and
// BatchNormalization have kernels of their own).
#include <onnx/onnx_pb.h>

#include <Eigen/Core>
#include <cmath>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

// Visits each group of elements that share their indices off `axes`,
// as a list of offsets (so any set of axes is one code path).
template <typename F>
void forEachGroup(const Shape& shape, const std::vector<bool>& reduced, F f) {
    const auto strides = stridesOf(shape);
    Shape keptShape, redShape;
    std::vector<int64_t> keptStride, redStride;
    for (size_t d = 0; d < shape.size(); ++d) {
        (reduced[d] ? redShape : keptShape).push_back(shape[d]);
        (reduced[d] ? redStride : keptStride).push_back(strides[d]);
    }
    auto offsets = [](const Shape& s, const std::vector<int64_t>& st) {
        std::vector<int64_t> out(static_cast<size_t>(elementCount(s)), 0);
        std::vector<int64_t> pos(s.size(), 0);
        for (size_t i = 0; i < out.size(); ++i) {
            int64_t o = 0;
            for (size_t d = 0; d < s.size(); ++d) o += pos[d] * st[d];
            out[i] = o;
            for (size_t d = s.size(); d-- > 0;) {
                if (++pos[d] < s[d]) break;
                pos[d] = 0;
            }
        }
        return out;
    };
    const auto inner = offsets(redShape, redStride);
    for (int64_t base : offsets(keptShape, keptStride)) f(base, inner);
}

std::vector<bool> axesMask(std::vector<int64_t> axes, size_t rank) {
    std::vector<bool> mask(rank, false);
    for (int64_t a : axes) mask[static_cast<size_t>(normAxis(a, rank))] = true;
    return mask;
}

}  // namespace

void registerNormalizationKernels() {
    registerKernel("MeanVarianceNormalization", [](const onnx::NodeProto& n, int64_t) {
        auto axes = Attrs(n).ints("axes");
        if (axes.empty()) axes = {0, 2, 3};
        return lambdaKernel([axes](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& y = ctx.out(0, x.type(), x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            VEXA_DISPATCH_FLOAT(x.type(), {
                const T* px = x.data<T>();
                T* py = y.data<T>();
                forEachGroup(x.shape(), axesMask(axes, x.rank()), [&](int64_t base, const std::vector<int64_t>& in) {
                    double mean = 0, var = 0;
                    for (int64_t o : in) mean += static_cast<double>(px[base + o]);
                    mean /= static_cast<double>(std::max<size_t>(in.size(), 1));
                    for (int64_t o : in) var += (px[base + o] - mean) * (px[base + o] - mean);
                    var /= static_cast<double>(std::max<size_t>(in.size(), 1));
                    const double inv = 1.0 / std::sqrt(var + 1e-9);
                    for (int64_t o : in) py[base + o] = static_cast<T>((px[base + o] - mean) * inv);
                });
            })
        });
    });
    registerKernel("LpNormalization", [](const onnx::NodeProto& n, int64_t) {
        const int64_t axis = Attrs(n).i("axis", -1), p = Attrs(n).i("p", 2);
        if (p != 1 && p != 2) throw ExecError("LpNormalization takes p of 1 or 2");
        return lambdaKernel([axis, p](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            Tensor& y = ctx.out(0, x.type(), x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            VEXA_DISPATCH_FLOAT(x.type(), {
                const T* px = x.data<T>();
                T* py = y.data<T>();
                forEachGroup(x.shape(), axesMask({axis}, x.rank()), [&](int64_t base, const std::vector<int64_t>& in) {
                    double norm = 0;
                    for (int64_t o : in) norm += p == 1 ? std::fabs(px[base + o]) : px[base + o] * px[base + o];
                    if (p == 2) norm = std::sqrt(norm);
                    for (int64_t o : in) py[base + o] = norm == 0 ? T(0) : static_cast<T>(px[base + o] / norm);
                });
            })
        });
    });
    // Statistics per (sample, group of channels); scale and bias per channel.
    registerKernel("GroupNormalization", [](const onnx::NodeProto& n, int64_t) {
        const int64_t groups = Attrs(n).i("num_groups", 0);
        const float epsilon = Attrs(n).f("epsilon", 1e-5f);
        if (groups <= 0) throw ExecError("num_groups must be positive");
        return lambdaKernel([groups, epsilon](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            if (x.rank() < 2 || x.type() != DType::Float || x.dim(1) % groups != 0) {
                throw ExecError("GroupNormalization takes float32 [N,C,...] with C a multiple of num_groups");
            }
            const int64_t N = x.dim(0), C = x.dim(1), inner = x.size() / std::max<int64_t>(N * C, 1), per = C / groups;
            const Tensor& scale = ctx.in(1);
            const Tensor& bias = ctx.in(2);
            // Scale and bias per channel, or (an earlier form) per group.
            const bool perGroup = scale.size() == groups && groups != C;
            if ((scale.size() != C && !perGroup) || bias.size() != scale.size()) throw ExecError("scale and bias do not fit the channels");
            Tensor& y = ctx.out(0, DType::Float, x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            const float* px = x.data<float>();
            float* py = y.data<float>();
            for (int64_t ng = 0; ng < N * groups; ++ng) {
                const int64_t off = ng * per * inner, count = per * inner;
                double mean = 0, var = 0;
                for (int64_t i = 0; i < count; ++i) mean += px[off + i];
                mean /= static_cast<double>(std::max<int64_t>(count, 1));
                for (int64_t i = 0; i < count; ++i) var += (px[off + i] - mean) * (px[off + i] - mean);
                var /= static_cast<double>(std::max<int64_t>(count, 1));
                const double inv = 1.0 / std::sqrt(var + epsilon);
                for (int64_t i = 0; i < count; ++i) {
                    const int64_t c = (ng % groups) * per + i / inner;
                    const int64_t k = perGroup ? ng % groups : c;
                    py[off + i] = static_cast<float>((px[off + i] - mean) * inv) * scale.data<float>()[k] + bias.data<float>()[k];
                }
            }
        });
    });
    // Each channel's plane at once, vectorised along it: the squares of the
    // window's planes are summed into the output, which the scale then
    // overwrites. The power goes through log and exp, which vectorise.
    registerKernel("LRN", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        const float alpha = a.f("alpha", 1e-4f), beta = a.f("beta", 0.75f), bias = a.f("bias", 1.0f);
        const int64_t size = a.i("size", 1);
        // The window divides by size: 0 would make every output NaN.
        if (size < 1 || size > INT32_MAX) throw ExecError("LRN size must be 1 to " + std::to_string(INT32_MAX));
        return lambdaKernel([=](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            requireFloat(x, "LRN input");
            if (x.rank() < 2) throw ExecError("LRN input must have rank 2 or more");
            Tensor& y = ctx.out(0, DType::Float, x.shape());
            if (ctx.dryRun()) return ctx.zeroOutputs();
            const int64_t N = x.dim(0), C = x.dim(1), S = x.size() / std::max<int64_t>(N * C, 1);
            const int64_t lo = (size - 1) / 2, hi = size - 1 - lo;
            const float* xs = x.data<float>();
            float* ys = y.data<float>();
            const float perSquare = alpha / static_cast<float>(size);
            parallelFor(N * C, x.size() * (size + 8), [&](int64_t i) {
                using Plane = Eigen::Map<const Eigen::ArrayXf>;
                const int64_t n = i / C, c = i % C;
                Eigen::Map<Eigen::ArrayXf> out(ys + i * S, S);
                out.setZero();
                for (int64_t k = std::max<int64_t>(0, c - lo); k <= std::min(C - 1, c + hi); ++k) {
                    out += Plane(xs + (n * C + k) * S, S).square();
                }
                out = Plane(xs + i * S, S) * ((bias + perSquare * out).log() * -beta).exp();
            });
        });
    });
}

}  // namespace vexart
