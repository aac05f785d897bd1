#include "platform/fs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

char path_separator() { return '/'; }

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
    const char* tmpdir = std::getenv("TMPDIR");
    dir = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return true;
}

mkdir_result make_directory(const std::string& path, uint32_t& error)
{
    if (::mkdir(path.c_str(), 0777) == 0)
        return mkdir_result::created;
    error = static_cast<uint32_t>(errno);
    if (errno != EEXIST)
        return mkdir_result::failed;
    // A file in the way is no directory to log into.
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return mkdir_result::failed;
    return mkdir_result::already_exists;
}

// Writes are gathered into 64 KiB: a download arrives in 1 KiB pieces, and a system
// call per piece would halve its speed. Errors surface at the write that flushes, or at close.
struct output_file {
    int fd;
    std::vector<char> buffer;
    std::size_t used;
};

namespace {

bool write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
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

bool flush(output_file* file)
{
    const bool ok = write_all(file->fd, file->buffer.data(), file->used);
    file->used = 0;
    return ok;
}

}  // namespace

output_file* open_output_file(const std::string& path)
{
    // O_NOFOLLOW: the descriptor lands in a shared temporary directory, where another
    // user could plant a link to a file of ours.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    return new output_file{fd, std::vector<char>(64 * 1024), 0};
}

bool write_output_file(output_file* file, const char* data, uint32_t size)
{
    if (file->used + size > file->buffer.size() && !flush(file))
        return false;
    if (size > file->buffer.size())
        return write_all(file->fd, data, size);
    std::memcpy(file->buffer.data() + file->used, data, size);
    file->used += size;
    return true;
}

bool close_output_file(output_file* file)
{
    const bool flushed = flush(file);
    const bool closed = ::close(file->fd) == 0;
    delete file;
    return flushed && closed;
}

}  // namespace platform
