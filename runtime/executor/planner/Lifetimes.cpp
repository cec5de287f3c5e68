#include "planner/Lifetimes.h"

#include <algorithm>

namespace vexart {

Lifetimes::Lifetimes(size_t buffers) : first_(buffers, 0), last_(buffers, 0), written_(buffers, false), viewOf_(buffers) {
    for (size_t b = 0; b < buffers; ++b) viewOf_[b] = b;
}

void Lifetimes::write(size_t b, size_t step) {
    if (written_[b]) return;
    written_[b] = true;
    first_[b] = step;
}

void Lifetimes::read(size_t b, size_t step) {
    const size_t o = owner(b);
    last_[o] = std::max(last_[o], step);
}

void Lifetimes::view(size_t view, size_t of) {
    const size_t o = owner(of);
    if (o == view) return;  // a cycle would leave no owner
    viewOf_[view] = o;
    last_[o] = std::max(last_[o], last_[view]);
}

size_t Lifetimes::owner(size_t b) const {
    while (viewOf_[b] != b) b = viewOf_[b];
    return b;
}

}  // namespace vexart
