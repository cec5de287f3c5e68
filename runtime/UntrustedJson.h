// JSON that comes from a file a user was handed (a container's manifest, an
// encodings file): parsed with a bound on nesting, and shown in messages
// only in short form. nlohmann's parser is iterative, but copying and
// printing a value recurse once per level, so a deep value is refused on
// parse rather than crashing later.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vexart {

// Far deeper than any manifest (four levels) or encodings file (three).
constexpr int kMaxJsonDepth = 64;

// Throws std::runtime_error naming `what` on a syntax error or on nesting
// deeper than kMaxJsonDepth.
nlohmann::json parseUntrustedJson(const std::string& text, const std::string& what);

// A value for a message: a number, boolean or null as written, a string cut
// to a few dozen characters, an array or object by its kind alone.
std::string describeJson(const nlohmann::json& value);

}  // namespace vexart
