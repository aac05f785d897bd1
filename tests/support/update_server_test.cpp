// Drives a real update_server with curl: these are the behaviours the product's
// process-level tests rely on.
#include "build_paths.h"
#include "server_process.h"

#include "byte_pattern.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using json = nlohmann::json;

std::string seeded_bytes(std::size_t n, std::size_t seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + seed + i / 977) & 0xFF);
    return s;
}

class UpdateServer : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override
    {
        stop_update_server(server);
        std::filesystem::remove_all(dir);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    void start(const json& routes, const std::string& cert = "", const std::string& key = "")
    {
        write_file(path("script.json"), json{{"routes", routes}}.dump());
        ASSERT_TRUE(start_update_server(build_paths::update_server_exe, path("script.json"), server,
                                        path("requests.log"), cert, key));
    }

    std::string url(const std::string& target, const char* scheme = "http") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(server.port) + target;
    }

    // Returns curl's exit code; body, headers and "%{http_code}" land in files.
    int curl(std::vector<std::string> extra, const std::string& target_url, double timeout = 20)
    {
        std::vector<std::string> argv = {"curl", "-q",         "-s", "--noproxy",     "*",  "--path-as-is",
                                         "-o",   path("body"), "-D", path("headers"), "-w", "%{http_code}"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(target_url);
        std::filesystem::remove(path("body"));
        return run_process(argv, {}, path("code"), "", timeout);
    }

    std::string dir;
    server_handle server;
};

TEST_F(UpdateServer, MatchesQueryAndLogsRawTarget)
{
    start({{{"path", "/api/updates/"}, {"query", {{"urgent", "false"}}}, {"body", "none"}},
           {{"path", "/api/updates/"},
            {"query", {{"urgent", "true"}, {"version", "1.2&3"}}},
            {"body", "urgent"}}});

    EXPECT_EQ(curl({"-A", "agent/1.0", "-H", "Accept: application/json"},
                   url("/api/updates/?platform=windows&urgent=false&version=1.2&3")),
              0);
    EXPECT_EQ(read_file(path("body")), "none");
    EXPECT_EQ(curl({}, url("/api/updates/?urgent=true&version=1.2%263")), 0);
    EXPECT_EQ(read_file(path("body")), "urgent");
    EXPECT_EQ(curl({}, url("//api/updates/?urgent=false")), 0);
    EXPECT_EQ(read_file(path("code")), "404");
    EXPECT_EQ(curl({}, url("/api/updates/?urgent=maybe")), 0);
    EXPECT_EQ(read_file(path("code")), "404");

    const auto log = read_lines(path("requests.log"));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(
        log[0],
        "GET /api/updates/?platform=windows&urgent=false&version=1.2&3 UA=agent/1.0 ACCEPT=application/json");
    EXPECT_EQ(log[1].rfind("GET /api/updates/?urgent=true&version=1.2%263 UA=curl/", 0), 0u) << log[1];
    EXPECT_EQ(log[2].rfind("GET //api/updates/?urgent=false UA=", 0), 0u) << log[2];
}

TEST_F(UpdateServer, BodyFileIsByteExactAndReadPerRequest)
{
    const std::string first = seeded_bytes(3 * 1024 * 1024 + 17, 1);
    write_file(path("agent.msi"), first);
    start({{{"path", "/files/agent.msi"}, {"body_file", path("agent.msi")}}});

    ASSERT_EQ(curl({}, url("/files/agent.msi")), 0);
    EXPECT_TRUE(read_file(path("body")) == first);
    write_file(path("agent.msi"), "replaced");
    ASSERT_EQ(curl({}, url("/files/agent.msi")), 0);
    EXPECT_EQ(read_file(path("body")), "replaced");
}

TEST_F(UpdateServer, GeneratesPatternOfExactLength)
{
    start({{{"path", "/big.bin"}, {"generate_bytes", 5000003}}});
    ASSERT_EQ(curl({}, url("/big.bin")), 0);
    const std::string body = read_file(path("body"));
    ASSERT_EQ(body.size(), 5000003u);
    for (std::size_t i = 0; i < body.size(); i += 4099)
        ASSERT_EQ(static_cast<unsigned char>(body[i]), pattern_byte(i)) << i;
}

