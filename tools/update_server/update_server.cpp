// Scriptable HTTP(S) update server for tests and the demo.
//
//   update_server --script FILE [--port N] [--tls CERT.pem KEY.pem]
//                 [--request-log FILE] [--exit-on-stdin-eof]
//
// Prints "PORT <n>" once it listens on 127.0.0.1, then answers requests as
// the JSON script says (see README.md next to this file).

#include <httplib.h>  // Debian's build: CPPHTTPLIB_OPENSSL_SUPPORT comes from pkg-config
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "byte_pattern.h"

namespace {

using json = nlohmann::json;

enum class fault_kind {
    none,
    close_after,
    reset_after,
    stall_before_headers,
    stall_after,
    exit_server,
    no_answer
};

struct route {
    std::string path;
    std::map<std::string, std::string> query;
    int status = 0;  // 0: 200, or 302 for a redirect
    std::string content_type = "application/octet-stream";
    std::optional<std::string> body;
    std::optional<std::string> body_file;
    std::optional<std::uint64_t> generate_bytes;
    std::optional<std::string> redirect;
    fault_kind fault = fault_kind::none;
    std::uint64_t fault_bytes = 0;
    double stall_seconds = 0;
    std::size_t chunk_bytes = 0;     // 0: chunk_size
    double chunk_delay_seconds = 0;  // pause before each body chunk after the first
};

constexpr int exit_code_usage = 2;
constexpr int exit_code_fault = 3;  // exit_server route hit
constexpr std::size_t chunk_size = 64 * 1024;

std::atomic<bool> g_stopping{false};
std::mutex g_log_mutex;
FILE* g_log = nullptr;

[[noreturn]] void die(const std::string& msg)
{
    std::fprintf(stderr, "update_server: %s\n", msg.c_str());
    std::exit(exit_code_usage);
}

fault_kind parse_fault(const std::string& s)
{
    if (s == "close_after")
        return fault_kind::close_after;
    if (s == "reset_after")
        return fault_kind::reset_after;
    if (s == "stall_before_headers")
        return fault_kind::stall_before_headers;
    if (s == "stall_after")
        return fault_kind::stall_after;
    if (s == "exit_server")
        return fault_kind::exit_server;
    if (s == "no_answer")
        return fault_kind::no_answer;
    throw std::runtime_error("unknown fault '" + s + "'");
}

route parse_route(const json& j)
{
    static const char* const known[] = {"path",
                                        "query",
                                        "status",
                                        "content_type",
                                        "body",
                                        "body_file",
                                        "generate_bytes",
                                        "redirect",
                                        "fault",
                                        "fault_bytes",
                                        "stall_seconds",
                                        "chunk_bytes",
                                        "chunk_delay_seconds"};
    if (!j.is_object())
        throw std::runtime_error("route is not an object");
    // Unknown keys are almost always typos that would silently change a test.
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return it.key() == k; }) ==
            std::end(known))
            throw std::runtime_error("unknown key '" + it.key() + "'");
    }
    route r;
    r.path = j.at("path").get<std::string>();
    if (j.contains("query")) {
        for (auto it = j["query"].begin(); it != j["query"].end(); ++it)
            r.query[it.key()] = it.value().get<std::string>();
    }
    if (j.contains("status"))
        r.status = j["status"].get<int>();
    if (j.contains("content_type"))
        r.content_type = j["content_type"].get<std::string>();
    if (j.contains("body"))
        r.body = j["body"].get<std::string>();
    if (j.contains("body_file"))
        r.body_file = j["body_file"].get<std::string>();
    if (j.contains("generate_bytes"))
        r.generate_bytes = j["generate_bytes"].get<std::uint64_t>();
    if (j.contains("redirect"))
        r.redirect = j["redirect"].get<std::string>();
    if (j.contains("fault"))
        r.fault = parse_fault(j["fault"].get<std::string>());
    if (j.contains("fault_bytes"))
        r.fault_bytes = j["fault_bytes"].get<std::uint64_t>();
    if (j.contains("stall_seconds"))
        r.stall_seconds = j["stall_seconds"].get<double>();
    if (j.contains("chunk_bytes"))
        r.chunk_bytes = j["chunk_bytes"].get<std::size_t>();
    if (j.contains("chunk_delay_seconds"))
        r.chunk_delay_seconds = j["chunk_delay_seconds"].get<double>();
    if (int(r.body.has_value()) + int(r.body_file.has_value()) + int(r.generate_bytes.has_value()) > 1)
        throw std::runtime_error("route '" + r.path +
                                 "' has more than one of body, body_file, generate_bytes");
    if (r.status == 0)
        r.status = r.redirect ? 302 : 200;
    return r;
}

