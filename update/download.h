#pragma once
#include <cstdint>
#include <string>

// Fetches `url` with one GET and streams the body into `path`. 0 on success, -1 on
// failure (already logged). The HTTP status is not examined.
int download_file(const std::string& url, const std::string& path, bool secure);

// The same for a path where another user may have left something (the descriptor in
// the shared temporary directory, an installer from a looser var): an existing entry at
// `path` is removed and the file created exclusively (platform::create_new_output_file).
// Writing stops after `max_size` + 1 bytes, enough for a reader to refuse the file; the
// call still returns 0 then.
constexpr std::uintmax_t no_size_limit = UINTMAX_MAX - 1;
int download_new_file(const std::string& url, const std::string& path, bool secure, std::uintmax_t max_size);
// The same for the update descriptor: when nothing new of this run's can be made at
// `path` (another user's directory, read-only file or open file there), the body goes to
// `fallback`, a directory only this user can write, and the reason is logged. `written`
// names the file that holds the body.
int download_descriptor(const std::string& url, const std::string& path, const std::string& fallback,
                        bool secure, std::uintmax_t max_size, std::string& written);

// What one download met, for a caller that reports on a server (the vendor's probe); the
// recovery run watches none. `answered`: a status line arrived (then `status`, the
// answer's Cache-Control and the URL that gave it); else `error`, and a proxy's refusal.
struct download_report {
    std::string url;
    bool answered = false;
    uint32_t status = 0;
    std::string cache_control;
    std::string answering_url;
    uint32_t error = 0;
    uint32_t proxy_status = 0;
};
using download_observer = void (*)(const download_report& report);
// Every download from now on is reported to `observer` as it ends; null for none.
void observe_downloads(download_observer observer);
