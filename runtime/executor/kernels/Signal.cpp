// Signal processing for audio front ends: DFT, STFT, the Hann, Hamming and
// Blackman windows and the mel filter bank. Transforms are computed
// directly in double precision; the frames of speech models are short.
#include <onnx/onnx_pb.h>

#include <cmath>

#include "core/Dispatch.h"
#include "core/Indexing.h"
#include "core/Kernel.h"

namespace vexart {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Largest transform or window this runtime builds; guards sizes read from inputs.
constexpr int64_t kMaxLength = 1 << 24;
// Multiply-adds one direct transform call may take (about seconds).
constexpr double kMaxWork = 4e9;

void checkWork(double transforms, double length, double bins) {
    if (transforms * length * bins > kMaxWork) throw ExecError("transform is too large for direct evaluation");
}

int64_t lengthFrom(const Tensor& t, const char* what) {
    if (t.size() != 1) throw ExecError(std::string(what) + " must be a scalar");
    const double v = t.scalarAsDouble(0);
    if (!(v >= 0 && v <= static_cast<double>(kMaxLength))) throw ExecError(std::string(what) + " is out of range");
    return static_cast<int64_t>(v);
}

// One transform of `n` complex samples (imaginary parts may be absent),
// read with stride `step`, zero-padded or cut to `length`; `bins` outputs
// written as (re, im) pairs `outStep` apart.
void transform(const double* re, const double* im, int64_t n, int64_t length, bool inverse, int64_t bins, float* out,
               int64_t outStep, std::vector<double>& twiddle) {
    const double sign = inverse ? 1.0 : -1.0;
    twiddle.resize(static_cast<size_t>(2 * length));
    for (int64_t k = 0; k < length; ++k) {
        twiddle[static_cast<size_t>(2 * k)] = std::cos(2 * kPi * static_cast<double>(k) / static_cast<double>(length));
        twiddle[static_cast<size_t>(2 * k + 1)] = sign * std::sin(2 * kPi * static_cast<double>(k) / static_cast<double>(length));
    }
    const int64_t used = std::min(n, length);
    for (int64_t k = 0; k < bins; ++k) {
        double sr = 0, si = 0;
        for (int64_t t = 0; t < used; ++t) {
            const auto w = static_cast<size_t>(2 * ((k * t) % length));
            const double c = twiddle[w], s = twiddle[w + 1];
            const double xr = re[t], xi = im != nullptr ? im[t] : 0.0;
            sr += xr * c - xi * s;
            si += xr * s + xi * c;
        }
        if (inverse) {
            sr /= static_cast<double>(length);
            si /= static_cast<double>(length);
        }
        out[k * outStep] = static_cast<float>(sr);
        out[k * outStep + 1] = static_cast<float>(si);
    }
}

class DftKernel : public Kernel {
public:
    DftKernel(int64_t axis, bool inverse, bool onesided) : axis_(axis), inverse_(inverse), onesided_(onesided) {}
    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (x.rank() < 3 || (x.shape().back() != 1 && x.shape().back() != 2)) {
            throw ExecError("DFT input must be [batch, ..., 1 or 2]");
        }
        const auto axis = static_cast<size_t>(normAxis(axis_, x.rank() - 1));
        if (axis == 0) throw ExecError("DFT axis must not be the batch axis");
        const int64_t n = x.dim(axis), comps = x.shape().back();
        const int64_t length = ctx.has(1) && ctx.in(1).size() != 0 ? lengthFrom(ctx.in(1), "dft_length") : n;
        if (length == 0) throw ExecError("dft_length must be positive");
        const int64_t bins = onesided_ ? length / 2 + 1 : length;
        const int64_t outer = elementCount(Shape(x.shape().begin(), x.shape().begin() + static_cast<long>(axis)));
        const int64_t inner = elementCount(Shape(x.shape().begin() + static_cast<long>(axis) + 1, x.shape().end() - 1));
        Shape shape = x.shape();
        shape[axis] = bins;
        shape.back() = 2;
        checkWork(static_cast<double>(outer * inner), static_cast<double>(std::min(n, length)), static_cast<double>(bins));
        Tensor& y = ctx.out(0, DType::Float, shape);
        if (ctx.dryRun()) return ctx.zeroOutputs();
        re_.resize(static_cast<size_t>(n));
        im_.resize(static_cast<size_t>(n));
        for (int64_t o = 0; o < outer; ++o) {
            for (int64_t i = 0; i < inner; ++i) {
                for (int64_t t = 0; t < n; ++t) {
                    const int64_t at = ((o * n + t) * inner + i) * comps;
                    re_[static_cast<size_t>(t)] = x.scalarAsDouble(at);
                    im_[static_cast<size_t>(t)] = comps == 2 ? x.scalarAsDouble(at + 1) : 0.0;
                }
                transform(re_.data(), im_.data(), n, length, inverse_, bins, y.data<float>() + (o * bins * inner + i) * 2,
                          inner * 2, twiddle_);
            }
        }
    }

private:
    int64_t axis_;
    bool inverse_, onesided_;
    std::vector<double> re_, im_, twiddle_;
};

