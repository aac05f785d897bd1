#pragma once
// Debian's nginx, tinyproxy and squid as a user would deploy them, each started by the tests on
// free loopback ports with configuration files of our own in a scratch directory, and
// stopped when the test program's suite ends (or its process dies).
#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "server_process.h"

namespace lab {

// One nginx server block, on a port of its own, announcing the signed package as urgent.
struct site {
    std::string name;
    std::string scheme = "http";
    std::string tls;                             // ssl_protocols, e.g. "TLSv1.3"
    bool chunked = false;                        // in front of the update server, bodies re-chunked
    std::string installer = "/files/agent.msi";  // target the urgent descriptor announces
    int urgent_status = 200;                     // nginx's own error page for the urgent query instead
    bool documented = false;                     // the nginx example of docs/server.md, as it stands
    std::vector<std::string> cache_control;      // Cache-Control headers of the descriptors, one each
    std::string package;                         // this site's own installer instead of the servers' package
    std::string hash;                            // the digest it announces, when not the servers' digest
    std::string certificate;  // PEM and key path without ".pem"/".key", else the fixtures' server
    bool announce = true;     // false: the urgent query answers {"results": []}
    bool uploads = false;     // takes PUT under /report/ and serves files under /check/
    int port = 0;
    std::string host = "127.0.0.1";  // nginx listens there only; a copy may name it otherwise

    std::string url() const { return scheme + "://" + host + ":" + std::to_string(port); }
};

// One line of nginx's access log.
struct hit {
    int port = 0;
    std::string target;
    int status = 0;
    std::string user_agent, accept, via, transfer_encoding, tls, cache_control;
};

struct child {
    pid_t pid = -1;
};

class servers {
public:
    std::string dir;      // scratch directory: configurations, logs, site files
    std::string package;  // the signed package every site serves
    std::string digest;   // its SHA-256
    std::vector<site> sites;
    int proxy_port = 0;                 // tinyproxy serving clients of `address`
    int refusing_proxy_port = 0;        // tinyproxy serving only another address
    int closed_port = 0;                // nothing listens there
    int squid_port = 0;                 // squid wanting Basic credentials of every client
    int open_squid_port = 0;            // the same squid, serving anyone on this port
    std::string address = "127.0.0.1";  // where every server listens: set before start()

    // Starts the update server (upstream of the chunked site), nginx, both tinyproxies and squid.
    // False with `why` on failure; whatever started is stopped again by stop().
    bool start(const std::vector<site>& wanted, const std::string& package_file,
               const std::string& digest_text, const std::string& fixtures, std::string& why);
    void stop();
    // Removes the scratch directory. With `keep_logs` its copy under TMPDIR stays: returns where.
    std::string remove(bool keep_logs);

    const site& at(const std::string& name) const;
    std::string proxy_url() const { return "http://" + address + ":" + std::to_string(proxy_port); }
    std::string refusing_proxy_url() const
    {
        return "http://" + address + ":" + std::to_string(refusing_proxy_port);
    }
    std::string closed_proxy_url() const { return "http://" + address + ":" + std::to_string(closed_port); }
    std::string squid_url(const std::string& credentials = "") const
    {
        return "http://" + credentials + address + ":" + std::to_string(squid_port);
    }
    static constexpr const char* squid_credentials = "agent:agent-secret@";

    // Remembers how far every log has got; the readers below return only what came after.
    void mark();
    // nginx's requests on `port` since mark(), waiting up to 3 s for at least `least` of them.
    std::vector<hit> nginx_hits(int port, std::size_t least = 0) const;
    // tinyproxy's "Request (file descriptor n): " lines since mark (the request line only).
    std::vector<std::string> proxy_requests(std::size_t least = 0) const;
    // Clients the refusing proxy turned away since mark.
    std::size_t refusals(std::size_t least = 0) const;
    // The update server's request log since mark (the chunked site's upstream).
    std::vector<std::string> upstream_requests(std::size_t least = 0) const;

private:
    child nginx_, proxy_, refusing_proxy_, squid_;
    server_handle upstream_;
    std::map<std::string, std::size_t> marks_;

    std::vector<std::string> new_lines(const std::string& file, std::size_t least,
                                       bool (*keep)(const std::string&)) const;
};

// The query targets a run sends for the agent version "1.0.0".
std::string query(bool urgent);

// The sites every suite serves: plain HTTP, TLS 1.2 only, TLS 1.3 only, chunked, the
// installer behind a 301 or 302 (plain and TLS), nginx's 404 and 503 for the urgent query,
// the example of docs/server.md (TLS), and no-store in capitals in the second of two
// Cache-Control headers with the installer behind a redirect that changes only its query.
std::vector<site> standard_sites();

}  // namespace lab
