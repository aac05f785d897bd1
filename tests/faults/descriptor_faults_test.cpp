// Hostile update descriptors served as the urgent answer: huge, deeply nested, URLs
// with control characters or of 100,000 characters, digests that do not match,
// duplicate keys.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "fault_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::string nothing_found = "[info] We reached the url and didn't get any updates, so we stop here";

// 256 MiB of valid JSON listing a release: streamed to the temporary directory (the
// next answer overwrites it) and refused by size before any parsing, in bounded memory.
TEST_F(Faults, HugeDescriptorIsRefusedInBoundedMemory)
{
    const std::string urgent = root + "/urgent.json";
    {
        std::ofstream out(urgent, std::ios::binary);
        out << R"({"results":[{"url":"http://127.0.0.1:1/agent.msi","hash":")" << any_hash
            << R"("}],"padding":[)";
        std::string chunk;
        for (int i = 0; i < 1024; ++i)
            chunk += "\"" + std::string(1020, 'p') + "\",";
        for (long written = 0; written < 256 * mib; written += static_cast<long>(chunk.size()))
            out << chunk;
        out << "\"end\"]}";
        ASSERT_TRUE(out.good());
    }
    server& s = serve(answers(urgent));
    configure(s);

    long peak_kib = 0;
    const run_result r = run_measured(peak_kib);
    std::cout << "peak RSS " << peak_kib << " KiB\n";
    RecordProperty("peak_rss_kib", std::to_string(peak_kib));
    if (!RECOVERY_SANITIZED) {
        EXPECT_LT(peak_kib, 32 * 1024);
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_with(r.log, "[error] Update descriptor too large: ").size(), 1u) << r.log;
    EXPECT_EQ(last(r), nothing_found);
    std::error_code error;
    // A failed case keeps its directory: not with 512 MiB in it.
    fs::remove(urgent);
    fs::remove(tmp + "/last_agent.json", error);
}

// A million open brackets within the size limit: no crash, no runaway memory.
TEST_F(Faults, DeeplyNestedDescriptor)
{
    struct Case {
        std::string body, problem;
    };
    const std::vector<Case> cases = {
        {std::string(1000000, '['), "[error] Caught exception when parsing JSON"},
        {std::string(524000, '[') + std::string(524000, ']'),
         "[error] Unexpected update descriptor: the document is an array, not an object"},
    };
    const std::string urgent = root + "/urgent.json";
    write_file(urgent, "");
    server& s = serve(answers(urgent));
    configure(s);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        write_file(urgent, c.body);
        long peak_kib = 0;
        const run_result r = run_measured(peak_kib);
        std::cout << "peak RSS " << peak_kib << " KiB for " << c.body.size() << " bytes\n";
        if (!RECOVERY_SANITIZED) {
            EXPECT_LT(peak_kib, 128 * 1024);
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r, c.problem)) << r.log;
        EXPECT_EQ(last(r), nothing_found);
        fs::remove_all(app + "/var");
    }
}

// CR LF in the announced URL: no request may carry it, and it must not write a record
// of its own into the log (here a forged "Installer returned with code 0").
TEST_F(Faults, ControlCharactersInTheInstallerUrl)
{
    const std::string urgent = root + "/urgent.json";
    write_file(urgent, "");
    json routes = answers(urgent);
    routes.push_back({{"path", "/agent.msi"}, {"body", "not a package"}});
    server& s = serve(routes);
    const std::string forged =
        "[2001-01-01 00:00:00.000] [recovery_logger] [info] Installer returned with code 0";
    write_file(urgent, release(s.url() + "/agent.msi\r\nHost: evil.invalid\r\n" + forged, any_hash));
    configure(s);

    const run_result r = run();
    EXPECT_TRUE(r.status == 0 || r.status == 255) << r.status;
    const std::string end = last(r);
    EXPECT_TRUE(end == nothing_found || end == "[error] Couldn't download installer") << end;
    EXPECT_EQ(requests_of(s).size(), 2u) << "a request was sent for the malformed URL";
    EXPECT_EQ(lines_with(r.log, forged).size(), 0u) << "the descriptor wrote its own record:\n" << r.log;
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
}

// 100,000 characters: the server answers (414 from the test server), the answer is
// taken as the installer and refused by its signature.
TEST_F(Faults, HundredThousandCharacterUrl)
{
    const std::string urgent = root + "/urgent.json";
    write_file(urgent, "");
    server& s = serve(answers(urgent));
    const std::string url = s.url() + "/" + std::string(100000 - s.url().size() - 1, 'x');
    write_file(urgent, release(url, any_hash));
    configure(s);

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r, "[info] Found new urgent update: " + url));
    EXPECT_EQ(last(r), "[error] The signature is wrong");
    EXPECT_FALSE(exists("var/agent_recovery.msi"));
}

// A genuine signed package whose announced digest is not its digest, as written: it is
// refused and deleted, and msiexec never starts. The right digest first, as a control.
TEST_F(Faults, DigestThatDoesNotMatchIsNeverInstalled)
{
    install_expected = true;  // the control installs; every refusal is checked below
    write_file(root + "/package.msi", read_file(fixture("signed_ok.msi")));
    const std::string digest = sha256_of(root + "/package.msi");
    const std::string urgent = root + "/urgent.json";
    write_file(urgent, "");
    json routes = answers(urgent);
    routes.push_back({{"path", "/agent.msi"}, {"body_file", root + "/package.msi"}});
    server& s = serve(routes);
    env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
    configure(s);

    write_file(urgent, release(s.url() + "/agent.msi", digest));
    const run_result control = run();
    EXPECT_EQ(control.status, 0) << control.log;
    EXPECT_EQ(msiexec_calls(), (strings{"/i", app + "/var/agent_recovery.msi", "/qn", "/L*v",
                                        app + "/var/update-agent-emergency.log",
                                        digest + "  " + app + "/var/agent_recovery.msi"}));
    fs::remove(root + "/msiexec.calls");

    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    for (const std::string& hash : {upper, digest.substr(0, 63), digest + "0", digest + "\n", " " + digest}) {
        SCOPED_TRACE("announced \"" + hash + "\"");
        fs::remove_all(app + "/var");
        write_file(urgent, release(s.url() + "/agent.msi", hash));
        const run_result r = run();
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(last(r), "[error] Downloaded hash did not match the one in json") << r.log;
        EXPECT_FALSE(exists("var/agent_recovery.msi"));
        EXPECT_EQ(msiexec_calls(), strings{});
    }
}

// "url" twice in the release: the last one is fetched, the first never.
TEST_F(Faults, DuplicateUrlKeys)
{
    const std::string urgent = root + "/urgent.json";
    write_file(urgent, "");
    json routes = answers(urgent);
    routes.push_back({{"path", "/first.msi"}, {"body", "first"}});
    routes.push_back({{"path", "/second.msi"}, {"body", "second"}});
    server& s = serve(routes);
    write_file(urgent, R"({"results":[{"url":")" + s.url() + R"(/first.msi","url":")" + s.url() +
                           R"(/second.msi","hash":")" + any_hash + R"("}]})");
    configure(s);

    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r, "[info] Found new urgent update: " + s.url() + "/second.msi")) << r.log;
    const strings seen = requests_of(s);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].substr(0, seen[2].find(" UA=")), "GET /second.msi");
    EXPECT_EQ(last(r), "[error] The signature is wrong");
}

}  // namespace
