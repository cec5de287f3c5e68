// Recurrent layers: RNN, GRU and LSTM in every direction, with their
// activation lists, clipping, sequence lengths, initial states, peepholes
// and both layouts. The input projection of all steps is one product; each
// step then multiplies the batch's hidden state by the recurrent weights,
// packed once (PanelProduct.h).
#include <onnx/onnx_pb.h>

#include <Eigen/Core>
#include <algorithm>
#include <cctype>
#include <cmath>

#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/InputProjection.h"
#include "kernels/PanelProduct.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

enum class Cell { Rnn, Gru, Lstm };

struct Activation {
    enum Kind { Relu, Tanh, Sigmoid, Affine, LeakyRelu, ThresholdedRelu, ScaledTanh, HardSigmoid, Elu, Softsign, Softplus };
    Kind kind = Tanh;
    float alpha = 0, beta = 0;

    float operator()(float x) const {
        switch (kind) {
            case Relu: return std::max(x, 0.0f);
            case Tanh: return std::tanh(x);
            case Sigmoid: return 1.0f / (1.0f + std::exp(-x));
            case Affine: return alpha * x + beta;
            case LeakyRelu: return x >= 0 ? x : alpha * x;
            case ThresholdedRelu: return x > alpha ? x : 0.0f;
            case ScaledTanh: return alpha * std::tanh(beta * x);
            case HardSigmoid: return std::clamp(alpha * x + beta, 0.0f, 1.0f);
            case Elu: return x >= 0 ? x : alpha * (std::exp(x) - 1.0f);
            case Softsign: return x / (1.0f + std::fabs(x));
            case Softplus: return std::log1p(std::exp(x));
        }
        return x;
    }
};

// Applies `a` to n values in place: the usual gates vectorised.
void activateAll(const Activation& a, float* p, int64_t n) {
    auto v = Eigen::Map<Eigen::ArrayXf>(p, n);
    switch (a.kind) {
        case Activation::Sigmoid: v = v.logistic(); break;
        case Activation::Tanh: v = v.tanh(); break;
        case Activation::Relu: v = v.max(0.0f); break;
        default:
            for (int64_t i = 0; i < n; ++i) p[i] = a(p[i]);
    }
}

// Names as the operator set spells them, in any case; alpha and beta
// default per function where the list leaves them out: an operator's own
// defaults (its traits), or the recurrent set's for Affine and ScaledTanh,
// which are no operators.
Activation activationNamed(std::string name, const std::vector<float>& alphas, const std::vector<float>& betas, size_t i) {
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    struct Known {
        const char* op;
        Activation::Kind kind;
        float alpha, beta;  // for the two that are no operators
    };
    static const Known known[] = {
        {"Relu", Activation::Relu, 0, 0},           {"Tanh", Activation::Tanh, 0, 0},
        {"Sigmoid", Activation::Sigmoid, 0, 0},     {"Affine", Activation::Affine, 1, 0},
        {"LeakyRelu", Activation::LeakyRelu, 0, 0}, {"ThresholdedRelu", Activation::ThresholdedRelu, 0, 0},
        {"ScaledTanh", Activation::ScaledTanh, 1, 1}, {"HardSigmoid", Activation::HardSigmoid, 0, 0},
        {"Elu", Activation::Elu, 0, 0},             {"Softsign", Activation::Softsign, 0, 0},
        {"Softplus", Activation::Softplus, 0, 0},
    };
    for (const auto& k : known) {
        std::string lower = k.op;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (name != lower) continue;
        const OpTraits& t = opTraits(k.op);
        const float alpha = std::isnan(t.alpha) ? k.alpha : t.alpha, beta = std::isnan(t.beta) ? k.beta : t.beta;
        return {k.kind, i < alphas.size() ? alphas[i] : alpha, i < betas.size() ? betas[i] : beta};
    }
    throw ExecError("unknown recurrent activation '" + name + "'");
}

