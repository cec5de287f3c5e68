// Reference kernels on float32 tensors (plain layout, Eigen products):
// what the oneDNN kernels fall back to (pooling with indices, broadcast
// batched products, training-mode normalisation, Hardmax) and the
// operators with no oneDNN form here (ConvTranspose, InstanceNormalization).
// Spatial operators treat 1-D and 2-D inputs as 3-D ones with unit
// leading dimensions, so one loop nest serves all ranks.
#include <onnx/onnx_pb.h>

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/Broadcast.h"
#include "core/Dispatch.h"
#include "core/Kernel.h"
#include "kernels/Fallbacks.h"
#include "core/Threads.h"
#include "kernels/Window.h"

// GCC 12 reports a false free-nonheap-object on nested vectors at -O3.
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"

namespace vexart {
namespace {

using RowMat = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using MapMat = Eigen::Map<RowMat>;
using ConstMapMat = Eigen::Map<const RowMat>;

// Adds every column entry (rows (c, kd, kh, kw), columns (od, oh, ow)) back into its input position.
void col2im(const float* col, int64_t C, const Window& w, float* x) {
    for (int64_t c = 0; c < C; ++c) {
        float* xc = x + c * w.inSize();
        for (int64_t kd = 0; kd < w.k[0]; ++kd) {
            for (int64_t kh = 0; kh < w.k[1]; ++kh) {
                for (int64_t kw = 0; kw < w.k[2]; ++kw) {
                    for (int64_t od = 0; od < w.out[0]; ++od) {
                        const int64_t id = od * w.stride[0] - w.padBegin[0] + kd * w.dil[0];
                        for (int64_t oh = 0; oh < w.out[1]; ++oh, col += w.out[2]) {
                            const int64_t ih = oh * w.stride[1] - w.padBegin[1] + kh * w.dil[1];
                            if (id < 0 || id >= w.in[0] || ih < 0 || ih >= w.in[1]) continue;
                            float* dst = xc + (id * w.in[1] + ih) * w.in[2];
                            for (int64_t ow = 0; ow < w.out[2]; ++ow) {
                                const int64_t iw = ow * w.stride[2] - w.padBegin[2] + kw * w.dil[2];
                                if (iw >= 0 && iw < w.in[2]) dst[iw] += col[ow];
                            }
                        }
                    }
                }
            }
        }
    }
}

class ConvTransposeKernel : public Kernel {
public:
    explicit ConvTransposeKernel(const onnx::NodeProto& n) : t_(Attrs(n)) {}

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const Tensor& wt = ctx.in(1);
        requireFloat(x, "ConvTranspose input");
        requireFloat(wt, "ConvTranspose weight");
        if (x.rank() < 3 || x.rank() > 5) throw ExecError("spatial input must have rank 3 to 5");
        const size_t sp = x.rank() - 2;
        std::vector<int64_t> kshape = t_.window.kernel;
        if (wt.rank() == x.rank() && kshape.empty()) kshape.assign(wt.shape().begin() + 2, wt.shape().end());
        t_.window.check(sp, kshape);
        const int64_t C = x.dim(1), G = t_.group;
        if (wt.rank() != x.rank() || G <= 0 || C % G != 0 || wt.dim(0) != C ||
            !std::equal(kshape.begin(), kshape.end(), wt.shape().begin() + 2)) {
            throw ExecError("weight shape " + shapeText(wt.shape()) + " does not fit input " + shapeText(x.shape()));
        }
        if ((!t_.outputPadding.empty() && t_.outputPadding.size() != sp) ||
            (!t_.outputShape.empty() && t_.outputShape.size() < sp)) {
            throw ExecError("output_padding or output_shape does not match the input's rank");
        }
        const int64_t N = x.dim(0), Mg = wt.dim(1), M = Mg * G, Cg = C / G;
        // The window runs over the output: compute its extent, then reuse col2im.
        Window w;
        w.spatial = sp;
        const size_t off = 3 - sp;
        Shape yshape = {N, M};
        for (size_t i = 0; i < sp; ++i) {
            const size_t j = i + off;
            w.k[j] = kshape[i];
            w.stride[j] = t_.window.strides.empty() ? 1 : t_.window.strides[i];
            w.dil[j] = t_.window.dilations.empty() ? 1 : t_.window.dilations[i];
            w.out[j] = x.dim(i + 2);
            const int64_t op = t_.outputPadding.empty() ? 0 : t_.outputPadding[i];
            const int64_t eff = (w.k[j] - 1) * w.dil[j] + 1;
            const int64_t full = w.stride[j] * (w.out[j] - 1) + op + eff;
            int64_t target;
            if (!t_.outputShape.empty()) {
                target = t_.outputShape[t_.outputShape.size() - sp + i];
                const int64_t total = std::max<int64_t>(0, full - target);
                const bool upper = t_.window.autoPad != "SAME_LOWER";
                w.padBegin[j] = upper ? total / 2 : total - total / 2;
            } else if (t_.window.autoPad == "SAME_UPPER" || t_.window.autoPad == "SAME_LOWER") {
                target = x.dim(i + 2) * w.stride[j];
                const int64_t total = std::max<int64_t>(0, full - target);
                w.padBegin[j] = t_.window.autoPad == "SAME_UPPER" ? total / 2 : total - total / 2;
            } else {
                const int64_t pb = t_.window.pads.empty() ? 0 : t_.window.pads[i];
                const int64_t pe = t_.window.pads.empty() ? 0 : t_.window.pads[i + sp];
                w.padBegin[j] = pb;
                target = full - pb - pe;
            }
            w.in[j] = target;
            yshape.push_back(target);
        }
        Tensor& y = ctx.out(0, DType::Float, yshape);
        std::fill(y.data<float>(), y.data<float>() + y.size(), 0.0f);
        const int64_t K = Mg * w.kSize(), P = w.outSize();
        col_.resize(static_cast<size_t>(K * P));
        for (int64_t n = 0; n < N; ++n) {
            for (int64_t g = 0; g < G; ++g) {
                MapMat col(col_.data(), K, P);
                col.noalias() = ConstMapMat(wt.data<float>() + g * Cg * K, Cg, K).transpose() *
                                ConstMapMat(x.data<float>() + (n * C + g * Cg) * P, Cg, P);
                col2im(col_.data(), Mg, w, y.data<float>() + (n * M + g * Mg) * w.inSize());
            }
        }
        if (ctx.has(2)) {
            if (ctx.in(2).size() != M) throw ExecError("ConvTranspose bias must have one value per output channel");
            const float* b = ctx.in(2).data<float>();
            const int64_t S = w.inSize();
            for (int64_t n = 0; n < N; ++n) {
                for (int64_t m = 0; m < M; ++m) {
                    float* p = y.data<float>() + (n * M + m) * S;
                    for (int64_t s = 0; s < S; ++s) p[s] += b[m];
                }
            }
        }
    }

private:
    TransposedWindowAttrs t_;
    std::vector<float> col_;
};

class PoolKernel : public Kernel {
public:
    PoolKernel(const onnx::NodeProto& n, bool isMax)
        : attrs_(Attrs(n)),
          isMax_(isMax),
          countPad_(Attrs(n).i("count_include_pad", 0) != 0),
          columnMajor_(Attrs(n).i("storage_order", 0) != 0) {}

