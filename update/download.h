#pragma once
#include <string>

// Fetches `url` with one GET and streams the body into `path`. 0 on success, -1 on
// failure (already logged). The HTTP status is not examined.
int download_file(const std::string& url, const std::string& path, bool secure);
