/* The runtime library's C interface: everything the tool calls. */
#ifndef VEXA_H
#define VEXA_H

#include "VexaTypes.h"
#include "VexaUtil.h"
#include "VexaTensors.h"
#include "VexaUserBuffers.h"
#include "VexaNetwork.h"
#include "VexaPerfProfile.h"

#endif