    void run(KernelContext& ctx) override {
        const Tensor* in = &ctx.in(0);
        // Integer max pooling is exact through float for the 8- and 16-bit types.
        const bool viaFloat = isMax_ && in->type() != DType::Float && dtypeSize(in->type()) <= 2;
        if (viaFloat) {
            castTensor(*in, DType::Float, asFloat_);
            in = &asFloat_;
        }
        const Tensor& x = *in;
        requireFloat(x, "pooling input");
        Tensor& result = viaFloat ? pooled_ : ctx.out(0, DType::Float, {});
        pool(ctx, x, result);
        if (viaFloat) castTensor(pooled_, ctx.in(0).type(), ctx.out(0, ctx.in(0).type(), pooled_.shape()));
    }

private:
    void pool(KernelContext& ctx, const Tensor& x, Tensor& yOut) {
        const Window w = attrs_.resolvePool(x.shape());
        const int64_t NC = x.dim(0) * x.dim(1);
        Tensor& y = yOut;
        y.reset(DType::Float, outputShape(x.shape(), x.dim(1), w));
        Tensor* indices = ctx.wantsOutput(1) ? &ctx.out(1, DType::Int64, y.shape()) : nullptr;
        const float* src = x.data<float>();
        const int64_t outSize = w.outSize();
        parallelFor(NC, NC * outSize * w.kSize(), [&](int64_t c) {
            const float* xc = src + c * w.inSize();
            float* dst = y.data<float>() + c * outSize;
            for (int64_t od = 0; od < w.out[0]; ++od) {
                for (int64_t oh = 0; oh < w.out[1]; ++oh) {
                    for (int64_t ow = 0; ow < w.out[2]; ++ow) {
                        // A window wholly inside the image needs no bounds
                        // checks: the same taps in the same order, faster.
                        if (indices == nullptr && w.dil[0] == 1 && w.dil[1] == 1 && w.dil[2] == 1) {
                            const int64_t id0 = od * w.stride[0] - w.padBegin[0];
                            const int64_t ih0 = oh * w.stride[1] - w.padBegin[1];
                            const int64_t iw0 = ow * w.stride[2] - w.padBegin[2];
                            if (id0 >= 0 && ih0 >= 0 && iw0 >= 0 && id0 + w.k[0] <= w.in[0] && ih0 + w.k[1] <= w.in[1] &&
                                iw0 + w.k[2] <= w.in[2]) {
                                const float* win = xc + (id0 * w.in[1] + ih0) * w.in[2] + iw0;
                                float acc = isMax_ ? win[0] : 0.0f;
                                for (int64_t kd = 0; kd < w.k[0]; ++kd) {
                                    for (int64_t kh = 0; kh < w.k[1]; ++kh) {
                                        const float* row = win + (kd * w.in[1] + kh) * w.in[2];
                                        for (int64_t kw = 0; kw < w.k[2]; ++kw) {
                                            const float v = row[kw];
                                            if (isMax_) {
                                                acc = v > acc ? v : acc;
                                            } else {
                                                acc += v;
                                            }
                                        }
                                    }
                                }
                                *dst++ = isMax_ ? acc : acc / static_cast<float>(w.k[0] * w.k[1] * w.k[2]);
                                continue;
                            }
                        }
                        // Only the taps inside the image are visited: a window that is
                        // mostly padding (a huge kernel with SAME padding) costs
                        // nothing for its padding.
                        const int64_t o3[3] = {od, oh, ow};
                        int64_t lo[3], hi[3], within = 1, count = 1;
                        for (int j = 0; j < 3; ++j) {
                            const int64_t base = o3[j] * w.stride[j] - w.padBegin[j], d = w.dil[j];
                            lo[j] = base >= 0 ? 0 : (-base + d - 1) / d;
                            hi[j] = base > w.in[j] - 1 ? 0 : std::min(w.k[j], (w.in[j] - 1 - base) / d + 1);
                            hi[j] = std::max(hi[j], lo[j]);
                            const int64_t last = w.in[j] + w.padEnd[j] - 1 - base;
                            within *= last < 0 ? 0 : std::min(w.k[j], last / d + 1);
                            count *= hi[j] - lo[j];
                        }
                        const int64_t padded = within - count;
                        float acc = isMax_ ? -std::numeric_limits<float>::infinity() : 0.0f;
                        int64_t best = -1;
                        for (int64_t kd = lo[0]; kd < hi[0]; ++kd) {
                            const int64_t id = od * w.stride[0] - w.padBegin[0] + kd * w.dil[0];
                            for (int64_t kh = lo[1]; kh < hi[1]; ++kh) {
                                const int64_t ih = oh * w.stride[1] - w.padBegin[1] + kh * w.dil[1];
                                for (int64_t kw = lo[2]; kw < hi[2]; ++kw) {
                                    const int64_t iw = ow * w.stride[2] - w.padBegin[2] + kw * w.dil[2];
                                    const int64_t at = (id * w.in[1] + ih) * w.in[2] + iw;
                                    const float v = xc[at];
                                    if (isMax_) {
                                        if (v > acc || best < 0) acc = v, best = at;
                                    } else {
                                        acc += v;
                                    }
                                }
                            }
                        }
                        if (!isMax_) {
                            const int64_t div = countPad_ ? count + padded : count;
                            acc = div > 0 ? acc / static_cast<float>(div) : 0.0f;
                        }
                        *dst++ = acc;
                        if (indices != nullptr) {
                            int64_t at = best;
                            if (columnMajor_ && best >= 0) {
                                // Spatial index in column-major order, the last dimension slowest.
                                const int64_t iw = best % w.in[2], rest = best / w.in[2];
                                at = (iw * w.in[1] + rest % w.in[1]) * w.in[0] + rest / w.in[1];
                            }
                            indices->data<int64_t>()[dst - y.data<float>() - 1] = c * w.inSize() + at;
                        }
                    }
                }
            }
        });
    }

private:
    WindowAttrs attrs_;
    bool isMax_;
    bool countPad_;
    bool columnMajor_;
    Tensor asFloat_;
    Tensor pooled_;
};

}  // namespace

