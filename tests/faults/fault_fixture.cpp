#include "fault_fixture.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

void Faults::SetUp()
{
    UpdateSite::SetUp();
    // Records its arguments and the digest of the package it was given.
    const std::string bin = root + "/bin";
    fs::create_directories(bin);
    write_file(bin + "/msiexec",
               "#!/bin/sh\n"
               "{ printf '%s\\n' \"$@\"; sha256sum \"$2\" 2>/dev/null || echo no-package; } >> '" +
                   root +
                   "/msiexec.calls'\n"
                   "exit 0\n");
    fs::permissions(bin + "/msiexec", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    env.push_back("PATH=" + bin + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
}

void Faults::TearDown()
{
    site.stop();
    if (!mounted.empty() && ::umount2(mounted.c_str(), MNT_DETACH) != 0)
        ADD_FAILURE() << "could not unmount " << mounted << ": " << std::strerror(errno);
    if (!install_expected) {
        EXPECT_EQ(msiexec_calls(), strings{}) << "an installer was started";
    }
    UpdateSite::TearDown();
}

run_result Faults::run_measured(long& peak_kib, double timeout_seconds)
{
    const std::string measured = root + "/peak_kib.txt";
    const int status = run_process({"/usr/bin/time", "-f", "%M", "-o", measured, program_}, env,
                                   root + "/stdout.txt", root + "/stderr.txt", timeout_seconds);
    // The figure is the last line; a failing status is reported on a line before it.
    std::string figure = read_file(measured);
    while (!figure.empty() && figure.back() == '\n')
        figure.pop_back();
    peak_kib = std::atol(figure.substr(figure.find_last_of('\n') + 1).c_str());
    EXPECT_GT(peak_kib, 0) << "no measurement: " << read_file(measured);
    return finish(status);
}

bool Faults::mount_var(const std::string& size, std::string& why)
{
    const std::string var = app + "/var";
    fs::create_directories(var);
    const std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", var.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why = "cannot mount a " + size + " tmpfs at APP/var (" + std::strerror(errno) +
              "): a full disk needs root or CAP_SYS_ADMIN here";
        return false;
    }
    mounted = var;
    return true;
}

strings Faults::msiexec_calls() const
{
    return read_lines(root + "/msiexec.calls");
}
