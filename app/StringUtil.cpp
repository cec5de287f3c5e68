#include "app/StringUtil.h"

#include <cctype>
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

// Decimal notation only: strtod alone would also read hexadecimal numbers,
// "inf" and "nan", which are no counts of inferences or seconds.
double leadingDouble(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const size_t start = i;
    auto digits = [&] {
        const size_t from = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        return i - from;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return 0;
    size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() > 0) end = i;
    }
    return std::strtod(text.substr(start, end - start).c_str(), nullptr);
}

unsigned long long leadingUnsigned(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }
