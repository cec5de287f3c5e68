#include "support/Reference.h"

using vexart::Shape;

std::vector<double> convolve(const std::vector<double>& x, const vexart::Shape& xs, const std::vector<float>& w,
                             const std::vector<float>& bias, int64_t M, int64_t group, const std::vector<int64_t>& k,
                             const std::vector<int64_t>& stride, const std::vector<int64_t>& pads, vexart::Shape& ys,
                             const std::vector<int64_t>& dilation) {
    const size_t sp = xs.size() - 2;
    const int64_t C = xs[1], Cg = C / group, Mg = M / group;
    auto dil = [&](size_t d) { return dilation.empty() ? int64_t{1} : dilation[d]; };
    ys = {xs[0], M};
    int64_t plane = 1, inPlane = 1, kPlane = 1;
    for (size_t d = 0; d < sp; ++d) {
        ys.push_back((xs[d + 2] + pads[d] + pads[d + sp] - (k[d] - 1) * dil(d) - 1) / stride[d] + 1);
        plane *= ys.back(), inPlane *= xs[d + 2], kPlane *= k[d];
    }
    std::vector<double> y(static_cast<size_t>(xs[0] * M * plane));
    for (int64_t n = 0; n < xs[0]; ++n) {
        for (int64_t m = 0; m < M; ++m) {
            for (int64_t o = 0; o < plane; ++o) {
                double sum = bias[static_cast<size_t>(m)];
                for (int64_t c = 0; c < Cg; ++c) {
                    for (int64_t kp = 0; kp < kPlane; ++kp) {
                        int64_t at = 0, orest = o, krest = kp, oStride = plane, kStride = kPlane;
                        bool inside = true;
                        for (size_t d = 0; d < sp; ++d) {
                            oStride /= ys[d + 2], kStride /= k[d];
                            const int64_t i = orest / oStride * stride[d] + krest / kStride * dil(d) - pads[d];
                            orest %= oStride, krest %= kStride;
                            inside = inside && i >= 0 && i < xs[d + 2];
                            at = at * xs[d + 2] + i;
                        }
                        if (!inside) continue;
                        const int64_t ci = (m / Mg) * Cg + c;
                        sum += x[static_cast<size_t>((n * C + ci) * inPlane + at)] * w[static_cast<size_t>((m * Cg + c) * kPlane + kp)];
                    }
                }
                y[static_cast<size_t>((n * M + m) * plane + o)] = sum;
            }
        }
    }
    return y;
}
