#include "perf/PerfPresets.h"

#include <unordered_map>
#include <utility>

namespace {

const std::pair<const char*, uint32_t> kCommandLineNames[] = {
    {"default", 0},
    {"balanced", 0},
    {"high_performance", 1},
    {"power_saver", 2},
    {"system_settings", 3},
    {"sustained_high_performance", 4},
    {"burst", 5},
    {"low_power_saver", 6},
    {"high_power_saver", 7},
    {"low_balanced", 8},
    {"extreme_power_saver", 9},
};

const std::unordered_map<std::string, uint32_t> kConfigNames = {
    {"DEFAULT", 0},
    {"BALANCED", 0},
    {"HIGH_PERFORMANCE", 1},
    {"POWER_SAVER", 2},
    {"SYSTEM_SETTINGS", 3},
    {"SUSTAINED_HIGH_PERFORMANCE", 4},
    {"BURST", 5},
    {"LOW_POWER_SAVER", 6},
    {"HIGH_POWER_SAVER", 7},
    {"LOW_BALANCED", 8},
    {"EXTREME_POWER_SAVER", 9},
};

}  // namespace

bool commandLinePerfProfile(const std::string& text, uint32_t& value) {
    for (const auto& [name, v] : kCommandLineNames) {
        if (text == name) {
            value = v;
            return true;
        }
    }
    return false;
}

bool configPerfProfile(const std::string& name, uint32_t& value) {
    const auto it = kConfigNames.find(name);
    if (it == kConfigNames.end()) return false;
    value = it->second;
    return true;
}
