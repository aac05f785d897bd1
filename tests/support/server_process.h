// Process helpers for tests: start/stop the scriptable update server and run
// child programs with a timeout. Linux only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "files.h"

struct server_handle {
    pid_t pid = -1;
    int port = 0;
    int stdin_fd = -1;  // write end of the server's stdin; closing it stops the server
};

// Starts update_server with the script on a free loopback port and waits (at most
// 10 s) for its "PORT n" line. The server is started with --exit-on-stdin-eof, so
// it also goes away if the test process dies. Returns false on failure.
bool start_update_server(const std::string& server_exe, const std::string& script_path, server_handle& out,
                         const std::string& request_log = "", const std::string& tls_cert = "",
                         const std::string& tls_key = "");

// SIGTERM, waits up to 5 s, then SIGKILL. Returns the exit status as run_process
// does: 0 after a clean stop, 3 if an exit_server route had already ended it,
// -2 if it had to be killed, -1 for a handle that was not running.
int stop_update_server(server_handle& h);

// Runs argv[0] (looked up in PATH if it has no '/') without a shell. env entries
// are "NAME=VALUE" to set or override, or "NAME" to remove. Empty file names mean
// /dev/null; stdin is /dev/null. Returns the exit code, 128+signal if killed by a
// signal, -1 if it could not be started, -2 on timeout (the child is killed).
int run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& stdout_file, const std::string& stderr_file, double timeout_seconds);