class RecurrentKernel : public Kernel {
public:
    RecurrentKernel(Cell cell, const onnx::NodeProto& n) : cell_(cell) {
        const Attrs a(n);
        hidden_ = a.i("hidden_size", 0);
        const std::string dir = a.s("direction", "forward");
        if (dir != "forward" && dir != "reverse" && dir != "bidirectional") throw ExecError("unknown direction '" + dir + "'");
        reverse_ = dir == "reverse";
        dirs_ = dir == "bidirectional" ? 2 : 1;
        clip_ = a.has("clip") ? a.f("clip", 0) : 0;
        layout_ = a.i("layout", 0);
        inputForget_ = a.i("input_forget", 0) != 0;
        linearBeforeReset_ = a.i("linear_before_reset", 0) != 0;
        const size_t per = cell == Cell::Rnn ? 1 : cell == Cell::Gru ? 2 : 3;
        std::vector<std::string> names;
        for (const auto& s : n.attribute()) {
            if (s.name() == "activations") names.assign(s.strings().begin(), s.strings().end());
        }
        if (names.empty()) {
            const std::vector<std::string> defaults = cell == Cell::Rnn   ? std::vector<std::string>{"Tanh"}
                                                      : cell == Cell::Gru ? std::vector<std::string>{"Sigmoid", "Tanh"}
                                                                          : std::vector<std::string>{"Sigmoid", "Tanh", "Tanh"};
            for (int64_t d = 0; d < dirs_; ++d) names.insert(names.end(), defaults.begin(), defaults.end());
        } else if (names.size() == per && dirs_ == 2) {
            names.insert(names.end(), names.begin(), names.end());
        }
        if (names.size() != per * static_cast<size_t>(dirs_)) throw ExecError("activations must name " + std::to_string(per) + " per direction");
        const auto alphas = a.floats("activation_alpha"), betas = a.floats("activation_beta");
        for (size_t i = 0; i < names.size(); ++i) acts_.push_back(activationNamed(names[i], alphas, betas, i));
        if (hidden_ < 0 || hidden_ > (1 << 20)) throw ExecError("hidden_size is out of range");
        inferHidden_ = hidden_ == 0;
        if (layout_ != 0 && layout_ != 1) throw ExecError("layout must be 0 or 1");
    }

    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const Tensor& w = ctx.in(1);
        const Tensor& r = ctx.in(2);
        for (const Tensor* t : {&x, &w, &r}) requireFloat(*t, "recurrent operand");
        if (x.rank() != 3) throw ExecError("recurrent input must have rank 3");
        if (inferHidden_) hidden_ = r.rank() == 3 ? r.dim(2) : 0;  // the attribute may be left out
        const int64_t T = x.dim(layout_ == 0 ? 0 : 1), B = x.dim(layout_ == 0 ? 1 : 0), I = x.dim(2), H = hidden_;
        const int64_t G = gates(), D = dirs_;
        if (w.shape() != Shape{D, G * H, I} || r.shape() != Shape{D, G * H, H}) {
            throw ExecError("weights " + shapeText(w.shape()) + " and " + shapeText(r.shape()) + " do not fit the layer");
        }
        const float* bias = optionalOf(ctx, 3, {D, 2 * G * H});
        std::vector<int64_t> lens(static_cast<size_t>(B), T);
        if (ctx.has(4) && ctx.in(4).size() != 0) {
            lens = ctx.in(4).toInt64();
            if (static_cast<int64_t>(lens.size()) != B) throw ExecError("one sequence length per batch entry is needed");
            for (int64_t l : lens) {
                if (l < 0 || l > T) throw ExecError("sequence length " + std::to_string(l) + " is out of range");
            }
        }
        const Shape stateShape = layout_ == 0 ? Shape{D, B, H} : Shape{B, D, H};
        const float* h0 = optionalOf(ctx, 5, stateShape);
        const float* c0 = cell_ == Cell::Lstm ? optionalOf(ctx, 6, stateShape) : nullptr;
        const float* peep = cell_ == Cell::Lstm ? optionalOf(ctx, 7, {D, 3 * H}) : nullptr;