std::vector<route> load_script(const std::string& file)
{
    std::ifstream in(file);
    if (!in)
        die("cannot open script " + file);
    try {
        json doc = json::parse(in);
        std::vector<route> routes;
        for (const auto& j : doc.at("routes"))
            routes.push_back(parse_route(j));
        return routes;
    } catch (const std::exception& e) {
        die("bad script " + file + ": " + e.what());
    }
}

const route* match(const std::vector<route>& routes, const httplib::Request& req)
{
    for (const auto& r : routes) {
        if (r.path != req.path)
            continue;
        bool ok = true;
        for (const auto& [name, value] : r.query) {
            if (!req.has_param(name) || req.get_param_value(name) != value) {
                ok = false;
                break;
            }
        }
        if (ok)
            return &r;
    }
    return nullptr;
}

void log_request(const httplib::Request& req)
{
    if (!g_log)
        return;
    // Every Accept header, in order: a client may send its own next to a default one.
    std::string accept;
    for (size_t i = 0; i < req.get_header_value_count("Accept"); ++i)
        accept += (i ? "|" : "") + req.get_header_value("Accept", i);
    std::string line = req.method + " " + req.target + " UA=" + req.get_header_value("User-Agent") +
                       " ACCEPT=" + accept + "\n";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), g_log);
    std::fflush(g_log);
}

// Sleeps in short slices so SIGTERM still stops the server promptly.
void stall(double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_stopping && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

bool same_endpoint(const sockaddr_storage& ss, const std::string& addr, int port)
{
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(ss);
        inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
        return ntohs(a.sin_port) == port && addr == buf;
    }
    if (ss.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(ss);
        inet_ntop(AF_INET6, &a.sin6_addr, buf, sizeof buf);
        return ntohs(a.sin6_port) == port && addr == buf;
    }
    return false;
}

struct connection_id {
    std::string local_addr, remote_addr;
    int local_port, remote_port;
};

// httplib hands handlers no socket, but the connection's address pair is unique
// within this process, so the descriptor can be found by it.
int find_connection_fd(const connection_id& req)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == dirfd(dir))
            continue;
        struct stat st;
        if (fstat(int(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t ll = sizeof local, pl = sizeof peer;
        if (getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &ll) != 0)
            continue;
        if (getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &pl) != 0)
            continue;
        if (same_endpoint(local, req.local_addr, req.local_port) &&
            same_endpoint(peer, req.remote_addr, req.remote_port)) {
            found = int(fd);
            break;
        }
    }
    closedir(dir);
    return found;
}

