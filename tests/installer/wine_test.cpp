// Installing through Wine: Wine's own msiexec started by the Linux build, the Windows build
// end to end under Wine, and what Wine's WinVerifyTrust accepts. Every case here shares
// one Wine prefix (CTest runs them one at a time).
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "build_paths.h"
#include "installer_support.h"

namespace fs = std::filesystem;

namespace {

using strings = std::vector<std::string>;

const char* const payload_text = "Velquora test agent payload: main package\n";

// The Wine name of a path on the Linux side.
std::string windows_path(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

// The Windows build handles paths in the ANSI code page (1252 under Wine here), and logs
// them so: the APP directory's letter \u00e9 is one byte there.
std::string ansi(std::string text)
{
    for (std::string::size_type at; (at = text.find("\xC3\xA9")) != std::string::npos;)
        text.replace(at, 2, "\xE9");
    return text;
}

std::string built(const std::string& path)
{
    EXPECT_TRUE(fs::exists(path)) << path << " is missing: build the Windows preset first";
    return fs::exists(path) ? path : "";
}

class WineInstall : public InstallerApp {
protected:
    void SetUp() override
    {
        InstallerApp::SetUp();
        ASSERT_TRUE(boot_installer_prefix()) << installer_prefix();
    }

    // The prefix is new for each CTest run (fresh-prefix.sh); removing the package this
    // run installs keeps the payload file from outliving the case that wrote it.
    void uninstall()
    {
        wine_msiexec({"/x", fixture("signed_ok.msi"), "/qn"}, root + "/uninstall.txt");
        fs::remove_all(fs::path(installed_payload()).parent_path());
        ASSERT_FALSE(fs::exists(installed_payload()));
    }

    void expect_installed(const run_result& r)
    {
        EXPECT_EQ(r.status, 0) << r.log << r.out << r.err;
        ASSERT_FALSE(r.log.empty()) << r.out << r.err;
        EXPECT_EQ(messages(r.log).back(), "[info] Installer returned with code 0") << r.log;
        EXPECT_EQ(read_file(installed_payload()), payload_text) << installed_payload();
        // Wine's verbose log (ANSI): the package it was given, and the top-level INSTALL
        // action ending in success (1) as its last record.
        const std::string install_log = read("var/update-agent-emergency.log");
        EXPECT_FALSE(lines_with(install_log, "Property(S): OriginalDatabase = " +
                                                 ansi(windows_path(p("var/agent_recovery.msi"))))
                         .empty())
            << install_log;
        strings records = messages(install_log);
        while (!records.empty() && records.back().empty())
            records.pop_back();
        ASSERT_FALSE(records.empty());
        EXPECT_NE(records.back().find(": INSTALL. Return value 1."), std::string::npos) << install_log;
    }

    void use_windows_build()
    {
        const std::string exe = built(build_paths::windows_agent_exe);
        ASSERT_FALSE(exe.empty());
        install(exe, "agent_recovery.exe");
    }

    // The recording msiexec.exe beside the program: CreateProcess looks there first.
    void use_fake_msiexec(const std::string& exit_code)
    {
        const std::string exe = built(build_paths::windows_fake_msiexec);
        ASSERT_FALSE(exe.empty());
        fs::copy_file(exe, p("msiexec.exe"), fs::copy_options::overwrite_existing);
        write("msiexec_exit_code.txt", exit_code);
        fs::remove(p("msiexec_args.txt"));
        fs::remove_all(p("var"));
    }
};

TEST_F(WineInstall, LinuxBuildHandsThePackageToWineMsiexec)
{
    uninstall();
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    use_wine_msiexec();
    const run_result r = run(60);
    expect_installed(r);
    uninstall();
}

TEST_F(WineInstall, WindowsBuildInstallsTheSignedPackage)
{
    use_windows_build();
    uninstall();
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    const run_result r = run_in_wine(60);
    expect_installed(r);
    const std::string var = ansi(windows_path(p("var")));
    EXPECT_EQ(
        lines_with(r.log, "Executing command \"msiexec /i \"" + var + "\\agent_recovery.msi\" /qn /L*v \"" +
                              var + "\\update-agent-emergency.log\"\"")
            .size(),
        1u)
        << r.log;
    uninstall();
}

// Wine 8's WinVerifyTrust turns down only a package without any signature (see
// WhatWinVerifyTrustAccepts); a signature over other content passes it, so there the
// digest announced by the server is what stops a tampered package.
TEST_F(WineInstall, WindowsBuildRefusesPackages)
{
    use_windows_build();
    struct Case {
        const char* package;
        std::string announced;
        const char* refusal;
    };
    for (const Case& c : {
             Case{"unsigned.msi", sha256_of(fixture("unsigned.msi")), "[error] The signature is wrong"},
             Case{"signed_lower.msi", sha256_of(fixture("signed_lower.msi")),
                  "[error] The signature is wrong"},
             Case{"tampered.msi", sha256_of(fixture("signed_ok.msi")),
                  "[error] Downloaded hash did not match the one in json"},
         }) {
        use_fake_msiexec("0");
        serve(fixture(c.package), c.announced);
        const run_result r = run_in_wine(60);
        EXPECT_EQ(r.status, 255) << c.package << r.log << r.err;
        ASSERT_FALSE(r.log.empty()) << c.package << r.out << r.err;
        EXPECT_EQ(messages(r.log).back(), c.refusal) << c.package << r.log;
        EXPECT_FALSE(exists("var/agent_recovery.msi")) << c.package;
        EXPECT_FALSE(exists("msiexec_args.txt")) << c.package << ": the installer ran";
    }
}

// Windows exit codes are 32 bits; install_agent returns them as int.
TEST_F(WineInstall, WindowsBuildReportsFullWidthExitCodes)
{
    use_windows_build();
    serve(fixture("signed_ok.msi"), sha256_of(fixture("signed_ok.msi")));
    struct Case {
        const char* code;
        const char* returned;
    };
    for (const Case& c : {Case{"4294967295", "-1"}, Case{"3010", "3010"}, Case{"1603", "1603"}}) {
        use_fake_msiexec(c.code);
        const run_result r = run_in_wine(60);
        EXPECT_EQ(r.status, 255) << c.code << r.log << r.err;
        const strings m = messages(r.log);
        ASSERT_GE(m.size(), 2u) << c.code << r.log;
        EXPECT_EQ(strings(m.end() - 2, m.end()),
                  (strings{std::string("[info] Installer returned with code ") + c.code,
                           std::string("[error] There was a problem installing the agent, exit_code ") +
                               c.returned}));
        EXPECT_TRUE(exists("var/agent_recovery.msi")) << c.code;
        EXPECT_EQ(read_lines(p("msiexec_args.txt")),
                  (strings{"/i", windows_path(p("var/agent_recovery.msi")), "/qn", "/L*v",
                           windows_path(p("var/update-agent-emergency.log"))}));
    }
}

// What Wine's trust provider, and the Windows build's checks on top of it, make of each
// package. These are facts about Wine 8, not about Windows, which refuses a digest that
// does not match, a chain ending in an untrusted root, an expired signer without time
// stamp and a certificate not made for code signing.
TEST(WineTrust, WhatWinVerifyTrustAccepts)
{
    const std::string probe = built(build_paths::windows_trust_probe);
    ASSERT_FALSE(probe.empty());
    ASSERT_TRUE(boot_installer_prefix());
    struct Verdict {
        std::string status;
        int signature;
        int publisher;
    };
    const std::map<std::string, Verdict> expected = {
        {"unsigned.msi", {"0x800b0100", 0, 0}},  // TRUST_E_NOSIGNATURE
        {"signed_ok.msi", {"0x00000000", 1, 1}},
        {"tampered.msi", {"0x00000000", 1, 1}},        // another package's signature
        {"tampered_bytes.msi", {"0x00000000", 1, 1}},  // content changed after signing
        {"signed_untrusted_ca.msi", {"0x00000000", 1, 1}},
        {"signed_selfsigned.msi", {"0x00000000", 1, 1}},
        {"signed_expired.msi", {"0x00000000", 1, 1}},
        {"signed_expired_timestamped.msi", {"0x00000000", 1, 1}},
        {"signed_expired_untrusted_tsa.msi", {"0x00000000", 1, 1}},
        {"signed_server_eku.msi", {"0x00000000", 1, 0}},  // TLS server certificate, no organisation
        {"signed_lower.msi", {"0x00000000", 1, 0}},
        {"signed_dot.msi", {"0x00000000", 1, 0}},
        {"signed_space.msi", {"0x00000000", 1, 0}},
        {"signed_long.msi", {"0x00000000", 1, 0}},
        {"signed_noorg.msi", {"0x00000000", 1, 0}},
        {"signed_unicode.msi", {"0x00000000", 1, 0}},
    };
    const std::string root = make_temp_dir();
    std::vector<std::string> argv = {build_paths::wine_runner, probe};
    for (const auto& entry : expected)
        argv.push_back(windows_path(fixture(entry.first)));
    const int status = run_process(argv, wine_environment(), root + "/out.txt", root + "/err.txt", 60);
    const std::string out = read_file(root + "/out.txt");
    ASSERT_EQ(status, 0) << out << read_file(root + "/err.txt");
    std::map<std::string, Verdict> seen;
    std::istringstream lines(out);
    for (std::string name, status_field, signature_field, publisher_field;
         lines >> name >> status_field >> signature_field >> publisher_field;) {
        seen[name] = {status_field.substr(7), std::stoi(signature_field.substr(10)),
                      std::stoi(publisher_field.substr(10))};
    }
    for (const auto& entry : expected) {
        const auto it = seen.find(entry.first);
        ASSERT_NE(it, seen.end()) << entry.first << "\n" << out;
        EXPECT_EQ(it->second.status, entry.second.status) << entry.first;
        EXPECT_EQ(it->second.signature, entry.second.signature) << entry.first;
        EXPECT_EQ(it->second.publisher, entry.second.publisher) << entry.first;
    }
    fs::remove_all(root);
}

}  // namespace
