// How long each buffer's bytes are needed over an ordered list of steps:
// the build's one lifetime computation. Planning frees values by it while
// the plan is made (ValueRelease) and the arena places buffers by it
// (Graph::placeInArena). A view owns no bytes: reading it reads what it
// views, so what it views lives until the view's last reader too.
#pragma once

#include <cstddef>
#include <vector>

namespace vexart {

class Lifetimes {
public:
    explicit Lifetimes(size_t buffers = 0);
    // Buffer b is written at `step` (the first write counts).
    void write(size_t b, size_t step);
    // Buffer b, or what it views, is read at `step`.
    void read(size_t b, size_t step);
    // `view` reads `of`'s bytes: its reads, before and after, count for `of`.
    void view(size_t view, size_t of);
    // The buffer that owns b's bytes (b itself unless it is a view).
    size_t owner(size_t b) const;
    // The step that first writes b (0 when none does).
    size_t firstWrite(size_t b) const { return first_[b]; }
    // The last step that reads b's bytes, through b or any view of them
    // (0 when none does).
    size_t lastRead(size_t b) const { return last_[owner(b)]; }

private:
    std::vector<size_t> first_, last_;
    std::vector<bool> written_;
    std::vector<size_t> viewOf_;  // itself where b owns its bytes
};

}  // namespace vexart
