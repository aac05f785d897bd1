// The Linux build end to end: an urgent release announced by the update server, downloaded,
// checked and handed to a stand-in msiexec; over HTTP and over HTTPS.
#include <algorithm>
#include <filesystem>

#include "installer_support.h"

namespace fs = std::filesystem;

namespace {

using strings = std::vector<std::string>;

class InstallerRun : public InstallerApp, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        scheme = GetParam();
        InstallerApp::SetUp();
    }

    // A fresh log and no trace of an earlier row.
    void next_row()
    {
        fs::remove_all(app + "/var");
        fs::remove(recorder + "/args");
        fs::remove(recorder + "/log_at_start");
    }

    std::string command_record() const
    {
        return "[info] Executing command \"msiexec /i \"" + p("var/agent_recovery.msi") + "\" /qn /L*v \"" +
               p("var/update-agent-emergency.log") + "\"\"";
    }

    std::string downloaded_record() const
    {
        return "[info] Downloaded installer from " + url() + " to " + p("var/agent_recovery.msi");
    }
};

TEST_P(InstallerRun, AcceptedPackageIsInstalledAfterTheLogReachedTheDisk)
{
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    use_recording_msiexec(0);
    const run_result r = run();
    EXPECT_EQ(r.status, 0) << r.log;
    EXPECT_EQ(msiexec_args(), (strings{"/i", p("var/agent_recovery.msi"), "/qn", "/L*v",
                                       p("var/update-agent-emergency.log")}));
    const strings m = messages(r.log);
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(strings(m.end() - 3, m.end()),
              (strings{downloaded_record(), command_record(), "[info] Installer returned with code 0"}));
    // What msiexec found on disk as it started: every record up to its own command.
    EXPECT_EQ(messages(read_file(recorder + "/log_at_start")), strings(m.begin(), m.end() - 1));
    EXPECT_EQ(read("var/agent_recovery.msi"), read_file(fixture("signed_ok.msi"))) << "the package is kept";
}

// As from CreateProcess without handle inheritance: the installer, which may outlive the
// program, holds none of its files open.
TEST_P(InstallerRun, InstallerHoldsNoneOfTheProgramsFiles)
{
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    use_recording_msiexec(0);
    const run_result r = run();
    EXPECT_EQ(r.status, 0) << r.log;
    const std::string descriptors = read_file(recorder + "/descriptors");
    ASSERT_FALSE(descriptors.empty());
    EXPECT_EQ(lines_with(descriptors, app), strings{}) << descriptors;
}

TEST_P(InstallerRun, PackageWhoseSignatureIsRefusedIsDeletedUninstalled)
{
    use_recording_msiexec(0);
    // Each announced with its own digest: only the signature check can stop it.
    for (const char* package : {"unsigned.msi", "tampered.msi", "tampered_bytes.msi", "signed_lower.msi",
                                "signed_untrusted_ca.msi", "signed_selfsigned.msi"}) {
        next_row();
        serve(fixture(package), sha256_of(fixture(package)));
        const run_result r = run();
        EXPECT_EQ(r.status, 255) << package;
        const strings m = messages(r.log);
        ASSERT_GE(m.size(), 2u) << package;
        EXPECT_EQ(strings(m.end() - 2, m.end()),
                  (strings{downloaded_record(), "[error] The signature is wrong"}))
            << package;
        EXPECT_FALSE(exists("var/agent_recovery.msi")) << package;
        EXPECT_FALSE(msiexec_ran()) << package;
    }
}

TEST_P(InstallerRun, PackageWithAnotherDigestIsDeletedUninstalled)
{
    use_recording_msiexec(0);
    const std::string right = sha256_of(fixture("signed_ok.msi"));
    for (const std::string& announced :
         {sha256_of(fixture("signed_lower.msi")), upper(right), std::string()}) {
        next_row();
        serve(fixture("signed_ok.msi"), announced);
        const run_result r = run();
        EXPECT_EQ(r.status, 255) << announced;
        const strings m = messages(r.log);
        ASSERT_GE(m.size(), 2u) << announced;
        EXPECT_EQ(strings(m.end() - 2, m.end()),
                  (strings{downloaded_record(), "[error] Downloaded hash did not match the one in json"}))
            << announced;
        EXPECT_FALSE(exists("var/agent_recovery.msi")) << announced;
        EXPECT_FALSE(msiexec_ran()) << announced;
    }
}

// 1603 cannot leave a POSIX process; the Windows build under Wine checks it.
TEST_P(InstallerRun, FailingInstallerFailsTheRunAndKeepsThePackage)
{
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    for (const int code : {1, 255}) {
        next_row();
        use_recording_msiexec(code);
        const run_result r = run();
        EXPECT_EQ(r.status, 255) << code;
        const strings m = messages(r.log);
        ASSERT_GE(m.size(), 3u) << code;
        EXPECT_EQ(
            strings(m.end() - 3, m.end()),
            (strings{command_record(), "[info] Installer returned with code " + std::to_string(code),
                     "[error] There was a problem installing the agent, exit_code " + std::to_string(code)}));
        EXPECT_TRUE(exists("var/agent_recovery.msi")) << code;
    }
}

TEST_P(InstallerRun, MsiexecMissingFailsTheRunAndKeepsThePackage)
{
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    // osslsigncode (the signature check here) stays reachable; no msiexec is.
    const std::string bin = root + "/no-msiexec";
    fs::create_directories(bin);
    fs::create_symlink("/usr/bin/osslsigncode", bin + "/osslsigncode");
    env.push_back("PATH=" + bin);
    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    const strings m = messages(r.log);
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(strings(m.end() - 3, m.end()),
              (strings{command_record(), "[error] CreateProcess failed: 2",
                       "[error] There was a problem installing the agent, exit_code -1"}));
    EXPECT_TRUE(exists("var/agent_recovery.msi"));
}

INSTANTIATE_TEST_SUITE_P(Scheme, InstallerRun, ::testing::Values("http", "https"),
                         [](const ::testing::TestParamInfo<const char*>& row) {
                             return std::string(row.param);
                         });

}  // namespace
