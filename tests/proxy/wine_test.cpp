// The 32-bit Windows build under Wine against Debian's nginx, directly and through tinyproxy,
// the proxy taken from the registry (Internet Settings) or from http_proxy, as WinINet's
// preconfigured mode reads them. Plain HTTP only: Wine's WinINet fails HTTPS on the test
// CA's revocation check. The cases share a Wine prefix of their own (one at a time).
#include <algorithm>
#include <filesystem>
#include <iostream>

#include "build_paths.h"
#include "installer_support.h"
#include "proxy_fixture.h"

namespace fs = std::filesystem;

namespace {

const char* const via_tinyproxy = "1.1 proxy-under-test (tinyproxy/1.11.1)";

const strings wine_settings = {std::string("WINEPREFIX=") + build_paths::proxy_wine_prefix, "WINEDEBUG=-all",
                               std::string("TMPDIR=") + build_paths::proxy_wine_prefix + ".tmp",
                               "WINEDLLOVERRIDES=mscoree,mshtml="};

std::string windows_path(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

int wine(const strings& args, const std::string& out)
{
    strings argv = {"wine"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, wine_settings, out, out, 60);
}

class WineProxyRuns : public ProxySuite {
protected:
    static void SetUpTestSuite()
    {
        ProxySuite::SetUpTestSuite();
        prefix_ready = run_process({build_paths::boot_prefix_script}, wine_settings, "", "", 180) == 0;
    }

    static bool prefix_ready;
    static std::string registry_proxy;  // what this process last wrote; unknown at first
    static bool registry_known;

    void SetUp() override
    {
        ProxySuite::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(prefix_ready) << build_paths::proxy_wine_prefix;
        ASSERT_TRUE(fs::exists(build_paths::windows_agent_exe))
            << build_paths::windows_agent_exe << " is missing";
        ASSERT_TRUE(fs::exists(build_paths::windows_fake_msiexec))
            << build_paths::windows_fake_msiexec << " is missing";
        install(build_paths::windows_agent_exe, "agent_recovery.exe");
        // CreateProcess finds the recording msiexec.exe beside the program first.
        fs::copy_file(build_paths::windows_fake_msiexec, app + "/msiexec.exe",
                      fs::copy_options::overwrite_existing);
    }

    void TearDown() override
    {
        // No case after this one (of any test program) starts with a proxy in the registry.
        if (prefix_ready && registry_known && !registry_proxy.empty())
            set_registry_proxy("");
        ProxySuite::TearDown();
    }

    // HKCU Internet Settings of the prefix: ProxyEnable and ProxyServer, or ProxyEnable 0.
    void set_registry_proxy(const std::string& server)
    {
        if (registry_known && registry_proxy == server)
            return;
        const std::string key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
        const std::string out = root + "/reg.txt";
        ASSERT_EQ(wine({"reg", "add", key, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d",
                        server.empty() ? "0" : "1", "/f"},
                       out),
                  0)
            << read_file(out);
        if (!server.empty()) {
            ASSERT_EQ(wine({"reg", "add", key, "/v", "ProxyServer", "/t", "REG_SZ", "/d", server, "/f"}, out),
                      0)
                << read_file(out);
        }
        registry_proxy = server;
        registry_known = true;
    }

    run_result run_case(const lab::site& s, const strings& settings, const std::string& registry = "")
    {
        set_registry_proxy(registry);
        next_case(s);
        fs::remove(app + "/msiexec_args.txt");
        strings all = with(settings);
        all.insert(all.end(), wine_settings.begin(), wine_settings.end());
        const run_result r = wine_run({build_paths::wine_runner, program_}, all, 120);
        std::cout << "case " << s.name << " [" << testing::PrintToString(settings) << " registry '"
                  << registry << "']: status " << r.status << ", last \"" << last(r) << "\"" << errors(r)
                  << "\n";
        return r;
    }

    bool msiexec_ran() const { return fs::exists(app + "/msiexec_args.txt"); }

    void expect_installed(const lab::site& s, const run_result& r)
    {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(r.status, 0) << r.log << r.err;
        EXPECT_EQ(last(r), installed) << r.log;
        const std::string var = windows_path(app + "/var");
        EXPECT_TRUE(has(r, "[info] Downloaded installer from " + s.url() + s.installer + " to " + var +
                               "\\agent_recovery.msi"))
            << r.log;
        EXPECT_EQ(read_lines(app + "/msiexec_args.txt"),
                  (strings{"/i", var + "\\agent_recovery.msi", "/qn", "/L*v",
                           var + "\\update-agent-emergency.log"}));
        EXPECT_TRUE(read("var/agent_recovery.msi") == read_file(servers->package))
            << "not the package served";
    }

    // What nginx saw of an installing run, and that it came through the proxy or not.
    void expect_hits(const lab::site& s, bool proxied)
    {
        const targets expected = installing_hits(s);
        const auto hits = servers->nginx_hits(s.port, expected.size());
        EXPECT_EQ(targets_of(hits), expected) << s.name;
        for (const lab::hit& h : hits) {
            EXPECT_EQ(h.user_agent, "Agent Recovery") << s.name;
            // Wine's WinINet puts its own "Accept: */*" before the program's header, and
            // nginx's $http_accept is the first one.
            EXPECT_EQ(h.accept, "*/*") << s.name;
            EXPECT_EQ(h.via, proxied ? via_tinyproxy : "-") << s.name;
            EXPECT_EQ(h.transfer_encoding, s.chunked && h.status == 200 ? "chunked" : "-")
                << s.name << h.target;
        }
        EXPECT_EQ(servers->proxy_requests(proxied ? expected.size() : 0),
                  proxied ? proxied_requests(s) : strings{})
            << s.name;
    }
};

bool WineProxyRuns::prefix_ready = false;
std::string WineProxyRuns::registry_proxy;
bool WineProxyRuns::registry_known = false;

TEST_F(WineProxyRuns, NginxServesTheRunDirectly)
{
    for (const char* name : {"plain", "chunked", "moved301", "moved302"}) {
        const lab::site& s = servers->at(name);
        const run_result r = run_case(s, {});
        expect_installed(s, r);
        expect_hits(s, false);
        if (s.chunked) {
            // The program's header is sent: the upstream logs every Accept header it got.
            const strings upstream = servers->upstream_requests(3);
            ASSERT_EQ(upstream.size(), 3u);
            for (const std::string& line : upstream)
                EXPECT_NE(line.find(" UA=Agent Recovery ACCEPT=*/*|application/json"), std::string::npos)
                    << line;
        }
    }
    for (const char* name : {"urgent404", "urgent503"}) {
        const lab::site& s = servers->at(name);
        const run_result r = run_case(s, {});
        EXPECT_EQ(r.status, 0) << r.log << r.err;
        EXPECT_EQ(last(r), no_update) << r.log;
        EXPECT_EQ(count(r, parse_failed), 1u) << r.log;
        EXPECT_EQ(targets_of(servers->nginx_hits(s.port, 2)),
                  (targets{{lab::query(false), 200}, {lab::query(true), s.urgent_status}}));
        EXPECT_FALSE(msiexec_ran());
    }
}

TEST_F(WineProxyRuns, TinyproxyFromTheRegistryOrTheEnvironment)
{
    const std::string proxy = "127.0.0.1:" + std::to_string(servers->proxy_port);
    struct row {
        const char* site;
        strings settings;
        std::string registry;
    };
    for (const row& c : {row{"plain", {}, proxy}, row{"moved302", {}, proxy},
                         row{"plain", {"http_proxy=" + servers->proxy_url()}, ""},
                         row{"chunked", {"http_proxy=" + servers->proxy_url()}, ""}}) {
        SCOPED_TRACE(testing::PrintToString(c.settings) + " registry " + c.registry);
        const lab::site& s = servers->at(c.site);
        const run_result r = run_case(s, c.settings, c.registry);
        expect_installed(s, r);
        expect_hits(s, true);
    }
}

TEST_F(WineProxyRuns, ProxyFailures)
{
    const lab::site& plain = servers->at("plain");
    const std::string refusing = "127.0.0.1:" + std::to_string(servers->refusing_proxy_port);
    const std::string closed = "127.0.0.1:" + std::to_string(servers->closed_port);
    const std::string squid = "127.0.0.1:" + std::to_string(servers->squid_port);
    struct row {
        strings settings;
        std::string registry;
        std::string failure = "[error] InternetOpenUrlA failed: 12029";
    };
    // tinyproxy's 403 page is the answer to both queries.
    for (const row& c : {row{{}, refusing}, row{{"http_proxy=" + servers->refusing_proxy_url()}, ""}}) {
        SCOPED_TRACE(testing::PrintToString(c.settings) + " registry " + c.registry);
        const run_result r = run_case(plain, c.settings, c.registry);
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(last(r), no_update) << r.log;
        EXPECT_EQ(count(r, parse_failed), 2u) << r.log;
        EXPECT_EQ(servers->refusals(2), 2u);
        EXPECT_TRUE(servers->nginx_hits(plain.port).empty());
        EXPECT_FALSE(msiexec_ran());
    }
    // A proxy port nobody listens on, and squid wanting credentials: no server reached.
    for (const row& c : {row{{}, closed}, row{{"http_proxy=" + servers->closed_proxy_url()}, ""},
                         row{{}, squid, asked_credentials + plain.url() + lab::query(false)}}) {
        SCOPED_TRACE(testing::PrintToString(c.settings) + " registry " + c.registry);
        const run_result r = run_case(plain, c.settings, c.registry);
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(last(r), not_reached) << r.log;
        EXPECT_EQ(count(r, c.failure), 1u) << r.log;
        EXPECT_TRUE(has(r, "[info] Couldn't reach " + plain.url())) << r.log;
        EXPECT_TRUE(servers->nginx_hits(plain.port).empty());
        EXPECT_FALSE(msiexec_ran());
    }
}

// A proxy that wants credentials answers for no server: the alternative, exempt from it, installs.
TEST_F(WineProxyRuns, SquidWantingCredentialsLeavesTheRunToAnAlternative)
{
    const lab::site& direct = servers->at("plain");
    lab::site behind = direct;
    behind.host = "localhost";
    write("etc/inventory.conf", "{\"alternative_urls\":[\"" + direct.url() + "\"]}");
    const run_result r = run_case(behind, {"http_proxy=" + servers->squid_url(), "no_proxy=127.0.0.1"});
    expect_installed(direct, r);
    EXPECT_EQ(count(r, asked_credentials + behind.url() + lab::query(false)), 1u) << r.log;
    expect_hits(direct, false);
}

}  // namespace
