// install_agent in this process, with a stand-in msiexec found through PATH: what the
// installer is handed and what comes back from it.
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "installer/execution.h"
#include "installer_support.h"

namespace fs = std::filesystem;

namespace {

using strings = std::vector<std::string>;

class InstallAgent : public ::testing::Test {
protected:
    std::string root, bin, recorder, log_file;

    void SetUp() override
    {
        root = make_temp_dir();
        bin = root + "/bin";
        recorder = root + "/recorder";
        log_file = root + "/records.log";
        fs::create_directories(recorder);
        write_recording_msiexec(bin);
        const char* path = std::getenv("PATH");
        saved_path_ = path != nullptr ? path : "";
        set_path(bin + ":" + saved_path_);
        setenv("RECORDER", recorder.c_str(), 1);
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(log_file, true);
        sink->set_pattern("[%l] %v");
        previous_ = spdlog::default_logger();
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("installer_test", sink));
    }

    void TearDown() override
    {
        spdlog::set_default_logger(previous_);
        set_path(saved_path_);
        unsetenv("RECORDER");
        unsetenv("MSIEXEC_EXIT_CODE");
        fs::remove_all(root);
    }

    static void set_path(const std::string& path) { setenv("PATH", path.c_str(), 1); }

    strings records() const
    {
        spdlog::default_logger()->flush();
        return read_lines(log_file);
    }

    static std::string installer_log()
    {
        return fs::read_symlink("/proc/self/exe").parent_path().string() + "/var/update-agent-emergency.log";
    }

private:
    std::string saved_path_;
    std::shared_ptr<spdlog::logger> previous_;
};

TEST_F(InstallAgent, PathsWithBlanksAndNonAsciiReachMsiexecWhole)
{
    const std::string package = root + "/pak d\xC3\xA9j\xC3\xA0  two blanks/agent_recovery.msi";
    ASSERT_EQ(install_agent(package), 0);
    EXPECT_EQ(read_lines(recorder + "/args"), (strings{"/i", package, "/qn", "/L*v", installer_log()}));
    EXPECT_EQ(records(), (strings{"[info] Executing command \"msiexec /i \"" + package + "\" /qn /L*v \"" +
                                      installer_log() + "\"\"",
                                  "[info] Installer returned with code 0"}));
}

// A POSIX exit status has 8 bits: 1603 and 3010 are checked with the Windows build under Wine.
TEST_F(InstallAgent, ExitCodeComesBackAsTheInstallerGaveIt)
{
    struct Case {
        const char* exit;
        int expected;
    };
    for (const Case& c : {Case{"0", 0}, Case{"1", 1}, Case{"67", 67}, Case{"194", 194},
                          Case{"255", 255},      // not -1: nothing reads it as a signed byte
                          Case{"KILL", 137}}) {  // killed by SIGKILL: as a shell reports it
        setenv("MSIEXEC_EXIT_CODE", c.exit, 1);
        EXPECT_EQ(install_agent(root + "/agent_recovery.msi"), c.expected) << c.exit;
        EXPECT_EQ(records().back(), "[info] Installer returned with code " + std::to_string(c.expected))
            << c.exit;
    }
}

TEST_F(InstallAgent, MsiexecThatCannotBeStarted)
{
    struct Case {
        const char* what;
        std::string path;
        bool executable;
        const char* record;
    };
    const std::string empty = root + "/empty";
    fs::create_directories(empty);
    for (const Case& c : {Case{"none on PATH", empty, true, "[error] CreateProcess failed: 2"},
                          Case{"not executable", bin, false, "[error] CreateProcess failed: 5"}}) {
        fs::permissions(bin + "/msiexec",
                        c.executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
        set_path(c.path);
        const std::size_t before = records().size();
        EXPECT_EQ(install_agent(root + "/agent_recovery.msi"), -1) << c.what;
        const strings r = records();
        ASSERT_EQ(r.size(), before + 2) << c.what;
        EXPECT_EQ(r[before].substr(0, 33), "[info] Executing command \"msiexec") << c.what;
        EXPECT_EQ(r[before + 1], c.record) << c.what;
        EXPECT_FALSE(fs::exists(recorder + "/args")) << c.what;
    }
}

}  // namespace
