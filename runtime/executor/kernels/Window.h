// Geometry of convolution and pooling windows, shared by their kernels.
// Spatial operators treat 1-D and 2-D inputs as 3-D ones with unit
// leading dimensions, so one loop nest (or one oneDNN descriptor) serves all ranks.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/Kernel.h"

namespace vexart {

inline void requireFloat(const Tensor& t, const char* what) {
    if (t.type() != DType::Float) throw ExecError(std::string(what) + " must be float32, not " + dtypeName(t.type()));
}

// Spatial geometry of a convolution or pooling window, promoted to 3-D.
struct Window {
    int64_t in[3] = {1, 1, 1};
    int64_t k[3] = {1, 1, 1};
    int64_t stride[3] = {1, 1, 1};
    int64_t dil[3] = {1, 1, 1};
    int64_t padBegin[3] = {0, 0, 0};
    int64_t padEnd[3] = {0, 0, 0};
    int64_t out[3] = {1, 1, 1};
    size_t spatial = 0;

    int64_t inSize() const { return in[0] * in[1] * in[2]; }
    int64_t outSize() const { return out[0] * out[1] * out[2]; }
    int64_t kSize() const { return k[0] * k[1] * k[2]; }
};

struct WindowAttrs {
    std::string autoPad;
    std::vector<int64_t> kernel, strides, dilations, pads;
    bool ceilMode = false;

    explicit WindowAttrs(const Attrs& a)
        : autoPad(a.s("auto_pad", "NOTSET")),
          kernel(a.ints("kernel_shape")),
          strides(a.ints("strides")),
          dilations(a.ints("dilations")),
          pads(a.ints("pads")),
          ceilMode(a.i("ceil_mode", 0) != 0) {}

    // Attribute lists must have one value per spatial axis (two for pads),
    // kernels, strides and dilations positive, pads not negative, and all
    // below 2^31: the window arithmetic below then cannot overflow.
    void check(size_t spatial, const std::vector<int64_t>& kernelShape) const {
        auto ints = [spatial](const std::vector<int64_t>& v, size_t per, int64_t least, const char* what) {
            if (v.size() != spatial * per) {
                throw ExecError(std::string(what) + " must have " + std::to_string(spatial * per) + " values");
            }
            for (int64_t x : v) {
                if (x < least) throw ExecError(std::string(what) + " must be at least " + std::to_string(least));
                if (x > INT32_MAX) throw ExecError(std::string(what) + " must be at most " + std::to_string(INT32_MAX));
            }
        };
        ints(kernelShape, 1, 1, "kernel_shape");
        if (!strides.empty()) ints(strides, 1, 1, "strides");
        if (!dilations.empty()) ints(dilations, 1, 1, "dilations");
        if (!pads.empty()) ints(pads, 2, 0, "pads");
    }

    Window resolve(const Shape& x, const std::vector<int64_t>& kernelShape) const {
        Window w;
        if (x.size() < 3 || x.size() > 5) throw ExecError("spatial input must have rank 3 to 5");
        w.spatial = x.size() - 2;
        check(w.spatial, kernelShape);
        const size_t off = 3 - w.spatial;
        for (size_t i = 0; i < w.spatial; ++i) {
            const size_t j = i + off;
            w.in[j] = x[i + 2];
            w.k[j] = kernelShape.at(i);
            w.stride[j] = strides.empty() ? 1 : strides.at(i);
            w.dil[j] = dilations.empty() ? 1 : dilations.at(i);
            const int64_t eff = (w.k[j] - 1) * w.dil[j] + 1;
            if (autoPad == "SAME_UPPER" || autoPad == "SAME_LOWER") {
                w.out[j] = (w.in[j] + w.stride[j] - 1) / w.stride[j];
                const int64_t total = std::max<int64_t>(0, (w.out[j] - 1) * w.stride[j] + eff - w.in[j]);
                w.padBegin[j] = autoPad == "SAME_UPPER" ? total / 2 : total - total / 2;
                w.padEnd[j] = total - w.padBegin[j];
                continue;
            }
            if (autoPad == "NOTSET" && !pads.empty()) {
                w.padBegin[j] = pads.at(i);
                w.padEnd[j] = pads.at(i + w.spatial);
            }
            const int64_t span = w.in[j] + w.padBegin[j] + w.padEnd[j] - eff;
            if (span < 0) throw ExecError("window larger than the padded input");
            w.out[j] = (ceilMode ? (span + w.stride[j] - 1) / w.stride[j] : span / w.stride[j]) + 1;
            // A last window that starts inside the end padding is dropped.
            if (ceilMode && (w.out[j] - 1) * w.stride[j] >= w.in[j] + w.padBegin[j]) --w.out[j];
        }
        return w;
    }

