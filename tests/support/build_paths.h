#pragma once
// Where this build tree keeps the programs, scripts and scratch prefixes the tests use.
// CMake writes the values into one generated file of the build tree, so that no other
// compiled file depends on where the checkout is (a compiler cache then serves every clone).
namespace build_paths {
extern const char* const agent_recovery_exe;  // the Linux build
extern const char* const agent_publish_exe;   // the vendor's publisher, Linux build
extern const char* const update_server_exe;
extern const char* const attacker_exe;
extern const char* const fixtures_dir;
extern const char* const fixtures_script;
extern const char* const boot_prefix_script;
extern const char* const wine_runner;
extern const char* const wine_prefix_dir;    // the prefix of the process-level Wine runs
extern const char* const windows_build_dir;  // the Windows build the Wine cases run
extern const char* const windows_agent_exe;
extern const char* const windows_hold_file_exe;
extern const char* const wininet_probe_exe;
extern const char* const windows_fake_msiexec;
extern const char* const windows_trust_probe;
extern const char* const windows_timing_probe;
extern const char* const installer_wine_prefix;
extern const char* const installer_wine_tmpdir;
extern const char* const proxy_wine_prefix;
extern const char* const nginx_exe;
extern const char* const tinyproxy_exe;
extern const char* const server_doc;  // docs/server.md, whose nginx example the proxy suites serve
}  // namespace build_paths