// Frames of a [batch, length, 1 or 2] signal, each windowed and transformed.
class StftKernel : public Kernel {
public:
    explicit StftKernel(bool onesided) : onesided_(onesided) {}
    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        if (x.rank() != 3 || (x.dim(2) != 1 && x.dim(2) != 2)) throw ExecError("STFT signal must be [batch, length, 1 or 2]");
        const int64_t step = lengthFrom(ctx.in(1), "frame_step");
        const Tensor* window = ctx.has(2) && ctx.in(2).size() != 0 ? &ctx.in(2) : nullptr;
        int64_t frame = window != nullptr ? window->size() : 0;
        if (ctx.has(3) && ctx.in(3).size() != 0) frame = lengthFrom(ctx.in(3), "frame_length");
        if (window != nullptr && window->size() != frame) throw ExecError("window and frame_length differ");
        const int64_t B = x.dim(0), L = x.dim(1), comps = x.dim(2);
        if (step <= 0 || frame <= 0 || frame > L) throw ExecError("frame_step and frame_length must fit the signal");
        const int64_t frames = (L - frame) / step + 1, bins = onesided_ ? frame / 2 + 1 : frame;
        checkWork(static_cast<double>(B * frames), static_cast<double>(frame), static_cast<double>(bins));
        Tensor& y = ctx.out(0, DType::Float, {B, frames, bins, 2});
        if (ctx.dryRun()) return ctx.zeroOutputs();
        re_.resize(static_cast<size_t>(frame));
        im_.resize(static_cast<size_t>(frame));
        for (int64_t b = 0; b < B; ++b) {
            for (int64_t f = 0; f < frames; ++f) {
                for (int64_t t = 0; t < frame; ++t) {
                    const double w = window != nullptr ? window->scalarAsDouble(t) : 1.0;
                    const int64_t at = (b * L + f * step + t) * comps;
                    re_[static_cast<size_t>(t)] = x.scalarAsDouble(at) * w;
                    im_[static_cast<size_t>(t)] = comps == 2 ? x.scalarAsDouble(at + 1) * w : 0.0;
                }
                transform(re_.data(), im_.data(), frame, frame, false, bins, y.data<float>() + (b * frames + f) * bins * 2, 2,
                          twiddle_);
            }
        }
    }

private:
    bool onesided_;
    std::vector<double> re_, im_, twiddle_;
};

// Generalised cosine windows: a0 - a1 cos(2 pi n / D) + a2 cos(4 pi n / D).
void registerWindow(const char* name, double a0, double a1, double a2) {
    registerKernel(name, [a0, a1, a2](const onnx::NodeProto& n, int64_t) {
        const auto type = static_cast<DType>(Attrs(n).i("output_datatype", 1));
        const bool periodic = Attrs(n).i("periodic", 1) != 0;
        return lambdaKernel([a0, a1, a2, type, periodic](KernelContext& ctx) {
            const int64_t size = lengthFrom(ctx.in(0), "window size");
            std::vector<float> w(static_cast<size_t>(size));
            const double d = periodic ? static_cast<double>(size) : static_cast<double>(size - 1);
            for (int64_t i = 0; i < size; ++i) {
                const double x = 2 * kPi * static_cast<double>(i) / d;
                w[static_cast<size_t>(i)] = static_cast<float>(a0 - a1 * std::cos(x) + a2 * std::cos(2 * x));
            }
            Tensor& out = ctx.out(0, type, {size});
            castFloats(w.data(), type, out.raw(), size);
        });
    }, OpTraits::valueShaped(1u << 0));
}

}  // namespace

