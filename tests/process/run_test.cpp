// The run's set-up steps, as a process: var directory, logger, configuration files.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "build_paths.h"
#include "app_fixture.h"

namespace {

using strings = std::vector<std::string>;

// A port nothing listens on: the connection is refused at once.
const char* closed_port = "1";

class Run : public AppDir {
protected:
    strings head(const run_result& r, std::size_t n) const
    {
        strings m = messages(r.log);
        if (m.size() > n)
            m.resize(n);
        return m;
    }
    std::string p(const std::string& relative) const { return app + "/" + relative; }
};

TEST_F(Run, MissingConfigEndsTheRun)
{
    write("VERSION", "1.0\n");
    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Creating logger at " + p("var/agent_recovery.log")), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Starting"), std::string::npos) << "the file phase writes nothing to stdout";
    EXPECT_EQ(messages(r.log), (strings{"[info] Starting Recovery agent 1.0.1",
                                        "[info] Getting configuration file from " + p("etc/config"),
                                        "[error] Could not open " + p("etc/config")}));
}

TEST_F(Run, ConfigThatIsNotJson)
{
    for (const char* bad : {"// agent settings\n{\"server_proto\":\"http\"}", "", "{\"server_proto\":"}) {
        write("etc/config", bad);
        write("VERSION", "1.0\n");
        const run_result r = run();
        EXPECT_EQ(r.status, 255) << bad;
        EXPECT_EQ(messages(r.log).back(), "[error] Caught exception when parsing JSON") << bad;
        std::filesystem::remove_all(app + "/var");
    }
}

TEST_F(Run, ConfigOfTheWrongShapeIsNamed)
{
    struct Case {
        const char* config;
        const char* message;
    };
    for (const Case& c : {
             Case{R"({"server_proto":"http","server_url":"127.0.0.1","server_port":8080})",
                  "[error] Invalid configuration: server_port is a number, not a string"},
             Case{R"({"server_url":"127.0.0.1","server_port":"1"})",
                  "[error] Invalid configuration: server_proto is missing"},
             Case{R"(["http"])", "[error] Invalid configuration: the document is an array, not an object"},
         }) {
        write("etc/config", c.config);
        write("VERSION", "1.0\n");
        const run_result r = run();
        EXPECT_EQ(r.status, 255) << c.config;
        EXPECT_EQ(messages(r.log).back(), c.message);
        EXPECT_EQ(r.err, "");
        std::filesystem::remove_all(app + "/var");
    }
}

TEST_F(Run, BomTrailingTextAndNoInventoryReachesTheServerStep)
{
    write("etc/config",
          std::string("\xEF\xBB\xBF") +
              R"({"server_proto":"HTTP","server_url":"127.0.0.1","server_port":"1"} # trailing)");
    write("VERSION", "2.3.1 more words\r\n");
    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    const std::string query = "HTTP://127.0.0.1:1/api/updates/?platform=windows&urgent=false&version=2.3.1";
    EXPECT_EQ(head(r, 11),
              (strings{"[info] Starting Recovery agent 1.0.1",
                       "[info] Getting configuration file from " + p("etc/config"),
                       "[info] Getting configuration file from " + p("etc/inventory.conf"),
                       "[error] Could not open " + p("etc/inventory.conf"),
                       "[info] Couldn't find inventory conf. We continue with just the config",
                       "[info] The API server is HTTP://127.0.0.1:1", "[info] The version is 2.3.1",
                       "[info] Using TLS: false",
                       "[info] Getting last  agent from " + query + " to " + tmp + "/last_agent.json",
                       "[info] Opening " + query + " with headers Accept: application/json and secure false",
                       "[error] InternetOpenUrlA failed: 12029"}));
    EXPECT_EQ(messages(r.log).back(), "[info] We have not reached any url, so we stop here");
}

TEST_F(Run, InventoryProblemsLeaveTheConfiguredServerAlone)
{
    write_config("http", "127.0.0.1", closed_port);
    write("VERSION", "1.0");
    struct Case {
        const char* inventory;
        strings expected;
    };
    for (const Case& c : {
             Case{"",
                  {"[error] Caught exception when parsing JSON",
                   "[info] Couldn't find inventory conf. We continue with just the config"}},
             Case{"{\"alternative_urls\": [",
                  {"[error] Caught exception when parsing JSON",
                   "[info] Couldn't find inventory conf. We continue with just the config"}},
             Case{R"({"alternative_urls": []})", {}},
             Case{R"({"alternative_urls": "http://127.0.0.1:1"})",
                  {"[info] Unusable inventory conf (alternative_urls is a string, not an array). "
                   "We continue with just the config"}},
             Case{R"({"other": 1})",
                  {"[info] Unusable inventory conf (alternative_urls is missing). We continue with just the "
                   "config"}},
         }) {
        write("etc/inventory.conf", c.inventory);
        const run_result r = run();
        EXPECT_EQ(r.status, 0) << c.inventory;
        strings m = messages(r.log);
        const strings between(m.begin() + 3, m.begin() + 3 + static_cast<long>(c.expected.size()));
        EXPECT_EQ(between, c.expected) << c.inventory;
        EXPECT_EQ(m[3 + c.expected.size()], "[info] The API server is http://127.0.0.1:1") << c.inventory;
        EXPECT_EQ(lines_with(r.log, "Couldn't reach").size(), 1u) << "only the configured server";
        std::filesystem::remove_all(app + "/var");
    }
}