std::unique_ptr<Kernel> referencePool(const onnx::NodeProto& n, bool isMax, bool global) {
    if (!global) return std::make_unique<PoolKernel>(n, isMax);
    return lambdaKernel([isMax](KernelContext& ctx) {
        const Tensor& x = ctx.in(0);
        // The largest of 8-bit codes is a code: they keep their type.
        const bool codes = isMax && (x.type() == DType::UInt8 || x.type() == DType::Int8);
        if (!codes) requireFloat(x, "pooling input");
        Shape shape = x.shape();
        for (size_t i = 2; i < shape.size(); ++i) shape[i] = 1;
        Tensor& y = ctx.out(0, x.type(), shape);
        const int64_t NC = x.dim(0) * x.dim(1);
        const int64_t S = NC == 0 ? 0 : x.size() / NC;
        if (S == 0 && NC > 0) {
            // The maximum of nothing is the lowest value, as ReduceMax
            // defines it; the mean of nothing is undefined.
            if (!isMax) throw ExecError("GlobalAveragePool over an empty extent has no mean");
            VEXA_DISPATCH_NUMERIC(x.type(), {
                std::fill_n(y.data<T>(), NC, std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                                                   : std::numeric_limits<T>::lowest());
            })
            return;
        }
        if (codes) {
            VEXA_DISPATCH_NUMERIC(x.type(), {
                for (int64_t c = 0; c < NC && S > 0; ++c) y.data<T>()[c] = *std::max_element(x.data<T>() + c * S, x.data<T>() + (c + 1) * S);
            })
            return;
        }
        for (int64_t c = 0; c < NC; ++c) {
            const Eigen::Map<const Eigen::VectorXf> v(x.data<float>() + c * S, S);
            y.data<float>()[c] = isMax ? v.maxCoeff() : v.mean();
        }
    });
}

