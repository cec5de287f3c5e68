// Preset performance profiles: the command-line and the configuration-file
// vocabularies and the profile value each name stands for.
#pragma once

#include <cstdint>
#include <string>

// `--perf_profile` text (exact, lower case) to its profile value.
bool commandLinePerfProfile(const std::string& text, uint32_t& value);

// "PERFORMANCE_PROFILE" name (exact, upper case) to its profile value.
bool configPerfProfile(const std::string& name, uint32_t& value);
