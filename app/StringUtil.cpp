#include "app/StringUtil.h"

#include <cstdlib>

std::vector<std::string> splitString(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(start, end - start);
        if (!piece.empty() && piece.back() == '\r') piece.pop_back();
        if (!piece.empty()) pieces.push_back(std::move(piece));
        start = end + 1;
    }
    return pieces;
}

double leadingDouble(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

unsigned long long leadingUnsigned(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }
