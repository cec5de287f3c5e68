#include "passes/Layout.h"

#include <set>

namespace vexart {

bool layoutFree(const std::string& opType) {
    static const std::set<std::string> ops = {
        "Add",     "Sub",        "Mul",      "Div",      "Max",    "Min",  "Sum",  "Mean",     "Pow",
        "Relu",    "LeakyRelu",  "Sigmoid",  "Tanh",     "Clip",   "Elu",  "Selu", "HardSigmoid",
        "HardSwish", "Softplus", "Softsign", "Exp",      "Log",    "Sqrt", "Neg",  "Abs",      "Erf",
        "Reciprocal", "Floor",   "Ceil",     "Round",    "Sign",   "PRelu", "Where", "Identity", "Mish",
        "Gelu",
    };
    return ops.count(opType) != 0;
}

bool layoutView(const Shape& logical, Layout layout, int64_t channels, Shape& physical) {
    if (logical.size() > 4) return false;
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
