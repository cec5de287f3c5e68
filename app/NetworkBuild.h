// Runtime availability and building the network instance from the
// container, the run configuration and the input list.
#pragma once

#include <string>

#include "app/InputList.h"
#include "app/RunConfig.h"
#include "perf/PerfConfig.h"
#include "platform/DspMemory.h"

struct RunHandles {
    PlatformConfigHandle platformConfig;
    std::vector<uint8_t> containerBytes;
    DlContainerHandle container;
    BuilderHandle builder;
    NetworkHandleOwner network;
    StringListHandle networkNames;
    std::string defaultGraph;
    uint32_t deviceId = 0;
    PerfConfig perf;
    RpcMemBinding rpcmemBinding;
    const RpcMemBinding* rpcmem = nullptr;  // the DSP allocator, when loaded
};

// Reports unavailable runtimes (the run goes on); true when the list holds a DSP.
bool checkRuntimes(RunConfig& config, const RunHandles& run);

// Builder, settings, build, banner, diagnostic log and network names.
// False after the failure has been reported; a failed cache validation
// ends the process.
bool buildNetwork(RunConfig& config, InputListTables& tables, RunHandles& run);
