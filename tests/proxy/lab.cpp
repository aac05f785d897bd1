#include "build_paths.h"
#include "lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace lab {

namespace {

using clock_type = std::chrono::steady_clock;

// Distinct ports nobody listens on now: all bound at once, then released. Another
// program may take one before our servers do; start() then fails and says which.
std::vector<int> free_ports(std::size_t count, const std::string& host)
{
    std::vector<int> sockets, ports;
    for (std::size_t i = 0; i < count; ++i) {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        socklen_t length = sizeof address;
        if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no free port on " + host + ": " + std::string(std::strerror(errno)));
        sockets.push_back(s);
        ports.push_back(ntohs(address.sin_port));
    }
    for (int s : sockets)
        close(s);
    return ports;
}

bool accepts(const std::string& host, int port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    // The port is in the ephemeral range: with nobody listening, the connection may have
    // got it as its own source port and reached itself.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (ok && getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_port == address.sin_port)
        ok = false;
    if (s >= 0)
        close(s);
    return ok;
}

// A server in the foreground, its output in `log`, in a process group of its own, and
// told to stop (SIGTERM) if this test process dies first.
child spawn(const std::vector<std::string>& argv, const std::string& log)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return child{pid};
}

bool running(const child& c)
{
    int status = 0;
    return c.pid > 0 && waitpid(c.pid, &status, WNOHANG) == 0;
}

