#include "platform/http.h"

#include <cstdlib>

#include <windows.h>
#include <wininet.h>

namespace platform {

// Sessions are WinINet's own handles; a request also counts its body against the
// announced length.
struct http_session {};
struct http_request {
    HINTERNET handle = nullptr;
    bool length_known = false;
    unsigned long long expected = 0;
    unsigned long long received = 0;
};

http_session* http_open(const char* user_agent, uint32_t& error)
{
    HINTERNET handle = InternetOpenA(user_agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (handle == nullptr)
        error = GetLastError();
    return static_cast<http_session*>(handle);
}

http_request* http_open_url(http_session* session, const std::string& url, const char* headers,
                            bool secure, uint32_t& error)
{
    HINTERNET handle = InternetOpenUrlA(static_cast<HINTERNET>(session), url.c_str(), headers,
                                        static_cast<DWORD>(-1), secure ? INTERNET_FLAG_SECURE : 0, 0);
    if (handle == nullptr) {
        error = GetLastError();
        return nullptr;
    }
    // Wine's WinINet hands back a connection closed before any status line as an empty
    // answer; Windows fails it. No status is no answer, wherever the program runs.
    DWORD type = 0;
    DWORD type_size = sizeof type;
    if (InternetQueryOptionA(handle, INTERNET_OPTION_HANDLE_TYPE, &type, &type_size) &&
        type == INTERNET_HANDLE_TYPE_HTTP_REQUEST) {
        DWORD status = 0;
        DWORD status_size = sizeof status;
        DWORD status_index = 0;
        if (!HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &status_size,
                            &status_index) ||
            status == 0) {
            InternetCloseHandle(handle);
            error = ERROR_HTTP_INVALID_SERVER_RESPONSE;
            return nullptr;
        }
    }
    auto* request = new http_request;
    request->handle = handle;
    char text[32];
    DWORD size = sizeof text;
    DWORD index = 0;
    if (HttpQueryInfoA(handle, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) {
        char* end = nullptr;
        request->expected = std::strtoull(text, &end, 10);
        request->length_known = end != text;
    }
    return request;
}

bool http_read(http_request* request, char* buffer, uint32_t size, uint32_t& bytes_read,
               uint32_t& error)
{
    DWORD read = 0;
    bytes_read = 0;
    if (!InternetReadFile(request->handle, buffer, size, &read)) {
        error = GetLastError();
        return false;
    }
    // WinINet may report a connection that ended early as the end of the body.
    if (read == 0 && request->length_known && request->received < request->expected) {
        error = ERROR_INTERNET_CONNECTION_ABORTED;
        return false;
    }
    request->received += read;
    bytes_read = read;
    return true;
}

void http_close(http_request* request)
{
    if (request == nullptr)
        return;
    InternetCloseHandle(request->handle);
    delete request;
}

void http_close(http_session* session) { InternetCloseHandle(static_cast<HINTERNET>(session)); }

// WinINet's own defaults decide how long a stalled connection blocks.
void http_set_timeout_seconds(long) {}

}  // namespace platform
