#pragma once
// File-system services the program needs from the operating system.
#include <cstdint>
#include <string>

namespace platform {

// Separator used when the program composes paths ('\\' on Windows, '/' elsewhere).
char path_separator();

// Full path of the running executable; empty when the system cannot tell.
std::string executable_path();

// The system's temporary directory, always ending with a separator.
// False when the system reports none (or one that does not fit its own limits).
bool system_temp_dir(std::string& dir);

enum class mkdir_result { created, already_exists, failed };

// Creates exactly one directory level. An existing directory is no failure; a file of
// that name is. On failure, `error` holds the system's error number.
mkdir_result make_directory(const std::string& path, uint32_t& error);

// Output file for downloads: created if missing, truncated if present, shared with
// other processes. On POSIX a symbolic link at the last component is refused.
struct output_file;
output_file* open_output_file(const std::string& path);
// Writes all `size` bytes; false on any failure (disk full, I/O error).
bool write_output_file(output_file* file, const char* data, uint32_t size);
// Closes and frees; false when the system reports that data could not be written.
bool close_output_file(output_file* file);

}  // namespace platform
