#include "platform/site_fs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

std::string error_text(int error)
{
    return std::strerror(error);
}

void pause_ms(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

struct site_lock {
    int fd;
};

site_lock_result lock_site(const std::filesystem::path& path, unsigned wait_ms, site_lock*& lock,
                           std::string& problem)
{
    lock = nullptr;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = error_text(errno);
        return site_lock_result::failed;
    }
    // flock reaches other machines on NFS (as a byte-range lock) and dies with its process.
    for (unsigned waited = 0;; waited += 100) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            lock = new site_lock{fd};
            return site_lock_result::locked;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            problem = error_text(errno);
            ::close(fd);
            return site_lock_result::failed;
        }
        if (waited >= wait_ms) {
            problem = "another process holds the lock (waited " + std::to_string(wait_ms) + " ms)";
            ::close(fd);
            return site_lock_result::busy;
        }
        pause_ms(100);
    }
}

void release_site_lock(site_lock* lock)
{
    if (lock == nullptr)
        return;
    ::close(lock->fd);
    delete lock;
}

struct new_file {
    int fd;
};

new_file* create_new_file(const std::filesystem::path& path, std::string& problem)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = error_text(errno);
        return nullptr;
    }
    // Web servers run as users of their own, whatever the umask says.
    if (::fchmod(fd, 0644) != 0) {
        problem = error_text(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return nullptr;
    }
    return new new_file{fd};
}

bool write_new_file(new_file* file, const char* data, std::size_t size, std::string& problem)
{
    while (size > 0) {
        const ssize_t n = ::write(file->fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            problem = error_text(n == 0 ? EIO : errno);
            return false;
        }
    }
    return true;
}

bool finish_new_file(new_file* file, std::string& problem)
{
    int error = ::fsync(file->fd) == 0 ? 0 : errno;
    if (::close(file->fd) != 0 && error == 0)
        error = errno;
    delete file;
    if (error != 0)
        problem = error_text(error);
    return error == 0;
}

move_result move_new_file(const std::filesystem::path& from, const std::filesystem::path& to, std::string& problem)
{
    // A hard link is created only where no name is: the check and the move are one step,
    // on NFS too, where renameat2's RENAME_NOREPLACE is not offered.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST)
            return move_result::exists;
        problem = error_text(errno);
        return move_result::failed;
    }
    if (::unlink(from.c_str()) != 0) {
        problem = "the file is in place, but its temporary name stays: " + error_text(errno);
        return move_result::failed;
    }
    return move_result::moved;
}

bool move_over_file(const std::filesystem::path& from, const std::filesystem::path& to, unsigned,
                    std::string& problem)
{
    // Open readers keep the old file; a rename is never refused for them here.
    struct stat old_file;
    const bool had_old = ::lstat(to.c_str(), &old_file) == 0 && S_ISREG(old_file.st_mode);
    if (had_old)
        ::chmod(from.c_str(), old_file.st_mode & 07777);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        problem = error_text(errno);
        return false;
    }
    return true;
}

void flush_directory(const std::filesystem::path& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd != -1) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace platform
