// Channels-last propagation: convolutions and pooling hand channels-last
// tensors to each other and to element-wise nodes, which compute on the
// physical shapes unchanged; every other consumer gets a plain copy.
#pragma once

#include <string>

#include "../Tensor.h"

namespace vexart {

// Element-wise operators whose result does not depend on where each
// element sits, as long as all operands are laid out alike.
bool layoutFree(const std::string& opType);

// The physical shape under which a plain tensor lines up with
// channels-last rank-4 tensors it is broadcast against: possible when its
// memory order is the same in both layouts (one channel, or one pixel).
bool channelsLastView(const Shape& logical, Shape& physical);

}  // namespace vexart