        // Time-major input [T, B, I].
        const float* xs = x.data<float>();
        if (layout_ == 1) {
            timeMajor_.resize(static_cast<size_t>(x.size()));
            for (int64_t b = 0; b < B; ++b) {
                for (int64_t t = 0; t < T; ++t) std::copy_n(xs + (b * T + t) * I, I, timeMajor_.data() + (t * B + b) * I);
            }
            xs = timeMajor_.data();
        }
        y_.assign(static_cast<size_t>(T * D * B * H), 0.0f);
        hLast_.assign(static_cast<size_t>(D * B * H), 0.0f);
        cLast_.assign(static_cast<size_t>(D * B * H), 0.0f);
        if (ctx.dryRun()) return writeOutputs(ctx, T, B);  // zeros, shaped
        // Each direction's buffers are sized here: nothing may allocate (and
        // so throw) while the two directions run on their own threads.
        for (int64_t d = 0; d < D; ++d) {
            Scratch& s = scratch_[static_cast<size_t>(d)];
            s.xw.resize(static_cast<size_t>(T * B * G * H));
            for (auto* v : {&s.h, &s.c, &s.rh, &s.hNew}) v->resize(static_cast<size_t>(B * H));
            s.hr.resize(static_cast<size_t>(B * G * H));
            // The biases that add outside the reset gate join the input projection.
            s.bias.assign(static_cast<size_t>(G * H), 0.0f);
            const bool splitRecurrentBias = cell_ == Cell::Gru && linearBeforeReset_;
            for (int64_t k = 0; bias != nullptr && k < G * H; ++k) {
                const float* own = bias + d * 2 * G * H;
                s.bias[static_cast<size_t>(k)] = own[k] + (splitRecurrentBias && k >= 2 * H ? 0.0f : own[G * H + k]);
            }
            if (T * B > 0) projection_[d].prepare(T * B, I, G * H, w.data<float>() + d * G * H * I, ctx.isConstant(1));
            // Constant weights are packed once; weights given as inputs on every execution.
            const float* own = r.data<float>() + d * G * H * H;
            if (!ctx.isConstant(2) || s.packedFrom != own || static_cast<int64_t>(s.rt.size()) != packedSize(G * H, H)) {
                s.rt.resize(static_cast<size_t>(packedSize(G * H, H)));
                packWeights(own, G * H, H, s.rt.data());
                s.packedFrom = own;
            }
        }
        const int64_t steps = lens.empty() ? 0 : *std::max_element(lens.begin(), lens.end());
        parallelFor(D, D == 1 ? 0 : steps * B * G * H * (I + H), [&](int64_t d) {
            runDirection(d, xs, T, B, bias != nullptr ? bias + d * 2 * G * H : nullptr,
                         lens, h0, c0, peep != nullptr ? peep + d * 3 * H : nullptr);
        });
        writeOutputs(ctx, T, B);
    }

