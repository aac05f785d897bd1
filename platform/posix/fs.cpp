#include "platform/fs.h"

#include "platform/common/native_file.h"
#include "platform/posix/environment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

char path_separator()
{
    return '/';
}

std::string executable_path()
{
    // Grow rather than cut: a truncated path would name the wrong APP directory.
    for (std::size_t size = 256; size <= (1u << 20); size *= 2) {
        std::vector<char> buffer(size);
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), size);
        if (length < 0)
            return "";
        if (static_cast<std::size_t>(length) < size)
            return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    return "";
}

bool system_temp_dir(std::string& dir)
{
    dir = temp_dir_from_environment();
    return true;
}

bool use_temp_dir(const std::string& dir)
{
    return !dir.empty() && ::setenv("TMPDIR", dir.c_str(), 1) == 0;
}

mkdir_result make_directory(const std::string& path, uint32_t& error)
{
    if (::mkdir(path.c_str(), 0755) == 0) {
        // The umask may have taken bits away but never adds any: set exactly 0755.
        if (::chmod(path.c_str(), 0755) != 0) {
            error = static_cast<uint32_t>(errno);
            return mkdir_result::failed;
        }
        return mkdir_result::created;
    }
    error = static_cast<uint32_t>(errno);
    if (errno != EEXIST)
        return mkdir_result::failed;
    // A file in the way is no directory to log into; a link or a directory of another
    // user would let that user swap what the run checks and installs.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = static_cast<uint32_t>(errno);
        return mkdir_result::failed;
    }
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    if (ok && info.st_uid != ::geteuid()) {
        error = EPERM;
        ok = false;
    }
    if (ok && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
        ::fchmod(fd, info.st_mode & 07755 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH)) != 0) {
        error = static_cast<uint32_t>(errno);
        ok = false;
    }
    ::close(fd);
    return ok ? mkdir_result::already_exists : mkdir_result::failed;
}

void restrict_new_files()
{
    const mode_t old = ::umask(022);
    ::umask(old | 022);
}

struct file_lock {
    int fd;
};

lock_result lock_file(const std::string& path, file_lock*& lock, uint32_t& error)
{
    lock = nullptr;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = static_cast<uint32_t>(errno);
        return lock_result::failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = static_cast<uint32_t>(errno);
        ::close(fd);
        return error == EWOULDBLOCK ? lock_result::busy : lock_result::failed;
    }
    lock = new file_lock{fd};
    return lock_result::locked;
}

void release_lock(file_lock* lock)
{
    if (lock == nullptr)
        return;
    ::close(lock->fd);
    delete lock;
}

struct native_file {
    int fd;
};

native_file* native_open_output(const std::string& path)
{
    // O_NOFOLLOW: the descriptor lands in a shared temporary directory, where another
    // user could plant a link to a file of ours.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    return new native_file{fd};
}

native_file* native_create_output(const std::string& path, std::string& problem)
{
    // unlink removes a link itself, never its target; ENOENT is the usual case.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        problem = std::strerror(errno);
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = std::strerror(errno);
        return nullptr;
    }
    return new native_file{fd};
}

bool native_write(native_file* file, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(file->fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool native_close(native_file* file)
{
    const bool closed = ::close(file->fd) == 0;
    delete file;
    return closed;
}

namespace {

// Opens without waiting on a FIFO and checks the handle, not the name.
int open_own_file(const std::string& path, std::string& problem, own_file_result& result, struct stat& info)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result = errno == ELOOP ? own_file_result::not_ours : own_file_result::cannot_open;
        problem = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
        return -1;
    }
    result = own_file_result::not_ours;
    if (::fstat(fd, &info) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(info.st_mode))
        problem = "not a regular file";
    else if (info.st_uid != ::geteuid())
        problem = "owned by user " + std::to_string(info.st_uid);
    else if (info.st_nlink != 1)
        problem = std::to_string(info.st_nlink) + " links";
    else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            result = own_file_result::ok;
            return fd;
        }
        problem = std::strerror(errno);
        result = own_file_result::cannot_open;
    }
    ::close(fd);
    return -1;
}

}  // namespace

own_file_result read_own_file(const std::string& path, std::uintmax_t max_size, std::string& content,
                              std::uintmax_t& size, std::string& problem)
{
    content.clear();
    struct stat info;
    own_file_result result = own_file_result::ok;
    const int fd = open_own_file(path, problem, result, info);
    if (fd < 0)
        return result;
    size = static_cast<std::uintmax_t>(info.st_size);
    if (size > max_size) {
        ::close(fd);
        return own_file_result::too_large;
    }
    // Stops at the first piece that takes it past the bound, whatever the size said.
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = std::strerror(errno);
            ::close(fd);
            return own_file_result::cannot_open;
        }
        if (got == 0)
            break;
        content.append(buffer.data(), static_cast<std::size_t>(got));
        if (content.size() > max_size) {
            size = content.size();
            ::close(fd);
            return own_file_result::too_large;
        }
    }
    ::close(fd);
    return own_file_result::ok;
}

struct file_hold {
    int fd;
};

file_hold* hold_file(const std::string& path, std::string& problem)
{
    struct stat info;
    own_file_result result = own_file_result::ok;
    const int fd = open_own_file(path, problem, result, info);
    if (fd < 0)
        return nullptr;
    return new file_hold{fd};
}

void release_file(file_hold* hold)
{
    if (hold == nullptr)
        return;
    ::close(hold->fd);
    delete hold;
}

}  // namespace platform