    // A max or average pool's window: one that lay wholly in the padding
    // would have no value to pool (the maximum and the mean of nothing),
    // so pads must stay below the window and an empty axis give no window.
    Window resolvePool(const Shape& x) const {
        const Window w = resolve(x, kernel);
        for (size_t j = 3 - w.spatial; j < 3; ++j) {
            const int64_t eff = (w.k[j] - 1) * w.dil[j] + 1;
            if (w.padBegin[j] >= eff || w.padEnd[j] >= eff) {
                throw ExecError("pads of " + std::to_string(std::max(w.padBegin[j], w.padEnd[j])) +
                                " reach past a pooling window of " + std::to_string(eff));
            }
            if (w.in[j] == 0 && w.out[j] > 0) throw ExecError("every pooling window of an empty axis lies in the padding");
        }
        return w;
    }
};

// ConvTranspose's attributes: its window, groups, and the two ways of
// fixing its output's extent besides the pads.
struct TransposedWindowAttrs {
    WindowAttrs window;
    int64_t group;
    std::vector<int64_t> outputPadding, outputShape;

    explicit TransposedWindowAttrs(const Attrs& a)
        : window(a), group(a.i("group", 1)), outputPadding(a.ints("output_padding")), outputShape(a.ints("output_shape")) {
        // Rows added past the last stride step are reached by no input:
        // a padding as long as the step (or the dilation) is not one.
        for (size_t i = 0; i < outputPadding.size(); ++i) {
            const int64_t stride = i < window.strides.size() ? window.strides[i] : 1;
            const int64_t dilation = i < window.dilations.size() ? window.dilations[i] : 1;
            if (outputPadding[i] < 0 || (outputPadding[i] >= stride && outputPadding[i] >= dilation)) {
                throw ExecError("output_padding " + std::to_string(outputPadding[i]) +
                                " must be below the stride or the dilation of its axis");
            }
        }
    }
};

// Calls f(input row, kernel row) for each row of the window at output row
// (od, oh) that falls inside the input, rows counted as id * in[1] + ih
// and kd * k[1] + kh (padding is skipped).
template <typename F>
void forEachRow(const Window& w, int64_t od, int64_t oh, F f) {
    for (int64_t kd = 0; kd < w.k[0]; ++kd) {
        const int64_t id = od * w.stride[0] - w.padBegin[0] + kd * w.dil[0];
        if (id < 0 || id >= w.in[0]) continue;
        for (int64_t kh = 0; kh < w.k[1]; ++kh) {
            const int64_t ih = oh * w.stride[1] - w.padBegin[1] + kh * w.dil[1];
            if (ih >= 0 && ih < w.in[1]) f(id * w.in[1] + ih, kd * w.k[1] + kh);
        }
    }
}

// Calls f(input offset, kernel offset) for each tap of the window at output
// position (od, oh, ow) that falls inside the input (padding is skipped).
template <typename F>
void forEachTap(const Window& w, int64_t od, int64_t oh, int64_t ow, F f) {
    forEachRow(w, od, oh, [&](int64_t row, int64_t kernelRow) {
        for (int64_t kw = 0; kw < w.k[2]; ++kw) {
            const int64_t iw = ow * w.stride[2] - w.padBegin[2] + kw * w.dil[2];
            if (iw >= 0 && iw < w.in[2]) f(row * w.in[2] + iw, kernelRow * w.k[2] + kw);
        }
    });
}

// Outputs [lo, hi) of an axis of `in` values whose every tap lies inside it:
// the loops over plain rows check only the outputs outside.
inline void interiorOutputs(int64_t in, int64_t out, int64_t k, int64_t stride, int64_t dil, int64_t pad, int64_t& lo,
                            int64_t& hi) {
    lo = std::min(out, (pad + stride - 1) / stride);
    const int64_t last = in - 1 - (k - 1) * dil + pad;  // the largest o * stride that fits
    hi = last < 0 ? lo : std::max(lo, std::min(out, last / stride + 1));
}

// The outputs o in [lo, hi) of [0, count) whose input o * stride + offset
// lies inside [0, width); hi <= lo where none does.
inline void reachedOutputs(int64_t width, int64_t count, int64_t stride, int64_t offset, int64_t& lo, int64_t& hi) {
    lo = offset >= 0 ? 0 : (stride - 1 - offset) / stride;
    hi = width - 1 - offset < 0 ? 0 : std::min(count, (width - 1 - offset) / stride + 1);
}

inline Shape outputShape(const Shape& x, int64_t channels, const Window& w) {
    Shape s = {x[0], channels};
    for (size_t i = 0; i < w.spatial; ++i) s.push_back(w.out[i + 3 - w.spatial]);
    return s;
}

}  // namespace vexart