// Aborts the TCP connection with an RST. Disconnecting (connect AF_UNSPEC)
// sends the RST at once, before httplib's own shutdown() could send a FIN,
// and leaves the descriptor for httplib to close as usual.
void reset_connection(const connection_id& req)
{
    int fd = find_connection_fd(req);
    if (fd < 0) {
        std::fprintf(stderr, "update_server: connection socket not found; closing instead of reset\n");
        return;
    }
    // The RST discards unsent data: let the bytes already written leave first.
    for (int i = 0; i < 200 && !g_stopping; ++i) {
        int pending = 0;
        if (ioctl(fd, SIOCOUTQ, &pending) != 0 || pending == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    sockaddr sa{};
    sa.sa_family = AF_UNSPEC;
    if (connect(fd, &sa, sizeof sa) != 0)
        std::perror("update_server: disconnect for reset");  // linger 0 still makes close() reset
}

// Reads bytes [offset, offset+n) of a body into buf; returns bytes produced.
using body_reader = std::function<std::size_t(std::uint64_t offset, char* buf, std::size_t n)>;

std::size_t generated(std::uint64_t offset, char* buf, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        buf[i] = char(pattern_byte(offset + i));
    return n;
}

void serve_body(const httplib::Request& req, httplib::Response& res, const route& r, std::uint64_t length,
                body_reader reader)
{
    if (length == 0 && r.fault == fault_kind::none) {
        res.set_content("", r.content_type);
        return;
    }
    auto sent = std::make_shared<std::uint64_t>(0);
    auto buf = std::make_shared<std::vector<char>>(chunk_size);
    const route* rp = &r;  // routes live for the whole process
    const connection_id conn{req.local_addr, req.remote_addr, req.local_port, req.remote_port};
    res.set_content_provider(
        std::size_t(length), r.content_type,
        [rp, sent, buf, reader, conn](std::size_t offset, std::size_t want, httplib::DataSink& sink) {
            if (g_stopping)
                return false;
            const bool cut = rp->fault == fault_kind::close_after || rp->fault == fault_kind::reset_after ||
                             rp->fault == fault_kind::stall_after;
            std::size_t n =
                std::min(want, rp->chunk_bytes > 0 ? std::min(rp->chunk_bytes, chunk_size) : chunk_size);
            if (*sent > 0 && rp->chunk_delay_seconds > 0)
                stall(rp->chunk_delay_seconds);
            if (g_stopping)
                return false;
            if (cut) {
                if (*sent >= rp->fault_bytes) {
                    if (rp->fault == fault_kind::reset_after)
                        reset_connection(conn);
                    if (rp->fault == fault_kind::stall_after)
                        stall(rp->stall_seconds);
                    return false;  // httplib drops the connection
                }
                n = std::size_t(std::min<std::uint64_t>(n, rp->fault_bytes - *sent));
            }
            std::size_t got = reader(offset, buf->data(), n);
            if (got == 0)
                return false;  // file shrank under us: cut the body short
            if (!sink.write(buf->data(), got))
                return false;
            *sent += got;
            return true;
        });
}

void handle(const std::vector<route>& routes, const httplib::Request& req, httplib::Response& res)
{
    const route* r = match(routes, req);
    if (!r) {
        res.status = 404;
        res.set_content("<html><body><h1>404 Not Found</h1></body></html>\n", "text/html");
        return;
    }
    if (r->fault == fault_kind::exit_server) {
        std::fflush(nullptr);
        _exit(exit_code_fault);
    }
    if (r->fault == fault_kind::stall_before_headers)
        stall(r->stall_seconds);
    if (r->fault == fault_kind::no_answer) {
        // The connection ends before a status line: httplib's own answer finds it closed.
        const connection_id conn{req.local_addr, req.remote_addr, req.local_port, req.remote_port};
        const int fd = find_connection_fd(conn);
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        return;
    }
    res.status = r->status;
    if (r->redirect)
        res.set_header("Location", *r->redirect);

    if (r->body_file) {
        int fd = open(r->body_file->c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0)
                close(fd);
            res.status = 500;
            res.set_content("<html><body>cannot open body_file</body></html>\n", "text/html");
            std::fprintf(stderr, "update_server: cannot open body_file %s\n", r->body_file->c_str());
            return;
        }
        auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
            close(*p);
            delete p;
        });
        serve_body(req, res, *r, std::uint64_t(st.st_size),
                   [file](std::uint64_t offset, char* buf, std::size_t n) -> std::size_t {
                       ssize_t got = pread(*file, buf, n, off_t(offset));
                       return got > 0 ? std::size_t(got) : 0;
                   });
    } else if (r->generate_bytes) {
        serve_body(req, res, *r, *r->generate_bytes, generated);
    } else {
        auto text = std::make_shared<std::string>(r->body.value_or(""));
        serve_body(req, res, *r, text->size(), [text](std::uint64_t offset, char* buf, std::size_t n) {
            std::size_t k = std::min<std::size_t>(n, text->size() - std::size_t(offset));
            std::copy_n(text->data() + offset, k, buf);
            return k;
        });
    }
}

struct options {
    std::string script;
    int port = 0;
    std::string tls_cert, tls_key;
    std::string request_log;
    bool exit_on_stdin_eof = false;
};

