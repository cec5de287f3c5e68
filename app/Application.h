// The run from start to exit status, in its fixed order of phases.
#pragma once

int runApplication(int argc, const char* const* argv);