void stop_child(child& c)
{
    if (c.pid <= 0)
        return;
    kill(c.pid, SIGTERM);
    const auto deadline = clock_type::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(c.pid, &status, WNOHANG) == 0) {
        if (clock_type::now() >= deadline) {
            kill(-c.pid, SIGKILL);
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // nginx's workers and anything else left in the group.
    kill(-c.pid, SIGKILL);
    c.pid = -1;
}

bool wait_until_listening(const child& c, const std::string& host, int port)
{
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < deadline) {
        if (accepts(host, port))
            return true;
        if (!running(c))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string server_block(const site& s, const std::string& address, const std::string& root,
                         const std::string& fixtures, int upstream)
{
    std::ostringstream b;
    const std::string certificate = s.certificate.empty() ? fixtures + "/server" : s.certificate;
    b << "  server {\n    listen " << address << ":" << s.port << (s.scheme == "https" ? " ssl" : "")
      << ";\n";
    if (s.scheme == "https")
        b << "    ssl_certificate " << certificate << ".pem;\n    ssl_certificate_key " << certificate
          << ".key;\n    ssl_protocols " << (s.tls.empty() ? "TLSv1.2 TLSv1.3" : s.tls) << ";\n";
    b << "    root " << root << ";\n"
      << "    location = /moved301/agent.msi { return 301 /files/agent.msi; }\n"
      << "    location = /moved302/agent.msi { return 302 /files/agent.msi; }\n";
    if (s.chunked) {
        // The substitution filter drops the upstream's length: nginx re-sends every body chunked.
        b << "    location / {\n      proxy_pass http://127.0.0.1:" << upstream << ";\n"
          << "      proxy_http_version 1.1;\n      sub_filter_types *;\n"
          << "      sub_filter \"@@unchanged@@\" \"@@unchanged@@\";\n    }\n";
    } else if (s.uploads) {
        // Reports come back as files; nobody (nginx's worker when run as root) writes them.
        b << "    location /report/ {\n      dav_methods PUT;\n      create_full_put_path on;\n"
          << "      dav_access user:rw group:rw all:rw;\n      client_max_body_size 64m;\n    }\n"
          << "    location /check/ { }\n";
    } else {
        // Only a query of from=old is sent on, to the same file.
        b << "    location = /files/agent.msi {\n"
          << "      if ($arg_from = old) { return 302 /files/agent.msi?from=new; }\n    }\n";
        b << "    location = /api/updates/ {\n";
        for (const std::string& value : s.cache_control)
            b << "      add_header Cache-Control \"" << value << "\" always;\n";
        if (s.urgent_status != 200)
            b << "      if ($arg_urgent = true) { return " << s.urgent_status << "; }\n";
        b << "      try_files /" << s.name << "/desc-$arg_urgent.json =404;\n    }\n";
    }
    b << "  }\n";
    return b.str();
}

// Replaces the one occurrence of `what` in `text`; false if it is not there exactly once.
bool replace_once(std::string& text, const std::string& what, const std::string& with)
{
    const std::size_t at = text.find(what);
    if (at == std::string::npos || text.find(what, at + 1) != std::string::npos)
        return false;
    text.replace(at, what.size(), with);
    return true;
}

// The nginx example of docs/server.md, as a vendor would deploy it: only its port, its
// certificate and its root directory are this lab's.
bool documented_block(const site& s, const std::string& address, const std::string& root,
                      const std::string& fixtures, std::string& block, std::string& why)
{
    const std::string doc = read_file(build_paths::server_doc);
    const std::string fence = "```nginx\n";
    const std::size_t begin = doc.find(fence);
    const std::size_t end = begin == std::string::npos ? begin : doc.find("\n```", begin + fence.size());
    if (end == std::string::npos || doc.find(fence, end) != std::string::npos) {
        why = std::string(build_paths::server_doc) + " holds not exactly one nginx example";
        return false;
    }
    block = doc.substr(begin + fence.size(), end + 1 - begin - fence.size());
    const std::vector<std::pair<std::string, std::string>> ours = {
        {"listen 443 ssl;", "listen " + address + ":" + std::to_string(s.port) + " ssl;"},
        {"/etc/nginx/tls/updates.example.com.pem", fixtures + "/server.pem"},
        {"/etc/nginx/tls/updates.example.com.key", fixtures + "/server.key"},
        {"root /srv/agent-updates;", "root " + root + "/" + s.name + ";"}};
    for (const auto& [what, with] : ours) {
        if (!replace_once(block, what, with)) {
            why = "the nginx example of " + std::string(build_paths::server_doc) + " no longer holds \"" +
                  what + "\" once";
            return false;
        }
    }
    return true;
}

std::string tinyproxy_conf(const std::string& address, int port, const std::string& allow)
{
    return "Port " + std::to_string(port) + "\nListen " + address +
           "\nTimeout 60\nLogLevel Info\nMaxClients 20\n"
           "ViaProxyName \"proxy-under-test\"\nAllow " +
           allow + "\n";
}

// Debian's squid as a corporate network runs it: Basic credentials of every client, but on
// `open`, where it serves anyone. Started as root, it drops to nobody, who must write its
// logs; it adds no Via header, so nginx's logs name tinyproxy alone. The service name keeps
// its shared memory apart from other test programs' squids.
std::vector<std::string> squid_command(const std::string& address, int port, int open, const std::string& dir)
{
    write_file(dir + "/squid.conf",
               "http_port " + address + ":" + std::to_string(port) + "\nhttp_port " + address + ":" +
                   std::to_string(open) + " name=open\nacl open myportname open\npid_filename " + dir +
                   "/squid.pid\ncache_effective_user nobody\ncache deny all\nvia off\n"
                   "shutdown_lifetime 0 seconds\npinger_enable off\nnetdb_filename none\naccess_log stdio:" +
                   dir + "/access.log\ncache_log " + dir + "/cache.log\ncoredump_dir " + dir +
                   "\nauth_param basic program /usr/lib/squid/basic_ncsa_auth " + dir +
                   "/passwd\nacl credentials proxy_auth REQUIRED\nhttp_access allow open\nhttp_access allow "
                   "credentials\n"
                   "http_access deny all\n");
    return {"/usr/sbin/squid", "-N", "-n", "lab" + std::to_string(getpid()), "-f", dir + "/squid.conf"};
}

// Whether every directory on the way to `path` lets other users through.
bool others_reach(const fs::path& path)
{
    for (fs::path at = fs::absolute(path);; at = at.parent_path()) {
        struct stat info;
        if (::stat(at.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0)
            return false;
        if (at == at.parent_path())
            return true;
    }
}

bool is_request(const std::string& line)
{
    return line.find("]: Request (file descriptor ") != std::string::npos;
}
// The refusing proxy refuses every connection; a request (not a bare connection such as
// the start-up probe, which may be logged late) is one whose entity was read.
bool is_refusal(const std::string& line)
{
    return line.find("]: Read request entity of ") != std::string::npos;
}
bool any_line(const std::string&)
{
    return true;
}

}  // namespace

std::string query(bool urgent)
{
    return std::string("/api/updates/?platform=windows&urgent=") + (urgent ? "true" : "false") +
           "&version=1.0.0";
}

std::vector<site> standard_sites()
{
    std::vector<site> all(12);
    all[0].name = "plain";
    all[1].name = "tls12";
    all[1].scheme = "https";
    all[1].tls = "TLSv1.2";
    all[2].name = "tls13";
    all[2].scheme = "https";
    all[2].tls = "TLSv1.3";
    all[3].name = "chunked";
    all[3].chunked = true;
    all[4].name = "moved301";
    all[4].installer = "/moved301/agent.msi";
    all[5].name = "moved302";
    all[5].installer = "/moved302/agent.msi";
    all[6].name = "tls_moved302";
    all[6].scheme = "https";
    all[6].installer = "/moved302/agent.msi";
    all[7].name = "urgent404";
    all[7].urgent_status = 404;
    all[8].name = "urgent503";
    all[8].urgent_status = 503;
    all[9].name = "documented";
    all[9].scheme = "https";
    all[9].documented = true;
    all[10].name = "split_header";
    all[10].cache_control = {"private", "No-Store"};
    all[10].installer = "/files/agent.msi?from=old";
    all[11].name = "no_cache";
    all[11].cache_control = {"no-cache"};
    return all;
}

bool servers::start(const std::vector<site>& wanted, const std::string& package_file,
                    const std::string& digest_text, const std::string& fixtures, std::string& why)
{
    using nlohmann::json;
    // nginx's workers and squid run as nobody when the tests run as root: the site must be
    // readable, squid's directory writable, and the way to both open to nobody, which a
    // checkout under a directory of mode 0700 is not. /tmp is then.
    const bool elsewhere = geteuid() == 0 && !others_reach(fs::temp_directory_path());
    dir = make_temp_dir("proxy-lab", elsewhere ? "/tmp" : "");
    chmod(dir.c_str(), 0755);
    const std::string root = dir + "/site";
    fs::create_directories(root + "/files");
    fs::create_directories(dir + "/temp");
    package = root + "/files/agent.msi";
    digest = digest_text;
    fs::copy_file(package_file, package);

    sites = wanted;
    const std::vector<int> ports = free_ports(sites.size() + 5, address);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        sites[i].port = ports[i];
        sites[i].host = address;
    }
    proxy_port = ports[sites.size()];
    refusing_proxy_port = ports[sites.size() + 1];
    closed_port = ports[sites.size() + 2];
    squid_port = ports[sites.size() + 3];
    open_squid_port = ports[sites.size() + 4];

    json upstream_routes = json::array();
    for (site& s : sites) {
        const std::string own = root + "/" + s.name;
        if (s.uploads) {
            fs::create_directories(root + "/check");
            fs::create_directories(root + "/report");
            chmod((root + "/report").c_str(), 0777);
            continue;
        }
        if (!s.package.empty()) {
            fs::create_directories(own);
            fs::copy_file(s.package, own + "/agent.msi");
            s.installer = "/" + s.name + "/agent.msi";
        }
        const json announcement{
            {"results", {{{"url", s.url() + s.installer}, {"hash", s.hash.empty() ? digest : s.hash}}}}};
        if (s.documented) {
            // The layout docs/server.md describes.
            fs::create_directories(own + "/descriptors");
            fs::create_directories(own + "/files");
            write_file(own + "/descriptors/regular.json", R"({"results": []})");
            write_file(own + "/descriptors/urgent.json", announcement.dump());
            fs::copy_file(package_file, own + s.installer);
            continue;
        }
        fs::create_directories(own);
        write_file(own + "/desc-false.json", R"({"results":[]})");
        write_file(own + "/desc-true.json", s.announce ? announcement.dump() : R"({"results":[]})");
        if (s.chunked)
            for (const char* urgent : {"false", "true"})
                upstream_routes.push_back({{"path", "/api/updates/"},
                                           {"query", {{"urgent", urgent}}},
                                           {"body_file", own + "/desc-" + urgent + ".json"},
                                           {"content_type", "application/json"}});
    }
    upstream_routes.push_back({{"path", "/files/agent.msi"}, {"body_file", package}});
    write_file(dir + "/upstream.json", json{{"routes", upstream_routes}}.dump());
    if (!start_update_server(build_paths::update_server_exe, dir + "/upstream.json", upstream_,
                             dir + "/upstream.log")) {
        why = "the update server did not start";
        return false;
    }

    std::ostringstream conf;
    conf << "worker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
         << "/nginx-error.log info;\n"
         << "events { worker_connections 64; }\nhttp {\n"
         << "  types { application/json json; application/octet-stream msi; }\n"
         << "  default_type application/octet-stream;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf << "  " << temp << "_temp_path " << dir << "/temp/" << temp << ";\n";
    conf << "  log_format lab '$server_port \"$request\" $status ua=\"$http_user_agent\" "
            "accept=\"$http_accept\" "
            "via=\"$http_via\" te=\"$sent_http_transfer_encoding\" tls=\"$ssl_protocol\" "
            "cc=\"$sent_http_cache_control\"';\n"
         << "  access_log " << dir << "/nginx-access.log lab;\n";
    for (const site& s : sites) {
        std::string block;
        if (!s.documented)
            block = server_block(s, address, root, fixtures, upstream_.port);
        else if (!documented_block(s, address, root, fixtures, block, why))
            return false;
        conf << block;
    }
    conf << "}\n";
    write_file(dir + "/nginx.conf", conf.str());
    nginx_ = spawn({build_paths::nginx_exe, "-c", dir + "/nginx.conf", "-p", dir + "/", "-e",
                    dir + "/nginx-error.log", "-g", "daemon off;"},
                   dir + "/nginx.out");
    for (const site& s : sites)
        if (!wait_until_listening(nginx_, address, s.port)) {
            why = "nginx is not listening on " + std::to_string(s.port) + ": " +
                  read_file(dir + "/nginx.out") + read_file(dir + "/nginx-error.log");
            return false;
        }

    write_file(dir + "/tinyproxy.conf", tinyproxy_conf(address, proxy_port, address));
    // Serves one address from TEST-NET-1 only: every loopback client is refused.
    write_file(dir + "/tinyproxy-refusing.conf", tinyproxy_conf(address, refusing_proxy_port, "192.0.2.1"));
    proxy_ = spawn({build_paths::tinyproxy_exe, "-d", "-c", dir + "/tinyproxy.conf"}, dir + "/tinyproxy.log");
    refusing_proxy_ = spawn({build_paths::tinyproxy_exe, "-d", "-c", dir + "/tinyproxy-refusing.conf"},
                            dir + "/tinyproxy-refusing.log");
    const std::string squid = dir + "/squid";
    fs::create_directories(squid);
    chmod(squid.c_str(), 0777);
    run_process({"openssl", "passwd", "-apr1", "agent-secret"}, {}, squid + "/hash", "", 10);
    write_file(squid + "/passwd", "agent:" + read_file(squid + "/hash"));
    squid_ = spawn(squid_command(address, squid_port, open_squid_port, squid), squid + "/squid.out");
    if (!wait_until_listening(proxy_, address, proxy_port) ||
        !wait_until_listening(refusing_proxy_, address, refusing_proxy_port) ||
        !wait_until_listening(squid_, address, squid_port) ||
        !wait_until_listening(squid_, address, open_squid_port)) {
        why = "a proxy is not listening: " + read_file(dir + "/tinyproxy.log") +
              read_file(dir + "/tinyproxy-refusing.log") + read_file(squid + "/cache.log");
        return false;
    }
    // The probes above are connections too: the logs count from here.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mark();
    return true;
}

void servers::stop()
{
    stop_child(squid_);
    stop_child(refusing_proxy_);
    stop_child(proxy_);
    stop_child(nginx_);
    stop_update_server(upstream_);
}

std::string servers::remove(bool keep_logs)
{
    std::string kept;
    if (keep_logs) {
        kept = (fs::temp_directory_path() / fs::path(dir).filename()).string();
        std::error_code failed;
        if (kept != dir)
            fs::copy(dir, kept, fs::copy_options::recursive, failed);
        if (failed)
            kept = dir;  // the logs stay where they are rather than nowhere
    }
    if (kept != dir)
        fs::remove_all(dir);
    return kept;
}

const site& servers::at(const std::string& name) const
{
    for (const site& s : sites)
        if (s.name == name)
            return s;
    throw std::runtime_error("no site " + name);
}

void servers::mark()
{
    for (const char* log :
         {"/nginx-access.log", "/tinyproxy.log", "/tinyproxy-refusing.log", "/upstream.log"}) {
        std::error_code ignored;
        const auto size = fs::file_size(dir + log, ignored);
        marks_[dir + log] = ignored ? 0 : static_cast<std::size_t>(size);
    }
}

std::vector<std::string> servers::new_lines(const std::string& file, std::size_t least,
                                            bool (*keep)(const std::string&)) const
{
    const auto deadline = clock_type::now() + std::chrono::seconds(3);
    for (;;) {
        const std::string text = read_file(file);
        const auto at = marks_.find(file);
        const std::size_t from = at == marks_.end() ? 0 : at->second;
        std::vector<std::string> lines;
        std::istringstream in(from < text.size() ? text.substr(from) : "");
        for (std::string line; std::getline(in, line);)
            if (!in.eof() && keep(line))  // a line still being written has no newline yet
                lines.push_back(line);
        if (lines.size() >= least || clock_type::now() >= deadline)
            return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<hit> servers::nginx_hits(int port, std::size_t least) const
{
    static const std::regex format(
        R"re(^(\d+) "GET (\S+) HTTP/1\.1" (\d+) ua="([^"]*)" accept="([^"]*)" via="([^"]*)" te="([^"]*)" tls="([^"]*)" cc="([^"]*)"$)re");
    const auto deadline = clock_type::now() + std::chrono::seconds(3);
    for (;;) {
        std::vector<hit> hits;
        for (const std::string& line : new_lines(dir + "/nginx-access.log", 0, any_line)) {
            std::smatch m;
            hit h;
            if (std::regex_match(line, m, format)) {
                h = hit{std::stoi(m[1]), m[2], std::stoi(m[3]), m[4], m[5], m[6], m[7], m[8], m[9]};
            } else {
                h.target = "unparsed: " + line;
                h.port = port;
            }
            if (h.port == port)
                hits.push_back(h);
        }
        if (hits.size() >= least || clock_type::now() >= deadline)
            return hits;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> servers::proxy_requests(std::size_t least) const
{
    std::vector<std::string> requests = new_lines(dir + "/tinyproxy.log", least, is_request);
    for (std::string& line : requests)
        line = line.substr(line.find("): ", line.find("]: Request (file descriptor ")) + 3);
    return requests;
}

std::size_t servers::refusals(std::size_t least) const
{
    return new_lines(dir + "/tinyproxy-refusing.log", least, is_refusal).size();
}

std::vector<std::string> servers::upstream_requests(std::size_t least) const
{
    return new_lines(dir + "/upstream.log", least, any_line);
}

}  // namespace lab
