#pragma once
// A throw-away APP directory holding a copy of the program, and a way to run it as an
// operator would: a process of its own, its log and exit status read afterwards.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server_process.h"

struct run_result {
    int status = -1;  // -1 from the program reads as 255 here
    std::string out;  // standard output
    std::string err;  // standard error
    std::string log;  // APP/var/agent_recovery.log after the run
};

class AppDir : public ::testing::Test {
protected:
    std::string root;              // scratch directory of the test
    std::string app;               // the APP directory
    std::string tmp;               // TMPDIR of the run: where last_agent.json lands
    std::vector<std::string> env;  // extra NAME=VALUE for the run

    void SetUp() override;
    void TearDown() override;

    // Places the program in APP (as "agent_recovery" or, for Windows, "agent_recovery.exe").
    void install(const std::string& exe, const std::string& name = "agent_recovery");
    void write(const std::string& relative, const std::string& content);
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    void write_config(const std::string& proto, const std::string& host, const std::string& port);

    run_result run(double timeout_seconds = 120);
    // The Windows build under Wine, with the build's own prefix.
    run_result run_under_wine(double timeout_seconds = 300);
    // argv (a Wine run of the program, as run-under-wine.sh makes it) with its output in
    // root and a run that Wine stopped before the program started run once more.
    run_result wine_run(const std::vector<std::string>& argv, const std::vector<std::string>& wine_env,
                        double timeout_seconds);

    // The run's log matched by whole messages (see messages() below).
    static bool has(const run_result& r, const std::string& message);
    static std::size_t count(const run_result& r, const std::string& message);
    static std::string last(const run_result& r);  // the last message that is not blank

    std::string program_;
    run_result finish(int status) const;
};

// WINE_RUN_LOCK=... for tests/wine/run-under-wine.sh: the agent's runs in the build's
// prefix one at a time.
std::string wine_run_lock();

// Path of the Windows build under test (the 32-bit product); empty when it has not been built.
std::string windows_exe();

// Lines of `text` holding `needle`.
std::vector<std::string> lines_with(const std::string& text, const std::string& needle);
// The messages of the log, time stamp, logger name and level stripped ("info: ..." kept as "[info] ...").
std::vector<std::string> messages(const std::string& log);
