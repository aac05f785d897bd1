#include "proxy_fixture.h"

#include <algorithm>
#include <filesystem>

#include "installer_support.h"

namespace fs = std::filesystem;

lab::servers* ProxySuite::servers = nullptr;
std::string ProxySuite::start_failure;

const strings no_proxy_settings = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                   "all_proxy",  "ALL_PROXY",   "no_proxy",   "NO_PROXY"};

void ProxySuite::SetUpTestSuite()
{
    servers = new lab::servers;
    start_failure.clear();
    const std::string package = fixture("signed_ok.msi");
    if (!servers->start(lab::standard_sites(), package, sha256_of(package), fixtures_dir(), start_failure) &&
        start_failure.empty())
        start_failure = "the servers did not start";
}

void ProxySuite::TearDownTestSuite()
{
    servers->stop();
    const std::string kept =
        servers->remove(!start_failure.empty() || ::testing::UnitTest::GetInstance()->Failed());
    if (!kept.empty())
        std::cerr << "server logs kept in " << kept << "\n";
    delete servers;
    servers = nullptr;
}

void ProxySuite::SetUp()
{
    ASSERT_TRUE(start_failure.empty()) << start_failure;
    AppDir::SetUp();
    write("VERSION", "1.0.0\n");
    // No alternative servers, and no message about a missing inventory in every log.
    write("etc/inventory.conf", "{\"alternative_urls\":[]}\n");
    env.insert(env.end(), no_proxy_settings.begin(), no_proxy_settings.end());
}

void ProxySuite::next_case(const lab::site& s)
{
    fs::remove_all(app + "/var");
    fs::remove(tmp + "/last_agent.json");
    write_config(s.scheme, s.host, std::to_string(s.port));
    servers->mark();
}

std::vector<std::string> ProxySuite::with(const strings& extra) const
{
    std::vector<std::string> all = env;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

targets ProxySuite::installing_hits(const lab::site& s)
{
    targets t = {{lab::query(false), 200}, {lab::query(true), 200}};
    if (s.installer.rfind("/moved301/", 0) == 0)
        t.push_back({s.installer, 301});
    if (s.installer.rfind("/moved302/", 0) == 0)
        t.push_back({s.installer, 302});
    t.push_back({"/files/agent.msi", 200});
    return t;
}

targets ProxySuite::targets_of(const std::vector<lab::hit>& hits)
{
    targets t;
    for (const lab::hit& h : hits)
        t.push_back({h.target, h.status});
    return t;
}

strings ProxySuite::proxied_requests(const lab::site& s)
{
    strings requests;
    for (const auto& hit : installing_hits(s))
        requests.push_back(s.scheme == "https" ? "CONNECT 127.0.0.1:" + std::to_string(s.port) + " HTTP/1.1"
                                               : "GET " + s.url() + hit.first + " HTTP/1.1");
    return requests;
}

std::string ProxySuite::errors(const run_result& r)
{
    strings seen;
    std::string text;
    for (const std::string& m : messages(r.log))
        if (m.rfind("[error] ", 0) == 0 && std::find(seen.begin(), seen.end(), m) == seen.end()) {
            seen.push_back(m);
            text += "; " + m.substr(8);
        }
    return text;
}
