// download_file over the POSIX HTTP client, against the real loopback update server:
// plain HTTP, TLS with throw-away certificates, redirects and the server's faults.
#include "update/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "byte_pattern.h"
#include "fixtures.h"
#include "log_capture.h"
#include "loopback.h"
#include "platform/fs.h"
#include "platform/http.h"
#include "update/update_check.h"
#include "update_site.h"

namespace fs = std::filesystem;
using download_test::refusing_port;

namespace {

// A file against the bytes it should hold; a mismatch is described briefly, as bodies
// run to MiBs.
::testing::AssertionResult holds(const std::string& file, const std::string& expected)
{
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        return ::testing::AssertionFailure() << file << " is no regular file";
    const std::string actual = read_file(file);
    if (actual == expected)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    auto failure = ::testing::AssertionFailure();
    failure << file << " holds " << actual.size() << " bytes, expected " << expected.size()
            << "; first difference at byte " << at;
    if (actual.size() <= 100)
        failure << ": \"" << actual << "\"";
    return failure;
}

struct outcome {
    int rc = 0;
    std::string log;
    double seconds = 0;
};

long status_kib(const char* field)
{
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

using served = site_server;

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        site_.dir = dir_;
        const char* bundle = std::getenv("SSL_CERT_FILE");
        had_bundle_ = bundle != nullptr;
        if (had_bundle_)
            old_bundle_ = bundle;
        // A server that stops answering fails the case within seconds rather than at the
        // ctest timeout.
        platform::http_set_timeout_seconds(5);
    }

    void TearDown() override
    {
        site_.stop();
        if (had_bundle_)
            setenv("SSL_CERT_FILE", old_bundle_.c_str(), 1);
        else
            unsetenv("SSL_CERT_FILE");
        platform::http_set_timeout_seconds(60);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    served serve(const json& routes, cert tls = cert::none) { return site_.serve(routes, tls); }

    void trust(const std::string& bundle) { setenv("SSL_CERT_FILE", fixture(bundle).c_str(), 1); }

    static std::string url(const std::string& scheme, int port, const std::string& target)
    {
        return scheme + "://127.0.0.1:" + std::to_string(port) + target;
    }

    static outcome download(const std::string& from, const std::string& to, bool secure = false)
    {
        log_capture capture;
        const auto start = std::chrono::steady_clock::now();
        outcome result;
        result.rc = download_file(from, to, secure);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        result.log = capture.text();
        return result;
    }

    static std::string opening(const std::string& from, bool secure = false)
    {
        return "info Opening " + from + " with headers Accept: application/json and secure " +
               (secure ? "true" : "false") + "\n";
    }

    static std::string success(const std::string& from, const std::string& to, bool secure = false)
    {
        return opening(from, secure) + "info Downloading file to " + to + "\ninfo Download complete " + from +
               " -> " + to + "\n";
    }

    static std::string open_failure(const std::string& from, uint32_t error, bool secure = false)
    {
        return opening(from, secure) + "error InternetOpenUrlA failed: " + std::to_string(error) + "\n";
    }

    static std::string read_failure(const std::string& from, const std::string& to, uint32_t error)
    {
        return opening(from) + "info Downloading file to " + to +
               "\nerror InternetReadFile fiales: " + std::to_string(error) + "\n";
    }

    std::string dir_;
    update_site site_;
    bool had_bundle_ = false;
    std::string old_bundle_;
};

// --- bodies --------------------------------------------------------------------------

TEST_F(Download, WritesBodiesOfEverySizeByteExact)
{
    // Around the 1024-byte read size, beyond the client's 64 KiB holding buffer, and
    // one byte over a MiB so the last read is a single byte.
    const std::vector<std::size_t> sizes = {1, 1023, 1024, 1025, 65537, 1048577};
    json routes = json::array();
    for (const std::size_t size : sizes)
        routes.push_back({{"path", "/gen/" + std::to_string(size)}, {"generate_bytes", size}});
    std::string random_body(3 * 1000 * 1000, '\0');
    std::mt19937 generator(20240611);
    for (char& c : random_body)
        c = static_cast<char>(generator() & 0xFF);
    write_file(path("random.bin"), random_body);
    routes.push_back({{"path", "/random.bin"}, {"body_file", path("random.bin")}});
    const served server = serve(routes);

    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string from = url("http", server.port(), "/gen/" + std::to_string(size));
        const std::string to = path("gen.bin");
        const outcome r = download(from, to);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.log, success(from, to));
        EXPECT_TRUE(holds(to, pattern_bytes(size)));
    }
    const std::string from = url("http", server.port(), "/random.bin");
    const outcome r = download(from, path("random.out"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(holds(path("random.out"), random_body));
}

TEST_F(Download, EmptyBodyGivesEmptyFileReplacingOldContent)
{
    const served server =
        serve(json::array({{{"path", "/empty"}, {"body", ""}}, {{"path", "/small"}, {"body", "new"}}}));
    const std::string to = path("dest.bin");
    write_file(to, "old content, longer than what replaces it");

    const std::string small = url("http", server.port(), "/small");
    outcome r = download(small, to);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(holds(to, "new")) << "the old tail must not survive";

    const std::string empty = url("http", server.port(), "/empty");
    r = download(empty, to);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, success(empty, to));
    EXPECT_TRUE(fs::is_regular_file(to));
    EXPECT_EQ(fs::file_size(to), 0u);
}

