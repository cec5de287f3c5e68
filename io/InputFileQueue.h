// The raw files of one input position, in input-list order.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

// One input position's raw file paths in line order, consumed from the
// front. Consumed paths stay stored, so that a replay rewinds the queue
// instead of copying it; a queue costs one vector, not a deque's blocks.
class InputFileQueue {
public:
    InputFileQueue() = default;
    InputFileQueue(std::initializer_list<std::string> paths) : paths_(paths) {}
    void push_back(std::string path) { paths_.push_back(std::move(path)); }
    bool empty() const { return head_ == paths_.size(); }
    size_t size() const { return paths_.size() - head_; }
    const std::string& front() const { return paths_[head_]; }
    const std::string& operator[](size_t i) const { return paths_[head_ + i]; }
    // The paths not yet consumed.
    auto begin() const { return paths_.begin() + static_cast<std::ptrdiff_t>(head_); }
    auto end() const { return paths_.end(); }
    void pop_front() { ++head_; }
    void rewind() { head_ = 0; }

private:
    std::vector<std::string> paths_;
    size_t head_ = 0;
};
