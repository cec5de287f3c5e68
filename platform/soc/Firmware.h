// ACPI firmware tables by signature ("FACP", "PPTT"); empty when absent.
#pragma once

#include <cstdint>
#include <vector>

std::vector<uint8_t> readFirmwareTable(const char signature[4]);
