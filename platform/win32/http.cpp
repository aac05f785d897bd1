#include "platform/http.h"

#include <windows.h>
#include <wininet.h>

namespace platform {

// The sessions and requests are WinINet's own handles.
struct http_session {};
struct http_request {};

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
    if (handle == nullptr)
        error = GetLastError();
    return static_cast<http_request*>(handle);
}

bool http_read(http_request* request, char* buffer, uint32_t size, uint32_t& bytes_read,
               uint32_t& error)
{
    DWORD read = 0;
    if (!InternetReadFile(static_cast<HINTERNET>(request), buffer, size, &read)) {
        error = GetLastError();
        bytes_read = 0;
        return false;
    }
    bytes_read = read;
    return true;
}

void http_close(http_request* request) { InternetCloseHandle(static_cast<HINTERNET>(request)); }
void http_close(http_session* session) { InternetCloseHandle(static_cast<HINTERNET>(session)); }

// WinINet's own defaults decide how long a stalled connection blocks.
void http_set_timeout_seconds(long) {}

}  // namespace platform
