#include "build_paths.h"
#include "update_site.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "fixtures.h"

site_server& update_site::serve(const json& routes, cert tls)
{
    const std::string n = std::to_string(servers.size());
    const std::string script = dir + "/script" + n + ".json";
    write_file(script, json{{"routes", routes}}.dump());
    site_server s;
    s.requests = dir + "/requests" + n + ".log";
    s.tls = tls != cert::none;
    std::string pem, key;
    if (s.tls) {
        const std::string name = tls == cert::good ? "server" : "wronghost";
        pem = fixture(name + ".pem");
        key = fixture(name + ".key");
    }
    EXPECT_TRUE(start_update_server(build_paths::update_server_exe, script, s.handle, s.requests, pem, key));
    servers.push_back(s);
    return servers.back();
}

void update_site::stop()
{
    for (site_server& s : servers)
        stop_update_server(s.handle);
}

json answers(const std::string& urgent_file, const std::string& regular_file)
{
    json regular = {
        {"path", "/api/updates/"}, {"query", {{"urgent", "false"}}}, {"content_type", "application/json"}};
    if (regular_file.empty())
        regular["body"] = R"({"results":[]})";
    else
        regular["body_file"] = regular_file;
    return json::array({regular,
                        {{"path", "/api/updates/"},
                         {"query", {{"urgent", "true"}}},
                         {"body_file", urgent_file},
                         {"content_type", "application/json"}}});
}

std::string release(const std::string& url, const std::string& hash)
{
    return json{{"results", json::array({{{"url", url}, {"hash", hash}}})}}.dump();
}

void UpdateSite::SetUp()
{
    AppDir::SetUp();
    site.dir = root;
}

void UpdateSite::TearDown()
{
    site.stop();
    AppDir::TearDown();
}

UpdateSite::server& UpdateSite::serve(const json& routes, cert tls)
{
    if (tls != cert::none) {
        const std::string bundle = "SSL_CERT_FILE=" + fixture("trusted_bundle.pem");
        if (std::find(env.begin(), env.end(), bundle) == env.end())
            env.push_back(bundle);
    }
    return site.serve(routes, tls);
}

void UpdateSite::configure(const server& s)
{
    write_config(s.tls ? "https" : "http", s.host, std::to_string(s.port()));
    write("VERSION", "1\n");
}
