#include "platform/soc/SocInfo.h"

// No SoC information service is bound yet, so no DSP is reported.
uint32_t dspArchitectureVersion() { return 0; }

bool isKtpDevice() { return dspArchitectureVersion() >= 68; }
