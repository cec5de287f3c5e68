// The custom perf profile keys: which exist, what each takes and which
// profile setter it calls.
#pragma once

#include <string>
#include <vector>

#include "perf/YamlParser.h"
#include "runtimelib/Vexa.h"

// The 69 keys of the key table, in order, then "PERFORMANCE_PROFILE".
const std::vector<std::string>& knownPerfKeys();

// False after "Invalid perf parameter key : " for the first unknown key.
bool validatePerfKeys(PerfParamMap map);

// Applies every key present in the table's order; false after the
// message for a bad value or a refused setting.
bool applyPerfParams(PerfParamMap map, Vexa_VEXAPerfProfile_Handle_t profile);