TEST_F(UpdateServer, CloseAndResetCutTheBodyShort)
{
    const std::string data = seeded_bytes(200000, 2);
    write_file(path("x"), data);
    start({{{"path", "/broken"}, {"body_file", path("x")}, {"fault", "close_after"}, {"fault_bytes", 5000}},
           {{"path", "/reset"}, {"body_file", path("x")}, {"fault", "reset_after"}, {"fault_bytes", 5000}}});

    EXPECT_EQ(curl({}, url("/broken")), 18);  // partial file: clean close before Content-Length
    EXPECT_EQ(read_file(path("body")), data.substr(0, 5000));
    EXPECT_NE(read_file(path("headers")).find("Content-Length: 200000"), std::string::npos);

    EXPECT_EQ(curl({}, url("/reset")), 56);  // receive failure: connection reset
    EXPECT_EQ(read_file(path("body")), data.substr(0, 5000));
}

TEST_F(UpdateServer, StallsAreBoundedAndDoNotDelayStop)
{
    write_file(path("x"), seeded_bytes(100000, 3));
    start({{{"path", "/stall"}, {"fault", "stall_before_headers"}, {"stall_seconds", 30}},
           {{"path", "/stall-body"},
            {"body_file", path("x")},
            {"fault", "stall_after"},
            {"fault_bytes", 1000},
            {"stall_seconds", 30}}});

    EXPECT_EQ(curl({"--max-time", "1"}, url("/stall")), 28);
    EXPECT_EQ(curl({"--max-time", "1"}, url("/stall-body")), 28);
    EXPECT_EQ(read_file(path("body")).size(), 1000u);

    // Both handlers are still sleeping; SIGTERM must not wait for them.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_update_server(server), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST_F(UpdateServer, RedirectsWithLocation)
{
    start({{{"path", "/moved"}, {"redirect", "http://127.0.0.1:1234/files/agent.msi"}},
           {{"path", "/loop"}, {"redirect", "/loop"}, {"status", 301}}});

    ASSERT_EQ(curl({}, url("/moved")), 0);
    EXPECT_EQ(read_file(path("code")), "302");
    EXPECT_NE(read_file(path("headers")).find("Location: http://127.0.0.1:1234/files/agent.msi\r\n"),
              std::string::npos);
    EXPECT_EQ(curl({"-L", "--max-redirs", "3"}, url("/loop")), 47);  // too many redirects
    EXPECT_EQ(read_file(path("code")), "301");
}

TEST_F(UpdateServer, ServesHttps)
{
    const std::string cert = path("cert.pem"), key = path("key.pem");
    ASSERT_EQ(
        run_process({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                     "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                    {}, "", path("openssl.err"), 60),
        0)
        << read_file(path("openssl.err"));
    start({{{"path", "/api/updates/"}, {"body", "secure"}, {"content_type", "application/json"}}}, cert, key);

    ASSERT_EQ(curl({"--cacert", cert}, url("/api/updates/?urgent=true", "https")), 0);
    EXPECT_EQ(read_file(path("body")), "secure");
    EXPECT_NE(curl({}, url("/api/updates/", "https")), 0);  // untrusted certificate
    EXPECT_EQ(read_lines(path("requests.log")).at(0).rfind("GET /api/updates/?urgent=true UA=curl/", 0), 0u);
}

TEST_F(UpdateServer, ExitServerKillsTheProcessWithoutAnswering)
{
    start({{{"path", "/api/updates/"}, {"query", {{"urgent", "false"}}}, {"body", "[]"}},
           {{"path", "/api/updates/"}, {"query", {{"urgent", "true"}}}, {"fault", "exit_server"}}});

    EXPECT_EQ(curl({}, url("/api/updates/?urgent=false")), 0);
    EXPECT_EQ(curl({}, url("/api/updates/?urgent=true")), 52);  // empty reply
    EXPECT_EQ(curl({}, url("/api/updates/?urgent=false")), 7);  // nothing listens any more
    EXPECT_EQ(stop_update_server(server), 3);
}

TEST_F(UpdateServer, ExitsWhenStdinCloses)
{
    start({});
    close(server.stdin_fd);
    server.stdin_fd = -1;
    int status = -1;
    for (int i = 0; i < 300 && waitpid(server.pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(WIFEXITED(status)) << "still running 3 s after stdin EOF";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    server.pid = -1;
}

}  // namespace
