// Update servers that misbehave: stalls, broken and empty bodies, huge installers,
// redirect loops and downgrades, certificates for another host.
#include <chrono>
#include <filesystem>

#include "fault_fixture.h"

namespace {

namespace fs = std::filesystem;

// The one case that waits out the product's 60 s stall limit: a silent server must
// not hold the run, and the search goes on to the next server.
TEST_F(Faults, StallBeforeHeadersEndsTheQueryAndTheSearchGoesOn)
{
    server& silent = serve(json::array({{{"path", "/api/updates/"},
                                         {"fault", "stall_before_headers"},
                                         {"stall_seconds", 150},
                                         {"body", R"({"results":[]})"}}}));
    write_file(root + "/none.json", R"({"results":[]})");
    server& next = serve(answers(root + "/none.json"));
    configure(silent);
    write("etc/inventory.conf", json{{"alternative_urls", {next.url()}}}.dump());

    const auto start = std::chrono::steady_clock::now();
    const run_result r = run(140);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(r.status, 0);
    EXPECT_GE(seconds, 55) << "gave up before the stall limit";
    EXPECT_LE(seconds, 100) << "the stall held the run past its limit";
    EXPECT_EQ(lines_with(r.log, "[error] InternetOpenUrlA failed: 12002").size(), 1u) << r.log;
    EXPECT_TRUE(has(r, "[info] Couldn't reach " + silent.url()));
    EXPECT_EQ(requests_of(silent).size(), 1u) << "nothing is retried";
    EXPECT_EQ(requests_of(next).size(), 2u);
    EXPECT_EQ(last(r), "[info] We reached the url and didn't get any updates, so we stop here");
}

// A body cut short must not pass for an installer; what arrived stays for the operator
// to see, and the next run overwrites it.
TEST_F(Faults, InstallerCutShortMidBody)
{
    write_file(root + "/urgent.json", "");
    server& s = serve(answers(root + "/urgent.json"));
    for (const char* fault : {"reset_after", "close_after"}) {
        SCOPED_TRACE(fault);
        const std::string path = std::string("/") + fault + ".msi";
        server& cut = serve(json::array(
            {{{"path", path}, {"generate_bytes", 10 * mib}, {"fault", fault}, {"fault_bytes", mib}}}));
        write_file(root + "/urgent.json", release(cut.url() + path, any_hash));
        configure(s);

        const run_result r = run();
        EXPECT_EQ(r.status, 255);
        const std::string error = std::string(fault) == "reset_after" ? "12031" : "12030";
        EXPECT_TRUE(has(r, "[error] InternetReadFile fiales: " + error)) << r.log;
        EXPECT_EQ(last(r), "[error] Couldn't download installer");
        ASSERT_TRUE(exists("var/agent_recovery.msi"));
        EXPECT_EQ(fs::file_size(app + "/var/agent_recovery.msi"), static_cast<std::uintmax_t>(mib))
            << "exactly what arrived";
        EXPECT_EQ(requests_of(cut).size(), 1u) << "nothing is retried";
        fs::remove_all(app + "/var");
    }
}

TEST_F(Faults, EmptyInstallerIsRefusedAndDeleted)
{
    write_file(root + "/urgent.json", "");
    server& s = serve(answers(root + "/urgent.json"));
    server& files = serve(json::array({{{"path", "/empty.msi"}, {"body", ""}}}));
    write_file(root + "/urgent.json", release(files.url() + "/empty.msi", sha256_of("/dev/null")));
    configure(s);

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(
        r, "[info] Download complete " + files.url() + "/empty.msi -> " + app + "/var/agent_recovery.msi"));
    EXPECT_EQ(last(r), "[error] The signature is wrong") << "even with the digest of nothing announced";
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
}

