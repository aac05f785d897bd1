// The Linux build end to end against Debian's nginx, directly and through tinyproxy.
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "installer_support.h"
#include "proxy_fixture.h"

namespace fs = std::filesystem;

namespace {

class LinuxProxyRuns : public ProxySuite {
protected:
    std::string recorder;

    void SetUp() override
    {
        ProxySuite::SetUp();
        if (HasFatalFailure())
            return;
        env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
        recorder = root + "/msiexec";
        fs::create_directories(recorder);
        write_recording_msiexec(root + "/bin");
        const char* path = std::getenv("PATH");
        env.push_back("PATH=" + root + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin"));
        env.push_back("RECORDER=" + recorder);
        env.push_back("MSIEXEC_EXIT_CODE=0");
    }

    run_result run_case(const lab::site& s, const strings& settings)
    {
        next_case(s);
        fs::remove(recorder + "/args");
        const std::vector<std::string> saved = env;
        env = with(settings);
        const run_result r = run(120);
        env = saved;
        // One line per case, for reading what each build did.
        std::cout << "case " << s.name << " [" << testing::PrintToString(settings) << "]: status " << r.status
                  << ", last \"" << last(r) << "\"" << errors(r) << "\n";
        return r;
    }

    strings msiexec_args() const { return read_lines(recorder + "/args"); }
    strings expected_args() const
    {
        return {"/i", p("var/agent_recovery.msi"), "/qn", "/L*v", p("var/update-agent-emergency.log")};
    }
    std::string p(const std::string& relative) const { return app + "/" + relative; }

    // A run that found the release, downloaded it through whatever way `s` serves it,
    // verified it and handed it to msiexec.
    void expect_installed(const lab::site& s, const run_result& r)
    {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(last(r), installed) << r.log;
        EXPECT_TRUE(has(r, "[info] Downloaded installer from " + s.url() + s.installer + " to " +
                               p("var/agent_recovery.msi")))
            << r.log;
        EXPECT_EQ(msiexec_args(), expected_args());
        EXPECT_TRUE(read("var/agent_recovery.msi") == read_file(servers->package))
            << "not the package served";
    }
};

// nginx as users deploy it: static files, TLS restricted to one protocol version, bodies
// re-chunked in front of an application server, the installer moved by a redirect, and the
// example of docs/server.md, descriptors not to be cached.
TEST_F(LinuxProxyRuns, NginxServesTheRunDirectly)
{
    for (const char* name :
         {"plain", "tls12", "tls13", "chunked", "moved301", "moved302", "tls_moved302", "documented"}) {
        const lab::site& s = servers->at(name);
        const run_result r = run_case(s, {});
        expect_installed(s, r);
        const targets expected = installing_hits(s);
        const auto hits = servers->nginx_hits(s.port, expected.size());
        EXPECT_EQ(targets_of(hits), expected) << name;
        for (const lab::hit& h : hits) {
            EXPECT_EQ(h.user_agent, "Agent Recovery") << name;
            EXPECT_EQ(h.accept, "application/json") << name;
            EXPECT_EQ(h.via, "-") << name;
            EXPECT_EQ(h.transfer_encoding, s.chunked && h.status == 200 ? "chunked" : "-")
                << name << h.target;
            EXPECT_EQ(h.tls, s.scheme == "https" ? (s.tls.empty() ? "TLSv1.3" : s.tls) : "-") << name;
            const bool descriptor = h.target.rfind("/api/updates/", 0) == 0;
            EXPECT_EQ(h.cache_control, s.documented && descriptor ? "no-store" : "-") << name << h.target;
        }
        if (s.chunked) {
            EXPECT_EQ(servers->upstream_requests(3),
                      (strings{"GET " + lab::query(false) + " UA=Agent Recovery ACCEPT=application/json",
                               "GET " + lab::query(true) + " UA=Agent Recovery ACCEPT=application/json",
                               "GET /files/agent.msi UA=Agent Recovery ACCEPT=application/json"}));
        }
        EXPECT_EQ(servers->proxy_requests(), strings{}) << name;
    }
}

// An error page is an answer: the server was reached, nothing to install, no other server asked.
TEST_F(LinuxProxyRuns, NginxErrorPageForTheUrgentQueryEndsTheSearch)
{
    for (const char* name : {"urgent404", "urgent503"}) {
        const lab::site& s = servers->at(name);
        write("etc/inventory.conf", "{\"alternative_urls\":[\"" + servers->at("plain").url() + "\"]}");
        const run_result r = run_case(s, {});
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(last(r), no_update) << r.log;
        EXPECT_EQ(count(r, parse_failed), 1u) << r.log;
        EXPECT_EQ(targets_of(servers->nginx_hits(s.port, 2)),
                  (targets{{lab::query(false), 200}, {lab::query(true), s.urgent_status}}));
        EXPECT_TRUE(servers->nginx_hits(servers->at("plain").port).empty()) << "an alternative was asked";
        EXPECT_NE(read_file(tmp + "/last_agent.json").find("<hr><center>nginx/"), std::string::npos);
        EXPECT_FALSE(fs::exists(recorder + "/args"));
    }
}

// The proxies libcurl takes from the environment: lower-case http_proxy for plain HTTP,
// https_proxy or HTTPS_PROXY (a CONNECT tunnel) for HTTPS; no_proxy exempts hosts, and
// upper-case HTTP_PROXY is ignored on purpose. squid carries a run given its credentials.
TEST_F(LinuxProxyRuns, TinyproxyCarriesTheRun)
{
    struct row {
        const char* site;
        strings settings;
        bool through_proxy;
    };
    const std::string proxy = servers->proxy_url();
    for (const row& c :
         {row{"plain", {"http_proxy=" + proxy}, true}, row{"moved302", {"http_proxy=" + proxy}, true},
          row{"chunked", {"http_proxy=" + proxy}, true}, row{"tls12", {"https_proxy=" + proxy}, true},
          row{"tls13", {"HTTPS_PROXY=" + proxy}, true}, row{"tls_moved302", {"https_proxy=" + proxy}, true},
          row{"plain", {"HTTP_PROXY=" + proxy}, false},
          row{"plain", {"http_proxy=" + servers->squid_url(lab::servers::squid_credentials)}, false},
          row{"plain", {"http_proxy=" + proxy, "no_proxy=127.0.0.1"}, false}}) {
        const lab::site& s = servers->at(c.site);
        SCOPED_TRACE(testing::PrintToString(c.settings));
        const run_result r = run_case(s, c.settings);
        expect_installed(s, r);
        const targets expected = installing_hits(s);
        const auto hits = servers->nginx_hits(s.port, expected.size());
        EXPECT_EQ(targets_of(hits), expected) << c.site;
        // tinyproxy names itself in a Via header on what it forwards; a tunnel carries TLS.
        const bool forwarded = c.through_proxy && s.scheme == "http";
        for (const lab::hit& h : hits)
            EXPECT_EQ(h.via, forwarded ? "1.1 proxy-under-test (tinyproxy/1.11.1)" : "-") << c.site;
        EXPECT_EQ(servers->proxy_requests(c.through_proxy ? expected.size() : 0),
                  c.through_proxy ? proxied_requests(s) : strings{})
            << c.site;
    }
}

// A proxy that turns the client away or wants credentials, a proxy port nobody listens on,
// and a server certificate that is not trusted behind a tunnel: told apart in the log.
TEST_F(LinuxProxyRuns, ProxyFailuresAreReportedByTheOpen)
{
    const lab::site& plain = servers->at("plain");
    const lab::site& tls = servers->at("tls12");

    // tinyproxy answers a refused client with its own 403 page: over plain HTTP that page
    // is the answer.
    {
        const run_result r = run_case(plain, {"http_proxy=" + servers->refusing_proxy_url()});
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(last(r), no_update) << r.log;
        EXPECT_EQ(count(r, parse_failed), 2u) << r.log;
        EXPECT_NE(read_file(tmp + "/last_agent.json").find("Access denied"), std::string::npos);
        EXPECT_EQ(servers->refusals(2), 2u);
        EXPECT_TRUE(servers->nginx_hits(plain.port).empty());
        EXPECT_FALSE(fs::exists(recorder + "/args"));
    }
    struct row {
        const lab::site* site;
        strings settings;
        std::string failure;
        std::size_t refusals = 0;  // by the refusing proxy
        strings tunnels = {};      // through the serving one
    };
    const std::string untrusted = "SSL_CERT_FILE=" + fixture("other_ca.pem");
    for (const row& c : {
             row{&tls,
                 {"https_proxy=" + servers->refusing_proxy_url()},
                 "[error] InternetOpenUrlA failed: 12030 (proxy answered CONNECT with 403)",
                 1},
             row{&plain,
                 {"http_proxy=" + servers->squid_url()},
                 asked_credentials + plain.url() + lab::query(false)},
             row{&tls,
                 {"https_proxy=" + servers->squid_url()},
                 asked_credentials + tls.url() + lab::query(false)},
             row{&plain,
                 {"http_proxy=" + servers->closed_proxy_url()},
                 "[error] InternetOpenUrlA failed: 12029"},
             row{&tls,
                 {"https_proxy=" + servers->closed_proxy_url()},
                 "[error] InternetOpenUrlA failed: 12029"},
             row{&tls, {untrusted}, "[error] InternetOpenUrlA failed: 12045"},
             row{&tls,
                 {untrusted, "https_proxy=" + servers->proxy_url()},
                 "[error] InternetOpenUrlA failed: 12045",
                 0,
                 {"CONNECT 127.0.0.1:" + std::to_string(tls.port) + " HTTP/1.1"}},
         }) {
        SCOPED_TRACE(testing::PrintToString(c.settings));
        const run_result r = run_case(*c.site, c.settings);
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(last(r), not_reached) << r.log;
        // Only the first query is sent: a server not reached is not asked again.
        EXPECT_EQ(count(r, c.failure), 1u) << r.log;
        EXPECT_TRUE(has(r, "[info] Couldn't reach " + c.site->url())) << r.log;
        EXPECT_TRUE(servers->nginx_hits(c.site->port).empty());
        EXPECT_EQ(servers->refusals(c.refusals), c.refusals);
        EXPECT_EQ(servers->proxy_requests(c.tunnels.size()), c.tunnels);
        EXPECT_FALSE(fs::exists(tmp + "/last_agent.json"));
        EXPECT_FALSE(fs::exists(recorder + "/args"));
    }
}

// A proxy that wants credentials answers for no server: the alternative, exempt from it, installs.
TEST_F(LinuxProxyRuns, SquidWantingCredentialsLeavesTheRunToAnAlternative)
{
    const lab::site& direct = servers->at("plain");
    lab::site behind = direct;
    behind.host = "localhost";
    write("etc/inventory.conf", "{\"alternative_urls\":[\"" + direct.url() + "\"]}");
    const run_result r = run_case(behind, {"http_proxy=" + servers->squid_url(), "no_proxy=127.0.0.1"});
    expect_installed(direct, r);
    EXPECT_EQ(count(r, asked_credentials + behind.url() + lab::query(false)), 1u) << r.log;
    EXPECT_EQ(targets_of(servers->nginx_hits(direct.port, 3)), installing_hits(direct));
}

}  // namespace
