#pragma once
// Whole runs against the servers of lab.h: one nginx, one upstream and two tinyproxy per
// test program, a fresh APP directory per test, the logs read per case.
#include <string>
#include <utility>
#include <vector>

#include "app_fixture.h"
#include "lab.h"

using strings = std::vector<std::string>;
using targets = std::vector<std::pair<std::string, int>>;  // request target, status

class ProxySuite : public AppDir {
protected:
    static lab::servers* servers;
    static std::string start_failure;

    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    // etc/config naming the site; the APP's var directory and the last descriptor gone,
    // the servers' logs counted from here.
    void next_case(const lab::site& s);
    // `env` of the fixture with these NAME=VALUE added for one run.
    std::vector<std::string> with(const strings& extra) const;

    // What nginx logs for a run that installs from `s`: both queries, the redirect if
    // the site has one, the installer.
    static targets installing_hits(const lab::site& s);
    static targets targets_of(const std::vector<lab::hit>& hits);
    // tinyproxy's request lines for the same run, through an HTTP proxy or a CONNECT tunnel.
    static strings proxied_requests(const lab::site& s);
    // The run's error messages, each once, for the case's summary line.
    static std::string errors(const run_result& r);
};

// How a run ends.
inline constexpr const char* installed = "[info] Installer returned with code 0";
inline constexpr const char* no_update =
    "[info] We reached the url and didn't get any updates, so we stop here";
inline constexpr const char* not_reached = "[info] We have not reached any url, so we stop here";
inline constexpr const char* parse_failed = "[error] Caught exception when parsing JSON";
inline const std::string asked_credentials = "[error] Proxy asked for credentials to open ";

// Proxy settings of the calling environment must not leak into a run.
extern const strings no_proxy_settings;
