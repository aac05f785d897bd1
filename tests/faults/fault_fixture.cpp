#include "fault_fixture.h"

#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace faults {

namespace {

// Removes fixtures this process made; a directory handed over by ctest stays.
class FixturesCleanup : public ::testing::Environment {
public:
    std::string made;
    void TearDown() override
    {
        if (!made.empty()) {
            std::error_code ignored;
            fs::remove_all(made, ignored);
        }
    }
};

FixturesCleanup* const cleanup =
    static_cast<FixturesCleanup*>(::testing::AddGlobalTestEnvironment(new FixturesCleanup));

}  // namespace

const std::string& fixtures()
{
    static const std::string dir = [] {
        const char* given = std::getenv("FAULT_FIXTURES_DIR");
        if (given != nullptr && fs::exists(std::string(given) + "/signed_ok.msi"))
            return std::string(given);
        const std::string made = make_temp_dir();
        cleanup->made = made;
        const int status = run_process({"bash", FIXTURES_SCRIPT, made}, {}, "", made + "/make_fixtures.err", 120);
        if (status != 0)
            ADD_FAILURE() << "make_fixtures.sh failed (" << status << "): " << read_file(made + "/make_fixtures.err");
        return made;
    }();
    return dir;
}

std::string sha256_of(const std::string& path)
{
    const std::string out = make_temp_dir();
    const int status = run_process({"sha256sum", path}, {}, out + "/sum", "", 60);
    const std::string text = read_file(out + "/sum");
    fs::remove_all(out);
    EXPECT_EQ(status, 0) << path;
    return text.substr(0, 64);
}

}  // namespace faults

using namespace faults;

void Faults::SetUp()
{
    AppDir::SetUp();
    // Records its arguments and the digest of the package it was given.
    const std::string bin = root + "/bin";
    fs::create_directories(bin);
    write_file(bin + "/msiexec", "#!/bin/sh\n"
                                 "{ printf '%s\\n' \"$@\"; sha256sum \"$2\" 2>/dev/null || echo no-package; } >> '" +
                                     root + "/msiexec.calls'\n"
                                     "exit 0\n");
    fs::permissions(bin + "/msiexec", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    env.push_back("PATH=" + bin + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
}

void Faults::TearDown()
{
    for (server& s : servers)
        stop_update_server(s.handle);
    if (!mounted.empty() && ::umount2(mounted.c_str(), MNT_DETACH) != 0)
        ADD_FAILURE() << "could not unmount " << mounted << ": " << std::strerror(errno);
    if (!install_expected) {
        EXPECT_EQ(msiexec_calls(), strings{}) << "an installer was started";
    }
    AppDir::TearDown();
}

Faults::server& Faults::serve(const json& routes, cert tls)
{
    const std::string n = std::to_string(servers.size());
    const std::string script = root + "/script" + n + ".json";
    write_file(script, json{{"routes", routes}}.dump());
    server s;
    s.requests = root + "/requests" + n + ".log";
    s.tls = tls != cert::none;
    std::string pem, key;
    if (tls != cert::none) {
        const std::string name = tls == cert::good ? "server" : "wronghost";
        pem = fixtures() + "/" + name + ".pem";
        key = fixtures() + "/" + name + ".key";
        const std::string bundle = "SSL_CERT_FILE=" + fixtures() + "/trusted_bundle.pem";
        if (std::find(env.begin(), env.end(), bundle) == env.end())
            env.push_back(bundle);
    }
    EXPECT_TRUE(start_update_server(UPDATE_SERVER_EXE, script, s.handle, s.requests, pem, key));
    servers.push_back(s);
    return servers.back();
}

json Faults::answers(const std::string& urgent_file)
{
    return json::array({
        {{"path", "/api/updates/"}, {"query", {{"urgent", "false"}}}, {"body", R"({"results":[]})"},
         {"content_type", "application/json"}},
        {{"path", "/api/updates/"}, {"query", {{"urgent", "true"}}}, {"body_file", urgent_file},
         {"content_type", "application/json"}},
    });
}

std::string Faults::release(const std::string& url, const std::string& hash)
{
    return json{{"results", json::array({{{"url", url}, {"hash", hash}}})}}.dump();
}

void Faults::configure(const server& s)
{
    write_config(s.tls ? "https" : "http", s.host, std::to_string(s.handle.port));
    write("VERSION", "1\n");
}

run_result Faults::run_measured(long& peak_kib, double timeout_seconds)
{
    const std::string measured = root + "/peak_kib.txt";
    const int status = run_process({"/usr/bin/time", "-f", "%M", "-o", measured, program_}, env,
                                   root + "/stdout.txt", root + "/stderr.txt", timeout_seconds);
    // The figure is the last line; a failing status is reported on a line before it.
    std::string figure = read_file(measured);
    while (!figure.empty() && figure.back() == '\n')
        figure.pop_back();
    peak_kib = std::atol(figure.substr(figure.find_last_of('\n') + 1).c_str());
    EXPECT_GT(peak_kib, 0) << "no measurement: " << read_file(measured);
    return finish(status);
}

bool Faults::mount_var(const std::string& size, std::string& why)
{
    const std::string var = app + "/var";
    fs::create_directories(var);
    const std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", var.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why = "cannot mount a " + size + " tmpfs at APP/var (" + std::strerror(errno) +
              "): a full disk needs root or CAP_SYS_ADMIN here";
        return false;
    }
    mounted = var;
    return true;
}

strings Faults::msiexec_calls() const { return read_lines(root + "/msiexec.calls"); }

std::string Faults::last(const run_result& r)
{
    const strings m = messages(r.log);
    return m.empty() ? std::string("(empty log)") : m.back();
}

bool Faults::has(const run_result& r, const std::string& message)
{
    const strings m = messages(r.log);
    return std::find(m.begin(), m.end(), message) != m.end();
}
