// Text from a model, a log or a file name made safe for a terminal: the
// bytes a terminal obeys rather than shows (C0 and C1 controls, DEL, and
// the bidirectional overrides that reorder what follows) written as
// \xNN, and at most `most` bytes of it (then "...").
#pragma once

#include <cstdio>
#include <string>

namespace vexart {

inline std::string printable(const std::string& text, size_t most = 200) {
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    std::string out;
    size_t i = 0;
    for (; i < text.size() && i < most;) {
        const unsigned c = byte(i);
        // UTF-8 of U+0080..U+009F, of U+202A..U+202E and U+2066..U+2069.
        size_t escaped = c < 0x20 || c == 0x7f ? 1 : 0;
        if (c == 0xc2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f) escaped = 2;
        if (c == 0xe2 && byte(i + 1) == 0x80 && byte(i + 2) >= 0xaa && byte(i + 2) <= 0xae) escaped = 3;
        if (c == 0xe2 && byte(i + 1) == 0x81 && byte(i + 2) >= 0xa6 && byte(i + 2) <= 0xa9) escaped = 3;
        if (escaped == 0) {
            out += text[i++];
            continue;
        }
        for (size_t k = 0; k < escaped; ++k) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", byte(i + k));
            out += esc;
        }
        i += escaped;
    }
    return i < text.size() ? out + "..." : out;
}

}  // namespace vexart