TEST_F(Download, ErrorPagesAreWrittenAsTheBody)
{
    // The status is not examined: whatever the server sends is the download.
    const served server = serve(json::array(
        {{{"path", "/err"}, {"status", 500}, {"body", "<html>oops</html>"}, {"content_type", "text/html"}}}));
    const std::string to = path("dest.bin");

    const std::string missing = url("http", server.port(), "/no/such/file");
    outcome r = download(missing, to);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, success(missing, to));
    EXPECT_TRUE(holds(to, "<html><body><h1>404 Not Found</h1></body></html>\n"));

    const std::string failing = url("http", server.port(), "/err");
    r = download(failing, to);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(holds(to, "<html>oops</html>"));
}

TEST_F(Download, SendsUserAgentAndAcceptAndTheTargetAsWritten)
{
    const served server = serve(json::array({{{"path", "/x"}, {"body", "x"}}}));
    ASSERT_EQ(download(url("http", server.port(), "/x"), path("a")).rc, 0);
    // Doubled slashes and escapes reach the server untouched.
    ASSERT_EQ(download(url("http", server.port(), "//api/updates/?a=1&b=x%262"), path("b")).rc, 0);
    EXPECT_EQ(read_lines(server.requests),
              (std::vector<std::string>{
                  "GET /x UA=Agent Recovery ACCEPT=application/json",
                  "GET //api/updates/?a=1&b=x%262 UA=Agent Recovery ACCEPT=application/json"}));
}

// --- failures before the body ----------------------------------------------------------

TEST_F(Download, UnreachableServerLeavesTheOldFileAlone)
{
    const std::string to = path("dest.bin");
    write_file(to, "previous download");

    const std::string unresolvable = "http://no-such-host.invalid/files/agent.msi";
    outcome r = download(unresolvable, to);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log, open_failure(unresolvable, 12007));
    EXPECT_TRUE(holds(to, "previous download"));

    const refusing_port closed;
    ASSERT_NE(closed.port(), 0);
    const std::string refused = url("http", closed.port(), "/files/agent.msi");
    r = download(refused, to);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log, open_failure(refused, 12029));
    EXPECT_TRUE(holds(to, "previous download"));
    EXPECT_LT(r.seconds, 2.0);
}