options parse_args(int argc, char** argv)
{
    options o;
    auto need = [&](int i, int count) {
        if (i + count >= argc)
            die(std::string("missing value for ") + argv[i]);
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--script") {
            need(i, 1);
            o.script = argv[++i];
        } else if (a == "--port") {
            need(i, 1);
            char* end = nullptr;
            long p = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || p < 0 || p > 65535)
                die("bad port");
            o.port = int(p);
        } else if (a == "--tls") {
            need(i, 2);
            o.tls_cert = argv[++i];
            o.tls_key = argv[++i];
        } else if (a == "--request-log") {
            need(i, 1);
            o.request_log = argv[++i];
        } else if (a == "--exit-on-stdin-eof") {
            o.exit_on_stdin_eof = true;
        } else {
            die("unknown argument " + a +
                "\nusage: update_server --script FILE [--port N] [--tls CERT KEY] [--request-log FILE] "
                "[--exit-on-stdin-eof]");
        }
    }
    if (o.script.empty())
        die("--script is required");
    return o;
}

// True once stdin has reached EOF (or is unusable); drains anything sent.
bool stdin_at_eof()
{
    pollfd p{0, POLLIN, 0};
    int rc = poll(&p, 1, 0);
    if (rc <= 0)
        return false;
    if (p.revents & POLLNVAL)
        return true;
    char buf[256];
    ssize_t n = read(0, buf, sizeof buf);
    return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
}

}  // namespace

int main(int argc, char** argv)
{
    options opt = parse_args(argc, argv);
    const std::vector<route> routes = load_script(opt.script);

    if (!opt.request_log.empty()) {
        g_log = std::fopen(opt.request_log.c_str(), "ae");
        if (!g_log)
            die("cannot open request log " + opt.request_log);
    }

    // Signals are taken synchronously by the main thread; workers never see them.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::unique_ptr<httplib::Server> server;
    if (!opt.tls_cert.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(opt.tls_cert.c_str(), opt.tls_key.c_str());
        if (!tls->is_valid())
            die("cannot load TLS certificate/key " + opt.tls_cert + " " + opt.tls_key);
        server = std::move(tls);
    } else {
        server = std::make_unique<httplib::Server>();
    }

    // Stalled requests each hold a worker; keep enough that others still get served.
    server->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server->set_keep_alive_timeout(1);
    // httplib's default adds SO_REUSEPORT, which lets a second server silently share
    // an explicit --port; keep only SO_REUSEADDR.
    server->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        log_request(req);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server->Get(".*",
                [&routes](const httplib::Request& req, httplib::Response& res) { handle(routes, req, res); });

    int port = opt.port;
    if (port == 0) {
        port = server->bind_to_any_port("127.0.0.1");
        if (port <= 0)
            die("cannot bind 127.0.0.1");
    } else if (!server->bind_to_port("127.0.0.1", port)) {
        die("cannot bind 127.0.0.1:" + std::to_string(port));
    }

    std::mutex done_mutex;
    std::condition_variable done_cv;
    bool listen_done = false;
    std::thread listener([&] {
        server->listen_after_bind();
        std::lock_guard<std::mutex> lock(done_mutex);
        listen_done = true;
        done_cv.notify_all();
    });

    std::printf("PORT %d\n", port);
    std::fflush(stdout);

    // Runs until a stop signal, stdin EOF (when asked for), or the listener dies.
    const timespec slice{0, 100 * 1000 * 1000};
    for (;;) {
        siginfo_t info;
        if (sigtimedwait(&stop_signals, &info, &slice) > 0)
            break;
        if (opt.exit_on_stdin_eof && stdin_at_eof())
            break;
        std::lock_guard<std::mutex> lock(done_mutex);
        if (listen_done)
            break;
    }

    g_stopping = true;
    server->stop();
    bool finished;
    {
        std::unique_lock<std::mutex> lock(done_mutex);
        finished = done_cv.wait_for(lock, std::chrono::milliseconds(900), [&] { return listen_done; });
    }
    if (g_log) {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        std::fflush(g_log);
    }
    if (!finished) {
        // A client holding a connection open must not keep us alive.
        std::fflush(nullptr);
        _exit(0);
    }
    listener.join();
    if (g_log)
        std::fclose(g_log);
    return 0;
}
