#include <regex>

#include <gtest/gtest.h>
#include <spdlog/details/os.h>
#include <spdlog/spdlog.h>

#include "logging/logging.h"

#include "files.h"

namespace {

const std::string eol = SPDLOG_EOL;  // CR LF on Windows, LF elsewhere

struct Logging : ::testing::Test {
    std::filesystem::path dir = make_temp_dir("logging");
    std::filesystem::path log = dir / "agent_recovery.log";
    std::shared_ptr<spdlog::logger> console = spdlog::default_logger();

    ~Logging() override
    {
        spdlog::drop_all();
        spdlog::set_default_logger(console);
        std::filesystem::remove_all(dir);
    }

    // Installs the file logger as a run does, logs, and closes it as process end would.
    void run(const std::vector<std::string>& messages)
    {
        ASSERT_TRUE(init_logging(log.string()));
        for (const auto& m : messages)
            spdlog::info(m);
        spdlog::drop_all();
        spdlog::set_default_logger(console);
    }

    static std::size_t record_size(const std::string& message)
    {
        // "[YYYY-mm-dd HH:MM:SS.mmm] [recovery_logger] [info] " + message + eol
        return 26 + 18 + 7 + message.size() + eol.size();
    }
};

// What reaches the console is checked by the process-level tests: the Windows console
// sink writes to the console handle, which no in-process capture sees.
TEST_F(Logging, RecordFormat)
{
    ASSERT_TRUE(init_logging(log.string()));
    spdlog::info("Starting Recovery agent {}", "1.0.1");
    spdlog::error("Could not open {}", "x");
    spdlog::debug("File {} removed!", "y");
    spdlog::info("Urgent: {}\nNon Urgent: {}", "", "");
    spdlog::drop_all();
    spdlog::set_default_logger(console);

    const std::string text = read_file(log);
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[recovery_logger\] )";
    const std::regex expected("^" + stamp + R"(\[info\] Starting Recovery agent 1\.0\.1)" + eol + stamp +
                              R"(\[error\] Could not open x)" + eol + stamp +
                              R"(\[info\] Urgent: \nNon Urgent: )" + eol + "$");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_EQ(text.find("Creating logger"), std::string::npos);
    EXPECT_EQ(text.find("removed"), std::string::npos) << "debug records are below the level";
}

TEST_F(Logging, RunsAppend)
{
    run({"first run"});
    run({"second run"});
    const std::string text = read_file(log);
    const auto first = text.find("first run");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("second run", first), std::string::npos);
}

TEST_F(Logging, RotatesOnlyPastTheLimit)
{
    const std::string message = "filler record";
    // Exactly at the limit after one record: no rotation.
    write_file(log, std::string(log_max_size - record_size(message), 'x'));
    run({message});
    EXPECT_EQ(std::filesystem::file_size(log), log_max_size);
    EXPECT_FALSE(std::filesystem::exists(dir / "agent_recovery.1.log"));

    // The next record rotates; it starts the new live file.
    run({"next"});
    EXPECT_EQ(std::filesystem::file_size(dir / "agent_recovery.1.log"), log_max_size);
    EXPECT_EQ(std::filesystem::file_size(log), record_size("next"));
}

TEST_F(Logging, LargeFileIsNotRotatedOnOpenAndAtMostThreeFilesExist)
{
    write_file(dir / "agent_recovery.2.log", "oldest");
    write_file(dir / "agent_recovery.1.log", "older");
    write_file(log, std::string(log_max_size + 100, 'y'));

    ASSERT_TRUE(init_logging(log.string()));
    EXPECT_EQ(std::filesystem::file_size(log), log_max_size + 100) << "opening never rotates";
    spdlog::info("rotating record");
    spdlog::drop_all();
    spdlog::set_default_logger(console);

    EXPECT_EQ(read_file(dir / "agent_recovery.2.log"), "older");
    EXPECT_EQ(std::filesystem::file_size(dir / "agent_recovery.1.log"), log_max_size + 100);
    EXPECT_EQ(std::filesystem::file_size(log), record_size("rotating record"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()),
              3);
}

TEST_F(Logging, UnopenableFileKeepsTheConsoleLogger)
{
    std::filesystem::create_directories(log);  // a directory where the file should be
    EXPECT_FALSE(init_logging(log.string()));
    EXPECT_EQ(spdlog::default_logger(), console);
}

}  // namespace
