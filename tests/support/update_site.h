#pragma once
// An update site: loopback update servers (tools/update_server) with scripted routes,
// what each was asked, stopped with their owner.
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server_process.h"

using json = nlohmann::json;
using strings = std::vector<std::string>;

enum class cert { none, good, wrong_host };  // server.pem, wronghost.pem of the fixtures

struct site_server {
    server_handle handle;
    std::string requests;  // request log
    std::string host = "127.0.0.1";
    bool tls = false;
    int port() const { return handle.port; }
    std::string url() const
    {
        return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(port());
    }
};

class update_site {
public:
    std::string dir;                  // scripts and request logs go here
    std::deque<site_server> servers;  // references handed out stay valid

    update_site() = default;
    update_site(const update_site&) = delete;
    update_site& operator=(const update_site&) = delete;
    ~update_site() { stop(); }

    // A server with these routes (tools/update_server/README.md), over TLS with a
    // fixture certificate unless `tls` is none. The caller trusts fixture("trusted_bundle.pem").
    site_server& serve(const json& routes, cert tls = cert::none);
    void stop();
};

// "METHOD target UA=... ACCEPT=..." lines, one per request the server saw.
inline strings requests_of(const site_server& s)
{
    return read_lines(s.requests);
}

// Descriptor routes: the non-urgent query answered from `regular_file` (no release when
// empty), the urgent one from `urgent_file`; both read per request.
json answers(const std::string& urgent_file, const std::string& regular_file = "");
// A descriptor announcing one release (by default with a digest no package has).
std::string release(const std::string& url, const std::string& hash = std::string(64, 'a'));

#include "app_fixture.h"

// An APP directory and an update site for it.
class UpdateSite : public AppDir {
protected:
    using server = site_server;
    update_site site;

    void SetUp() override;
    void TearDown() override;
    // As update_site::serve; a TLS server also has the run trust the fixture CA.
    server& serve(const json& routes, cert tls = cert::none);
    // Config naming `s` as the update server, VERSION "1".
    void configure(const server& s);
};
