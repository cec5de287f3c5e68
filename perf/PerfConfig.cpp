#include "perf/PerfConfig.h"

#include <iostream>

#include "runtimelib/StringLists.h"
#include "perf/PerfKeys.h"
#include "perf/PerfPresets.h"
#include "runtimelib/UniqueHandle.h"

namespace {

const char* sectionName(PerfMoment m) {
    switch (m) {
        case PerfMoment::Init: return "init";
        case PerfMoment::Execute: return "execute";
        default: return "deinit";
    }
}

std::shared_ptr<Node> section(const PerfConfig& config, const char* name) {
    if (!config.loaded) return nullptr;
    const auto children = config.parser->getRoot()->getChildren();
    const auto it = children.find(name);
    return it == children.end() ? nullptr : it->second;
}

}  // namespace

bool loadPerfConfig(const std::string& path, PerfConfig& config) {
    config.parser = std::make_shared<YamlParser>(path);
    const auto root = config.parser->getRoot();
    if (!root) {
        std::cout << "Cannot open perf config yaml file: " << path << "\n";
        return false;
    }
    if (root->getChildren().empty()) {
        std::cout << "Perf yaml file " << path << " is empty\n";
        return false;
    }
    config.loaded = true;
    if (const auto general = section(config, "general")) {
        config.general = YamlParser::getKeyValues(general);
        if (config.general.empty()) {
            std::cout << "general section is empty in the perf config yaml file \n";
            return false;
        }
    }
    return true;
}

bool hasPerfSection(const PerfConfig& config, PerfMoment moment) {
    return section(config, sectionName(moment)) != nullptr;
}

bool applyPerfSection(const PerfConfig& config, PerfMoment moment, const std::string& perfProfileText,
                      uint32_t perfProfile, void* target) {
    const PerfParamMap phase = YamlParser::getKeyValues(section(config, sectionName(moment)));
    if (phase.empty()) {
        std::cout << sectionName(moment) << " section is empty in the perf config yaml file \n";
        return false;
    }
    PerfProfileHandle profile;
    const auto named = phase.find("PERFORMANCE_PROFILE");
    if (named != phase.end()) {
        // The file's name wins over --perf_profile; an unknown name is
        // refused whether or not --perf_profile was given.
        uint32_t value = 0;
        if (!configPerfProfile(named->second.empty() ? std::string() : named->second.front(), value)) {
            std::cerr << "Invalid performance profile value \n";
            return false;
        }
        profile.reset(Vexa_VEXAPerfProfile_CreatePreset(value));
    } else if (!perfProfileText.empty()) {
        profile.reset(Vexa_VEXAPerfProfile_CreatePreset(perfProfile));
    } else {
        profile.reset(Vexa_VEXAPerfProfile_Create());
    }
    if (!profile) {
        reportLastError();
        return false;
    }
    if (!validatePerfKeys(phase) || !validatePerfKeys(config.general)) return false;
    if (!applyPerfParams(config.general, profile.get()) || !applyPerfParams(phase, profile.get())) return false;
    const int result = moment == PerfMoment::Init ? Vexa_VEXABuilder_SetCustomPerfProfile(target, profile.get())
                                                  : Vexa_VEXA_SetCustomPerfProfile(target, profile.get());
    if (result != 0) {
        reportLastError();
        return false;
    }
    return true;
}