namespace {

// Per-channel affine normalisation of [N, C, ...].
void channelAffine(const Tensor& x, const float* scale, const float* bias, const float* mean, const float* invStd,
                   Tensor& y) {
    const int64_t N = x.dim(0), C = x.rank() > 1 ? x.dim(1) : 1;
    const int64_t S = N * C == 0 ? 0 : x.size() / (N * C);
    for (int64_t n = 0; n < N; ++n) {
        for (int64_t c = 0; c < C; ++c) {
            const float a = scale[c] * invStd[c];
            const float b = bias[c] - mean[c] * a;
            const float* src = x.data<float>() + (n * C + c) * S;
            float* dst = y.data<float>() + (n * C + c) * S;
            for (int64_t s = 0; s < S; ++s) dst[s] = src[s] * a + b;
        }
    }
}

void matmul(const Tensor& a, const Tensor& b, Tensor& out) {
    if (a.rank() == 0 || b.rank() == 0) throw ExecError("MatMul of a scalar");
    Shape sa = a.shape(), sb = b.shape();
    const bool vecA = sa.size() == 1, vecB = sb.size() == 1;
    if (vecA) sa.insert(sa.begin(), 1);
    if (vecB) sb.push_back(1);
    const int64_t M = sa[sa.size() - 2], K = sa.back(), N = sb.back();
    if (sb[sb.size() - 2] != K) throw ExecError("MatMul shapes " + shapeText(a.shape()) + " and " + shapeText(b.shape()));
    const Shape batchA(sa.begin(), sa.end() - 2), batchB(sb.begin(), sb.end() - 2);
    const Shape batch = broadcastShape(batchA, batchB);
    Shape shape = batch;
    if (!vecA) shape.push_back(M);
    if (!vecB) shape.push_back(N);
    out.reset(DType::Float, shape);
    const auto strA = broadcastStrides(batchA, batch), strB = broadcastStrides(batchB, batch);
    const int64_t count = elementCount(batch);
    std::vector<int64_t> idx(batch.size(), 0);
    for (int64_t i = 0; i < count; ++i) {
        int64_t ia = 0, ib = 0;
        for (size_t d = 0; d < batch.size(); ++d) ia += idx[d] * strA[d], ib += idx[d] * strB[d];
        MapMat(out.data<float>() + i * M * N, M, N).noalias() =
            ConstMapMat(a.data<float>() + ia * M * K, M, K) * ConstMapMat(b.data<float>() + ib * K * N, K, N);
        for (size_t d = batch.size(); d-- > 0;) {
            if (++idx[d] < batch[d]) break;
            idx[d] = 0;
        }
    }
}

}  // namespace