TEST_F(Run, VersionFile)
{
    write_config("http", "127.0.0.1", closed_port);
    run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(messages(r.log).back(), "[error] Could not open file " + p("VERSION"));

    write("VERSION", "");
    r = run();
    EXPECT_EQ(r.status, 0);
    const strings m = messages(r.log);
    EXPECT_NE(std::find(m.begin(), m.end(), "[info] The version is "), m.end())
        << "an empty version does not stop the run";
    EXPECT_EQ(lines_with(r.log, "Starting Recovery agent").size(), 2u) << "runs append to the log";
}

// A file, a link to a directory, or another user's directory where var belongs.
TEST_F(Run, VarDirectoryThatCannotBeCreated)
{
    write_config("http", "127.0.0.1", closed_port);
    const std::string elsewhere = root + "/elsewhere";
    std::filesystem::create_directories(elsewhere);
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"file", [&] { write("var", "a file where the directory belongs"); }},
        {"link", [&] { std::filesystem::create_directory_symlink(elsewhere, app + "/var"); }},
        {"another user's", [&] {
             std::filesystem::create_directories(app + "/var");
             ASSERT_EQ(::chown((app + "/var").c_str(), ::geteuid() + 1, ::getegid()), 0);
         }}};
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        if (what == "another user's" && ::geteuid() != 0)
            continue;  // only root can give a directory away
        std::filesystem::remove_all(app + "/var");
        plant();
        const run_result r = run();
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find("var directory doesnt exist"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Creating logger"), std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << "the run wrote through the link";
}

TEST_F(Run, LogFileThatCannotBeOpened)
{
    write_config("http", "127.0.0.1", closed_port);
    std::filesystem::create_directories(app + "/var/agent_recovery.log");
    const run_result r = run();
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Creating logger at " + p("var/agent_recovery.log")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Could not get logger, returning"), std::string::npos) << r.out;
}

TEST_F(Run, ExistingVarDirectoryIsNoProblem)
{
    write_config("http", "127.0.0.1", closed_port);
    write("VERSION", "1");
    std::filesystem::create_directories(app + "/var");
    std::filesystem::permissions(app + "/var", std::filesystem::perms::all);
    const run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(messages(r.log).front(), "[info] Starting Recovery agent 1.0.1");
    EXPECT_EQ(std::filesystem::status(app + "/var").permissions() &
                  (std::filesystem::perms::group_write | std::filesystem::perms::others_write),
              std::filesystem::perms::none)
        << "others may still write in var";
}

// The Windows build, run by Wine: real kernel32 paths, CR LF records, -1 seen as 255.
TEST_F(Run, WindowsBuildUnderWine)
{
    const std::string exe = windows_exe();
    ASSERT_FALSE(exe.empty()) << "build " << build_paths::windows_agent_exe << " first";
    install(exe, "agent_recovery.exe");
    write_config("http", "127.0.0.1", closed_port);
    run_result r = run_under_wine();
    EXPECT_EQ(r.status, 255);
    ASSERT_FALSE(r.log.empty()) << r.out << r.err;
    EXPECT_NE(r.log.find("] [recovery_logger] [info] Starting Recovery agent 1.0.1\r\n"), std::string::npos)
        << r.log;
    const strings m = messages(r.log);
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m.back().substr(0, 29), "[error] Could not open file Z");
    EXPECT_EQ(m.back().substr(m.back().size() - 12), "\\APP\\VERSION");
    EXPECT_EQ(lines_with(r.log, "\r").size(), m.size()) << "every record ends in CR LF";
    EXPECT_NE(r.out.find("Creating logger at Z:"), std::string::npos) << r.out;

    write("VERSION", "4.5.6\r\n");
    r = run_under_wine();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(messages(r.log).back(), "[info] We have not reached any url, so we stop here");
    EXPECT_EQ(lines_with(r.log, "[error] InternetOpenUrlA failed: 12029").size(), 1u) << r.log;
    EXPECT_EQ(lines_with(r.log, "The version is 4.5.6").size(), 1u);
}

}  // namespace

