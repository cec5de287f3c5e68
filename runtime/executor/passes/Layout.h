// Layout propagation: convolutions and pooling hand tensors in their
// channels-last or channel-blocked layouts to each other and to element-wise
// nodes, which compute on the physical shapes unchanged; every other
// consumer gets a plain copy.
#pragma once

#include <string>

#include "core/Tensor.h"

namespace vexart {

// The physical shape under which a plain tensor lines up with tensors of
// `rank` logical dims and `channels` channels in `layout` that it is
// broadcast against: possible when its bytes are the same in both layouts
// (one channel, or one pixel of all the channels), for rank 4 only.
bool layoutView(const Shape& logical, Layout layout, size_t rank, int64_t channels, Shape& physical);

}  // namespace vexart