// 2 GiB streamed to disk in bounded memory, then refused by its signature.
TEST_F(Faults, TwoGibInstallerStreamsInBoundedMemory)
{
    const auto space = fs::space(root);
    if (space.available < 5ull * 1024 * mib)
        GTEST_SKIP() << "needs 5 GiB free where the scratch APP directory lives (" << root << "), "
                     << space.available / mib << " MiB available";
    write_file(root + "/urgent.json", "");
    server& s = serve(answers(root + "/urgent.json"));
    const std::uint64_t size = 2147483648ull;
    server& files = serve(json::array({{{"path", "/huge.msi"}, {"generate_bytes", size}}}));
    write_file(root + "/urgent.json", release(files.url() + "/huge.msi", any_hash));
    configure(s);

    long peak_kib = 0;
    const run_result r = run_measured(peak_kib, 240);
    std::cout << "peak RSS " << peak_kib << " KiB\n";
    RecordProperty("peak_rss_kib", std::to_string(peak_kib));
    if (!RECOVERY_SANITIZED) {
        EXPECT_LT(peak_kib, 32 * 1024);
    }
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(
        has(r, "[info] Download complete " + files.url() + "/huge.msi -> " + app + "/var/agent_recovery.msi"))
        << r.log;
    EXPECT_EQ(last(r), "[error] The signature is wrong");
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
    std::error_code ignored;
    fs::remove(app + "/var/agent_recovery.msi", ignored);  // a failed case keeps its directory, not 2 GiB
}

// A loop ends after the redirect limit: for the descriptor the server counts as not
// reached and the next one is asked; for the installer the run fails.
TEST_F(Faults, RedirectLoops)
{
    const std::string query = "/api/updates/?platform=windows&urgent=false&version=1";
    server& looping = serve(json::array({{{"path", "/api/updates/"}, {"redirect", query}}}));
    write_file(root + "/urgent.json", "");
    json routes = answers(root + "/urgent.json");
    routes.push_back({{"path", "/loop.msi"}, {"redirect", "/loop.msi"}});
    server& alternative = serve(routes);
    write_file(root + "/urgent.json", release(alternative.url() + "/loop.msi", any_hash));
    configure(looping);
    write("etc/inventory.conf", json{{"alternative_urls", {alternative.url()}}}.dump());

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_with(r.log, "[error] InternetOpenUrlA failed: 12156").size(), 2u) << r.log;
    EXPECT_TRUE(has(r, "[info] Couldn't reach " + looping.url()));
    EXPECT_EQ(requests_of(looping).size(), 11u) << "the first request and 10 redirects";
    const strings seen = requests_of(alternative);
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& l) { return l.rfind("GET /loop.msi ", 0) == 0; }),
              11);
    EXPECT_EQ(last(r), "[error] Couldn't download installer");
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
}

// A package announced over https must not arrive over plain http.
TEST_F(Faults, HttpsToHttpRedirectIsRefused)
{
    write_file(root + "/package.msi", read_file(fixture("signed_ok.msi")));
    server& plain = serve(json::array({{{"path", "/agent.msi"}, {"body_file", root + "/package.msi"}}}));
    write_file(root + "/urgent.json", "");
    json routes = answers(root + "/urgent.json");
    routes.push_back({{"path", "/agent.msi"}, {"redirect", plain.url() + "/agent.msi"}});
    server& secure = serve(routes, cert::good);
    write_file(root + "/urgent.json", release(secure.url() + "/agent.msi", sha256_of(root + "/package.msi")));
    configure(secure);

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r, "[info] Found new urgent update: " + secure.url() + "/agent.msi")) << r.log;
    EXPECT_TRUE(has(r, "[error] InternetOpenUrlA failed: 12040")) << r.log;
    EXPECT_EQ(last(r), "[error] Couldn't download installer");
    EXPECT_EQ(requests_of(plain), strings{}) << "the plain server was asked";
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
}

// A certificate naming another host: neither the descriptor nor the installer is taken
// from that server.
TEST_F(Faults, CertificateForAnotherHost)
{
    write_file(root + "/package.msi", read_file(fixture("signed_ok.msi")));
    json impostor_routes = answers(root + "/urgent.json");
    impostor_routes.push_back({{"path", "/agent.msi"}, {"body_file", root + "/package.msi"}});
    write_file(root + "/urgent.json", "");
    server& impostor = serve(impostor_routes, cert::wrong_host);
    server& genuine = serve(answers(root + "/urgent.json"), cert::good);
    write_file(root + "/urgent.json",
               release(impostor.url() + "/agent.msi", sha256_of(root + "/package.msi")));
    configure(impostor);
    write("etc/inventory.conf", json{{"alternative_urls", {genuine.url()}}}.dump());

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_with(r.log, "[error] InternetOpenUrlA failed: 12038").size(), 2u) << r.log;
    EXPECT_TRUE(has(r, "[info] Couldn't reach " + impostor.url()));
    EXPECT_EQ(requests_of(impostor), strings{}) << "no request passes a failed handshake";
    EXPECT_EQ(requests_of(genuine).size(), 2u);
    EXPECT_EQ(last(r), "[error] Couldn't download installer");
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
}

}  // namespace
