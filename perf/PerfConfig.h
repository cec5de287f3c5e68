// The perf configuration file: a "general" base and "init", "execute"
// and "deinit" sections whose profiles are handed to the library at the
// three moments of a run.
#pragma once

#include <memory>
#include <string>

#include "perf/YamlParser.h"
#include "runtimelib/Vexa.h"

struct PerfConfig {
    std::shared_ptr<YamlParser> parser;
    PerfParamMap general;
    bool loaded = false;
};

// Loads `path`; false after the message (cannot open, empty, empty general).
bool loadPerfConfig(const std::string& path, PerfConfig& config);

enum class PerfMoment { Init, Execute, Deinit };

// Whether the loaded file has a section for the moment.
bool hasPerfSection(const PerfConfig& config, PerfMoment moment);

// Builds the moment's profile (preset, general keys, then the section's)
// and hands it to the builder (Init) or the network. False after the message.
bool applyPerfSection(const PerfConfig& config, PerfMoment moment, const std::string& perfProfileText,
                      uint32_t perfProfile, void* target);
