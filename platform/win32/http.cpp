#include "platform/http.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <windows.h>
#include <wininet.h>

#include "platform/common/win_errors.h"

namespace platform {

// The POSIX stand-ins report these names: they must be the system's numbers.
static_assert(error_invalid_function == ERROR_INVALID_FUNCTION);
static_assert(error_file_not_found == ERROR_FILE_NOT_FOUND);
static_assert(error_access_denied == ERROR_ACCESS_DENIED);
static_assert(error_not_enough_memory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(error_bad_exe_format == ERROR_BAD_EXE_FORMAT);
static_assert(error_filename_exced_range == ERROR_FILENAME_EXCED_RANGE);
static_assert(error_internet_timeout == ERROR_INTERNET_TIMEOUT);
static_assert(error_internet_internal_error == ERROR_INTERNET_INTERNAL_ERROR);
static_assert(error_internet_invalid_url == ERROR_INTERNET_INVALID_URL);
static_assert(error_internet_unrecognized_scheme == ERROR_INTERNET_UNRECOGNIZED_SCHEME);
static_assert(error_internet_name_not_resolved == ERROR_INTERNET_NAME_NOT_RESOLVED);
static_assert(error_internet_cannot_connect == ERROR_INTERNET_CANNOT_CONNECT);
static_assert(error_internet_connection_aborted == ERROR_INTERNET_CONNECTION_ABORTED);
static_assert(error_internet_connection_reset == ERROR_INTERNET_CONNECTION_RESET);
static_assert(error_internet_sec_cert_date_invalid == ERROR_INTERNET_SEC_CERT_DATE_INVALID);
static_assert(error_internet_sec_cert_cn_invalid == ERROR_INTERNET_SEC_CERT_CN_INVALID);
static_assert(error_internet_https_to_http_on_redir == ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
static_assert(error_internet_invalid_ca == ERROR_INTERNET_INVALID_CA);
static_assert(error_http_invalid_server_response == ERROR_HTTP_INVALID_SERVER_RESPONSE);
static_assert(error_http_redirect_failed == ERROR_HTTP_REDIRECT_FAILED);

// Sessions are WinINet's own handles; a request also counts its body against the
// announced length.
struct http_session {};
struct http_request {
    HINTERNET handle = nullptr;
    bool length_known = false;
    unsigned long long expected = 0;
    unsigned long long received = 0;
};

namespace {

// The answer's status; 0 when there is none.
DWORD status_of(HINTERNET handle)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    DWORD index = 0;
    if (!HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index))
        return 0;
    return status;
}

}  // namespace

http_session* http_open(const char* user_agent, uint32_t& error)
{
    HINTERNET handle = InternetOpenA(user_agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (handle == nullptr)
        error = GetLastError();
    return static_cast<http_session*>(handle);
}

http_request* http_open_url(http_session* session, const std::string& url, const char* headers, bool secure,
                            uint32_t& error, uint32_t& proxy_status)
{
    proxy_status = 0;
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
        const DWORD status = status_of(handle);
        if (status == 0) {
            InternetCloseHandle(handle);
            error = error_http_invalid_server_response;
            return nullptr;
        }
        // WinINet hands a proxy's demand for credentials to the caller as the answer; the
        // request never left the proxy.
        if (status == HTTP_STATUS_PROXY_AUTH_REQ) {
            InternetCloseHandle(handle);
            proxy_status = status;
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

bool http_read(http_request* request, char* buffer, uint32_t size, uint32_t& bytes_read, uint32_t& error)
{
    DWORD read = 0;
    bytes_read = 0;
    if (!InternetReadFile(request->handle, buffer, size, &read)) {
        error = GetLastError();
        return false;
    }
    // WinINet may report a connection that ended early as the end of the body.
    if (read == 0 && request->length_known && request->received < request->expected) {
        error = error_internet_connection_aborted;
        return false;
    }
    request->received += read;
    bytes_read = read;
    return true;
}

uint32_t http_status(http_request* request)
{
    return status_of(request->handle);
}

std::string http_header(http_request* request, const char* name)
{
    // A header sent several times is one list (RFC 9110, 5.3): every instance, in order.
    // HTTP_QUERY_CUSTOM takes the header's name in the buffer that receives its value, and
    // moves `index` on to the next instance.
    const std::size_t length = std::strlen(name);
    std::vector<char> buffer(length < 1024 ? 1024 : length + 1);
    std::string joined;
    DWORD index = 0;
    for (;;) {
        std::memcpy(buffer.data(), name, length + 1);
        DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD asked = index;
        if (!HttpQueryInfoA(request->handle, HTTP_QUERY_CUSTOM, buffer.data(), &size, &index)) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < buffer.size())
                return joined;
            buffer.resize(size + 1);
            index = asked;
            continue;
        }
        if (asked > 0)
            joined += ", ";
        joined.append(buffer.data(), size);
        if (index <= asked)
            return joined;
    }
}

std::string http_answering_url(http_request* request)
{
    char url[2084] = {};
    DWORD size = sizeof url;
    if (!InternetQueryOptionA(request->handle, INTERNET_OPTION_URL, url, &size))
        return "";
    return std::string(url, size < sizeof url ? size : sizeof url - 1);
}

void http_close(http_request* request)
{
    if (request == nullptr)
        return;
    InternetCloseHandle(request->handle);
    delete request;
}

void http_close(http_session* session)
{
    InternetCloseHandle(static_cast<HINTERNET>(session));
}

// WinINet's own defaults decide how long a stalled connection blocks.
void http_set_timeout_seconds(long) {}

}  // namespace platform
