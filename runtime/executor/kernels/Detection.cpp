// Detector heads: NonMaxSuppression and RoiAlign, with the coordinate
// conventions of the operator set (and of the engines whose results
// exported detectors were checked against).
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>

#include "core/Kernel.h"
#include "core/Threads.h"
#include "kernels/Window.h"

namespace vexart {
namespace {

struct Box {
    float y1, x1, y2, x2;
    float area() const { return (y2 - y1) * (x2 - x1); }
};

Box boxAt(const float* p, bool centered) {
    if (centered) {
        const float xc = p[0], yc = p[1], w = p[2], h = p[3];
        return {yc - h / 2, xc - w / 2, yc + h / 2, xc + w / 2};
    }
    // Corners may come in either order.
    return {std::min(p[0], p[2]), std::min(p[1], p[3]), std::max(p[0], p[2]), std::max(p[1], p[3])};
}

float iou(const Box& a, const Box& b) {
    const float h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1), w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
    if (h <= 0 || w <= 0) return 0;
    const float inter = h * w, uni = a.area() + b.area() - inter;
    return uni <= 0 ? 0 : inter / uni;
}

// The boxes kept so far, ordered by left edge: a candidate is compared
// only with those whose horizontal extent can meet its own. Detectors that
// run one suppression over every class shift each class's boxes apart,
// so a candidate meets its own class and nothing else.
class KeptBoxes {
public:
    void clear() {
        byLeft_.clear();
        unordered_.clear();
        widest_ = 0;
    }
    size_t size() const { return byLeft_.size() + unordered_.size(); }
    // Whether a kept box overlaps `b` by more than `threshold` (IoU).
    bool suppresses(const Box& b, float threshold) const {
        auto over = [&](const Box& k) { return iou(b, k) > threshold; };
        if (std::any_of(unordered_.begin(), unordered_.end(), over)) return true;
        // Disjoint boxes have IoU 0, which a negative threshold exceeds.
        if (!(threshold >= 0) || !std::isfinite(b.x1) || !std::isfinite(b.x2)) {
            return std::any_of(byLeft_.begin(), byLeft_.end(), over);
        }
        // Widened a little: a box reaching exactly b.x1 must not be missed to rounding.
        const double from = static_cast<double>(b.x1) - widest_ * (1 + 1e-6) - 1e-30;
        auto it = std::lower_bound(byLeft_.begin(), byLeft_.end(), from,
                                   [](const Box& k, double x) { return k.x1 < x; });
        for (; it != byLeft_.end() && it->x1 < b.x2; ++it) {
            if (over(*it)) return true;
        }
        return false;
    }
    void add(const Box& b) {
        if (!std::isfinite(b.x1) || !std::isfinite(b.x2)) {
            unordered_.push_back(b);
            return;
        }
        widest_ = std::max(widest_, static_cast<double>(b.x2) - b.x1);
        byLeft_.insert(std::upper_bound(byLeft_.begin(), byLeft_.end(), b.x1, [](float x, const Box& k) { return x < k.x1; }), b);
    }

private:
    std::vector<Box> byLeft_;
    std::vector<Box> unordered_;  // a corner not finite: compared with every candidate
    double widest_ = 0;
};

class NmsKernel : public Kernel {
public:
    explicit NmsKernel(bool centered) : centered_(centered) {}
    void run(KernelContext& ctx) override {
        const Tensor& boxes = ctx.in(0);
        const Tensor& scores = ctx.in(1);
        requireFloat(boxes, "boxes");
        requireFloat(scores, "scores");
        if (boxes.rank() != 3 || boxes.dim(2) != 4 || scores.rank() != 3 || scores.dim(0) != boxes.dim(0) ||
            scores.dim(2) != boxes.dim(1)) {
            throw ExecError("boxes " + shapeText(boxes.shape()) + " and scores " + shapeText(scores.shape()) + " do not match");
        }
        const int64_t most = ctx.has(2) && ctx.in(2).size() != 0 ? ctx.in(2).toInt64().at(0) : 0;
        const float threshold = ctx.has(3) && ctx.in(3).size() != 0 ? static_cast<float>(ctx.in(3).scalarAsDouble(0)) : 0.0f;
        const bool hasFloor = ctx.has(4) && ctx.in(4).size() != 0;
        const float floor = hasFloor ? static_cast<float>(ctx.in(4).scalarAsDouble(0)) : 0.0f;
        const int64_t B = boxes.dim(0), N = boxes.dim(1), C = scores.dim(1);
        selected_.clear();
        std::vector<int64_t> order;
        KeptBoxes kept;
        for (int64_t b = 0; b < B && most > 0; ++b) {
            const float* pb = boxes.data<float>() + b * N * 4;
            for (int64_t c = 0; c < C; ++c) {
                const float* ps = scores.data<float>() + (b * C + c) * N;
                order.clear();
                for (int64_t i = 0; i < N; ++i) {
                    if (!hasFloor || ps[i] > floor) order.push_back(i);
                }
                std::stable_sort(order.begin(), order.end(), [ps](int64_t x, int64_t y) { return ps[x] > ps[y]; });
                kept.clear();
                for (int64_t i : order) {
                    if (static_cast<int64_t>(kept.size()) >= most) break;
                    const Box box = boxAt(pb + i * 4, centered_);
                    if (kept.suppresses(box, threshold)) continue;
                    kept.add(box);
                    selected_.insert(selected_.end(), {b, c, i});
                }
            }
        }
        Tensor& out = ctx.out(0, DType::Int64, {static_cast<int64_t>(selected_.size() / 3), 3});
        std::copy(selected_.begin(), selected_.end(), out.data<int64_t>());
    }

private:
    bool centered_;
    std::vector<int64_t> selected_;
};

class RoiAlignKernel : public Kernel {
public:
    RoiAlignKernel(const onnx::NodeProto& n, int64_t opset) {
        const Attrs a(n);
        max_ = a.s("mode", "avg") == "max";
        outH_ = a.i("output_height", 1);
        outW_ = a.i("output_width", 1);
        ratio_ = a.i("sampling_ratio", 0);
        scale_ = a.f("spatial_scale", 1.0f);
        halfPixel_ = a.s("coordinate_transformation_mode", opset >= 16 ? "half_pixel" : "output_half_pixel") == "half_pixel";
        if (outH_ <= 0 || outW_ <= 0 || ratio_ < 0 || outH_ * outW_ > (1 << 24)) throw ExecError("RoiAlign output size is out of range");
    }
    void run(KernelContext& ctx) override {
        const Tensor& x = ctx.in(0);
        const Tensor& rois = ctx.in(1);
        requireFloat(x, "RoiAlign input");
        requireFloat(rois, "rois");
        const auto batch = ctx.in(2).toInt64();
        if (x.rank() != 4 || rois.rank() != 2 || rois.dim(1) != 4 || static_cast<int64_t>(batch.size()) != rois.dim(0)) {
            throw ExecError("RoiAlign takes [N,C,H,W] input, [R,4] rois and R batch indices");
        }
        const int64_t R = rois.dim(0), C = x.dim(1), H = x.dim(2), W = x.dim(3);
        Tensor& y = ctx.out(0, DType::Float, {R, C, outH_, outW_});
        if (ctx.dryRun()) return ctx.zeroOutputs();
        float* py = y.data<float>();
        const float offset = halfPixel_ ? 0.5f : 0.0f;
        // Each region's box and sampling grid, checked before the parallel
        // loop (nothing may be thrown inside it).
        regions_.resize(static_cast<size_t>(R));
        for (int64_t r = 0; r < R; ++r) {
            const int64_t n = batch[static_cast<size_t>(r)];
            if (n < 0 || n >= x.dim(0)) throw ExecError("RoiAlign batch index out of range");
            const float* roi = rois.data<float>() + r * 4;
            Region& g = regions_[static_cast<size_t>(r)];
            g.batch = n;
            g.x1 = roi[0] * scale_ - offset;
            g.y1 = roi[1] * scale_ - offset;
            float rw = roi[2] * scale_ - offset - g.x1, rh = roi[3] * scale_ - offset - g.y1;
            if (!halfPixel_) {
                rw = std::max(rw, 1.0f);
                rh = std::max(rh, 1.0f);
            }
            g.binH = rh / static_cast<float>(outH_);
            g.binW = rw / static_cast<float>(outW_);
            // A region with no finite size samples one point a bin (which reads as 0).
            g.gridH = ratio_ > 0 ? ratio_ : std::isfinite(g.binH) ? static_cast<int64_t>(std::ceil(std::min(g.binH, 1e6f))) : 1;
            g.gridW = ratio_ > 0 ? ratio_ : std::isfinite(g.binW) ? static_cast<int64_t>(std::ceil(std::min(g.binW, 1e6f))) : 1;
            if (g.gridH > 4096 || g.gridW > 4096 || g.gridH * g.gridW * outH_ * outW_ > (int64_t{1} << 24)) {
                throw ExecError("RoiAlign sampling grid is too large");
            }
        }
        if (H == 0 || W == 0) return ctx.zeroOutputs();  // every sample lies outside an empty plane: 0
        const float* px = x.data<float>();
        // Where a region samples does not depend on the channel: its taps
        // (four offsets and weights per sample point) are worked out once
        // per region, then every channel only loads and weighs.
        parallelFor(R, R * C * outH_ * outW_ * 4, [&](int64_t r) {
            const Region& g = regions_[static_cast<size_t>(r)];
            const float x1 = g.x1, y1 = g.y1, binH = g.binH, binW = g.binW;
            const int64_t gridH = g.gridH, gridW = g.gridW;
            const int64_t per = std::max<int64_t>(gridH * gridW, 0);
            const float count = static_cast<float>(std::max<int64_t>(per, 1));
            const int64_t bins = outH_ * outW_;
            auto tapOf = [&](int64_t b, int64_t k) {
                const int64_t ph = b / outW_, pw = b % outW_, iy = k / gridW, ix = k % gridW;
                const float yy = y1 + static_cast<float>(ph) * binH + (static_cast<float>(iy) + 0.5f) * binH / static_cast<float>(gridH);
                const float xx = x1 + static_cast<float>(pw) * binW + (static_cast<float>(ix) + 0.5f) * binW / static_cast<float>(gridW);
                return tapAt(H, W, yy, xx);
            };
            const int64_t n = regions_[static_cast<size_t>(r)].batch;
            auto pool = [&](auto&& tap) {
                for (int64_t c = 0; c < C; ++c) {
                    const float* plane = px + (n * C + c) * H * W;
                    float* out = py + (r * C + c) * bins;
                    for (int64_t b = 0; b < bins; ++b) {
                        float acc = 0;
                        for (int64_t k = 0; k < per; ++k) {
                            const Tap& p = tap(b, k);
                            const float v1 = p.w[0] * plane[p.at[0]], v2 = p.w[1] * plane[p.at[1]];
                            const float v3 = p.w[2] * plane[p.at[2]], v4 = p.w[3] * plane[p.at[3]];
                            if (max_) {
                                const float v = std::max(std::max(v1, v2), std::max(v3, v4));
                                acc = k == 0 ? v : std::max(acc, v);
                            } else {
                                acc += v1 + v2 + v3 + v4;
                            }
                        }
                        out[b] = max_ ? acc : acc / count;
                    }
                }
            };
            // Up to 64k taps (3 MiB) are kept; a region sampled more finely
            // than that works each one out again per channel.
            // Nothing may be thrown out of this parallel loop: without room
            // for the taps, they are worked out per channel too.
            thread_local std::vector<Tap> taps;
            bool cached = bins * per <= (int64_t{1} << 16);
            if (cached) {
                try {
                    taps.resize(static_cast<size_t>(bins * per));
                } catch (const std::bad_alloc&) {
                    cached = false;
                }
            }
            if (cached) {
                for (int64_t b = 0; b < bins; ++b) {
                    for (int64_t k = 0; k < per; ++k) taps[static_cast<size_t>(b * per + k)] = tapOf(b, k);
                }
                pool([&](int64_t b, int64_t k) -> const Tap& { return taps[static_cast<size_t>(b * per + k)]; });
            } else {
                pool([&](int64_t b, int64_t k) { return tapOf(b, k); });
            }
        });
    }

private:
    // A bilinear sample's four neighbours and weights; outside the plane,
    // weights of zero (the sample reads as 0). In max mode the largest
    // weighted tap counts, as the engines detectors are exported against
    // compute it.
    struct Tap {
        int64_t at[4];
        float w[4];
    };
    static Tap tapAt(int64_t H, int64_t W, float y, float x) {
        // Written so that NaN falls outside too.
        if (!(y >= -1.0f && y <= static_cast<float>(H) && x >= -1.0f && x <= static_cast<float>(W))) {
            return {{0, 0, 0, 0}, {0, 0, 0, 0}};
        }
        y = std::max(y, 0.0f);
        x = std::max(x, 0.0f);
        auto yl = static_cast<int64_t>(y), xl = static_cast<int64_t>(x);
        int64_t yh = yl + 1, xh = xl + 1;
        if (yl >= H - 1) {
            yh = yl = H - 1;
            y = static_cast<float>(yl);
        }
        if (xl >= W - 1) {
            xh = xl = W - 1;
            x = static_cast<float>(xl);
        }
        const float ly = y - static_cast<float>(yl), lx = x - static_cast<float>(xl), hy = 1 - ly, hx = 1 - lx;
        return {{yl * W + xl, yl * W + xh, yh * W + xl, yh * W + xh}, {hy * hx, hy * lx, ly * hx, ly * lx}};
    }

    struct Region {
        float x1, y1, binH, binW;
        int64_t gridH, gridW, batch;
    };

    bool max_ = false, halfPixel_ = true;
    int64_t outH_ = 1, outW_ = 1, ratio_ = 0;
    float scale_ = 1;
    std::vector<Region> regions_;
};

}  // namespace

void registerDetectionKernels() {
    registerKernel("NonMaxSuppression", [](const onnx::NodeProto& n, int64_t) {
        return std::make_unique<NmsKernel>(Attrs(n).i("center_point_box", 0) != 0);
    }, OpTraits::valueShaped(OpTraits::kEveryInput));
    registerKernel("RoiAlign", [](const onnx::NodeProto& n, int64_t opset) { return std::make_unique<RoiAlignKernel>(n, opset); });
}

}  // namespace vexart
