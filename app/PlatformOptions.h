// The `--platform_options` text: "key:value" pairs separated by ';'.
#pragma once

#include <map>
#include <string>

// False when a token is empty or has no ':'. A repeated key keeps its
// first value.
bool parsePlatformOptions(const std::string& text, std::map<std::string, std::string>& options);

// Whether `key` (with its colon, e.g. "unsignedPD:") is set to "ON" in
// any case; `fallback` when the key does not occur.
bool platformOptionIsOn(const std::string& text, const std::string& key, bool fallback);