TEST_F(Download, DestinationThatCannotBeOpenedIsReported)
{
    const served server = serve(json::array({{{"path", "/x"}, {"body", "payload"}}}));
    const std::string from = url("http", server.port(), "/x");

    for (const std::string& to : {path("missing/dest.bin"), dir_}) {
        SCOPED_TRACE(to);
        const outcome r = download(from, to);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.log, opening(from) + "error Could not open file: " + to + "\n");
    }
    EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(Download, SymbolicLinkAtTheDestinationIsRefused)
{
    const served server = serve(json::array({{{"path", "/x"}, {"body", "planted"}}}));
    const std::string from = url("http", server.port(), "/x");
    write_file(path("victim"), "precious");
    fs::create_symlink(path("victim"), path("link"));
    fs::create_symlink(path("ghost"), path("dangling"));

    outcome r = download(from, path("link"));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log, opening(from) + "error Could not open file: " + path("link") + "\n");
    EXPECT_TRUE(holds(path("victim"), "precious"));
    EXPECT_TRUE(fs::is_symlink(path("link")));

    // Nor may a dangling link create its target.
    r = download(from, path("dangling"));
    EXPECT_EQ(r.rc, -1);
    EXPECT_FALSE(fs::exists(path("ghost")));
}

// --- failures during the body ------------------------------------------------------------

TEST_F(Download, BrokenConnectionKeepsTheBytesReceived)
{
    // 200001: the cut comes after the client has held its buffer full and resumed.
    const std::vector<std::size_t> cuts = {5000, 200001};
    json routes = json::array();
    for (const std::size_t cut : cuts) {
        const std::string n = std::to_string(cut);
        routes.push_back(download_test::cut_body_route("/close/" + n, "close", cut));
        routes.push_back(download_test::cut_body_route("/reset/" + n, "reset", cut));
    }
    const served server = serve(routes);

    for (const std::size_t cut : cuts) {
        for (const auto& [kind, error] :
             {std::pair<std::string, uint32_t>{"close", 12030}, {"reset", 12031}}) {
            SCOPED_TRACE(kind + " after " + std::to_string(cut));
            const std::string from = url("http", server.port(), "/" + kind + "/" + std::to_string(cut));
            const std::string to = path(kind + ".bin");
            const outcome r = download(from, to);
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.log, read_failure(from, to, error));
            EXPECT_TRUE(holds(to, pattern_bytes(cut)));
        }
    }
}

TEST_F(Download, BrokenTlsConnectionKeepsTheBytesReceived)
{
    const served server = serve(json::array({download_test::cut_body_route("/close", "close", 5000),
                                             download_test::cut_body_route("/reset", "reset", 5000)}),
                                cert::good);
    trust("trusted_bundle.pem");
    for (const auto& [kind, error] : {std::pair<std::string, uint32_t>{"close", 12030}, {"reset", 12031}}) {
        SCOPED_TRACE(kind);
        const std::string from = url("https", server.port(), "/" + kind);
        const std::string to = path(kind + ".bin");
        const outcome r = download(from, to);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.log, read_failure(from, to, error));
        EXPECT_TRUE(holds(to, pattern_bytes(5000)));
    }
}

TEST_F(Download, WriteFailureIsReported)
{
    const served server = serve(json::array({{{"path", "/x"}, {"generate_bytes", 100000}}}));
    const std::string from = url("http", server.port(), "/x");
    const outcome r = download(from, "/dev/full");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log,
              opening(from) + "info Downloading file to /dev/full\nerror Could not write file: /dev/full\n");
}

TEST_F(Download, StallsEndAfterTheConfiguredTimeout)
{
    const served server = serve(json::array(
        {{{"path", "/before"}, {"body", "late"}, {"fault", "stall_before_headers"}, {"stall_seconds", 30}},
         {{"path", "/during"},
          {"generate_bytes", 1000000},
          {"fault", "stall_after"},
          {"fault_bytes", 5000},
          {"stall_seconds", 30}}}));
    platform::http_set_timeout_seconds(2);
    const std::string to = path("dest.bin");
    write_file(to, "previous download");

    const std::string before = url("http", server.port(), "/before");
    outcome r = download(before, to);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log, open_failure(before, 12002));
    EXPECT_TRUE(holds(to, "previous download"));
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_LE(r.seconds, 4.0);

    const std::string during = url("http", server.port(), "/during");
    r = download(during, to);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log, read_failure(during, to, 12002));
    EXPECT_TRUE(holds(to, pattern_bytes(5000)));
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_LE(r.seconds, 4.0) << "nothing arrived for 2 s, yet the transfer went on";
}

