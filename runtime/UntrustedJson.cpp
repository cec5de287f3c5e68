#include "UntrustedJson.h"

#include <stdexcept>

namespace vexart {

namespace {

struct TooDeep {};

// Parser messages quote the token they stopped at, which may be a megabyte
// long string; a message needs its start only.
std::string clipped(const std::string& text, size_t most = 160) {
    return text.size() <= most ? text : text.substr(0, most) + "...";
}

}  // namespace

nlohmann::json parseUntrustedJson(const std::string& text, const std::string& what) {
    using json = nlohmann::json;
    const json::parser_callback_t bounded = [](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
            depth >= kMaxJsonDepth) {
            throw TooDeep{};
        }
        return true;
    };
    try {
        return json::parse(text, bounded);
    } catch (const TooDeep&) {
        throw std::runtime_error(what + " nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    } catch (const json::exception& e) {
        throw std::runtime_error(what + " is not valid JSON: " + clipped(e.what()));
    }
}

std::string describeJson(const nlohmann::json& value) {
    if (value.is_array()) return "a list";
    if (value.is_object()) return "an object";
    if (value.is_string()) return nlohmann::json(clipped(value.get<std::string>(), 40)).dump();
    return value.dump();
}

}  // namespace vexart
