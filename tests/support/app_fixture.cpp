#include "build_paths.h"
#include "app_fixture.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

void AppDir::SetUp()
{
    root = make_temp_dir();
    app = root + "/APP";
    tmp = root + "/tmp";
    fs::create_directories(app + "/etc");
    fs::create_directories(tmp);
    env = {"TMPDIR=" + tmp};
    install(build_paths::agent_recovery_exe);
}

void AppDir::TearDown()
{
    if (!HasFailure())
        fs::remove_all(root);
    else
        std::cerr << "kept for inspection: " << root << "\n";
}

void AppDir::install(const std::string& exe, const std::string& name)
{
    program_ = app + "/" + name;
    fs::copy_file(exe, program_, fs::copy_options::overwrite_existing);
}

void AppDir::write(const std::string& relative, const std::string& content)
{
    const fs::path path = app + "/" + relative;
    fs::create_directories(path.parent_path());
    write_file(path.string(), content);
}

std::string AppDir::read(const std::string& relative) const
{
    return read_file(app + "/" + relative);
}

bool AppDir::exists(const std::string& relative) const
{
    return fs::exists(app + "/" + relative);
}

void AppDir::write_config(const std::string& proto, const std::string& host, const std::string& port)
{
    write("etc/config", "{\"server_proto\":\"" + proto + "\",\"server_url\":\"" + host +
                            "\",\"server_port\":\"" + port + "\",\"unrelated\":[1,2]}\n");
}

run_result AppDir::finish(int status) const
{
    run_result r;
    r.status = status;
    r.out = read_file(root + "/stdout.txt");
    r.err = read_file(root + "/stderr.txt");
    r.log = read_file(app + "/var/agent_recovery.log");
    return r;
}

run_result AppDir::run(double timeout_seconds)
{
    const int status =
        run_process({program_}, env, root + "/stdout.txt", root + "/stderr.txt", timeout_seconds);
    return finish(status);
}

run_result AppDir::run_under_wine(double timeout_seconds)
{
    std::vector<std::string> wine_env = env;
    wine_env.push_back(std::string("WINEPREFIX=") + build_paths::wine_prefix_dir);
    wine_env.push_back("WINEDEBUG=-all");
    wine_env.push_back(wine_run_lock());
    return wine_run({build_paths::wine_runner, program_}, wine_env, timeout_seconds);
}

run_result AppDir::wine_run(const std::vector<std::string>& argv, const std::vector<std::string>& wine_env,
                            double timeout_seconds)
{
    const std::string log_before = read_file(app + "/var/agent_recovery.log");
    run_result r =
        finish(run_process(argv, wine_env, root + "/stdout.txt", root + "/stderr.txt", timeout_seconds));
    // Now and then Wine ends a run with 1 before the program has started: no output,
    // nothing logged. The program never ends so itself (it logs before every exit but a
    // lost var directory's, which is 255), so that run was Wine's.
    if (r.status == 1 && r.out.empty() && r.err.empty() && r.log == log_before) {
        std::cout << "Wine ended the run with 1 before the program started; running it again\n";
        std::this_thread::sleep_for(std::chrono::seconds(1));
        r = finish(run_process(argv, wine_env, root + "/stdout.txt", root + "/stderr.txt", timeout_seconds));
    }
    return r;
}

std::string wine_run_lock()
{
    // Runs in one prefix share its TEMP (Wine takes it from the prefix's registry, not
    // from the environment) and so TEMP\last_agent.json, which a run now refuses to
    // share: parallel test cases take turns.
    return std::string("WINE_RUN_LOCK=") + build_paths::wine_prefix_dir + ".runs.lock";
}

bool AppDir::has(const run_result& r, const std::string& message)
{
    return count(r, message) > 0;
}

std::size_t AppDir::count(const run_result& r, const std::string& message)
{
    const std::vector<std::string> m = messages(r.log);
    return static_cast<std::size_t>(std::count(m.begin(), m.end(), message));
}

std::string AppDir::last(const run_result& r)
{
    std::vector<std::string> m = messages(r.log);
    while (!m.empty() && m.back().empty())
        m.pop_back();
    return m.empty() ? std::string("(empty log)") : m.back();
}

std::string windows_exe()
{
    const std::string exe = build_paths::windows_agent_exe;
    return fs::exists(exe) ? exe : "";
}

std::vector<std::string> lines_with(const std::string& text, const std::string& needle)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
    return found;
}

std::vector<std::string> messages(const std::string& log)
{
    std::vector<std::string> result;
    std::istringstream in(log);
    const std::string name = "[recovery_logger] ";
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto at = line.find(name);
        result.push_back(at == std::string::npos ? line : line.substr(at + name.size()));
    }
    return result;
}