// A server that never pauses for as long as the stall limit but sends less than a byte
// a second, in its headers or in its body.
TEST_F(Download, TricklesBelowOneBytePerSecondEnd)
{
    platform::http_set_timeout_seconds(2);
    const std::string to = path("dest.bin");
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n";
    {
        download_test::trickling_server server("", headers, std::chrono::milliseconds(1500));
        const std::string from = url("http", server.port(), "/headers");
        const outcome r = download(from, to);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.log, open_failure(from, 12002));
        EXPECT_LE(r.seconds, 6.0) << "a byte every 1.5 s held the request";
    }
    {
        download_test::trickling_server server(headers, std::string(40, 'x'),
                                               std::chrono::milliseconds(1500));
        const std::string from = url("http", server.port(), "/body");
        const outcome r = download(from, to);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.log, read_failure(from, to, 12002));
        EXPECT_LE(r.seconds, 6.0) << "a byte every 1.5 s held the transfer";
    }
}

// --- the descriptor in a directory other users can write ----------------------------

TEST_F(Download, NewFileReplacesLinksFifosAndLinkedFiles)
{
    const served server = serve(json::array({{{"path", "/x"}, {"body", "answer"}}}));
    const std::string from = url("http", server.port(), "/x");
    write_file(path("victim"), "precious");
    const std::string link = path("link"), fifo = path("fifo"), linked = path("linked");
    fs::create_symlink(path("victim"), link);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    fs::create_hard_link(path("victim"), linked);
    for (const std::string& to : {link, fifo, linked}) {
        SCOPED_TRACE(to);
        log_capture capture;
        EXPECT_EQ(download_new_file(from, to, false, 1024), 0) << capture.text();
        struct stat info;
        ASSERT_EQ(::lstat(to.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_nlink, 1u);
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        EXPECT_TRUE(holds(to, "answer"));
    }
    EXPECT_TRUE(holds(path("victim"), "precious"));
    // A directory in the way cannot be replaced: no download, nothing else touched.
    fs::create_directory(path("dir"));
    log_capture capture;
    EXPECT_EQ(download_new_file(from, path("dir"), false, 1024), -1);
    EXPECT_EQ(capture.text(), opening(from) + "error Could not open file: " + path("dir") + "\n");
}

TEST_F(Download, NewFileStopsOneBytePastItsBound)
{
    const served server = serve(json::array({{{"path", "/endless"}, {"generate_bytes", 50000000}}}));
    const std::string from = url("http", server.port(), "/endless");
    log_capture capture;
    EXPECT_EQ(download_new_file(from, path("d.json"), false, 4096), 0) << capture.text();
    EXPECT_EQ(fs::file_size(path("d.json")), 4097u);
    EXPECT_TRUE(holds(path("d.json"), pattern_bytes(4097)));
}

// Read back only the file the run wrote: no other user's, no second name, no FIFO.
TEST_F(Download, DescriptorThatIsNotOursIsDiscarded)
{
    const std::string doc = R"({"results":[{"url":"http://h/a.msi","hash":"aa"}]})";
    struct Case {
        std::string file;
        std::string problem;
    };
    std::vector<Case> cases = {{path("linked"), "(2 links)"}, {path("fifo"), "(not a regular file)"}};
    write_file(path("linked"), doc);
    fs::create_hard_link(path("linked"), path("second_name"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0666), 0);
    // Another user's file: made by root, else one of root's.
    if (::geteuid() == 0) {
        write_file(path("theirs"), doc);
        ASSERT_EQ(::chown(path("theirs").c_str(), 65534, 65534), 0);
        cases.push_back({path("theirs"), "(owned by user 65534)"});
    } else {
        cases.push_back({"/etc/passwd", "(owned by user 0)"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string url = "untouched", hash = "untouched";
        bool listed = false;
        log_capture capture;
        EXPECT_EQ(read_own_descriptor(c.file, url, hash, listed), descriptor_read::not_ours);
        EXPECT_EQ(capture.text(), "error Update descriptor " + c.file + " is not the file this run wrote " +
                                      c.problem + ": answer discarded\n");
        EXPECT_EQ(hash, "untouched");
    }
    write_file(path("ours"), doc);
    std::string url, hash;
    bool listed = false;
    EXPECT_EQ(read_own_descriptor(path("ours"), url, hash, listed), descriptor_read::ok);
    EXPECT_EQ(url, "http://h/a.msi");
    write_file(path("large"), std::string(max_descriptor_size + 1, ' '));
    log_capture capture;
    EXPECT_EQ(read_own_descriptor(path("large"), url, hash, listed), descriptor_read::unusable);
    EXPECT_EQ(capture.text(), "error Update descriptor too large: more than 1048576 bytes\n");
}

// --- redirects ---------------------------------------------------------------------------

TEST_F(Download, RedirectsAreFollowedWithTheSameHeaders)
{
    const served target = serve(json::array({{{"path", "/files/agent.msi"}, {"body", "the package"}}}));
    const served tls_target =
        serve(json::array({{{"path", "/secure/agent.msi"}, {"body", "the secure package"}}}), cert::good);
    trust("trusted_bundle.pem");
    const served start = serve(json::array(
        // A redirect's own body (here too big to come with the headers) is never the download.
        {{{"path", "/start"}, {"redirect", "/hop"}, {"status", 301}, {"generate_bytes", 1000000}},
         {{"path", "/hop"}, {"redirect", url("http", target.port(), "/files/agent.msi")}, {"status", 307}},
         {{"path", "/up"}, {"redirect", url("https", tls_target.port(), "/secure/agent.msi")}}}));

    const std::string to = path("dest.bin");
    const std::string from = url("http", start.port(), "/start");
    outcome r = download(from, to);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, success(from, to));
    EXPECT_TRUE(holds(to, "the package"));
    EXPECT_EQ(read_lines(target.requests),
              std::vector<std::string>{"GET /files/agent.msi UA=Agent Recovery ACCEPT=application/json"});

    // Up to TLS is allowed.
    r = download(url("http", start.port(), "/up"), to);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(holds(to, "the secure package"));
}

TEST_F(Download, RedirectsThatMustNotBeFollowed)
{
    const served plain = serve(json::array({{{"path", "/x"}, {"body", "downgraded"}}}));
    const std::string down = url("http", plain.port(), "/x");
    const served tls = serve(json::array({{{"path", "/down"}, {"redirect", down}}}), cert::good);
    const served loops = serve(json::array(
        {{{"path", "/loop"}, {"redirect", "/loop"}}, {{"path", "/ftp"}, {"redirect", "ftp://127.0.0.1/x"}}}));
    trust("trusted_bundle.pem");
    const std::string to = path("dest.bin");
    write_file(to, "previous download");

    const std::string from_tls = url("https", tls.port(), "/down");
    outcome r = download(from_tls, to);
    EXPECT_EQ(r.log, open_failure(from_tls, 12040));
    // Forced TLS counts as TLS.
    const std::string forced = url("http", tls.port(), "/down");
    r = download(forced, to, true);
    EXPECT_EQ(r.log, open_failure(forced, 12040, true));
    EXPECT_TRUE(read_lines(plain.requests).empty()) << "the plain server was contacted";

    const std::string loop = url("http", loops.port(), "/loop");
    r = download(loop, to);
    EXPECT_EQ(r.log, open_failure(loop, 12156));
    EXPECT_EQ(read_lines(loops.requests).size(), 11u) << "ten redirects followed, then given up";

    const std::string ftp = url("http", loops.port(), "/ftp");
    r = download(ftp, to);
    EXPECT_EQ(r.log, open_failure(ftp, 12006));
    EXPECT_TRUE(holds(to, "previous download"));
}

// --- TLS ---------------------------------------------------------------------------------

TEST_F(Download, HttpsWithTheTrustedRoot)
{
    const served server = serve(json::array({{{"path", "/x"}, {"generate_bytes", 300000}}}), cert::good);
    trust("trusted_bundle.pem");
    const std::string to = path("dest.bin");

    for (const std::string& from :
         {url("https", server.port(), "/x"), "https://localhost:" + std::to_string(server.port()) + "/x"}) {
        SCOPED_TRACE(from);
        const outcome r = download(from, to);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.log, success(from, to));
        EXPECT_TRUE(holds(to, pattern_bytes(300000)));
    }
}

TEST_F(Download, SecureForcesTlsOnAnHttpUrl)
{
    const served tls = serve(json::array({{{"path", "/x"}, {"body", "over TLS"}}}), cert::good);
    const served plain = serve(json::array({{{"path", "/x"}, {"body", "in the clear"}}}));
    trust("trusted_bundle.pem");
    const std::string to = path("dest.bin");

    const std::string from = url("http", tls.port(), "/x");
    outcome r = download(from, to, true);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, success(from, to, true));
    EXPECT_TRUE(holds(to, "over TLS"));

    // A plain server cannot satisfy it: no silent fallback to clear text.
    write_file(to, "previous download");
    const std::string clear = url("http", plain.port(), "/x");
    r = download(clear, to, true);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log.rfind(opening(clear, true) + "error InternetOpenUrlA failed: ", 0), 0u) << r.log;
    EXPECT_TRUE(holds(to, "previous download"));
}