void registerSignalKernels() {
    registerKernel("DFT", [](const onnx::NodeProto& n, int64_t) {
        const Attrs a(n);
        return std::make_unique<DftKernel>(a.i("axis", 1), a.i("inverse", 0) != 0, a.i("onesided", 0) != 0);
    }, OpTraits::valueShaped(0b110u));
    registerKernel("STFT", [](const onnx::NodeProto& n, int64_t) {
        return std::make_unique<StftKernel>(Attrs(n).i("onesided", 1) != 0);
    }, OpTraits::valueShaped(0b1010u));
    registerWindow("HannWindow", 0.5, 0.5, 0);
    registerWindow("HammingWindow", 25.0 / 46.0, 21.0 / 46.0, 0);
    registerWindow("BlackmanWindow", 0.42, 0.5, 0.08);
    // Triangular filters evenly spaced on the mel scale, over the bins of a
    // one-sided spectrum: [dft_length / 2 + 1, num_mel_bins].
    registerKernel("MelWeightMatrix", [](const onnx::NodeProto& n, int64_t) {
        const auto type = static_cast<DType>(Attrs(n).i("output_datatype", 1));
        return lambdaKernel([type](KernelContext& ctx) {
            const int64_t mels = lengthFrom(ctx.in(0), "num_mel_bins"), dft = lengthFrom(ctx.in(1), "dft_length");
            const double rate = ctx.in(2).scalarAsDouble(0);
            const double lo = ctx.in(3).scalarAsDouble(0), hi = ctx.in(4).scalarAsDouble(0);
            if (mels == 0 || dft == 0 || !(rate > 0) || !(lo >= 0 && hi > lo)) throw ExecError("mel filter bank parameters are out of range");
            const int64_t spectrum = dft / 2 + 1;
            if (mels * spectrum > kMaxLength) throw ExecError("mel filter bank is too large");
            auto toMel = [](double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); };
            const double melLo = toMel(lo), step = (toMel(hi) - melLo) / static_cast<double>(mels + 2);
            std::vector<int64_t> edge(static_cast<size_t>(mels + 2));
            for (int64_t i = 0; i < mels + 2; ++i) {
                const double hz = 700.0 * (std::pow(10.0, (static_cast<double>(i) * step + melLo) / 2595.0) - 1.0);
                edge[static_cast<size_t>(i)] = std::clamp<int64_t>(
                    static_cast<int64_t>(std::floor(static_cast<double>(dft + 1) * hz / rate)), 0, spectrum - 1);
            }
            std::vector<float> w(static_cast<size_t>(spectrum * mels), 0.0f);
            for (int64_t m = 0; m < mels; ++m) {
                const int64_t left = edge[static_cast<size_t>(m)], center = edge[static_cast<size_t>(m + 1)],
                              right = edge[static_cast<size_t>(m + 2)];
                if (center == left) {
                    w[static_cast<size_t>(center * mels + m)] = 1;
                } else {
                    for (int64_t j = left; j <= center; ++j) {
                        w[static_cast<size_t>(j * mels + m)] = static_cast<float>(j - left) / static_cast<float>(center - left);
                    }
                }
                for (int64_t j = center; j < right; ++j) {
                    w[static_cast<size_t>(j * mels + m)] = static_cast<float>(right - j) / static_cast<float>(right - center);
                }
            }
            Tensor& out = ctx.out(0, type, {spectrum, mels});
            castFloats(w.data(), type, out.raw(), out.size());
        });
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
}

}  // namespace vexart
