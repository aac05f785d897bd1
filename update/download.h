#pragma once
#include <cstdint>
#include <string>

// Fetches `url` with one GET and streams the body into `path`. 0 on success, -1 on
// failure (already logged). The HTTP status is not examined.
int download_file(const std::string& url, const std::string& path, bool secure);

// For the update descriptor, whose directory other users can write: an existing entry
// at `path` is removed and the file created exclusively (see
// platform::create_new_output_file); writing stops after `max_size` + 1 bytes, enough
// for the reader to refuse it, and the call still returns 0.
constexpr std::uintmax_t no_size_limit = UINTMAX_MAX - 1;
int download_new_file(const std::string& url, const std::string& path, bool secure, std::uintmax_t max_size);