std::unique_ptr<Kernel> referenceMatMul(const onnx::NodeProto& n, bool isGemm) {
    if (isGemm) {
        const Attrs a(n);
        const float alpha = a.f("alpha", 1.0f), beta = a.f("beta", 1.0f);
        const bool ta = a.i("transA", 0) != 0, tb = a.i("transB", 0) != 0;
        return lambdaKernel([=](KernelContext& ctx) {
            const Tensor& A = ctx.in(0);
            const Tensor& B = ctx.in(1);
            requireFloat(A, "Gemm input");
            requireFloat(B, "Gemm input");
            if (A.rank() != 2 || B.rank() != 2) throw ExecError("Gemm inputs must be matrices");
            const int64_t M = ta ? A.dim(1) : A.dim(0), K = ta ? A.dim(0) : A.dim(1);
            const int64_t N = tb ? B.dim(0) : B.dim(1);
            if ((tb ? B.dim(1) : B.dim(0)) != K) throw ExecError("Gemm inner dimensions differ");
            Tensor& Y = ctx.out(0, DType::Float, {M, N});
            MapMat y(Y.data<float>(), M, N);
            const ConstMapMat am(A.data<float>(), A.dim(0), A.dim(1));
            const ConstMapMat bm(B.data<float>(), B.dim(0), B.dim(1));
            if (ta && tb) {
                y.noalias() = alpha * (am.transpose() * bm.transpose());
            } else if (ta) {
                y.noalias() = alpha * (am.transpose() * bm);
            } else if (tb) {
                y.noalias() = alpha * (am * bm.transpose());
            } else {
                y.noalias() = alpha * (am * bm);
            }
            if (ctx.has(2) && beta != 0.0f) {
                const Tensor& C = ctx.in(2);
                requireFloat(C, "Gemm input");
                if (broadcastShape(C.shape(), Y.shape()) != Y.shape()) throw ExecError("Gemm C does not broadcast");
                const auto sc = broadcastStrides(C.shape(), Y.shape());
                forEachBroadcast(Y.shape(), sc, sc, [&](int64_t o, int64_t ic, int64_t, int64_t cnt, int64_t st, int64_t) {
                    for (int64_t k = 0; k < cnt; ++k) Y.data<float>()[o + k] += beta * C.data<float>()[ic + k * st];
                });
            }
        });
    }
    return lambdaKernel([](KernelContext& ctx) {
            requireFloat(ctx.in(0), "MatMul input");
            requireFloat(ctx.in(1), "MatMul input");
            matmul(ctx.in(0), ctx.in(1), ctx.out(0, DType::Float, {}));
        });
}