namespace {

// Another Windows program holding the log without sharing: the logger cannot open it.
TEST_F(Run, LogHeldWithoutSharingUnderWine)
{
    const std::string exe = windows_exe();
    ASSERT_FALSE(exe.empty()) << "build " << build_paths::windows_agent_exe << " first";
    ASSERT_TRUE(std::filesystem::exists(build_paths::windows_hold_file_exe))
        << "build " << build_paths::windows_agent_exe << " first";
    install(exe, "agent_recovery.exe");
    write_config("http", "127.0.0.1", closed_port);
    write("VERSION", "1");
    write("var/agent_recovery.log", "records of an earlier run\r\n");

    const std::string ready = root + "/held";
    std::vector<std::string> wine_env = env;
    wine_env.push_back(std::string("WINEPREFIX=") + build_paths::wine_prefix_dir);
    // The holder runs in the background for a bounded time; the run happens meanwhile.
    const std::string holder = "\"" + std::string(build_paths::wine_runner) + "\" \"" +
                               build_paths::windows_hold_file_exe + "\" '" + app +
                               "/var/agent_recovery.log' '" + ready + "' 20 >/dev/null 2>&1 &";
    ASSERT_EQ(run_process({"bash", "-c", holder}, wine_env, "", "", 30), 0);
    for (int i = 0; i < 300 && !std::filesystem::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(std::filesystem::exists(ready)) << "the holder never held the file";

    const run_result r = run_under_wine();
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Could not get logger, returning"), std::string::npos) << r.out;
    EXPECT_EQ(read("var/agent_recovery.log"), "records of an earlier run\r\n") << "nothing appended";
}

}  // namespace

namespace {

// An APP directory whose program path is longer than the 260-byte buffers Windows
// programs traditionally use: every path must come out whole.
class LongPath : public AppDir {
protected:
    std::string long_app;
    void SetUp() override
    {
        AppDir::SetUp();
        long_app = root + "/" + std::string(120, 'd') + "/" + std::string(120, 'e') + "/APP";
        std::filesystem::create_directories(long_app + "/etc");
        write_file(long_app + "/etc/config",
                   R"({"server_proto":"http","server_url":"127.0.0.1","server_port":"1"})");
        write_file(long_app + "/VERSION", "1.0");
    }
};

TEST_F(LongPath, PathsComeOutWhole)
{
    const std::string program = long_app + "/agent_recovery";
    std::filesystem::copy_file(build_paths::agent_recovery_exe, program);
    ASSERT_GT(program.size(), 260u);
    EXPECT_EQ(run_process({program}, env, root + "/out", root + "/err", 60), 0);
    const std::vector<std::string> m = messages(read_file(long_app + "/var/agent_recovery.log"));
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[1], "[info] Getting configuration file from " + long_app + "/etc/config");
    EXPECT_EQ(m.back(), "[info] We have not reached any url, so we stop here");
}

// Wine's "A" file functions stop at 259 characters, so the APP directory is made just
// short enough for its var directory and log, while the program's own path is longer
// than 260.
TEST_F(LongPath, PathsComeOutWholeUnderWine)
{
    const std::string exe = windows_exe();
    ASSERT_FALSE(exe.empty()) << "build " << build_paths::windows_agent_exe << " first";
    const std::size_t windows_length = 250;  // "Z:" + the POSIX path
    ASSERT_LT(root.size() + 7, windows_length);
    long_app = root + "/" + std::string(windows_length - 2 - root.size() - 5, 'w') + "/APP";
    std::filesystem::create_directories(long_app + "/etc");
    write_file(long_app + "/etc/config",
               R"({"server_proto":"http","server_url":"127.0.0.1","server_port":"1"})");
    write_file(long_app + "/VERSION", "1.0");
    const std::string program = long_app + "/agent_recovery.exe";
    std::filesystem::copy_file(exe, program);
    std::vector<std::string> wine_env = env;
    wine_env.push_back(std::string("WINEPREFIX=") + build_paths::wine_prefix_dir);
    wine_env.push_back(wine_run_lock());
    EXPECT_EQ(run_process({build_paths::wine_runner, program}, wine_env, root + "/out", root + "/err", 300),
              0);
    const std::vector<std::string> m = messages(read_file(long_app + "/var/agent_recovery.log"));
    ASSERT_GE(m.size(), 2u);
    std::string windows_app = "Z:" + long_app;
    std::replace(windows_app.begin(), windows_app.end(), '/', '\\');
    ASSERT_GT(windows_app.size() + std::string("\\agent_recovery.exe").size(), 260u);
    EXPECT_EQ(m[1], "[info] Getting configuration file from " + windows_app + "\\etc\\config");
    EXPECT_EQ(m.back(), "[info] We have not reached any url, so we stop here");

    // An APP directory itself past 260: a cut module path would name its parent (and log
    // there); the whole path names a var directory that Wine's 259-character limit refuses.
    const std::string deeper = root + "/" + std::string(255, 'v') + "/APP";
    std::filesystem::create_directories(deeper);
    const std::string deeper_program = deeper + "/agent_recovery.exe";
    std::filesystem::copy_file(exe, deeper_program);
    EXPECT_EQ(run_process({build_paths::wine_runner, deeper_program}, wine_env, root + "/out2",
                          root + "/err2", 300),
              255);
    EXPECT_NE(read_file(root + "/out2").find("var directory doesnt exist"), std::string::npos)
        << read_file(root + "/out2");
    EXPECT_FALSE(std::filesystem::exists(root + "/" + std::string(255, 'v') + "/var"));
}

}  // namespace
