#include "server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Polls for the child's exit until the deadline; returns its status or -2.
int wait_until(pid_t pid, clock_type::time_point deadline)
{
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return decode_status(status);
        if (r < 0 && errno != EINTR)
            return -1;
        if (clock_type::now() >= deadline)
            return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> merged_environment(const std::vector<std::string>& changes)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        env.emplace_back(*e);
    for (const auto& change : changes) {
        const std::string name = change.substr(0, change.find('='));
        for (auto it = env.begin(); it != env.end();) {
            if (it->compare(0, name.size() + 1, name + "=") == 0)
                it = env.erase(it);
            else
                ++it;
        }
        if (change.find('=') != std::string::npos)
            env.push_back(change);
    }
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (auto& s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

int run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& stdout_file, const std::string& stderr_file, double timeout_seconds)
{
    if (argv.empty())
        return -1;
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = merged_environment(env);
    std::vector<char*> c_args = c_strings(args);
    std::vector<char*> c_env = c_strings(envs);
    const std::string out = stdout_file.empty() ? "/dev/null" : stdout_file;
    const std::string err = stderr_file.empty() ? "/dev/null" : stderr_file;

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err == out && err != "/dev/null")
        posix_spawn_file_actions_adddup2(&fa, 1, 2);  // one file: don't truncate it twice
    else
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    // Own process group, so a timeout also kills whatever the child started.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, c_args[0], &fa, &attr, c_args.data(), c_env.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return -1;

    const auto deadline = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                                  std::chrono::duration<double>(timeout_seconds));
    int status = wait_until(pid, deadline);
    if (status == -2) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        int ignored = 0;
        waitpid(pid, &ignored, 0);
    }
    return status;
}

bool start_update_server(const std::string& server_exe, const std::string& script_path, server_handle& out,
                         const std::string& request_log, const std::string& tls_cert,
                         const std::string& tls_key)
{
    out = server_handle{};
    std::vector<std::string> args = {server_exe, "--script", script_path,
                                     "--port",   "0",        "--exit-on-stdin-eof"};
    if (!request_log.empty())
        args.insert(args.end(), {"--request-log", request_log});
    if (!tls_cert.empty())
        args.insert(args.end(), {"--tls", tls_cert, tls_key});
    std::vector<char*> c_args = c_strings(args);

    // Our pipe ends are close-on-exec so no other child keeps the server's stdin open.
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, server_exe.c_str(), &fa, nullptr, c_args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (rc != 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        return false;
    }

    std::string line;
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && line.size() < 256) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        if (left <= 0)
            break;
        pollfd p{out_pipe[0], POLLIN, 0};
        int n = poll(&p, 1, int(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        char buf[64];
        ssize_t got = read(out_pipe[0], buf, sizeof buf);
        if (got <= 0)
            break;  // exited before listening
        line.append(buf, std::size_t(got));
    }
    close(out_pipe[0]);

    int port = 0;
    if (line.compare(0, 5, "PORT ") == 0)
        port = std::atoi(line.c_str() + 5);
    out.pid = pid;
    out.stdin_fd = in_pipe[1];
    if (port <= 0) {
        stop_update_server(out);
        return false;
    }
    out.port = port;
    return true;
}

int stop_update_server(server_handle& h)
{
    if (h.stdin_fd >= 0)
        close(h.stdin_fd);
    h.stdin_fd = -1;
    if (h.pid <= 0)
        return -1;
    const pid_t pid = h.pid;
    h.pid = -1;
    kill(pid, SIGTERM);
    int status = wait_until(pid, clock_type::now() + std::chrono::seconds(5));
    if (status == -2) {
        kill(pid, SIGKILL);
        int ignored = 0;
        waitpid(pid, &ignored, 0);
    }
    return status;
}
