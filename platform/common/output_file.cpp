// The output file of fs.h, the same on every platform over each backend's native file.
#include "platform/common/native_file.h"
#include "platform/fs.h"

#include <cstring>
#include <vector>

namespace platform {

// Writes are gathered into 64 KiB: a download arrives in 1 KiB pieces, and a system
// call per piece would halve its speed. Errors surface at the write that flushes, or at close.
struct output_file {
    native_file* file;
    std::vector<char> buffer;
    std::size_t used;
};

namespace {

output_file* gathering(native_file* file)
{
    if (file == nullptr)
        return nullptr;
    return new output_file{file, std::vector<char>(64 * 1024), 0};
}

bool flush(output_file* file)
{
    const bool ok = native_write(file->file, file->buffer.data(), file->used);
    file->used = 0;
    return ok;
}

}  // namespace

output_file* open_output_file(const std::string& path)
{
    return gathering(native_open_output(path));
}

output_file* create_new_output_file(const std::string& path, std::string& problem)
{
    return gathering(native_create_output(path, problem));
}

bool write_output_file(output_file* file, const char* data, uint32_t size)
{
    if (file->used + size > file->buffer.size() && !flush(file))
        return false;
    if (size > file->buffer.size())
        return native_write(file->file, data, size);
    std::memcpy(file->buffer.data() + file->used, data, size);
    file->used += size;
    return true;
}

bool close_output_file(output_file* file)
{
    const bool flushed = flush(file);
    const bool closed = native_close(file->file);
    delete file;
    return flushed && closed;
}

}  // namespace platform
