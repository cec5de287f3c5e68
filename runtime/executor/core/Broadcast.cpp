#include "core/Broadcast.h"

namespace vexart {

Shape broadcastShape(const Shape& a, const Shape& b) {
    const size_t r = std::max(a.size(), b.size());
    Shape out(r);
    for (size_t i = 0; i < r; ++i) {
        const int64_t da = i < r - a.size() ? 1 : a[i - (r - a.size())];
        const int64_t db = i < r - b.size() ? 1 : b[i - (r - b.size())];
        if (da != db && da != 1 && db != 1) {
            throw ExecError("shapes " + shapeText(a) + " and " + shapeText(b) + " do not broadcast");
        }
        out[i] = da == 1 ? db : da;
    }
    return out;
}

std::vector<int64_t> broadcastStrides(const Shape& s, const Shape& out) {
    std::vector<int64_t> strides(out.size(), 0);
    int64_t step = 1;
    for (size_t k = s.size(); k-- > 0;) {
        const size_t o = k + (out.size() - s.size());
        strides[o] = s[k] == 1 ? 0 : step;
        step *= s[k];
    }
    return strides;
}

void mergeBroadcastAxes(Shape& out, std::vector<int64_t>& sa, std::vector<int64_t>& sb) {
    Shape o;
    std::vector<int64_t> a, b;
    for (size_t d = 0; d < out.size(); ++d) {
        if (out[d] == 1) continue;  // one index: no step at all
        // Axis d continues the one before for both operands: contiguous in
        // each, or broadcast over both.
        if (!o.empty() && a.back() == sa[d] * out[d] && b.back() == sb[d] * out[d]) {
            o.back() *= out[d];
            a.back() = sa[d];
            b.back() = sb[d];
            continue;
        }
        o.push_back(out[d]);
        a.push_back(sa[d]);
        b.push_back(sb[d]);
    }
    out = std::move(o);
    sa = std::move(a);
    sb = std::move(b);
}

}  // namespace vexart
