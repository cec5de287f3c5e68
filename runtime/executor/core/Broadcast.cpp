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

}  // namespace vexart
