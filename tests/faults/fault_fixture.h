#pragma once
// Whole runs of the program under faults of the server, the disk and the descriptor.
// Every run has a recording `msiexec` first on PATH: a run that refused its installer
// must not have started it, whatever else the case checks.
#include <string>

#include "fixtures.h"
#include "update_site.h"

constexpr long mib = 1024 * 1024;
// A digest no installer of the tests has.
inline const std::string any_hash(64, 'a');

class Faults : public UpdateSite {
protected:
    bool install_expected = false;
    std::string mounted;  // a tmpfs of the test, unmounted before the scratch dir goes

    void SetUp() override;
    void TearDown() override;

    // The run wrapped by /usr/bin/time: peak resident set of the program and the
    // children it waited for, in KiB.
    run_result run_measured(long& peak_kib, double timeout_seconds = 120);

    // Mounts a tmpfs of `size` (mount(8) syntax, e.g. "1m") at APP/var; false with
    // `why` set when this host cannot.
    bool mount_var(const std::string& size, std::string& why);

    strings msiexec_calls() const;
};
