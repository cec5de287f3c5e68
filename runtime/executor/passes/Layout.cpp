#include "passes/Layout.h"

namespace vexart {

bool layoutView(const Shape& logical, Layout layout, size_t rank, int64_t channels, Shape& physical) {
    if (logical.size() > 4 || rank != 4) return false;
    Shape s(4 - logical.size(), 1);
    s.insert(s.end(), logical.begin(), logical.end());
    if (s[1] != 1 && s[2] * s[3] != 1) return false;
    if (layout.isChannelsLast()) {
        physical = {s[0], s[2], s[3], s[1]};
        return true;
    }
    // Blocked: one channel broadcasts over the blocks, or all of them split into blocks.
    const int b = layout.block();
    if (b == 0 || (s[1] != 1 && s[1] != channels)) return false;
    physical = s[1] == 1 ? Shape{s[0], 1, s[2], s[3], 1} : Shape{s[0], s[1] / b, 1, 1, b};
    return true;
}

}  // namespace vexart
