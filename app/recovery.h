#pragma once

// One whole recovery run. Returns the process exit status: 0 or -1.
int run_recovery();

constexpr const char* program_version = "1.0.1";
