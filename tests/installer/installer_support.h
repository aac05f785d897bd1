#pragma once
// Shared by the installer tests: the signed packages, an update site that announces one
// of them, a stand-in msiexec that records how it was called, and a Wine prefix of our own.
#include <string>
#include <vector>

#include "fixtures.h"
#include "update_site.h"

std::string upper(std::string text);

// Writes BIN/msiexec, a POSIX stand-in: it writes its arguments one per line to
// $RECORDER/args, copies $RECORDED_LOG (if set) to $RECORDER/log_at_start, lists what its
// open descriptors name in $RECORDER/descriptors and exits with $MSIEXEC_EXIT_CODE
// (default 0; KILL: killed by SIGKILL).
void write_recording_msiexec(const std::string& bin);

// The Wine prefix the installer tests use (booted on demand), and its payload file
// once the test package is installed.
std::string installer_prefix();
std::string installed_payload();
// Boots the prefix (cheap once it runs) so Wine's background processes are started
// detached from any test's output files. False if that failed.
bool boot_installer_prefix();
// Settings every Wine process of these tests runs with (prefix, wineserver, quiet).
std::vector<std::string> wine_environment();
// Runs Wine's own msiexec in the prefix; its exit status.
int wine_msiexec(const std::vector<std::string>& args, const std::string& out_file);

// A scratch APP directory whose name holds a blank and a non-ASCII letter, an update
// site announcing one package, and msiexec replaced where a test asks for it.
class InstallerApp : public UpdateSite {
protected:
    std::string files;     // what the update server serves
    std::string recorder;  // where the stand-in msiexec leaves its records
    std::string scheme = "http";

    void SetUp() override;
    void TearDown() override;

    // Serves `package` as /files/agent.msi and announces it as urgent with `hash`
    // (again: the running server serves the new package);
    // writes etc/config for the server. Over HTTPS when scheme is "https".
    void serve(const std::string& package, const std::string& hash);

    // The POSIX stand-in first on PATH, recording into `recorder`, copying
    // APP/var/agent_recovery.log as it starts and exiting with `exit_code`.
    void use_recording_msiexec(int exit_code);
    // Wine's msiexec (/usr/bin/msiexec) first on PATH, working in installer_prefix().
    void use_wine_msiexec();

    bool msiexec_ran() const;
    std::vector<std::string> msiexec_args() const;

    // The Windows build under Wine in installer_prefix().
    run_result run_in_wine(double timeout_seconds);

    std::string url() const;  // of the announced package
    std::string p(const std::string& relative) const { return app + "/" + relative; }
};
