#include "installer_support.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace fs = std::filesystem;

namespace {

// Made here only when CTest did not hand a directory over; removed when the test
// program ends.
struct own_fixtures {
    std::string root;
    ~own_fixtures()
    {
        std::error_code ignored;
        if (!root.empty())
            fs::remove_all(root, ignored);
    }
};

// For every Wine process here. TMPDIR decides which wineserver a process joins: one for
// all, the one fresh-prefix.sh started.
const char* wine_env[] = {"WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "TMPDIR=" INSTALLER_WINE_TMPDIR,
                          "WINEPREFIX=" INSTALLER_WINE_PREFIX};

}  // namespace

const std::string& fixtures_dir()
{
    static own_fixtures made;
    static const std::string dir = [] {
        if (fs::exists(INSTALLER_FIXTURES_DIR "/signed_ok.msi"))
            return std::string(INSTALLER_FIXTURES_DIR);
        made.root = make_temp_dir();
        const std::string out = made.root + "/fixtures";
        const int status = run_process({"bash", FIXTURES_SCRIPT, out}, {}, made.root + "/make.log",
                                       made.root + "/make.log", 120);
        if (status != 0)
            throw std::runtime_error("make_fixtures.sh failed: " + read_file(made.root + "/make.log"));
        return out;
    }();
    return dir;
}

std::string fixture(const std::string& name) { return fixtures_dir() + "/" + name; }

std::string sha256_of(const std::string& path)
{
    const std::string data = read_file(path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string installer_prefix() { return INSTALLER_WINE_PREFIX; }

std::vector<std::string> wine_environment() { return {std::begin(wine_env), std::end(wine_env)}; }

std::string installed_payload()
{
    // wixl builds an x86 package; a 64-bit prefix puts its ProgramFilesFolder here.
    return installer_prefix() + "/drive_c/Program Files (x86)/VelquoraTestAgent/agent.txt";
}

bool boot_installer_prefix()
{
    return run_process({BOOT_PREFIX_SCRIPT}, {std::begin(wine_env), std::end(wine_env)}, "", "", 120) == 0;
}

int wine_msiexec(const std::vector<std::string>& args, const std::string& out_file)
{
    std::vector<std::string> argv = {"/usr/bin/msiexec"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {std::begin(wine_env), std::end(wine_env)}, out_file, out_file, 60);
}

void InstallerApp::SetUp()
{
    AppDir::SetUp();
    fs::remove_all(app);
    // Blank and non-ASCII letter: the command line must keep the paths whole.
    app = root + "/APP d\xC3\xA9ploy\xC3\xA9";
    fs::create_directories(app + "/etc");
    install(AGENT_RECOVERY_EXE);
    write("VERSION", "1.0.0\n");
    site = root + "/site";
    recorder = root + "/msiexec";
    fs::create_directories(site);
    fs::create_directories(recorder);
    // Both the HTTPS client and the signature check trust exactly the test CA.
    env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
}

void InstallerApp::TearDown()
{
    stop_update_server(server);
    AppDir::TearDown();
}

std::string InstallerApp::url() const
{
    return scheme + "://127.0.0.1:" + std::to_string(server.port) + "/files/agent.msi";
}

void InstallerApp::serve(const std::string& package, const std::string& hash)
{
    using nlohmann::json;
    fs::copy_file(package, site + "/agent.msi", fs::copy_options::overwrite_existing);
    write_file(site + "/regular.json", R"({"results":[]})");
    const json script = {
        {"routes",
         {{{"path", "/api/updates/"}, {"query", {{"urgent", "false"}}},
           {"body_file", site + "/regular.json"}, {"content_type", "application/json"}},
          {{"path", "/api/updates/"}, {"query", {{"urgent", "true"}}},
           {"body_file", site + "/urgent.json"}, {"content_type", "application/json"}},
          {{"path", "/files/agent.msi"}, {"body_file", site + "/agent.msi"}}}}};
    if (server.pid <= 0) {  // a running server picks the new files up on its next request
        write_file(site + "/script.json", script.dump());
        const bool tls = scheme == "https";
        ASSERT_TRUE(start_update_server(UPDATE_SERVER_EXE, site + "/script.json", server,
                                        site + "/requests.log", tls ? fixture("server.pem") : "",
                                        tls ? fixture("server.key") : ""));
    }
    // The port is known only now; the server reads the body per request.
    write_file(site + "/urgent.json", json{{"results", {{{"url", url()}, {"hash", hash}}}}}.dump());
    write_config(scheme, "127.0.0.1", std::to_string(server.port));
}

void write_recording_msiexec(const std::string& bin)
{
    fs::create_directories(bin);
    write_file(bin + "/msiexec",
               "#!/bin/sh\n"
               ": > \"$RECORDER/args\"\n"
               "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$RECORDER/args\"; done\n"
               "[ -z \"$RECORDED_LOG\" ] || cp \"$RECORDED_LOG\" \"$RECORDER/log_at_start\"\n"
               "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done > \"$RECORDER/descriptors\"\n"
               "[ \"$MSIEXEC_EXIT_CODE\" != KILL ] || kill -KILL $$\n"
               "exit \"${MSIEXEC_EXIT_CODE:-0}\"\n");
    fs::permissions(bin + "/msiexec", fs::perms::owner_all);
}

void InstallerApp::use_recording_msiexec(int exit_code)
{
    const std::string bin = root + "/bin";
    write_recording_msiexec(bin);
    const char* path = std::getenv("PATH");
    env.push_back("PATH=" + bin + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    env.push_back("RECORDER=" + recorder);
    env.push_back("RECORDED_LOG=" + p("var/agent_recovery.log"));
    env.push_back("MSIEXEC_EXIT_CODE=" + std::to_string(exit_code));
}

void InstallerApp::use_wine_msiexec()
{
    // Exactly Wine's launcher first; it finds wine-stable on the rest of this PATH.
    env.push_back("PATH=/usr/bin:/bin");
    env.insert(env.end(), std::begin(wine_env), std::end(wine_env));
}

bool InstallerApp::msiexec_ran() const { return fs::exists(recorder + "/args"); }

std::vector<std::string> InstallerApp::msiexec_args() const { return read_lines(recorder + "/args"); }

run_result InstallerApp::run_in_wine(double timeout_seconds)
{
    std::vector<std::string> wine = env;
    wine.insert(wine.end(), std::begin(wine_env), std::end(wine_env));
    const int status = run_process({WINE_RUNNER, program_}, wine, root + "/stdout.txt", root + "/stderr.txt",
                                   timeout_seconds);
    return finish(status);
}
