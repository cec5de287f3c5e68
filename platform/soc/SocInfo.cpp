#include "platform/soc/SocInfo.h"

// No SoC information service is bound yet, so no DSP is reported.
bool isKtpDevice() { return false; }
