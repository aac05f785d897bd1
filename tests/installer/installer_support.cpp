#include "build_paths.h"
#include "installer_support.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// For every Wine process here. TMPDIR decides which wineserver a process joins: one for
// all, the one fresh-prefix.sh started. Wine reads Linux paths in the locale's character
// set: UTF-8 whatever the caller's, or the APP directory's letter comes out mangled.
const std::vector<std::string> wine_env = {"WINEDEBUG=-all",
                                           "WINEDLLOVERRIDES=mscoree,mshtml=", "LC_ALL=C.UTF-8",
                                           std::string("TMPDIR=") + build_paths::installer_wine_tmpdir,
                                           std::string("WINEPREFIX=") + build_paths::installer_wine_prefix};

}  // namespace

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string installer_prefix()
{
    return build_paths::installer_wine_prefix;
}

std::vector<std::string> wine_environment()
{
    return wine_env;
}

std::string installed_payload()
{
    // wixl builds an x86 package; a 64-bit prefix puts its ProgramFilesFolder here.
    return installer_prefix() + "/drive_c/Program Files (x86)/VelquoraTestAgent/agent.txt";
}

bool boot_installer_prefix()
{
    return run_process({build_paths::boot_prefix_script}, wine_env, "", "", 120) == 0;
}

int wine_msiexec(const std::vector<std::string>& args, const std::string& out_file)
{
    std::vector<std::string> argv = {"/usr/bin/msiexec"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {std::begin(wine_env), std::end(wine_env)}, out_file, out_file, 60);
}

void InstallerApp::SetUp()
{
    UpdateSite::SetUp();
    fs::remove_all(app);
    // Blank and non-ASCII letter: the command line must keep the paths whole.
    app = root + "/APP d\xC3\xA9ploy\xC3\xA9";
    fs::create_directories(app + "/etc");
    install(build_paths::agent_recovery_exe);
    write("VERSION", "1.0.0\n");
    files = root + "/site";
    recorder = root + "/msiexec";
    fs::create_directories(files);
    fs::create_directories(recorder);
    // Both the HTTPS client and the signature check trust exactly the test CA.
    env.push_back("SSL_CERT_FILE=" + fixture("trusted_bundle.pem"));
}

void InstallerApp::TearDown()
{
    UpdateSite::TearDown();
}

std::string InstallerApp::url() const
{
    return site.servers.front().url() + "/files/agent.msi";
}

void InstallerApp::serve(const std::string& package, const std::string& hash)
{
    fs::copy_file(package, files + "/agent.msi", fs::copy_options::overwrite_existing);
    write_file(files + "/regular.json", R"({"results":[]})");
    if (site.servers.empty()) {  // a running server picks the new files up on its next request
        json routes = answers(files + "/urgent.json", files + "/regular.json");
        routes.push_back({{"path", "/files/agent.msi"}, {"body_file", files + "/agent.msi"}});
        if (UpdateSite::serve(routes, scheme == "https" ? cert::good : cert::none).port() == 0)
            FAIL() << "the update server did not start";
    }
    // The port is known only now; the server reads the body per request.
    write_file(files + "/urgent.json", release(url(), hash));
    write_config(scheme, "127.0.0.1", std::to_string(site.servers.front().port()));
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

bool InstallerApp::msiexec_ran() const
{
    return fs::exists(recorder + "/args");
}

std::vector<std::string> InstallerApp::msiexec_args() const
{
    return read_lines(recorder + "/args");
}

run_result InstallerApp::run_in_wine(double timeout_seconds)
{
    std::vector<std::string> wine = env;
    wine.insert(wine.end(), std::begin(wine_env), std::end(wine_env));
    return wine_run({build_paths::wine_runner, program_}, wine, timeout_seconds);
}
