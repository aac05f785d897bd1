// agent_publish against the nginx site of docs/server.md: what it publishes an endpoint
// installs, what it refuses an endpoint refuses with the same words, and what its probe
// warns of.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

#include "build_paths.h"
#include "fixtures.h"
#include "installer_support.h"
#include "proxy_fixture.h"

namespace fs = std::filesystem;

namespace {

struct outcome {
    int status;
    std::string out;
};

class Publisher : public ProxySuite {
protected:
    std::string site;  // the documented site's root directory
    std::map<std::string, std::string> original;

    void SetUp() override
    {
        ProxySuite::SetUp();
        if (HasFatalFailure())
            return;
        site = servers->dir + "/site/documented";
        original = snapshot();
        env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
        write_recording_msiexec(root + "/bin");
        const char* path = std::getenv("PATH");
        env.push_back("PATH=" + root + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin"));
        env.push_back("RECORDER=" + root);
        env.push_back("MSIEXEC_EXIT_CODE=0");
    }

    // The next case finds the site as the lab made it.
    void TearDown() override
    {
        for (const auto& entry : snapshot())
            if (original.count(entry.first) == 0)
                fs::remove(site + "/" + entry.first);
        for (const auto& [name, content] : original)
            write_file(site + "/" + name, content);
        ProxySuite::TearDown();
    }

    std::map<std::string, std::string> snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(site))
            if (entry.is_regular_file())
                files[fs::relative(entry.path(), site).string()] = read_file(entry.path());
        return files;
    }

    outcome publisher(strings args)
    {
        args.insert(args.begin(), build_paths::agent_publish_exe);
        args.push_back("--ca");
        args.push_back(fixture("trusted_bundle.pem"));
        if (args[1] == "withdraw")
            args.resize(args.size() - 2);
        const int status = run_process(args, {}, root + "/publish.out", root + "/publish.err", 120);
        const outcome o{status, read_file(root + "/publish.out")};
        std::cout << "agent_publish " << args[1] << " -> " << status << "\n" << o.out;
        return o;
    }
    outcome probe(const lab::site& s) { return publisher({"probe", s.url(), "--version", "1.0.0"}); }

    run_result endpoint(const lab::site& s)
    {
        next_case(s);
        return run(120);
    }

    // An urgent release written by hand, as a vendor without the publisher would.
    void announce(const std::string& msi, const std::string& url, const std::string& digest)
    {
        fs::copy_file(msi, site + "/files/" + fs::path(msi).filename().string(),
                      fs::copy_options::overwrite_existing);
        write_file(site + "/descriptors/urgent.json",
                   R"({"results": [{"url": ")" + url + R"(", "hash": ")" + digest + R"("}]})");
    }
};

// Signed through a PKCS#11 token with a time stamp, as a vendor signs.
TEST_F(Publisher, ReleaseGoesFromTheVendorToTheEndpointsAndBack)
{
    const lab::site& s = servers->at("documented");
    const std::string msi = root + "/agent-2.0.0.msi";
    fs::copy_file(fixture("signed_token.msi"), msi);
    const std::string url = s.url() + "/files/agent-2.0.0.msi";

    const outcome published = publisher({"publish", msi, "--site", site, "--base-url", s.url() + "/"});
    ASSERT_EQ(published.status, 0) << published.out;
    EXPECT_EQ(read_file(site + "/descriptors/urgent.json"),
              R"({"results":[{"hash":")" + sha256_of(msi) + R"(","url":")" + url + "\"}]}\n");
    EXPECT_EQ(read_file(site + "/files/agent-2.0.0.msi"), read_file(msi));

    const outcome probed = probe(s);
    EXPECT_EQ(probed.status, 0);
    EXPECT_EQ(probed.out, "would install " + url + "\n");
    const run_result installed_run = endpoint(s);
    EXPECT_EQ(last(installed_run), installed) << installed_run.log;
    EXPECT_TRUE(has(installed_run, "[info] Found new urgent update: " + url)) << installed_run.log;
    EXPECT_TRUE(read("var/agent_recovery.msi") == read_file(msi));

    ASSERT_EQ(publisher({"withdraw", "--site", site}).status, 0);
    const outcome none = probe(s);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "no urgent release\n");
    const run_result idle = endpoint(s);
    EXPECT_EQ(last(idle), no_update) << idle.log;
}

