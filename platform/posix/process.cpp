#include "platform/process.h"

#include "platform/common/win_errors.h"

#include <cerrno>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace platform {

namespace {

// Splits a command line as the Microsoft C runtime does: blanks separate words,
// double quotes group, 2n backslashes before a quote give n and toggle quoting,
// 2n+1 give n and a literal quote; other backslashes are literal.
std::vector<std::string> split_command_line(const char* line)
{
    std::vector<std::string> words;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            break;
        std::string word;
        bool quoted = false;
        while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                std::size_t slashes = 0;
                while (*p == '\\') {
                    ++slashes;
                    ++p;
                }
                if (*p == '"') {
                    word.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        word += '"';
                        ++p;
                    }
                } else {
                    word.append(slashes, '\\');
                }
            } else if (*p == '"') {
                if (quoted && p[1] == '"') {  // "" inside quotes is a literal quote
                    word += '"';
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
            } else {
                word += *p++;
            }
        }
        words.push_back(word);
    }
    return words;
}

uint32_t windows_error(int posix_error)
{
    switch (posix_error) {
    case ENOENT:
        return error_file_not_found;
    case EACCES:
        return error_access_denied;
    case ENOMEM:
        return error_not_enough_memory;
    case ENOEXEC:
        return error_bad_exe_format;
    case E2BIG:
        return error_filename_exced_range;
    default:
        return static_cast<uint32_t>(posix_error);
    }
}

}  // namespace

struct process {
    pid_t pid;
    int status;
};

process* process_start(char* command_line, uint32_t& error)
{
    std::vector<std::string> words = split_command_line(command_line);
    if (words.empty()) {
        error = error_file_not_found;
        return nullptr;
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    // As CreateProcess without handle inheritance: the child gets the standard streams
    // only, none of this program's files (its log) or sockets.
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
        error = error_not_enough_memory;
        return nullptr;
    }
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = windows_error(rc);
        return nullptr;
    }
    return new process{pid, 0};
}

bool process_wait(process* child, uint32_t& error)
{
    for (;;) {
        const pid_t rc = ::waitpid(child->pid, &child->status, 0);
        if (rc == child->pid)
            return true;
        if (rc < 0 && errno == EINTR)
            continue;
        error = windows_error(errno);
        return false;
    }
}

bool process_exit_code(process* child, uint32_t& code, uint32_t& error)
{
    if (WIFEXITED(child->status)) {
        code = static_cast<uint32_t>(WEXITSTATUS(child->status));
        return true;
    }
    if (WIFSIGNALED(child->status)) {
        // As a shell reports it; Windows has no signals to mirror.
        code = 128u + static_cast<uint32_t>(WTERMSIG(child->status));
        return true;
    }
    error = error_invalid_function;  // no exit status to read
    return false;
}

void process_close(process* child)
{
    delete child;
}

}  // namespace platform
