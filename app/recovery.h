#pragma once

// One whole recovery run. Returns the process exit status: 0 or -1.
int run_recovery();

// The project's version in CMakeLists.txt, like the resource and the manifest of the exe.
constexpr const char* program_version = RECOVERY_VERSION;
