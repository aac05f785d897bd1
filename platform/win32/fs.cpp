#include "platform/fs.h"

#include <cstring>
#include <vector>
#include <windows.h>

namespace platform {

char path_separator() { return '\\'; }

std::string executable_path()
{
    // Grow rather than cut: a truncated path would name the wrong APP directory.
    for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
        std::vector<char> buffer(size);
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
        if (length == 0)
            return "";
        if (length < size)
            return std::string(buffer.data(), length);
    }
    return "";
}

bool system_temp_dir(std::string& dir)
{
    std::vector<char> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            dir.assign(buffer.data(), length);
            if (dir.back() != '\\' && dir.back() != '/')
                dir += '\\';
            return true;
        }
        // Too small: the result is the size needed, and the buffer holds no path.
        buffer.resize(length + 1);
    }
    return false;
}

mkdir_result make_directory(const std::string& path, uint32_t& error)
{
    if (CreateDirectoryA(path.c_str(), nullptr))
        return mkdir_result::created;
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS)
        return mkdir_result::failed;
    // A file in the way is no directory to log into.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return mkdir_result::failed;
    return mkdir_result::already_exists;
}

// Writes are gathered into 64 KiB: a download arrives in 1 KiB pieces, and a system
// call per piece would halve its speed. Errors surface at the write that flushes, or at close.
struct output_file {
    HANDLE handle;
    std::vector<char> buffer;
    std::size_t used;
};

namespace {

bool write_all(HANDLE handle, const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, piece, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool flush(output_file* file)
{
    const bool ok = write_all(file->handle, file->buffer.data(), file->used);
    file->used = 0;
    return ok;
}

}  // namespace

output_file* open_output_file(const std::string& path)
{
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return new output_file{handle, std::vector<char>(64 * 1024), 0};
}

bool write_output_file(output_file* file, const char* data, uint32_t size)
{
    if (file->used + size > file->buffer.size() && !flush(file))
        return false;
    if (size > file->buffer.size())
        return write_all(file->handle, data, size);
    std::memcpy(file->buffer.data() + file->used, data, size);
    file->used += size;
    return true;
}

bool close_output_file(output_file* file)
{
    const bool flushed = flush(file);
    const bool closed = CloseHandle(file->handle) != 0;
    delete file;
    return flushed && closed;
}

}  // namespace platform
