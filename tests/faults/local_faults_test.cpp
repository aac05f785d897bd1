// Faults of the machine the run is on: full disk, a log that cannot rotate, a missing
// temporary directory, an unreadable VERSION, an installer removed under the run.
#include <filesystem>
#include <fstream>

#include "build_paths.h"
#include "fault_fixture.h"

namespace {

namespace fs = std::filesystem;

// The disk fills while the installer is written. The run must fail and keep its
// records, which were made before the disk was full.
TEST_F(Faults, DiskFullWhileDownloadingTheInstaller)
{
    std::string why;
    if (!mount_var("1m", why))
        GTEST_SKIP() << why;
    write_file(root + "/urgent.json", "");
    json routes = answers(root + "/urgent.json");
    routes.push_back({{"path", "/big.msi"}, {"generate_bytes", 8 * mib}});
    server& s = serve(routes);
    write_file(root + "/urgent.json", release(s.url() + "/big.msi", any_hash));
    configure(s);

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r, "[error] Could not write file: " + app + "/var/agent_recovery.msi")) << r.log;
    EXPECT_TRUE(has(r, "[info] Downloading file to " + app + "/var/agent_recovery.msi"))
        << "records made before the disk filled were lost; log:\n"
        << r.log << "\nstderr:\n"
        << r.err;
    EXPECT_EQ(last(r), "[error] Couldn't download installer");
}

// No room for a single record: the run still does its work and ends as it should,
// and says on standard error that its records are lost.
TEST_F(Faults, DiskFullForTheLog)
{
    std::string why;
    if (!mount_var("64k", why))
        GTEST_SKIP() << why;
    {
        // Fill it: the writes stop at the first ENOSPC.
        std::ofstream filler(app + "/var/filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }
    ASSERT_LT(fs::space(app + "/var").available, 4096u);
    write_file(root + "/none.json", R"({"results":[]})");
    server& s = serve(answers(root + "/none.json"));
    configure(s);

    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(requests_of(s).size(), 2u) << "the run went on";
    EXPECT_NE(r.err.find("[*** LOG ERROR #"), std::string::npos)
        << "every record was lost without a word; stderr: " << r.err << "\nlog size "
        << fs::file_size(app + "/var/agent_recovery.log");
}

// The descriptor cannot be written where the system says: it goes to var, and the
// server that answered counts as reached.
TEST_F(Faults, MissingTemporaryDirectory)
{
    write_file(root + "/none.json", R"({"results":[]})");
    server& s = serve(answers(root + "/none.json"));
    configure(s);
    env.push_back("TMPDIR=" + root + "/missing");

    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        lines_with(r.log, "[error] Could not replace " + root + "/missing/last_agent.json (No such file or " +
                              "directory): the update descriptor goes to " + app + "/var/last_agent.json")
            .size(),
        2u)
        << r.log;
    EXPECT_EQ(last(r), "[info] We reached the url and didn't get any updates, so we stop here");
    EXPECT_EQ(requests_of(s).size(), 2u);
    EXPECT_FALSE(fs::exists(root + "/missing"));
}

// A directory named VERSION is no version. The Windows build cannot open it and stops;
// the Linux build must not ask the servers with an empty version instead.
TEST_F(Faults, VersionThatIsADirectory)
{
    write_file(root + "/none.json", R"({"results":[]})");
    server& s = serve(answers(root + "/none.json"));
    configure(s);
    fs::remove(app + "/VERSION");
    fs::create_directories(app + "/VERSION");

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(last(r), "[error] Could not open file " + app + "/VERSION") << r.log;
    EXPECT_EQ(requests_of(s), strings{}) << "the servers were asked with an empty version";
}

TEST_F(Faults, VersionThatIsADirectoryUnderWine)
{
    configure(serve(answers(root + "/none.json")));
    fs::remove(app + "/VERSION");
    fs::create_directories(app + "/VERSION");
    const std::string exe = windows_exe();
    ASSERT_FALSE(exe.empty()) << "build " << build_paths::windows_agent_exe << " first";
    install(exe, "agent_recovery.exe");
    const run_result w = run_under_wine();
    EXPECT_EQ(w.status, 255);
    const std::string m = last(w);
    EXPECT_EQ(m.substr(0, 27), "[error] Could not open file") << w.log;
    EXPECT_EQ(m.substr(m.size() - 12), "\\APP\\VERSION");
}

// Another process removes the verified installer before its digest is taken: the
// stand-in trust check is wrapped so that the removal happens right after it.
TEST_F(Faults, InstallerRemovedAfterItsSignatureWasChecked)
{
    std::string real;
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (fs::exists(std::string(dir) + "/osslsigncode"))
            real = std::string(dir) + "/osslsigncode";
    ASSERT_FALSE(real.empty()) << "osslsigncode is not installed";
    const std::string race = root + "/race";
    fs::create_directories(race);
    // extract-signature is the last look at the file before the digest.
    write_file(race + "/osslsigncode",
               "#!/bin/sh\n" + real +
                   " \"$@\"\nstatus=$?\n"
                   "[ \"$1\" = extract-signature ] && rm -f -- \"$3\"\nexit $status\n");
    fs::permissions(race + "/osslsigncode", fs::perms::owner_all);
    for (std::string& e : env)
        if (e.rfind("PATH=", 0) == 0)
            e = "PATH=" + race + ":" + e.substr(5);

    write_file(root + "/package.msi", read_file(fixture("signed_ok.msi")));
    write_file(root + "/urgent.json", "");
    json routes = answers(root + "/urgent.json");
    routes.push_back({{"path", "/agent.msi"}, {"body_file", root + "/package.msi"}});
    server& s = serve(routes);
    env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
    configure(s);

    // The announced digest, and an empty one: a digest that could not be taken
    // must not match anything.
    for (const std::string& hash : {sha256_of(root + "/package.msi"), std::string()}) {
        SCOPED_TRACE("announced hash \"" + hash + "\"");
        write_file(root + "/urgent.json", release(s.url() + "/agent.msi", hash));
        const run_result r = run();
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(has(r, "[error] Could not open file for getting its hash")) << r.log;
        EXPECT_EQ(last(r), "[error] Downloaded hash did not match the one in json");
        EXPECT_EQ(msiexec_calls(), strings{}) << "msiexec was started for a package that is gone";
        fs::remove(root + "/msiexec.calls");
        fs::remove_all(app + "/var");
    }
}

}  // namespace