private:
    int64_t gates() const { return cell_ == Cell::Rnn ? 1 : cell_ == Cell::Gru ? 3 : 4; }

    static const float* optionalOf(const KernelContext& ctx, size_t i, const Shape& shape) {
        if (!ctx.has(i) || ctx.in(i).size() == 0) return nullptr;
        const Tensor& t = ctx.in(i);
        requireFloat(t, "recurrent operand");
        if (t.shape() != shape) throw ExecError("operand " + std::to_string(i) + " must have shape " + shapeText(shape));
        return t.data<float>();
    }

    void clipAll(float* p, int64_t n) const {
        if (clip_ <= 0) return;
        for (int64_t k = 0; k < n; ++k) p[k] = std::clamp(p[k], -clip_, clip_);
    }

    // State of batch entry b, direction d, in a [D, B, H] (layout 0) or
    // [B, D, H] (layout 1) initial-state tensor.
    const float* stateRow(const float* s, int64_t d, int64_t b, int64_t B) const {
        return s + (layout_ == 0 ? d * B + b : b * dirs_ + d) * hidden_;
    }

    void runDirection(int64_t d, const float* xs, int64_t T, int64_t B, const float* bias,
                      const std::vector<int64_t>& lens, const float* h0, const float* c0, const float* peep) {
        const int64_t H = hidden_, G = gates(), GH = G * H;
        Scratch& sc = scratch_[static_cast<size_t>(d)];
        const bool backwards = reverse_ || d == 1;
        const size_t per = cell_ == Cell::Rnn ? 1 : cell_ == Cell::Gru ? 2 : 3;
        const Activation& f = acts_[static_cast<size_t>(d) * per];
        const Activation& g = acts_[std::min(static_cast<size_t>(d) * per + 1, acts_.size() - 1)];
        const Activation& hAct = acts_[std::min(static_cast<size_t>(d) * per + 2, acts_.size() - 1)];
        // Input projection of every step, with the biases that add outside the reset gate.
        if (T * B > 0) projection_[d].run(xs, sc.bias.data(), sc.xw.data());
        sc.h.assign(static_cast<size_t>(B * H), 0.0f);
        sc.c.assign(static_cast<size_t>(B * H), 0.0f);
        for (int64_t b = 0; b < B; ++b) {
            if (h0 != nullptr) std::copy_n(stateRow(h0, d, b, B), H, sc.h.data() + b * H);
            if (c0 != nullptr) std::copy_n(stateRow(c0, d, b, B), H, sc.c.data() + b * H);
        }
        const int64_t steps = lens.empty() ? 0 : *std::max_element(lens.begin(), lens.end());
        // Recurrent products: all gates, or for a GRU that resets first only z and r.
        const int64_t recurrentCols = cell_ == Cell::Gru && !linearBeforeReset_ ? 2 * H : GH;
        auto product = [&](int64_t from, int64_t to) {
            rowsTimesPacked(sc.h.data(), B, H, H, sc.rt.data(), from, to, sc.hr.data() + from, GH);
        };
        auto gatesOf = [&](int64_t s) {
            for (int64_t b = 0; b < B; ++b) {
                const int64_t len = lens[static_cast<size_t>(b)];
                if (s >= len) continue;
                const int64_t t = backwards ? len - 1 - s : s;
                const float* xwRow = sc.xw.data() + (t * B + b) * GH;
                float* hr = sc.hr.data() + b * GH;
                float* h = sc.h.data() + b * H;
                float* c = sc.c.data() + b * H;
                float* out = sc.hNew.data() + b * H;
                // Pre-activations of every gate: input and recurrent parts.
                // (A GRU's candidate takes its input part outside the reset gate.)
                const int64_t summed = cell_ == Cell::Gru ? 2 * H : GH;
                for (int64_t k = 0; k < summed; ++k) hr[k] += xwRow[k];
                switch (cell_) {
                    case Cell::Rnn:
                        clipAll(hr, H);
                        activateAll(f, hr, H);
                        std::copy_n(hr, H, out);
                        break;
                    case Cell::Gru: {
                        float* z = hr;  // z and r replace their sums in place
                        float* rg = hr + H;
                        clipAll(hr, 2 * H);
                        activateAll(f, hr, 2 * H);
                        if (linearBeforeReset_) {
                            for (int64_t k = 0; k < H; ++k) {
                                const float rb = bias != nullptr ? bias[GH + 2 * H + k] : 0.0f;
                                out[k] = xwRow[2 * H + k] + rg[k] * (hr[2 * H + k] + rb);
                            }
                        } else {
                            float* resetH = sc.rh.data() + b * H;
                            for (int64_t k = 0; k < H; ++k) resetH[k] = rg[k] * h[k];
                            rowsTimesPacked(resetH, 1, H, H, sc.rt.data(), 2 * H, 3 * H, out, H);
                            for (int64_t k = 0; k < H; ++k) out[k] += xwRow[2 * H + k];
                        }
                        clipAll(out, H);
                        activateAll(g, out, H);
                        for (int64_t k = 0; k < H; ++k) out[k] = (1.0f - z[k]) * out[k] + z[k] * h[k];
                        break;
                    }
                    case Cell::Lstm: {
                        float* i = hr;
                        float* o = hr + H;
                        float* fg = hr + 2 * H;
                        float* cand = hr + 3 * H;
                        if (peep != nullptr) {
                            for (int64_t k = 0; k < H; ++k) {
                                i[k] += peep[k] * c[k];
                                fg[k] += peep[2 * H + k] * c[k];
                            }
                        }
                        if (peep == nullptr) {
                            clipAll(hr, 4 * H);
                        } else {
                            clipAll(i, H);
                            clipAll(fg, 2 * H);  // f and the candidate; o once its peephole is in
                        }
                        if (peep == nullptr) {
                            activateAll(f, hr, 3 * H);  // i, o and f at once
                        } else {
                            activateAll(f, i, H);
                            activateAll(f, fg, H);
                        }
                        if (inputForget_) {
                            for (int64_t k = 0; k < H; ++k) fg[k] = 1.0f - i[k];
                        }
                        activateAll(g, cand, H);
                        for (int64_t k = 0; k < H; ++k) c[k] = fg[k] * c[k] + i[k] * cand[k];
                        if (peep != nullptr) {
                            for (int64_t k = 0; k < H; ++k) o[k] += peep[H + k] * c[k];
                            clipAll(o, H);
                            activateAll(f, o, H);
                        }
                        std::copy_n(c, H, out);
                        activateAll(hAct, out, H);
                        for (int64_t k = 0; k < H; ++k) out[k] *= o[k];
                        break;
                    }
                }
                std::copy_n(out, H, h);
                std::copy_n(out, H, y_.data() + ((t * dirs_ + d) * B + b) * H);
            }
        };
        // A layer of one direction splits each step's product over the
        // threads by gate columns; the gates follow on one thread (the
        // product is most of a step). The team meets twice a step: once the
        // product is whole, once the state is new, so it forms only where one
        // step's product outweighs those meetings (a 64-wide GRU ran 6x
        // slower on two threads than on one, on cores that meet slowly).
        parallelTeam(dirs_ == 1 ? B * recurrentCols * H : 0, [&](int thread, int threads) {
            if (threads == 1) {
                for (int64_t s = 0; s < steps; ++s) {
                    product(0, recurrentCols);
                    gatesOf(s);
                }
                return;
            }
            // Whole vectors of columns per thread.
            const int64_t share = (recurrentCols + 16 * threads - 1) / (16 * threads) * 16;
            const int64_t from = std::min(recurrentCols, thread * share), to = std::min(recurrentCols, from + share);
            for (int64_t s = 0; s < steps; ++s) {
                product(from, to);
                VEXA_BARRIER
                if (thread == 0) gatesOf(s);
                VEXA_BARRIER
            }
        });
        std::copy(sc.h.begin(), sc.h.end(), hLast_.begin() + d * B * H);
        std::copy(sc.c.begin(), sc.c.end(), cLast_.begin() + d * B * H);
    }

    void writeOutputs(KernelContext& ctx, int64_t T, int64_t B) {
        const int64_t D = dirs_, H = hidden_;
        if (ctx.wantsOutput(0)) {
            Tensor& y = ctx.out(0, DType::Float, layout_ == 0 ? Shape{T, D, B, H} : Shape{B, T, D, H});
            float* py = y.data<float>();
            if (layout_ == 0) {
                std::copy(y_.begin(), y_.end(), py);
            } else {
                for (int64_t t = 0; t < T; ++t) {
                    for (int64_t d = 0; d < D; ++d) {
                        for (int64_t b = 0; b < B; ++b) {
                            std::copy_n(y_.data() + ((t * D + d) * B + b) * H, H, py + ((b * T + t) * D + d) * H);
                        }
                    }
                }
            }
        }
        auto state = [&](size_t i, const std::vector<float>& s) {
            if (!ctx.wantsOutput(i)) return;
            Tensor& out = ctx.out(i, DType::Float, layout_ == 0 ? Shape{D, B, H} : Shape{B, D, H});
            float* p = out.data<float>();
            for (int64_t d = 0; d < D; ++d) {
                for (int64_t b = 0; b < B; ++b) {
                    std::copy_n(s.data() + (d * B + b) * H, H, p + (layout_ == 0 ? d * B + b : b * D + d) * H);
                }
            }
        };
        state(1, hLast_);
        if (cell_ == Cell::Lstm) state(2, cLast_);
    }

    Cell cell_;
    int64_t hidden_ = 0, dirs_ = 1, layout_ = 0;
    bool reverse_ = false, inputForget_ = false, linearBeforeReset_ = false, inferHidden_ = false;
    float clip_ = 0;
    std::vector<Activation> acts_;
    // Per-execution buffers, kept at their largest size.
    std::vector<float> timeMajor_, y_, hLast_, cLast_;
    // Each direction's own, so that the two of a bidirectional layer run at once.
    struct Scratch {
        std::vector<float> xw, hr, rh, hNew, h, c, bias;
        std::vector<float> rt;  // the recurrent weights, packed
        const float* packedFrom = nullptr;  // the weights rt holds
    };
    Scratch scratch_[2];
    InputProjection projection_[2];
};

}  // namespace

void registerRecurrentKernels() {
    registerKernel("RNN", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<RecurrentKernel>(Cell::Rnn, n); });
    registerKernel("GRU", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<RecurrentKernel>(Cell::Gru, n); });
    registerKernel("LSTM", [](const onnx::NodeProto& n, int64_t) { return std::make_unique<RecurrentKernel>(Cell::Lstm, n); });
}

}  // namespace vexart
