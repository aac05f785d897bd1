#include "update/download.h"

#include <cstdint>

#include <spdlog/spdlog.h>

#include "platform/fs.h"
#include "platform/http.h"

int download_file(const std::string& url, const std::string& path, bool secure)
{
    uint32_t error = 0;
    platform::http_session* session = platform::http_open("Agent Recovery", error);
    if (session == nullptr) {
        spdlog::error("InternetOpenA failed: {}", error);
        return -1;
    }

    const char* headers = "Accept: application/json";
    spdlog::info("Opening {} with headers {} and secure {}", url, headers, secure);
    platform::http_request* request = platform::http_open_url(session, url, headers, secure, error);
    if (request == nullptr) {
        spdlog::error("InternetOpenUrlA failed: {}", error);
        platform::http_close(session);
        return -1;
    }

    // Opened only now, so a server that cannot be reached leaves an existing file alone.
    platform::output_file* file = platform::open_output_file(path);
    if (file == nullptr) {
        spdlog::error("Could not open file: {}", path);
        platform::http_close(request);
        platform::http_close(session);
        return -1;
    }
    spdlog::info("Downloading file to {}", path);

    char buffer[1024];
    for (;;) {
        uint32_t bytes_read = 0;
        if (!platform::http_read(request, buffer, sizeof buffer, bytes_read, error)) {
            spdlog::error("InternetReadFile fiales: {}", error);
            platform::http_close(request);
            platform::http_close(session);
            platform::close_output_file(file);
            return -1;
        }
        if (bytes_read == 0)
            break;
        // A short file must never pass for a complete download.
        if (!platform::write_output_file(file, buffer, bytes_read)) {
            spdlog::error("Could not write file: {}", path);
            platform::http_close(request);
            platform::http_close(session);
            platform::close_output_file(file);
            return -1;
        }
    }
    platform::http_close(request);
    platform::http_close(session);
    if (!platform::close_output_file(file)) {
        spdlog::error("Could not write file: {}", path);
        return -1;
    }
    spdlog::info("Download complete {} -> {}", url, path);
    return 0;
}
