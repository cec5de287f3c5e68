#include "onednn/Transient.h"

#include <string>

#include "core/Buffer.h"
#include "core/Tensor.h"

namespace vexart::onednn {

namespace {

struct Slot {
    Buffer data;
    size_t capacity = 0;
};

}  // namespace

void* transientBuffer(int slot, size_t bytes) {
    thread_local Slot slots[kTransientSlots];
    if (slot < 0 || slot >= kTransientSlots) throw ExecError("no transient slot " + std::to_string(slot));
    Slot& b = slots[slot];
    if (bytes > b.capacity) {
        const size_t rounded = (bytes + 63) / 64 * 64;
        b.data.reset();  // the old bytes are not needed: free first, lower peak
        b.capacity = 0;
        b.data = allocateBuffer(rounded, false);
        b.capacity = rounded;
    }
    return b.data.get();
}

void bindTransient(dnnl::memory& m, int slot) {
    m.set_data_handle(transientBuffer(slot, m.get_desc().get_size()));
}

}  // namespace vexart::onednn