namespace {

enum class SoftKind { Softmax, LogSoftmax, Hardmax };

std::unique_ptr<Kernel> softmaxKernel(const onnx::NodeProto& n, int64_t opset, SoftKind kind) {
    const int64_t axisAttr = Attrs(n).i("axis", opset >= 13 ? -1 : 1);
    return lambdaKernel([axisAttr, opset, kind](KernelContext& ctx) {
        const Tensor& x = ctx.in(0);
        requireFloat(x, "softmax input");
        Tensor& y = ctx.out(0, DType::Float, x.shape());
        const auto r = static_cast<int64_t>(x.rank());
        const int64_t axis = axisAttr < 0 ? axisAttr + r : axisAttr;
        if (axis < 0 || axis >= std::max<int64_t>(r, 1)) throw ExecError("softmax axis out of range");
        int64_t outer = 1, dim = 1, inner = 1;
        for (int64_t i = 0; i < r; ++i) {
            const int64_t d = x.dim(static_cast<size_t>(i));
            if (opset < 13) {
                (i < axis ? outer : dim) *= d;
            } else {
                (i < axis ? outer : i == axis ? dim : inner) *= d;
            }
        }
        const float* src = x.data<float>();
        float* dst = y.data<float>();
        for (int64_t o = 0; o < outer; ++o) {
            for (int64_t in = 0; in < inner; ++in) {
                const int64_t base = o * dim * inner + in;
                float mx = -std::numeric_limits<float>::infinity();
                int64_t arg = 0;
                for (int64_t k = 0; k < dim; ++k) {
                    if (src[base + k * inner] > mx) mx = src[base + k * inner], arg = k;
                }
                if (kind == SoftKind::Hardmax) {
                    for (int64_t k = 0; k < dim; ++k) dst[base + k * inner] = k == arg ? 1.0f : 0.0f;
                    continue;
                }
                double sum = 0;
                for (int64_t k = 0; k < dim; ++k) sum += std::exp(static_cast<double>(src[base + k * inner] - mx));
                for (int64_t k = 0; k < dim; ++k) {
                    const float v = src[base + k * inner] - mx;
                    dst[base + k * inner] = kind == SoftKind::Softmax
                                                ? static_cast<float>(std::exp(static_cast<double>(v)) / sum)
                                                : static_cast<float>(v - std::log(sum));
                }
            }
        }
    });
}

}  // namespace