TEST_F(Download, UntrustedOrMismatchedCertificatesAreRefused)
{
    const served good = serve(json::array({{{"path", "/x"}, {"body", "x"}}}), cert::good);
    const served wrong = serve(json::array({{{"path", "/x"}, {"body", "x"}}}), cert::wrong_host);
    const std::string to = path("dest.bin");
    write_file(to, "previous download");

    // A bundle without the test root.
    trust("other_ca.pem");
    const std::string from = url("https", good.port(), "/x");
    outcome r = download(from, to);
    EXPECT_EQ(r.log, open_failure(from, 12045));
    // Without SSL_CERT_FILE the system's roots apply, and they do not know the test root.
    unsetenv("SSL_CERT_FILE");
    r = download(from, to);
    EXPECT_EQ(r.log, open_failure(from, 12045));

    // Trusted issuer, but the certificate names another host.
    trust("trusted_bundle.pem");
    const std::string mismatched = url("https", wrong.port(), "/x");
    r = download(mismatched, to);
    EXPECT_EQ(r.log, open_failure(mismatched, 12038));
    EXPECT_TRUE(holds(to, "previous download"));
    EXPECT_TRUE(read_lines(good.requests).empty());
    EXPECT_TRUE(read_lines(wrong.requests).empty());
}

// --- memory ------------------------------------------------------------------------------

