// Runs the selected graphs: one inference per input line, outputs saved
// under numbered result directories.
#pragma once

#include "app/InputList.h"
#include "app/NetworkBuild.h"
#include "app/RunConfig.h"

bool runGraphs(RunConfig& config, InputListTables& tables, RunHandles& run);
