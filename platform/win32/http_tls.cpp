// The TLS 1.2 check of platform/http.h, for the publisher only. WinINet has no documented
// option that limits a session's TLS versions; WinHTTP has one and speaks through the same
// Schannel. A file of its own, outside the unity build, so that agent_recovery.exe, which
// never calls it, imports nothing of winhttp.dll.
#include "platform/http.h"

#include <string>

#include <windows.h>
#include <winhttp.h>

namespace platform {

bool http_tls12_handshake(const std::string& url, bool& completed, uint32_t& error)
{
    completed = false;
    const int length = MultiByteToWideChar(CP_ACP, 0, url.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (length <= 0 || MultiByteToWideChar(CP_ACP, 0, url.c_str(), -1, &wide[0], length) != length ||
        !WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) {
        error = GetLastError();
        return false;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path = parts.dwUrlPathLength > 0
                                  ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength)
                                  : std::wstring(L"/");

    HINTERNET session = WinHttpOpen(L"Agent Recovery", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (session == nullptr ||
        !WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        error = GetLastError();
        if (session != nullptr)
            WinHttpCloseHandle(session);
        return false;
    }
    bool asked = false;
    HINTERNET connection = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    HINTERNET request =
        connection == nullptr
            ? nullptr
            : WinHttpOpenRequest(connection, L"HEAD", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (request != nullptr) {
        // The handshake happens when the request is sent: sent is completed.
        completed =
            WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
        asked = true;
    }
    if (!completed)
        error = GetLastError();
    if (request != nullptr)
        WinHttpCloseHandle(request);
    if (connection != nullptr)
        WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return asked;
}

}  // namespace platform