TEST_F(Download, LargeBodyStreamsInBoundedMemory)
{
    constexpr std::uint64_t size = 1ull << 30;
    const served server = serve(json::array({{{"path", "/big"}, {"generate_bytes", size}}}));
    // A FIFO lets the whole body be checked without a GiB on disk.
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::uint64_t received = 0;
    std::uint64_t first_wrong = UINT64_MAX;
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        std::vector<unsigned char> buffer(1 << 16);
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            for (ssize_t i = 0; i < n && first_wrong == UINT64_MAX; ++i)
                if (buffer[std::size_t(i)] != pattern_byte(received + std::uint64_t(i)))
                    first_wrong = received + std::uint64_t(i);
            received += std::uint64_t(n);
        }
        ::close(fd);
    });

    // Peak resident size starts again from the current one.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = status_kib("VmRSS");
    const std::string from = url("http", server.port(), "/big");
    const outcome r = download(from, fifo);
    const long peak = status_kib("VmHWM");
    // Releases the reader if download_file never opened the FIFO.
    const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (unblock >= 0)
        ::close(unblock);
    reader.join();

    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, success(from, fifo));
    EXPECT_EQ(received, size);
    EXPECT_EQ(first_wrong, UINT64_MAX) << "first wrong byte at " << first_wrong;
    ASSERT_GT(before, 0);
    if (!RECOVERY_SANITIZED) {
        EXPECT_LT(peak - before, 4 * 1024) << "peak grew by " << peak - before << " KiB";
    }
    std::cout << "1 GiB in " << r.seconds << " s, peak RSS +" << peak - before << " KiB\n";
}

}  // namespace
