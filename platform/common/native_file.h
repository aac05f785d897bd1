#pragma once
// The little each backend provides so that the output file of fs.h is written once, in
// platform/common/output_file.cpp: a file opened for writing, written whole, closed.
#include <cstddef>
#include <string>

namespace platform {

struct native_file;

// Created if missing, truncated if present (the contract of open_output_file).
native_file* native_open_output(const std::string& path);
// Whatever is at `path` removed and a file created exclusively (the contract of
// create_new_output_file).
native_file* native_create_output(const std::string& path, std::string& problem);
// All `size` bytes; false on any failure.
bool native_write(native_file* file, const char* data, std::size_t size);
// Closes and frees; false when the system reports that data could not be written.
bool native_close(native_file* file);

}  // namespace platform