std::unique_ptr<Kernel> referenceBatchNorm(const onnx::NodeProto& n) {
    const float eps = Attrs(n).f("epsilon", 1e-5f);
    const float momentum = Attrs(n).f("momentum", 0.9f);
    const bool training = Attrs(n).i("training_mode", 0) != 0;
    // The per-channel scratch lives with the kernel, reused across executions.
    std::vector<float> invStd, batchMean, batchVar;
    return lambdaKernel([eps, momentum, training, invStd, batchMean, batchVar](KernelContext& ctx) mutable {
        const Tensor& x = ctx.in(0);
        requireFloat(x, "BatchNormalization input");
        const int64_t N = x.dim(0), C = x.rank() > 1 ? x.dim(1) : 1;
        for (size_t i = 1; i <= 4; ++i) {
            requireFloat(ctx.in(i), "BatchNormalization parameter");
            if (ctx.in(i).size() != C) throw ExecError("BatchNormalization parameters must have one value per channel");
        }
        const float* mean = ctx.in(3).data<float>();
        const float* var = ctx.in(4).data<float>();
        // Training mode normalises with the batch's own statistics and
        // reports the updated running ones.
        if (training) {
            const int64_t S = N * C == 0 ? 0 : x.size() / (N * C);
            batchMean.assign(static_cast<size_t>(C), 0.0f);
            batchVar.assign(static_cast<size_t>(C), 0.0f);
            for (int64_t c = 0; c < C; ++c) {
                double sum = 0, sq = 0;
                for (int64_t b = 0; b < N; ++b) {
                    const float* p = x.data<float>() + (b * C + c) * S;
                    for (int64_t k = 0; k < S; ++k) sum += p[k], sq += double(p[k]) * p[k];
                }
                const double count = std::max<double>(double(N * S), 1.0);
                batchMean[static_cast<size_t>(c)] = static_cast<float>(sum / count);
                batchVar[static_cast<size_t>(c)] = static_cast<float>(sq / count - (sum / count) * (sum / count));
            }
            for (size_t k = 1; k <= 2; ++k) {
                if (!ctx.wantsOutput(k)) continue;
                const float* running = k == 1 ? mean : var;
                const std::vector<float>& current = k == 1 ? batchMean : batchVar;
                Tensor& o = ctx.out(k, DType::Float, {C});
                for (int64_t c = 0; c < C; ++c) {
                    o.data<float>()[c] = running[c] * momentum + current[static_cast<size_t>(c)] * (1 - momentum);
                }
            }
            mean = batchMean.data();
            var = batchVar.data();
        }
        invStd.resize(static_cast<size_t>(C));
        for (int64_t c = 0; c < C; ++c) invStd[static_cast<size_t>(c)] = 1.0f / std::sqrt(var[c] + eps);
        Tensor& y = ctx.out(0, DType::Float, x.shape());
        channelAffine(x, ctx.in(1).data<float>(), ctx.in(2).data<float>(), mean, invStd.data(), y);
    });
}

std::unique_ptr<Kernel> referenceSoftmax(const onnx::NodeProto& n, int64_t opset, bool log) {
    return softmaxKernel(n, opset, log ? SoftKind::LogSoftmax : SoftKind::Softmax);
}

std::unique_ptr<Kernel> referenceConvTranspose(const onnx::NodeProto& n) {
    return std::make_unique<ConvTransposeKernel>(n);
}

void registerNnKernels() {
    registerKernel("InstanceNormalization", [](const onnx::NodeProto& n, int64_t) {
        const float eps = Attrs(n).f("epsilon", 1e-5f);
        return lambdaKernel([eps](KernelContext& ctx) {
            const Tensor& x = ctx.in(0);
            requireFloat(x, "InstanceNormalization input");
            Tensor& y = ctx.out(0, DType::Float, x.shape());
            const int64_t N = x.dim(0), C = x.dim(1), S = x.size() / std::max<int64_t>(N * C, 1);
            if (ctx.in(1).size() != C || ctx.in(2).size() != C) {
                throw ExecError("InstanceNormalization needs one scale and one bias per channel");
            }
            // An empty extent leaves nothing to normalise (the output is empty too).
            if (ctx.dryRun() || y.size() == 0) return ctx.zeroOutputs();
            const float* scale = ctx.in(1).data<float>();
            const float* bias = ctx.in(2).data<float>();
            for (int64_t i = 0; i < N * C; ++i) {
                const Eigen::Map<const Eigen::ArrayXf> v(x.data<float>() + i * S, S);
                const float mean = v.mean();
                const float var = (v - mean).square().mean();
                const float a = scale[i % C] / std::sqrt(var + eps);
                Eigen::Map<Eigen::ArrayXf>(y.data<float>() + i * S, S) = (v - mean) * a + bias[i % C];
            }
        });
    });
    registerKernel("Hardmax", [](const onnx::NodeProto& n, int64_t o) { return softmaxKernel(n, o, SoftKind::Hardmax); });
}

}  // namespace vexart
