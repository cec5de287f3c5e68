// Text from a model, a log or a file name made safe for a terminal: its
// control bytes (escape sequences, carriage returns) shown as \xNN, and at
// most `most` bytes of it (then "...").
#pragma once

#include <cstdio>
#include <string>

namespace vexart {

inline std::string printable(const std::string& text, size_t most = 200) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return text.size() > most ? out + "..." : out;
}

}  // namespace vexart
