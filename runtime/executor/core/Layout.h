// Where the elements of a logical [N,C,H,W] tensor sit in memory. Besides
// the plain order, oneDNN's kernels prefer channels last ([N,H,W,C]) or
// channels split into blocks of b ([N,C/b,H,W,b], C a multiple of b); a
// logical volume [N,C,D,H,W] is plain or channels last ([N,D,H,W,C]).
#pragma once

#include <string>

namespace vexart {

class Layout {
public:
    constexpr Layout() = default;  // plain
    static constexpr Layout plain() { return Layout(0); }
    static constexpr Layout channelsLast() { return Layout(-1); }
    static constexpr Layout blocked(int block) { return Layout(block > 0 ? block : 0); }
    // A oneDNN format that is none of the above (padded blocks, other orders).
    static constexpr Layout foreign() { return Layout(-2); }

    constexpr bool isPlain() const { return code_ == 0; }
    constexpr bool isChannelsLast() const { return code_ == -1; }
    constexpr bool isBlocked() const { return code_ > 0; }
    constexpr bool isForeign() const { return code_ == -2; }
    // Channels per block; 0 unless blocked.
    constexpr int block() const { return code_ > 0 ? code_ : 0; }

    constexpr bool operator==(Layout o) const { return code_ == o.code_; }
    constexpr bool operator!=(Layout o) const { return code_ != o.code_; }
    std::string name() const {
        return isPlain() ? "plain" : isChannelsLast() ? "channels-last" : isBlocked() ? "blocks of " + std::to_string(code_) : "foreign";
    }

private:
    constexpr explicit Layout(int code) : code_(code) {}
    int code_ = 0;
};

}  // namespace vexart
