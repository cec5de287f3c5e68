// The emulated DSP runtime: executes on the CPU, and is available only
// when the machine's SoC service reports a DSP.
#pragma once

#include <cstdint>

// Architecture version of the reported DSP; 0 when there is none.
uint32_t reportedDspArch();
