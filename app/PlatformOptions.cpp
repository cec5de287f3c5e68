#include "app/PlatformOptions.h"

#include <cctype>

bool parsePlatformOptions(const std::string& text, std::map<std::string, std::string>& options) {
    options.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string token = text.substr(start, end - start);
        const size_t colon = token.find(':');
        if (token.empty() || colon == std::string::npos) return false;
        options.emplace(token.substr(0, colon), token.substr(colon + 1));
        start = end + 1;
    }
    return true;
}

bool platformOptionIsOn(const std::string& text, const std::string& key, bool fallback) {
    const size_t at = text.size() < key.size() ? std::string::npos : text.find(key);
    if (at == std::string::npos) return fallback;
    const size_t begin = at + key.size();
    const size_t end = text.find(';', begin);
    const std::string value = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    return value.size() == 2 && std::toupper(static_cast<unsigned char>(value[0])) == 'O' &&
           std::toupper(static_cast<unsigned char>(value[1])) == 'N';
}
