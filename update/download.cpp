#include "update/download.h"

#include <cstdint>

#include <spdlog/spdlog.h>

#include "platform/fs.h"
#include "platform/http.h"

namespace {

download_observer observer = nullptr;

// Tells the observer, if any, on every way out of a download.
struct reporter {
    download_report report;
    ~reporter()
    {
        if (observer != nullptr)
            observer(report);
    }
};

// Where the body goes: `path`, opened or created anew; `fallback`, when not empty, if
// nothing new of this run's can be made at `path`. `written` names the file used.
struct destination {
    const std::string& path;
    bool fresh;
    const std::string& fallback;
    std::string& written;
};

platform::output_file* open_destination(const destination& to)
{
    to.written = to.path;
    if (!to.fresh)
        return platform::open_output_file(to.path);
    std::string problem;
    platform::output_file* file = platform::create_new_output_file(to.path, problem);
    if (file != nullptr || to.fallback.empty() || to.fallback == to.path)
        return file;
    spdlog::error("Could not replace {} ({}): the update descriptor goes to {}", to.path, problem,
                  to.fallback);
    to.written = to.fallback;
    return platform::create_new_output_file(to.fallback, problem);
}

int download(const std::string& url, const destination& to, bool secure, std::uintmax_t max_size)
{
    reporter seen;
    seen.report.url = url;
    uint32_t& error = seen.report.error;
    platform::http_session* session = platform::http_open("Agent Recovery", error);
    if (session == nullptr) {
        spdlog::error("InternetOpenA failed: {}", error);
        return -1;
    }

    const char* headers = "Accept: application/json";
    spdlog::info("Opening {} with headers {} and secure {}", url, headers, secure);
    uint32_t& proxy_status = seen.report.proxy_status;
    platform::http_request* request =
        platform::http_open_url(session, url, headers, secure, error, proxy_status);
    if (request == nullptr) {
        // A proxy's refusal is no answer of the server's, and the log says whose it was.
        if (proxy_status == 407)
            spdlog::error("Proxy asked for credentials to open {}", url);
        else if (proxy_status != 0)
            spdlog::error("InternetOpenUrlA failed: {} (proxy answered CONNECT with {})", error,
                          proxy_status);
        else
            spdlog::error("InternetOpenUrlA failed: {}", error);
        platform::http_close(session);
        return -1;
    }
    if (observer != nullptr) {
        seen.report.answered = true;
        seen.report.status = platform::http_status(request);
        seen.report.cache_control = platform::http_header(request, "Cache-Control");
        seen.report.answering_url = platform::http_answering_url(request);
    }

    // Opened only now, so a server that cannot be reached leaves an existing file alone.
    platform::output_file* file = open_destination(to);
    const std::string& path = to.written;
    if (file == nullptr) {
        spdlog::error("Could not open file: {}", path);
        platform::http_close(request);
        platform::http_close(session);
        return -1;
    }
    spdlog::info("Downloading file to {}", path);

    char buffer[1024];
    std::uintmax_t written = 0;
    while (written <= max_size) {
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
        // An endless answer must not fill the volume: one byte past the bound is enough
        // for the reader to refuse it.
        if (bytes_read > max_size + 1 - written)
            bytes_read = static_cast<uint32_t>(max_size + 1 - written);
        written += bytes_read;
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

}  // namespace

void observe_downloads(download_observer watcher)
{
    observer = watcher;
}

int download_file(const std::string& url, const std::string& path, bool secure)
{
    std::string written;
    return download(url, {path, false, "", written}, secure, no_size_limit);
}

int download_new_file(const std::string& url, const std::string& path, bool secure, std::uintmax_t max_size)
{
    std::string written;
    return download(url, {path, true, "", written}, secure, max_size);
}

int download_descriptor(const std::string& url, const std::string& path, const std::string& fallback,
                        bool secure, std::uintmax_t max_size, std::string& written)
{
    return download(url, {path, true, fallback, written}, secure, max_size);
}
