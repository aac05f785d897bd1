#pragma once
// Whole runs of the program under faults of the server, the disk and the descriptor.
// Every run has a recording `msiexec` first on PATH: a run that refused its installer
// must not have started it, whatever else the case checks.
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app_fixture.h"

namespace faults {

using json = nlohmann::json;
using strings = std::vector<std::string>;

// The test PKI and signed packages of tests/fixtures/make_fixtures.sh, made once.
const std::string& fixtures();

std::string sha256_of(const std::string& path);

constexpr long mib = 1024 * 1024;

}  // namespace faults

class Faults : public AppDir {
protected:
    struct server {
        server_handle handle;
        std::string requests;  // request log
        std::string host = "127.0.0.1";
        bool tls = false;
        std::string url() const
        {
            return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(handle.port);
        }
    };
    enum class cert { none, good, wrong_host };

    std::deque<server> servers;  // references handed out stay valid
    bool install_expected = false;
    std::string mounted;  // a tmpfs of the test, unmounted before the scratch dir goes

    void SetUp() override;
    void TearDown() override;

    // A server with these routes (server_process.h); the request log is kept per server.
    server& serve(const faults::json& routes, cert tls = cert::none);
    // Descriptor routes: the non-urgent query gets no release, the urgent one `urgent`.
    static faults::json answers(const std::string& urgent_file);
    static std::string release(const std::string& url, const std::string& hash);
    static faults::strings requests_of(const server& s) { return read_lines(s.requests); }

    // Config naming `s` as the update server, VERSION "1".
    void configure(const server& s);

    // The run wrapped by /usr/bin/time: peak resident set of the program and the
    // children it waited for, in KiB.
    run_result run_measured(long& peak_kib, double timeout_seconds = 120);

    // Mounts a tmpfs of `size` (mount(8) syntax, e.g. "1m") at APP/var; false with
    // `why` set when this host cannot.
    bool mount_var(const std::string& size, std::string& why);

    faults::strings msiexec_calls() const;
    static std::string last(const run_result& r);
    static bool has(const run_result& r, const std::string& message);
};