// Each mistake a vendor can make is refused by the publisher, seen by the probe and met by an
// endpoint with the same message; the publisher's refusal leaves the site as it was.
TEST_F(Publisher, RefusesWhatEndpointsRefuseWithTheirWords)
{
    const lab::site& s = servers->at("documented");
    const std::string served = s.url() + "/files/agent.msi";
    const std::string signature = "The signature is wrong";
    const std::string other_file = "Downloaded hash did not match the one in json";
    const std::string ignored = "Couldn't detect an urgent update, stopping.";
    struct row {
        const char* what;
        std::string msi;  // published, or announced by hand
        std::string url;  // announced by hand
        std::string digest;
        std::string message;
        int probe_status;
    };
    for (const row& c : {
             row{"other organisation", fixture("signed_lower.msi"), s.url() + "/files/signed_lower.msi",
                 sha256_of(fixture("signed_lower.msi")), signature, 3},
             row{"untrusted root", fixture("signed_untrusted_ca.msi"), s.url() + "/files/signed_untrusted_ca.msi",
                 sha256_of(fixture("signed_untrusted_ca.msi")), signature, 3},
             row{"digest of another file", fixture("signed_ok.msi"), s.url() + "/files/signed_ok.msi",
                 sha256_of(fixture("other.msi")), other_file, 3},
             row{"the regular release's URL", servers->package, served, servers->digest, ignored, 1},
         }) {
        SCOPED_TRACE(c.what);
        if (c.message != other_file) {
            if (c.url == served)
                write_file(site + "/descriptors/regular.json",
                           R"({"results": [{"url": ")" + served + R"(", "hash": "x"}]})");
            const auto before = snapshot();
            const outcome refused = publisher({"publish", c.msi, "--site", site, "--base-url", s.url()});
            EXPECT_EQ(refused.status, 3);
            EXPECT_EQ(refused.out.rfind("refused: " + c.message, 0), 0u) << refused.out;
            EXPECT_EQ(snapshot(), before) << "a refusal changed the site";
        }
        announce(c.msi, c.url, c.digest);
        const outcome probed = probe(s);
        EXPECT_EQ(probed.status, c.probe_status);
        const std::string verdict = c.probe_status == 3 ? "would refuse the installer: " + c.message
                                                        : "no urgent release";
        EXPECT_EQ(probed.out.rfind(verdict, 0), 0u) << probed.out;
        const run_result r = endpoint(s);
        EXPECT_TRUE(has(r, (c.probe_status == 3 ? "[error] " : "[info] ") + c.message)) << r.log;
        write_file(site + "/descriptors/regular.json", original.at("descriptors/regular.json"));
    }
}

// The traps that make endpoints ignore or refuse a release without a word to the vendor, and
// what is none.
TEST_F(Publisher, ProbeWarnsOfEachTrap)
{
    const lab::site& documented = servers->at("documented");
    const std::string http_url =
        "http://127.0.0.1:" + std::to_string(documented.port) + "/files/agent.msi";
    const lab::site& split = servers->at("split_header");
    struct row {
        const char* site;
        std::string announced_url;  // written into the documented site's urgent.json
        std::string digest;
        std::string warning;
        int status;
        std::string absent;  // in no line of the probe's
    };
    for (const row& c : {
             row{"urgent404", "", "",
                 "&urgent=true&version=1.0.0 answered 404: an endpoint takes this error page", 1, ""},
             row{"plain", "", "", "is sent without Cache-Control: no-store", 0, ""},
             row{"moved301", "", "", "warning: the installer URL is redirected to http://", 0, ""},
             row{"documented", http_url, servers->digest, "is not https on an https server", 0, ""},
             row{"documented", documented.url() + "/files/agent.msi", upper(servers->digest),
                 "warning: the announced digest has upper-case digits", 3, ""},
             row{"tls13", "", "",
                 "warning: " + servers->at("tls13").url() +
                     " does not complete a TLS 1.2 handshake (12175): Windows endpoints before Windows 11 "
                     "and Windows Server 2022 (Windows 7 SP1, 8.1, 10, Server 2012 R2 to 2019) cannot reach it\n",
                 0, ""},
             // no-store in the second of two headers, in capitals; a redirect of the query alone.
             row{"split_header", "", "", "would install " + split.url() + split.installer + "\n", 0,
                 "warning:"},
         }) {
        SCOPED_TRACE(c.warning);
        if (!c.announced_url.empty())
            announce(servers->package, c.announced_url, c.digest);
        const outcome probed = probe(servers->at(c.site));
        EXPECT_EQ(probed.status, c.status);
        EXPECT_NE(probed.out.find(c.warning), std::string::npos) << probed.out;
        if (!c.absent.empty()) {
            EXPECT_EQ(probed.out.find(c.absent), std::string::npos) << probed.out;
        }
    }
}

// Bad input is told and changes nothing.
TEST_F(Publisher, BadInputIsRefusedBeforeAnythingIsWritten)
{
    const auto before = snapshot();
    for (const strings& args : {strings{"publish", root + "/missing.msi", "--site", site, "--base-url", "https://x"},
                                strings{"publish", servers->package, "--site", root, "--base-url", "https://x"},
                                strings{"publish", servers->package, "--site", site, "--base-url", "ftp://x"},
                                strings{"probe", "updates.example.com", "--version", "1.0.0"},
                                strings{"withdraw", "--site", root}}) {
        EXPECT_EQ(publisher(args).status, 64) << testing::PrintToString(args);
    }
    EXPECT_EQ(snapshot(), before);
}

}  // namespace
