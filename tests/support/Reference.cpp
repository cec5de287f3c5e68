#include "support/Reference.h"

#include <algorithm>
#include <cmath>

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

std::vector<double> recurrentLayer(const std::string& op, int64_t directions, bool reverse, bool linearBeforeReset,
                                   const std::vector<float>& x, const std::vector<float>& w, const std::vector<float>& r,
                                   const std::vector<float>& bias, int64_t T, int64_t B, int64_t I, int64_t H) {
    const int64_t G = op == "LSTM" ? 4 : op == "GRU" ? 3 : 1, D = directions;
    std::vector<double> y(static_cast<size_t>(T * D * B * H));
    auto sigmoid = [](double v) { return 1 / (1 + std::exp(-v)); };
    for (int64_t d = 0; d < D; ++d) {
        const float* W = w.data() + d * G * H * I;
        const float* R = r.data() + d * G * H * H;
        const float* Wb = bias.data() + d * 2 * G * H;
        const float* Rb = Wb + G * H;
        for (int64_t b = 0; b < B; ++b) {
            std::vector<double> h(static_cast<size_t>(H), 0.0), c(static_cast<size_t>(H), 0.0);
            for (int64_t s = 0; s < T; ++s) {
                const int64_t t = reverse || d == 1 ? T - 1 - s : s;
                const float* xt = x.data() + (t * B + b) * I;
                // Gate g's input part (with its bias) and recurrent part (with its bias) over state `state`.
                auto in = [&](int64_t g, int64_t k) {
                    double v = Wb[g * H + k];
                    for (int64_t j = 0; j < I; ++j) v += double(W[(g * H + k) * I + j]) * xt[j];
                    return v;
                };
                auto rec = [&](int64_t g, int64_t k, const std::vector<double>& state) {
                    double v = Rb[g * H + k];
                    for (int64_t j = 0; j < H; ++j) v += double(R[(g * H + k) * H + j]) * state[static_cast<size_t>(j)];
                    return v;
                };
                std::vector<double> next(static_cast<size_t>(H));
                if (op == "RNN") {
                    for (int64_t k = 0; k < H; ++k) next[static_cast<size_t>(k)] = std::tanh(in(0, k) + rec(0, k, h));
                } else if (op == "GRU") {
                    std::vector<double> z(static_cast<size_t>(H)), rg(static_cast<size_t>(H)), rh(static_cast<size_t>(H));
                    for (int64_t k = 0; k < H; ++k) {
                        z[static_cast<size_t>(k)] = sigmoid(in(0, k) + rec(0, k, h));
                        rg[static_cast<size_t>(k)] = sigmoid(in(1, k) + rec(1, k, h));
                        rh[static_cast<size_t>(k)] = rg[static_cast<size_t>(k)] * h[static_cast<size_t>(k)];
                    }
                    for (int64_t k = 0; k < H; ++k) {
                        const size_t K = static_cast<size_t>(k);
                        const double cand = std::tanh(linearBeforeReset ? in(2, k) + rg[K] * rec(2, k, h) : in(2, k) + rec(2, k, rh));
                        next[K] = (1 - z[K]) * cand + z[K] * h[K];
                    }
                } else {
                    for (int64_t k = 0; k < H; ++k) {
                        const size_t K = static_cast<size_t>(k);
                        const double i = sigmoid(in(0, k) + rec(0, k, h)), o = sigmoid(in(1, k) + rec(1, k, h)),
                                     f = sigmoid(in(2, k) + rec(2, k, h)), cand = std::tanh(in(3, k) + rec(3, k, h));
                        c[K] = f * c[K] + i * cand;
                        next[K] = o * std::tanh(c[K]);
                    }
                }
                h = next;
                std::copy(h.begin(), h.end(), y.begin() + ((t * D + d) * B + b) * H);
            }
        }
    }
    return y;
}
