// A Loop that grows a carried value by appending to it on each iteration
// (v = Concat(v, part)), as exporters write a list built in a loop, copies
// everything gathered so far on every iteration: quadratic in the trip
// count. Where the body reads the carried value nowhere else, the body can
// yield the part alone and the loop append it to storage of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace onnx {
class GraphProto;
}  // namespace onnx

namespace vexart {

struct CarriedAppend {
    size_t carried;  // index among the loop's carried values
    int64_t axis;    // the Concat's axis, as written
};

// Rewrites `body` (a Loop body: iteration number, condition, then the
// carried values) so that each carried value that only a Concat reads, as
// its first operand, and whose result is only yielded as that value's next
// one, yields the Concat's other operands joined instead. Returns those
// values; the body is unchanged where none qualifies.
std::vector<CarriedAppend> yieldAppendedParts(onnx::GraphProto& body);

}  // namespace vexart
