// Process facts the tool reports.
#pragma once

#include <cstdint>

uint32_t currentProcessId();
