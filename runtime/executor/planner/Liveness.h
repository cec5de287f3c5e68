// Which nodes a prepare needs and how long each value lives while it
// runs: the liveness stage of the build.
#pragma once

#include <vector>

#include "graph/GraphIr.h"
#include "planner/Lifetimes.h"

namespace vexart {

// Fills `g`'s needed nodes (walking back from the wanted values), their
// consumers and producers, and which values exist before any node runs
// (constants and the graph's inputs).
void computeLiveness(GraphState& g, const std::vector<int>& wanted, const std::vector<int>& inputs);

// When a value's storage may go back while the plan is made, so that
// planning holds no more than the arena will: after its last reader, or
// after the last reader of any alias that views it (never, when such an
// alias is wanted).
class ValueRelease {
public:
    ValueRelease() = default;
    ValueRelease(const GraphState& g, const std::vector<int>& inputs);
    // The values whose storage may go after node k (constants never).
    std::vector<int> due(size_t k, const std::vector<bool>& isConst);
    // `view` now views `of`'s bytes.
    void alias(int view, int of);

private:
    Lifetimes lives_;
    std::vector<bool> keep_, pinned_;
    std::vector<std::vector<int>> releaseAfter_;
};

}  // namespace vexart
